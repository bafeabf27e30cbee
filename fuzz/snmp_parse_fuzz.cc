// Feeds arbitrary datagrams to the SNMP message decoder, and the same bytes to
// the BER element parsers one by one.
#include <qxsnmp/ber.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/report.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

void Ignore(const qx::snmp::ReportRecord&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx::snmp;
  SetReportSink(Ignore);
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> bytes(data, data + size);
  const int32_t length = static_cast<int32_t>(size);

  auto pdu = snmp_pdu_create(0);
  if (snmp_parse(nullptr, pdu.get(), bytes.data(), length) == 0 && pdu->command == SNMP_MSG_TRAP) {
    // What was decoded can be encoded again when its types are known ones.
    pdu->agent_addr = "127.0.0.1";
    std::vector<uint8_t> out(kMaxMessageSize);
    int32_t out_length = kMaxMessageSize;
    snmp_build(nullptr, pdu.get(), out.data(), &out_length);
  }

  uint8_t type = 0;
  int32_t room = length;
  asn_parse_header(bytes.data(), &room, &type);
  room = length;
  int32_t value = 0;
  asn_parse_int(bytes.data(), &room, &type, &value, 4);
  oid objid[kMaxOidLength];
  int32_t count = kMaxOidLength;
  room = length;
  asn_parse_objid(bytes.data(), &room, &type, objid, &count);
  uint8_t text[kMaxCommunityLength];
  int32_t text_length = kMaxCommunityLength;
  room = length;
  asn_parse_string(bytes.data(), &room, &type, text, &text_length);
  room = length;
  asn_parse_null(bytes.data(), &room, &type);
  codec_error = 0;
  return 0;
}
