// Test helper: collects the engine's reports instead of printing them.
#ifndef QXSNMP_REPORT_CAPTURE_H
#define QXSNMP_REPORT_CAPTURE_H

#include <qxsnmp/report.h>

#include <string>
#include <vector>

namespace qx::snmp::testing {

class ReportCapture {
 public:
  ReportCapture() {
    Records().clear();
    SetReportSink(&Collect);
  }
  ~ReportCapture() { SetReportSink(nullptr); }
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  void Clear() { Records().clear(); }
  const std::vector<ReportRecord>& records() const { return Records(); }
  // The records that are not trace lines.
  std::vector<ReportRecord> messages() const {
    std::vector<ReportRecord> out;
    for (const ReportRecord& r : Records())
      if (r.msgid != kMsgTrace) out.push_back(r);
    return out;
  }
  static std::string Str(const ReportRecord& r, size_t i) {
    return std::get<std::string>(r.values.at(i));
  }
  static int64_t Int(const ReportRecord& r, size_t i) { return std::get<int64_t>(r.values.at(i)); }

 private:
  static std::vector<ReportRecord>& Records() {
    static std::vector<ReportRecord> records;
    return records;
  }
  static void Collect(const ReportRecord& r) { Records().push_back(r); }
};

}  // namespace qx::snmp::testing

#endif
