// The diagnostic trace, the trace file and the binding of the trace library.
#include "trace.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/format.h>
#include <qxplatform/modules.h>
#include <qxplatform/system.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace qx::zel {
namespace {

// The longest text of one diagnostic line (the prefix and caller come on top).
constexpr size_t kMaxLineText = 4096;
// Entry lines are padded to this width before the caller is appended.
constexpr size_t kEntryPadding = 75;

std::atomic<int> g_level{0};

struct Switches {
  bool funcname = false;
  bool no_prefix = false;
  bool no_callstack = false;
  bool to_file = false;
  bool no_output = false;
  bool use_file = false;
};

enum class Destination { kUndecided, kLibrary, kFile, kNone };

// The process-wide state of the diagnostic trace, guarded by mu.
struct DiagState {
  std::mutex mu;
  bool switches_read = false;
  Switches sw;
  Destination dest = Destination::kUndecided;
  int file_fd = -1;
  std::set<std::string> files_seen;  // source files whose banner was written
};

DiagState& Diag() {
  static DiagState* state = new DiagState;  // outlives every thread's last trace
  return *state;
}

// The library binding, guarded by its own mutex.
struct LibraryState {
  std::mutex mu;
  bool tried = false;
  HMODULE module = nullptr;
  TesTraceProc tes_trace = nullptr;
};

LibraryState& Library() {
  static LibraryState* state = new LibraryState;
  return *state;
}

struct Frame {
  std::string module;
  std::string function;
  int line;
};
thread_local std::vector<Frame> t_stack;

int ParseLevel(const char* value) {
  if (value == nullptr) return 0;
  if (std::strcmp(value, "Y") == 0 || std::strcmp(value, "y") == 0) return 1;
  return std::atoi(value);
}

bool IsSet(const char* name) {
  return std::getenv(name) != nullptr;
}

void ReadSwitches(DiagState& st) {
  st.sw.funcname = IsSet("QX_TURNON_TRC_FUNCNAME");
  st.sw.no_prefix = IsSet("QX_TURNOFF_TRC_PREFIX");
  st.sw.no_callstack = IsSet("QX_TURNOFF_TRC_CALLSTACK");
  st.sw.to_file = IsSet("QX_TURNON_TRC_TOFILE");
  st.sw.no_output = IsSet("QX_TURNOFF_TRC_OUTPUT");
  st.sw.use_file = IsSet("QX_TRACE_USEFILE");
  st.switches_read = true;
}

bool DebuggerAttached() {
  const std::string status = qx::platform::ReadSmallFile("/proc/self/status");
  size_t at = status.find("\nTracerPid:");
  return at != std::string::npos && std::atoi(status.c_str() + at + 11) != 0;
}

// A variable named after a trace step with the value "DEBUG" stops a debugger
// there. Without a debugger the trap would end the process, so it is skipped.
void BreakAt(const char* step) {
  const char* v = std::getenv(step);
  if (v != nullptr && std::strcmp(v, "DEBUG") == 0 && DebuggerAttached()) std::raise(SIGTRAP);
}

struct LocalTime {
  int h, m, s, ms;
};

LocalTime Now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  ::localtime_r(&ts.tv_sec, &tm);
  return {tm.tm_hour, tm.tm_min, tm.tm_sec, int(ts.tv_nsec / 1000000)};
}

