// Delivery of the engine's reports to the product's message facility.
#include <qxcomn.h>
#include <qxplatform/format.h>
#include <qxsnmp/report.h>

#include <cstdarg>
#include <cstdio>

namespace qx::snmp {
namespace {

ReportSink g_sink = nullptr;
bool g_debug = false;
int g_dump = 0;

// Trace texts are formatted into a buffer of this size; longer texts are cut.
constexpr size_t kTraceTextSize = 200;

// Hands the record to the message facility, each value as the conversion of the
// message text expects it: an int for %d, a char* for %s.
template <typename... Args>
void ToFacility(const ReportRecord& r, size_t next, Args... args) {
  if constexpr (sizeof...(Args) >= 4) {
    QXmsgf(2, r.line, r.file.c_str(), r.msgid, static_cast<DWORD>(r.flags), args...);
  } else {
    if (next == r.values.size()) {
      QXmsgf(2, r.line, r.file.c_str(), r.msgid, static_cast<DWORD>(r.flags), args...);
    } else if (const auto* i = std::get_if<int64_t>(&r.values[next])) {
      ToFacility(r, next + 1, args..., static_cast<int>(*i));
    } else {
      ToFacility(r, next + 1, args..., std::get<std::string>(r.values[next]).c_str());
    }
  }
}

}  // namespace

void SetReportSink(ReportSink sink) {
  g_sink = sink;
}

void Deliver(const ReportRecord& record) {
  if (g_sink != nullptr) {
    g_sink(record);
    return;
  }
  ToFacility(record, 0);
}

bool DebugTracing() {
  return g_debug;
}
void SetDebugTracing(bool on) {
  g_debug = on;
}
int DumpCounter() {
  return g_dump;
}
void SetDumpCounter(int count) {
  g_dump = count;
}

namespace {

// Formats a trace text with the project's formatter, cut to the trace buffer.
std::string FormatTrace(const char* format, va_list ap) {
  std::vector<qx::platform::FormatArg> args = qx::platform::ReadPrintfArgs(format, ap);
  std::string text = qx::platform::FormatPrintf(format, args);
  if (text.size() > kTraceTextSize - 1) text.resize(kTraceTextSize - 1);
  return text;
}

}  // namespace

void TraceAt(int line, const char* file, const char* format, ...) {
  if (!g_debug) return;
  va_list ap;
  va_start(ap, format);
  std::string text = FormatTrace(format, ap);
  va_end(ap);
  ReportRecord r;
  r.msgid = kMsgTrace;
  r.flags = kFlagLocal | 1;
  r.values.emplace_back(std::move(text));
  r.line = line;
  std::string_view path(file);
  r.file =
      std::string(path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1));
  Deliver(r);
}

void DebugLine(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = FormatTrace(format, ap);
  va_end(ap);
  // The trace facility decides whether and where the line is written.
  DbgWrite("%s", text.c_str());
}

}  // namespace qx::snmp
