// The one road by which the SNMP engine and qxtrap report: every operator message
// and every trace line becomes one call of the product's message facility with a
// message identifier of facility 357 (QXTRAP). Nothing else in the engine prints
// messages.
//
// Also holds the process-wide switches the sender sets: the debug-trace switch
// (trace lines are written only while it is on) and the dump counter (outgoing
// datagrams are printed in hexadecimal while it is non-zero).
//
// Thread-safety: the engine is single-threaded; the switches and the sink are
// process-wide and unguarded.
#ifndef QXSNMP_REPORT_H
#define QXSNMP_REPORT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace qx::snmp {

// Facility 357, both marker bits: 0x09658000.
inline constexpr uint32_t kFacilityBits = 0x09658000u;
inline constexpr uint32_t kSevWarning = 0, kSevSuccess = 1, kSevError = 2, kSevInfo = 3;

// Message identifier of facility 357 for a message number and a severity.
constexpr uint32_t MessageId(uint32_t number, uint32_t severity) {
  return kFacilityBits | ((number & 0xFFFu) << 3) | (severity & 7u);
}

// The messages the engine names directly.
inline constexpr uint32_t kMsgTrace = MessageId(61, kSevInfo);          // 0x096581EB
inline constexpr uint32_t kMsgHexContinue = MessageId(62, kSevInfo);    // 0x096581F3
inline constexpr uint32_t kMsgNoLocalHost = MessageId(225, kSevError);  // 0x0965870A
inline constexpr uint32_t kMsgUnknownType = MessageId(227, kSevError);  // 0x0965871A
inline constexpr uint32_t kMsgBuildFailed = MessageId(229, kSevError);  // 0x0965872A

// Flags of the message call: local print, event console, low byte the value count.
inline constexpr int kFlagLocal = 0x8000;
inline constexpr int kFlagEvent = 0x4000;

// One substitution value: an integer (%d, %u, %x) or a string (%s).
using ReportValue = std::variant<int64_t, std::string>;

// What one report carried; handed to a test sink instead of the message facility.
struct ReportRecord {
  uint32_t msgid = 0;
  int flags = 0;
  std::vector<ReportValue> values;
  int line = 0;
  std::string file;
};

// A sink receives every report instead of the message facility (nullptr restores
// the facility). For tests.
using ReportSink = void (*)(const ReportRecord&);
void SetReportSink(ReportSink sink);

// Delivers one report: to the sink when one is set, else to the message facility.
void Deliver(const ReportRecord& record);

// Reports msgid with flags (the value count is taken from the values given) and up
// to four values, each an integer or a string.
template <typename... Values>
struct Report {
  // line and file default to the caller's (the builtins work with gcc and clang).
  explicit Report(uint32_t msgid, int flags, const Values&... values, int line = __builtin_LINE(),
                  const char* file = __builtin_FILE()) {
    static_assert(sizeof...(Values) <= 4, "at most four values");
    ReportRecord r;
    r.msgid = msgid;
    r.flags = (flags & ~0xFF) | static_cast<int>(sizeof...(Values));
    (r.values.push_back(ToValue(values)), ...);
    r.line = line;
    r.file = BaseName(file);
    Deliver(r);
  }

 private:
  template <typename V>
  static ReportValue ToValue(const V& v) {
    if constexpr (std::is_integral_v<V>) {
      return ReportValue(static_cast<int64_t>(v));
    } else {
      return ReportValue(std::string(std::string_view(v)));
    }
  }
  static std::string BaseName(const char* path) {
    std::string_view p(path);
    size_t slash = p.rfind('/');
    return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
  }
};
template <typename... Values>
Report(uint32_t, int, const Values&...) -> Report<Values...>;

// The debug-trace switch and the dump counter.
bool DebugTracing();
void SetDebugTracing(bool on);
int DumpCounter();
void SetDumpCounter(int count);

// Writes one trace line (message 61, local print, one value) when debug tracing is
// on, with the caller's source line and file. The text is formatted from a fixed
// format into at most 199 bytes. Use through QX_SNMP_TRACE(format, ...).
void TraceAt(int line, const char* file, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
#define QX_SNMP_TRACE(...) ::qx::snmp::TraceAt(__LINE__, __FILE__, __VA_ARGS__)

// An unconditional debug line (the line written after each send), handed to the
// debug trace writer (DbgWrite), which decides whether it is written.
void DebugLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qx::snmp

#endif
