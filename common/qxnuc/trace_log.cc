// The circular daily trace log shared by every process of the machine.
//
// Each process keeps its own descriptor, the date of the file it has open and the
// cycle length; all file work happens while the global mutex is held, so lines of
// different processes never mix. A file is truncated when it is opened for a day
// other than the one it was last written on (it holds the lines of an earlier
// cycle), at every open, not only at a day change within one process.
#include <fcntl.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "qxnuc.h"
#include "tsadjust.h"

namespace qx::nuc {
namespace {

// A trace line with its line end never exceeds this many bytes.
constexpr size_t kMaxLine = 1024;
constexpr int kDefaultCycle = 10;
constexpr int kMinCycle = 2;
constexpr int kMaxCycle = 365;
// Raw data of a flagged trace line is read as text, at most this many bytes.
constexpr size_t kTraceRawBytes = 75;

struct Day {
  int year = -1;
  int yday = -1;
  bool operator==(const Day&) const = default;
};

Day DayOf(time_t t) {
  tm local;
  ::localtime_r(&t, &local);
  return Day{local.tm_year, local.tm_yday};
}

int CycleLength() {
  const char* v = ::getenv("QXSP_CIRC_NUMBER");
  if (v == nullptr || *v == '\0' || *v == '0') return kDefaultCycle;
  long n = std::strtol(v, nullptr, 10);
  if (n < kMinCycle) return kMinCycle;
  if (n > kMaxCycle) return kMaxCycle;
  return int(n);
}

struct TraceLog {
  std::mutex local;  // the threads of this process, around the state below
  HANDLE mutex = nullptr;
  int cycle = kDefaultCycle;
  int fd = -1;
  Day day;
};

TraceLog& Log() {
  static TraceLog* log = new TraceLog;  // lives through exit: late traces are fine
  return *log;
}

// First use, once per process and safely for racing threads.
bool SetUp() {
  static std::once_flag once;
  std::call_once(once, [] {
    TraceLog& log = Log();
    LPSECURITY_ATTRIBUTES everyone = QXCreateDacl(nullptr, nullptr);
    log.mutex = QXWTS_CreateMutexA(everyone, FALSE, "QX.SP_TRACE.GLOBAL.MUTEX", QXWTS_GLOBAL);
    QXDeleteDacl(everyone);
    log.cycle = CycleLength();
  });
  return Log().mutex != nullptr;
}

void DateAndTime(char* date, char* clock) {
  time_t now = ::time(nullptr);
  tm local;
  ::localtime_r(&now, &local);
  ::strftime(date, 16, "%m/%d/%y", &local);
  ::strftime(clock, 16, "%H:%M:%S", &local);
}

// Opens the file of today's place in the cycle; false with the last error set.
bool OpenFor(TraceLog& log, Day today, bool first) {
  char name[32];
  std::snprintf(name, sizeof name, "/QXSP_LOG_%d.TXT", today.yday % log.cycle);
  std::string path = qx::platform::TempDir() + name;
  struct stat st;
  bool stale = ::stat(path.c_str(), &st) == 0 && !(DayOf(st.st_mtime) == today);
  int fd = ::open(path.c_str(),
                  O_RDWR | O_CREAT | O_APPEND | O_DSYNC | O_CLOEXEC | (stale ? O_TRUNC : 0), 0666);
  if (fd < 0) {
    qx::platform::SetLastErrorFromErrno(errno);
    return false;
  }
  if (log.fd >= 0) ::close(log.fd);
  log.fd = fd;
  log.day = today;
  if (first) {
    char date[16], clock[16], header[96];
    DateAndTime(date, clock);
    int n = std::snprintf(header, sizeof header, " \r\n\r\n----Start of LogFIle on %s %s-----\r\n",
                          date, clock);
    if (::write(fd, header, size_t(n)) < 0) {
      // Nothing to add: the line write below reports nothing either.
    }
  }
  return true;
}

void AppendLine(int fd, const char* text) {
  char date[16], clock[16], prefix[128];
  DateAndTime(date, clock);
  int n = std::snprintf(prefix, sizeof prefix, "D(%s) T(%s) P(0x%x) T(0x%x): ", date, clock,
                        unsigned(::getpid()), unsigned(::gettid()));
  std::string line(prefix, size_t(n));
  size_t room = kMaxLine - 2 - line.size();
  line.append(text, strnlen(text, room));
  line += "\r\n";
  if (::write(fd, line.data(), line.size()) < 0) {
    // A full disk loses the line; the trace has no one to tell.
  }
}

using SPTraceFn = void (*)(int category, int severity, int route, const char* format, ...);

// SPTrace of procsup, when procsup is or can be loaded.
SPTraceFn SPTraceEntry() {
  static std::once_flag tried;
  static std::atomic<SPTraceFn> entry{nullptr};
  std::call_once(tried, [] {
    if (HMODULE lib = LoadLibraryA("procsup"))
      entry = reinterpret_cast<SPTraceFn>(GetProcAddress(lib, "SPTrace"));
  });
  SPTraceFn fn = entry.load();
  if (fn == nullptr) {
    // Loaded since by the program itself?
    if (HMODULE lib = GetModuleHandleA("procsup")) {
      fn = reinterpret_cast<SPTraceFn>(GetProcAddress(lib, "SPTrace"));
      entry = fn;
    }
  }
  return fn;
}

}  // namespace
}  // namespace qx::nuc

using namespace qx::nuc;

extern "C" {

void QXLogtrace(int event_flag, const char* raw_data, const char* text) {
  if (text == nullptr) text = "";
  if (SetUp()) {
    TraceLog& log = Log();
    std::lock_guard local(log.local);
    DWORD got = WaitForSingleObject(log.mutex, INFINITE);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
      Day today = DayOf(::time(nullptr));
      bool opened = true;
      if (log.fd < 0)
        opened = OpenFor(log, today, true);
      else if (!(log.day == today))
        opened = OpenFor(log, today, false);
      if (opened) AppendLine(log.fd, text);
      DWORD err = GetLastError();
      ReleaseMutex(log.mutex);
      if (!opened) {
        char message[64];
        std::snprintf(message, sizeof message, "SP LOG file open failed, GLE=%u\n", unsigned(err));
        QXLogerror(message);
        return;
      }
    }
  }
  if (event_flag) {
    if (SPTraceFn sp = SPTraceEntry()) sp(1, 1, 0, "%s", text);
    if (raw_data != nullptr)
      QXLogit(raw_data, text, QX_EVENT_INFORMATION, DWORD(strnlen(raw_data, kTraceRawBytes)));
    else
      QXLogit(nullptr, text, QX_EVENT_INFORMATION, DWORD(kTraceRawBytes));
  }
}

}  // extern "C"
