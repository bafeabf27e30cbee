// Feeds arbitrary bytes to what a subscriber and qxtrapd read from outside: the
// forwarded record's header, and the trap message, decoded and turned into the
// text qxtrapd prints.
#include <qxsnmp/errors.h>
#include <qxsnmp/forward.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/report.h>
#include <qxsnmp/trap_receiver.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

void Ignore(const qx::snmp::ReportRecord&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx::snmp;
  SetReportSink(Ignore);
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> bytes(data, data + size);
  const uint8_t* message = bytes.data();
  size_t length = size;
  uint32_t record_length = 0;
  if (ParseRecordHeader(bytes.data(), bytes.size(), &record_length)) {
    message += kRecordHeaderSize;
    length -= kRecordHeaderSize;
    if (record_length < length) length = record_length;
  }
  if (length > kMaxDatagramSize) return 0;
  auto pdu = snmp_pdu_create(0);
  if (snmp_parse(nullptr, pdu.get(), message, static_cast<int32_t>(length)) == 0 &&
      pdu->command == SNMP_MSG_TRAP) {
    std::string text = TrapText(*pdu, "127.0.0.1:162", "public");
    (void)IsSubscriptionRequest(*pdu);
  }
  codec_error = 0;
  return 0;
}
