// QXmsgf and QXmsgfw: message production and routing.
#include "msgf.h"

#include <qxplatform/locale_time.h>
#include <qxplatform/text.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "catalog.h"
#include "catalog_env.h"
#include "msgf_outside.h"

namespace qx::comn {
namespace {

static_assert(offsetof(QXEVTRECORD, dwMsgNumber) == 4);
static_assert(offsetof(QXEVTRECORD, chSeverity) == 44);
static_assert(offsetof(QXEVTRECORD, pszText) == 48);
static_assert(offsetof(QXEVTRECORD, pszWorkload) == 64);
static_assert(offsetof(QXEVTRECORD, pszFacility) == 72);
static_assert(offsetof(QXEVTRECORD, dwExtra) == 100);

constexpr std::string_view kWorkloadPrefix = "WQ_Workload";
// The most of the option's value the workload tag takes.
constexpr size_t kWorkloadValueMax = 244;
// The longest date or time text of a local line.
constexpr size_t kDateTimeMax = 60;

// State shared by every QXmsgf and QXmsgfw call of the process, guarded by the
// mutex. The mutex is recursive: a verify procedure or the event console may
// report through QXmsgf from inside a call.
struct MsgfState {
  std::recursive_mutex mutex;
  std::string workload;
  size_t next = 0;
  char ring[kMsgfRing][kMsgfMaxText + 1] = {};
  size_t wnext = 0;
  char16_t wring[kMsgfRing][kMsgfMaxText + 1] = {};
};

MsgfState& State() {
  static MsgfState* state = new MsgfState;  // usable from exit handlers
  return *state;
}

// What one call asks for.
struct Call {
  bool wide = false;
  int line = 0;
  // The caller's source path, narrow or wide as the form takes it: read only for
  // a debug suffix.
  const char* path = nullptr;
  const char16_t* wide_path = nullptr;
  uint32_t id = 0;
  uint32_t flags = 0;
};

void EnsureWorkloadTag(MsgfState& st) {
  if (st.workload.compare(0, kWorkloadPrefix.size(), kWorkloadPrefix) == 0) return;
  st.workload = std::string(kWorkloadPrefix) + ",";
  if (const char* v = StoreGetOpt("QXISCHD0005")) {
    std::string value(v);
    CutUtf8(&value, kWorkloadValueMax);
    st.workload += value;
  }
}

std::string SourcePath(const Call& call) {
  if (!call.wide) return platform::SafeReadString(call.path, kMsgfMaxText);
  std::optional<std::string> narrow =
      platform::Utf16ToUtf8(platform::SafeReadWString(call.wide_path, kMsgfMaxText));
  return narrow ? *narrow : std::string();
}

std::string DebugSuffix(const Call& call) {
  return " | " + SourcePath(call) + "_" + std::to_string(call.line);
}

std::string MakeDateTimeText(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  std::string date = platform::FormatUserDate(local, platform::DateForm::kLong);
  std::string time = platform::FormatUserTime(local);
  CutUtf8(&date, kDateTimeMax);
  CutUtf8(&time, kDateTimeMax);
  return date + " " + time;
}

// The date and time text a thread made last.
struct MadeDateTime {
  std::time_t second = -1;
  const std::string* locale = nullptr;
  std::string text;
  ~MadeDateTime() { gone = true; }
  static thread_local bool gone;
};
thread_local bool MadeDateTime::gone = false;

// The date and time of a local line, appended to it. Each thread makes the text
// once per second and user locale: lines come far more often than seconds.
void AppendDateTime(std::string* line) {
  std::time_t now = std::time(nullptr);
  // Once the thread's text is gone (a destructor of another thread-local object
  // reports while the thread ends), the text is made for each line.
  if (MadeDateTime::gone) {
    AppendBounded(line, MakeDateTimeText(now));
    return;
  }
  thread_local MadeDateTime made;
  const std::string* locale = &platform::UserTimeLocaleName();
  if (now != made.second || locale != made.locale) {
    made.text = MakeDateTimeText(now);
    made.second = now;
    made.locale = locale;
  }
  AppendBounded(line, made.text);
}

// Builds and prints the local line from the text as it was before the debug
// suffix.
void PrintLocalLine(const Call& call, const std::string& copy, bool debug) {
  std::string line;
  line.reserve(kMsgfMaxText + 1);
  AppendBounded(&line, copy);
  AppendBounded(&line, " ");
  AppendDateTime(&line);
  if (debug) AppendBounded(&line, DebugSuffix(call));
  for (char& c : line)
    if (c == '\n') c = ' ';
  line += '\n';
  if (QXMSGF_VERIFY_PROC verify = Switches().verify.load())
    if (verify(line.c_str()) != 0) return;
  FILE* out = Switches().to_stdout.load() ? stdout : stderr;
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

char SeverityLetter(uint32_t severity) {
  static const char kLetters[8] = {'W', 'S', 'E', 'I', 'F', '?', '?', '?'};
  return kLetters[severity & 7u];
}

// The message body: the catalog text (or the pre-formatted text) and the errno
// line. Reads the call's variadic values.
std::string Body(const Call& call, va_list* ap, int saved_errno, uint32_t* extra,
                 std::string* facility_name) {
  std::string text;
  MessageId m = SplitMessageId(call.id);
  if (call.flags & QXMSGF_PREFORMATTED) {
    if (call.wide) {
      std::u16string w = platform::SafeReadWString(va_arg(*ap, const char16_t*), kMsgfMaxText);
      std::optional<std::string> n = platform::Utf16ToUtf8(w);
      text = n ? *n : std::string();
    } else {
      text = platform::SafeReadString(va_arg(*ap, const char*), kMsgfMaxText);
    }
    CutUtf8(&text, kMsgfMaxText);
    *facility_name = CurrentFacilityName(m.facility);
  } else {
    size_t count = std::min<size_t>(call.flags & QXMSGF_COUNT_MASK, kMessageValues);
    if (!call.wide && (call.flags & QXMSGF_EXTRA_VALUE)) *extra = va_arg(*ap, unsigned);
    text = CatalogLine(call.id, count, ap, call.wide);
    // The facility name of this message's own lookup, before the errno line
    // looks up another file.
    *facility_name = CurrentFacilityName(m.facility);
  }
  if (call.flags & QXMSGF_ERRNO) {
    errno = 0;
    AppendBounded(&text, ErrnoLine(saved_errno));
  }
  return text;
}

// Steps common to both forms; runs with the mutex held. Returns the finished
// text; `publish` stores it in the caller's ring and returns the narrow text the
// event record points to.
template <typename Publish>
void Run(MsgfState& st, const Call& call, va_list* ap, int saved_errno, QXEVT_WTO_PROC event,
         Publish publish) {
  if (!call.wide) EnsureWorkloadTag(st);
  uint32_t extra = 0;
  std::string facility_name;
  std::string text = Body(call, ap, saved_errno, &extra, &facility_name);
  // The local line takes the text as it was before the debug suffix.
  std::string before_suffix;
  bool debug = DebugSuffixOn();
  if (debug) {
    if (call.flags & QXMSGF_LOCAL) before_suffix = text;
    if (!text.empty() && text.back() == '\n') text.back() = ' ';
    AppendBounded(&text, DebugSuffix(call));
  }
  const char* published = publish(text);
  if (call.flags & QXMSGF_LOCAL) PrintLocalLine(call, debug ? before_suffix : text, debug);
  if ((call.flags & QXMSGF_EVENT) && !(call.flags & QXMSGF_NO_EVENT) &&
      !Switches().suppress_console.load() && event != nullptr) {
    MessageId m = SplitMessageId(call.id);
    QXEVTRECORD record;
    std::memset(&record, 0, sizeof record);
    record.dwMsgNumber = m.number;
    record.chSeverity = SeverityLetter(m.severity);
    record.pszText = published;
    if (!call.wide && facility_name.compare(0, 4, "QXSH") == 0)
      record.pszWorkload = st.workload.c_str();
    if (!facility_name.empty()) record.pszFacility = facility_name.c_str();
    if (!call.wide && (call.flags & QXMSGF_EXTRA_VALUE)) record.dwExtra = extra;
    event(0, &record);
  }
}

QXEVT_WTO_PROC EventProcFor(uint32_t flags) {
  // The console library is bound only for a message that may go to it.
  if (!(flags & QXMSGF_EVENT) || (flags & QXMSGF_NO_EVENT)) return nullptr;
  return BindEventConsole();
}

}  // namespace
}  // namespace qx::comn

using namespace qx::comn;

char* QXmsgf(DWORD, int line, const char* path, DWORD msgid, DWORD flags, ...) {
  int saved_errno = errno;
  Call call;
  call.line = line;
  call.path = path;
  call.id = msgid;
  call.flags = flags;
  QXEVT_WTO_PROC event = EventProcFor(flags);
  MsgfState& st = State();
  char* result = nullptr;
  va_list ap;
  va_start(ap, flags);
  {
    std::lock_guard lock(st.mutex);
    Run(st, call, &ap, saved_errno, event, [&](const std::string& text) {
      result = st.ring[st.next];
      st.next = (st.next + 1) % kMsgfRing;
      size_t n = std::min(text.size(), kMsgfMaxText);
      std::memcpy(result, text.data(), n);
      result[n] = '\0';
      return static_cast<const char*>(result);
    });
  }
  va_end(ap);
  errno = (flags & QXMSGF_ERRNO) ? 0 : saved_errno;
  return result;
}

char16_t* QXmsgfw(DWORD, int line, const char16_t* path, DWORD msgid, DWORD flags, ...) {
  int saved_errno = errno;
  Call call;
  call.wide = true;
  call.line = line;
  call.wide_path = path;
  call.id = msgid;
  call.flags = flags;
  QXEVT_WTO_PROC event = EventProcFor(flags);
  MsgfState& st = State();
  char16_t* result = nullptr;
  std::string narrow;
  va_list ap;
  va_start(ap, flags);
  {
    std::lock_guard lock(st.mutex);
    Run(st, call, &ap, saved_errno, event, [&](const std::string& text) {
      result = st.wring[st.wnext];
      st.wnext = (st.wnext + 1) % kMsgfRing;
      std::optional<std::u16string> w = qx::platform::Utf8ToUtf16(text);
      size_t n = w ? std::min(w->size(), kMsgfMaxText) : 0;
      if (w) std::memcpy(result, w->data(), n * sizeof(char16_t));
      result[n] = u'\0';
      narrow = text;
      return narrow.c_str();
    });
  }
  va_end(ap);
  errno = (flags & QXMSGF_ERRNO) ? 0 : saved_errno;
  return result;
}
