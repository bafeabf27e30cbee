// Delivery of the engine's reports to the product's message facility.
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

// Hands the record to the message facility.
void ToFacility(const ReportRecord& r) {
  // Until the facility is linked in, print the identifier and the values on
  // standard error so that nothing is lost.
  std::fprintf(stderr, "%%QXTRAP-%c-%u,", "WSEIF???"[r.msgid & 7], (r.msgid >> 3) & 0xFFF);
  for (const ReportValue& v : r.values) {
    if (const auto* i = std::get_if<int64_t>(&v))
      std::fprintf(stderr, " %lld", static_cast<long long>(*i));
    else
      std::fprintf(stderr, " %s", std::get<std::string>(v).c_str());
  }
  std::fputc('\n', stderr);
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
  ToFacility(record);
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

void Trace(const char* format, ...) {
  if (!g_debug) return;
  va_list ap;
  va_start(ap, format);
  std::string text = FormatTrace(format, ap);
  va_end(ap);
  Report(kMsgTrace, kFlagLocal, text);
}

void DebugLine(const char* format, ...) {
  // The trace facility decides whether such lines are written; until it is
  // linked in they follow the debug-trace switch.
  if (!g_debug) return;
  va_list ap;
  va_start(ap, format);
  std::string text = FormatTrace(format, ap);
  va_end(ap);
  Report(kMsgTrace, kFlagLocal, text);
}

}  // namespace qx::snmp