std::string BaseName(const char* path) {
  if (path == nullptr) return "";
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

std::string ModuleName(const void* address) {
  std::string name = BaseName(platform::ModulePath(address).c_str());
  return name.empty() ? ProgramBaseName() : name;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

std::string Prefix(const Switches& sw, bool library, const TraceSite& site) {
  if (sw.no_prefix) return "";
  std::string file = BaseName(site.file);
  std::string out;
  if (!library) {
    LocalTime t = Now();
    out = Printf("%2.2d:%2.2d:%2.2d:%3.3d [P%4.4d] [T%4.4x] ", t.h, t.m, t.s, t.ms,
                 int(GetCurrentProcessId()), unsigned(GetCurrentThreadId()));
  }
  if (sw.funcname)
    out += Printf("%15.15s L%.5d %s - ", file.c_str(), site.line, site.function);
  else
    out += Printf("%15.15s L%.5d - ", file.c_str(), site.line);
  return out;
}

// Opens the trace file for writing, never through a link and only as a regular
// file of this user: its name is predictable and the folder may be shared.
int OpenTraceFile() {
  std::string path = TraceFilePath();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

void Decide(DiagState& st) {
  if (st.dest != Destination::kUndecided) return;
  st.dest = Destination::kNone;
  if (st.sw.no_output) return;
  if (!st.sw.use_file && TraceLibraryEntry() != nullptr) {
    st.dest = Destination::kLibrary;
  } else if (st.sw.to_file) {
    st.file_fd = OpenTraceFile();
    if (st.file_fd >= 0) st.dest = Destination::kFile;
  }
}

// Writes one finished line (without its line break) to the destination.
void Emit(DiagState& st, std::string text) {
  BreakAt("fwtrace$_write");
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::string module = ProgramBaseName();
  if (st.dest == Destination::kLibrary) {
    if (TesTraceProc proc = TraceLibraryEntry()) proc(module.c_str(), text.c_str());
  } else if (st.dest == Destination::kFile) {
    std::string line = module + " " + text + "\r\n";
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(st.file_fd, p, left);
      if (n <= 0) break;
      p += n;
      left -= size_t(n);
    }
  }
}

}  // namespace

int TraceLevel() {
  return g_level.load(std::memory_order_relaxed);
}

std::string ProgramBaseName() {
  std::string name = BaseName(platform::ProgramPath().c_str());
  return name.empty() ? "Unknown" : name;
}

std::string TraceFilePath() {
  std::string temp = platform::TempDir();
  if (temp.empty()) temp = "/tmp";
  return Printf("%s/%s_%d.%s.%s", temp.c_str(), "qxtrc", int(GetCurrentProcessId()),
                ProgramBaseName().c_str(), "log");
}

void TraceLine(const TraceSite& site, TraceKind kind, int level, const char* format, ...) {
  if (TraceLevel() < 2 || TraceLevel() < level) return;
  va_list ap;
  va_start(ap, format);
  std::vector<platform::FormatArg> args = platform::ReadPrintfArgs(format, ap);
  va_end(ap);
  std::string text = platform::FormatPrintf(format, args);
  if (text.size() > kMaxLineText) text.resize(kMaxLineText);

  DiagState& st = Diag();
  std::lock_guard<std::mutex> lock(st.mu);
  if (!st.switches_read) ReadSwitches(st);
  Decide(st);
  bool library = st.dest == Destination::kLibrary;

  if (!st.sw.no_callstack) {
    if (kind == TraceKind::kEntry) {
      Frame caller = t_stack.empty() ? Frame{"?", "?", 0} : t_stack.back();
      if (text.size() < kEntryPadding) text.resize(kEntryPadding, ' ');
      LocalTime t = Now();
      text += Printf(" : Called by %s!%s=%d @ %2.2d:%2.2d:%2.2d:%3.3d", caller.module.c_str(),
                     caller.function.c_str(), caller.line, t.h, t.m, t.s, t.ms);
      t_stack.push_back({ModuleName(site.module_address), site.function, site.line});
    } else if (kind == TraceKind::kExit && !t_stack.empty()) {
      t_stack.pop_back();
    }
  }
  if (st.dest == Destination::kNone) return;

  std::string prefix = Prefix(st.sw, library, site);
  std::string file = BaseName(site.file);
  if (st.files_seen.insert(file).second)
    Emit(st, prefix + Printf("File %s modified on %s was compiled on %s at %s", file.c_str(),
                             site.file_date, site.build_date, site.build_time));
  Emit(st, prefix + text);
}

std::string FormatSnap(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out = Printf("Snap: Size=%d(0x%06X)\n", int(size), unsigned(size));
  out += "-disp-  0    2    4    6     8    A    C    E\n";
  size_t same = 0;
  auto flush_same = [&] {
    if (same == 1) out += "1 line same as before\n";
    if (same > 1) out += Printf("%d lines same as before\n", int(same));
    same = 0;
  };
  for (size_t off = 0; off < size; off += 16) {
    size_t n = std::min<size_t>(16, size - off);
    if (off >= 16 && n == 16 && std::memcmp(bytes + off, bytes + off - 16, 16) == 0) {
      ++same;
      continue;
    }
    flush_same();
    std::string line = Printf("%06X ", unsigned(off));
    std::string ascii;
    for (size_t i = 0; i < 16; ++i) {
      if (i % 2 == 0) line += ' ';
      if (i == 8) line += ' ';
      if (i < n) {
        line += Printf("%02X", bytes[off + i]);
        ascii += (bytes[off + i] >= 0x20 && bytes[off + i] < 0x7F) ? char(bytes[off + i]) : '.';
      } else {
        line += "  ";
      }
    }
    out += line + "  *" + ascii + "*\n";
  }
  flush_same();
  return out;
}

void TraceSnap(const TraceSite& site, const void* data, size_t size) {
  if (TraceLevel() < 2 || data == nullptr) return;
  std::string dump = FormatSnap(data, size);
  DiagState& st = Diag();
  std::lock_guard<std::mutex> lock(st.mu);
  if (!st.switches_read) ReadSwitches(st);
  Decide(st);
  if (st.dest == Destination::kNone) return;
  std::string prefix = Prefix(st.sw, st.dest == Destination::kLibrary, site);
  size_t start = 0;
  while (start < dump.size()) {
    size_t end = dump.find('\n', start);
    Emit(st, prefix + dump.substr(start, end - start));
    start = end + 1;
  }
}

void ReloadTraceSettings() {
  int level = ParseLevel(std::getenv("QX_WIZARD_DEBUG"));
  if (level == 0) level = ParseLevel(std::getenv("QX_QXIDEBUG"));
  g_level.store(level);
  DiagState& st = Diag();
  std::lock_guard<std::mutex> lock(st.mu);
  st.switches_read = false;
  st.dest = Destination::kUndecided;
  if (st.file_fd >= 0) ::close(st.file_fd);
  st.file_fd = -1;
  st.files_seen.clear();
  t_stack.clear();
}

TesTraceProc TraceLibraryEntry() {
  LibraryState& lib = Library();
  std::lock_guard<std::mutex> lock(lib.mu);
  if (!lib.tried) {
    lib.tried = true;
    lib.module =
        platform::LoadLibraryFrom(reinterpret_cast<const void*>(&TraceLevel), "QXTESTRC.DLL");
    if (lib.module != nullptr)
      lib.tes_trace = reinterpret_cast<TesTraceProc>(GetProcAddress(lib.module, "TesTrace"));
  }
  return lib.tes_trace;
}

HMODULE TraceLibraryModule() {
  TraceLibraryEntry();
  LibraryState& lib = Library();
  std::lock_guard<std::mutex> lock(lib.mu);
  return lib.module;
}

void FreeTraceLibrary() {
  LibraryState& lib = Library();
  std::lock_guard<std::mutex> lock(lib.mu);
  if (lib.module != nullptr) FreeLibrary(lib.module);
  lib.module = nullptr;
  lib.tes_trace = nullptr;
  lib.tried = false;
}

// The library's start-up: the trace level is read once when the library is loaded.
__attribute__((constructor)) static void ReadTraceLevelAtLoad() {
  int level = ParseLevel(std::getenv("QX_WIZARD_DEBUG"));
  if (level == 0) level = ParseLevel(std::getenv("QX_QXIDEBUG"));
  g_level.store(level);
}

}  // namespace qx::zel
