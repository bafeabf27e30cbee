#include <gtest/gtest.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/session.h>

#include <string>
#include <vector>

#include "report_capture.h"

namespace qx::snmp {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::ReportCapture;

const std::vector<oid> kEnterprise = {1, 3, 6, 1, 4, 1, 32473};
const std::vector<oid> kSysObjectId = {1, 3, 6, 1, 2, 1, 1, 2, 3};

std::unique_ptr<SnmpPdu> MakeTrap() {
  auto pdu = snmp_pdu_create(SNMP_MSG_TRAP);
  pdu->request_id = 1;
  pdu->enterprise = kEnterprise;
  pdu->agent_addr = "127.0.0.1";
  pdu->generic_type = 6;
  pdu->specific_type = 1;
  pdu->time = 100;
  return pdu;
}

Bytes Build(SnmpPdu* pdu, const std::string& community = "public",
            int32_t capacity = kMaxMessageSize) {
  SnmpSession session;
  session.community = community;
  Bytes out(static_cast<size_t>(capacity) + 16, 0xEE);
  int32_t length = capacity;
  if (snmp_build(&session, pdu, out.data(), &length) != 0) return {};
  out.resize(static_cast<size_t>(length));
  return out;
}

class PduTest : public ::testing::Test {
 protected:
  void SetUp() override {
    codec_error = 0;
    ClearInsertTexts();
  }
  ReportCapture capture;
};

TEST_F(PduTest, TrapMessageLayout) {
  auto pdu = MakeTrap();
  snmp_add_null_var(pdu.get(), kSysObjectId.data(), kSysObjectId.size());
  Bytes expected = {0x30, 0x36, 0x02, 0x01, 0x00, 0x04, 0x06, 'p',  'u',  'b',
                    'l',  'i',  'c',                                             // header
                    0xA4, 0x29,                                                  // Trap-PDU
                    0x06, 0x08, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59,  // enterprise
                    0x40, 0x04, 0x7F, 0x00, 0x00, 0x01,                          // agent-addr
                    0x02, 0x01, 0x06, 0x02, 0x01, 0x01,  // generic, specific
                    0x43, 0x01, 0x64,                    // time-stamp
                    0x30, 0x0E, 0x30, 0x0C, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02,
                    0x01, 0x01, 0x02, 0x03, 0x05, 0x00};
  EXPECT_EQ(Build(pdu.get()), expected);
}

TEST_F(PduTest, EmptyBindingListAndSignedTimeStamp) {
  auto pdu = MakeTrap();
  pdu->time = 0x80000000u;
  Bytes message = Build(pdu.get());
  ASSERT_GE(message.size(), 8u);
  Bytes tail(message.end() - 8, message.end());
  EXPECT_EQ(tail, (Bytes{0x43, 0x04, 0x80, 0x00, 0x00, 0x00, 0x30, 0x00}));
}

TEST_F(PduTest, BindingHeadersGrowWithTheirContent) {
  // Content 127 keeps one length byte; 128 and 255 take 0x81; 256 takes 0x82.
  struct Case {
    size_t string_length;
    Bytes header;
  } cases[] = {{115, {0x30, 0x7F}},
               {116, {0x30, 0x81, 0x80}},
               {242, {0x30, 0x81, 0xFF}},
               {243, {0x30, 0x82, 0x01, 0x00}},
               {1000, {0x30, 0x82, 0x03, 0xF6}}};
  for (const Case& c : cases) {
    VarBind v;
    v.name = kSysObjectId;
    v.type = ASN_OCTET_STR;
    v.bytes.assign(c.string_length, 'x');
    uint8_t buf[1100];
    int32_t room = sizeof buf;
    uint8_t* end = snmp_build_var_op(buf, &room, v);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(Bytes(buf, buf + c.header.size()), c.header) << c.string_length;
    EXPECT_EQ(room, static_cast<int32_t>(sizeof buf) - (end - buf));
    // The name follows the grown header directly.
    EXPECT_EQ(buf[c.header.size()], ASN_OBJECT_ID);
    EXPECT_EQ(end[-1], 'x');
  }
}

TEST_F(PduTest, BindingShiftNeedsItsRoom) {
  VarBind v;
  v.name = kSysObjectId;
  v.type = ASN_OCTET_STR;
  v.bytes.assign(116, 'x');  // content 128: header grows by one byte
  uint8_t buf[200];
  int32_t room = 2 + 128;  // exactly the content with a one-byte length
  EXPECT_EQ(snmp_build_var_op(buf, &room, v), nullptr);
  EXPECT_EQ(codec_error, kErrNoRoomInt);
  room = 3 + 128;
  EXPECT_NE(snmp_build_var_op(buf, &room, v), nullptr);
  EXPECT_EQ(room, 0);
}

TEST_F(PduTest, LongCommunityIsCountedInTheMessageHeader) {
  auto pdu = MakeTrap();
  std::string community(200, 'c');
  Bytes message = Build(pdu.get(), community);
  ASSERT_FALSE(message.empty());
  // 30 81 ll, version (3), community header 04 81 C8 (3) + 200.
  ASSERT_EQ(Bytes(message.begin(), message.begin() + 2), (Bytes{0x30, 0x81}));
  EXPECT_EQ(size_t{message[2]}, message.size() - 3);
  EXPECT_EQ(Bytes(message.begin() + 6, message.begin() + 9), (Bytes{0x04, 0x81, 0xC8}));
  // 300 bytes: both the message and the community take two length bytes.
  message = Build(pdu.get(), std::string(300, 'c'));
  ASSERT_EQ(Bytes(message.begin(), message.begin() + 2), (Bytes{0x30, 0x82}));
  EXPECT_EQ((size_t{message[2]} << 8) | message[3], message.size() - 4);
  EXPECT_EQ(Bytes(message.begin() + 7, message.begin() + 11), (Bytes{0x04, 0x82, 0x01, 0x2C}));
}

TEST_F(PduTest, MessagesThatDoNotFitFail) {
  auto pdu = MakeTrap();
  VarBind& v = pdu->variables.emplace_back();
  v.name = kSysObjectId;
  v.type = ASN_OCTET_STR;
  v.bytes.assign(4480, 'y');
  EXPECT_TRUE(Build(pdu.get()).empty());
  ASSERT_FALSE(capture.messages().empty());
  EXPECT_EQ((capture.messages()[0].msgid >> 3) & 0xFFF, 202u);  // -203
  v.bytes.resize(4400);
  EXPECT_FALSE(Build(pdu.get()).empty());
  // The smallest capacity that holds the message is enough; one less is not.
  size_t whole = Build(pdu.get()).size();
  EXPECT_EQ(Build(pdu.get(), "public", static_cast<int32_t>(whole)).size(), whole);
  EXPECT_TRUE(Build(pdu.get(), "public", static_cast<int32_t>(whole) - 1).empty());
}

TEST_F(PduTest, UnencodableEnterpriseFailsTheBuild) {
  auto pdu = MakeTrap();
  pdu->enterprise = {1};
  EXPECT_TRUE(Build(pdu.get()).empty());
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0].msgid, 0x09658002u | (210u << 3));
}

TEST_F(PduTest, AgentAddressBytesComeFromTheResolvedAddress) {
  auto pdu = MakeTrap();
  pdu->agent_addr = "255.255.255.255";
  Bytes message = Build(pdu.get());
  Bytes agent = {0x40, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_NE(std::search(message.begin(), message.end(), agent.begin(), agent.end()), message.end());
  pdu->agent_addr = "::1";  // IPv6 only: 0.0.0.0
  message = Build(pdu.get());
  agent = {0x40, 0x04, 0, 0, 0, 0};
  EXPECT_NE(std::search(message.begin(), message.end(), agent.begin(), agent.end()), message.end());
  // The local host (empty text) is some IPv4 address.
  pdu->agent_addr = "";
  EXPECT_FALSE(Build(pdu.get()).empty());
  pdu->agent_addr = "no-such-host.invalid";
  EXPECT_TRUE(Build(pdu.get()).empty());
  ASSERT_FALSE(capture.messages().empty());
  EXPECT_EQ(capture.messages()[0].msgid, 0x09658002u | (50u << 3));
  EXPECT_EQ(ReportCapture::Str(capture.messages()[0], 0), "no-such-host.invalid");
}

// A trap with one binding of every type round-trips through build and parse.
TEST_F(PduTest, EveryValueTypeRoundTrips) {
  auto pdu = MakeTrap();
  pdu->time = 0xFFFFFFFFu;
  pdu->generic_type = -5;
  pdu->specific_type = INT32_MIN;
  auto add = [&](uint8_t type) -> VarBind& {
    VarBind& v = pdu->variables.emplace_back();
    v.name = kSysObjectId;
    v.name.push_back(static_cast<oid>(pdu->variables.size()));
    v.type = type;
    return v;
  };
  add(ASN_INTEGER).integer = -123456;
  add(ASN_OCTET_STR).bytes = {'h', 'i', 0, 0xFF};
  add(ASN_NULL);
  add(ASN_OBJECT_ID).objid = {2, 999, 0xFFFFFFFF};
  add(ASN_IPADDRESS).bytes = {10, 0, 0, 1};
  add(ASN_COUNTER).integer = -1;  // 4294967295
  add(ASN_GAUGE).integer = 0;
  add(ASN_TIMETICKS).integer = static_cast<int32_t>(0x80000000u);
  add(ASN_OPAQUE).bytes = {1, 2, 3};
  Bytes message = Build(pdu.get(), "secret");
  ASSERT_FALSE(message.empty());

  auto back = snmp_pdu_create(0);
  SnmpSession session;
  ASSERT_EQ(snmp_parse(&session, back.get(), message.data(), static_cast<int32_t>(message.size())),
            0);
  EXPECT_EQ(back->command, SNMP_MSG_TRAP);
  EXPECT_EQ(back->enterprise, kEnterprise);
  EXPECT_EQ(back->agent_ip, (std::array<uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(back->generic_type, -5);
  EXPECT_EQ(back->specific_type, INT32_MIN);
  EXPECT_EQ(back->time, 0xFFFFFFFFu);
  ASSERT_EQ(back->variables.size(), pdu->variables.size());
  for (size_t i = 0; i < pdu->variables.size(); ++i) {
    const VarBind& a = pdu->variables[i];
    const VarBind& b = back->variables[i];
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.integer, b.integer);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.objid, b.objid);
    EXPECT_EQ(a.value_length(), b.value_length());
  }
  EXPECT_TRUE(capture.messages().empty());
}

TEST_F(PduTest, RequestPdusCarryTheRequestFields) {
  auto pdu = snmp_pdu_create(SNMP_MSG_GET);
  pdu->request_id = 0x01020304;
  pdu->error_status = 0;
  pdu->error_index = 0;
  snmp_add_null_var(pdu.get(), kSysObjectId.data(), kSysObjectId.size());
  Bytes message = Build(pdu.get());
  Bytes fields = {0xA0, 0x1C, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04,
                  0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E};
  ASSERT_GT(message.size(), 13 + fields.size());
  EXPECT_EQ(Bytes(message.begin() + 13, message.begin() + 13 + 16), fields);
  auto back = snmp_pdu_create(0);
  ASSERT_EQ(snmp_parse(nullptr, back.get(), message.data(), static_cast<int32_t>(message.size())),
            0);
  EXPECT_EQ(back->command, SNMP_MSG_GET);
  EXPECT_EQ(back->request_id, 0x01020304u);
  EXPECT_EQ(back->variables.size(), 1u);
}

// Parses bytes and returns the codec error reported (0 on success).
int ParseCode(Bytes data, ReportCapture& capture) {
  codec_error = 0;
  auto pdu = snmp_pdu_create(0);
  size_t before = capture.messages().size();
  int rc = snmp_parse(nullptr, pdu.get(), data.data(), static_cast<int32_t>(data.size()));
  auto messages = capture.messages();
  if (rc == 0) return messages.size() == before ? 0 : 1;
  if (messages.size() == before) return -9999;  // failure without a report
  uint32_t number = (messages[before].msgid >> 3) & 0xFFF;
  // Validator reports carry -code-1 as their third value.
  if (number >= 101 && number <= 106)
    return -static_cast<int>(ReportCapture::Int(messages[before], number == 101 ? 0 : 2)) - 1;
  return -static_cast<int>(number) - 1;
}

// "public" community header, then the given PDU bytes.
Bytes Message(const Bytes& pdu) {
  Bytes m = {0x02, 0x01, 0x00, 0x04, 0x06, 'p', 'u', 'b', 'l', 'i', 'c'};
  m.insert(m.end(), pdu.begin(), pdu.end());
  Bytes out = {0x30, static_cast<uint8_t>(m.size())};
  out.insert(out.end(), m.begin(), m.end());
  return out;
}

TEST_F(PduTest, ParseRefusesMalformedMessagesWithTheirCodes) {
  const Bytes ent = {0x06, 0x03, 0x2B, 0x06, 0x01};
  auto trap = [&](const Bytes& bindings) {
    Bytes p = ent;
    Bytes rest = {0x40, 0x04, 127, 0, 0, 1, 0x02, 0x01, 0x06, 0x02, 0x01, 0x01, 0x43, 0x01, 0x05};
    p.insert(p.end(), rest.begin(), rest.end());
    p.insert(p.end(), bindings.begin(), bindings.end());
    Bytes pdu = {0xA4, static_cast<uint8_t>(p.size())};
    pdu.insert(pdu.end(), p.begin(), p.end());
    return Message(pdu);
  };
  // A good one first.
  EXPECT_EQ(ParseCode(trap({0x30, 0x07, 0x30, 0x05, 0x06, 0x01, 0x2B, 0x05, 0x00}), capture), 0);

  EXPECT_EQ(ParseCode({0x31, 0x00}, capture), -102);  // not a sequence
  EXPECT_EQ(ParseCode({0x30, 0x05, 0x02, 0x01}, capture), -205);
  EXPECT_EQ(ParseCode({0x30, 0x80}, capture), -207);
  EXPECT_EQ(ParseCode({0x30, 0x85, 0, 0, 0, 0, 0}, capture), -202);
  EXPECT_EQ(ParseCode({0x3F, 0x00}, capture), -206);
  EXPECT_EQ(ParseCode({}, capture), -203);
  EXPECT_EQ(ParseCode({0x30, 0x03, 0x02, 0x00, 0x04}, capture), -203);  // empty INTEGER
  // Bindings not a sequence, a binding not a sequence, a binding without a name.
  EXPECT_EQ(ParseCode(trap({0x31, 0x00}), capture), -227);
  EXPECT_EQ(ParseCode(trap({0x30, 0x02, 0x05, 0x00}), capture), -102);
  EXPECT_EQ(ParseCode(trap({0x30, 0x04, 0x30, 0x02, 0x05, 0x00}), capture), -132);
  EXPECT_EQ(ParseCode(trap({0x30, 0x02, 0x30, 0x00}), capture), -132);
  // A NULL value of length 1, an empty OID name, a value past its binding.
  EXPECT_EQ(ParseCode(trap({0x30, 0x08, 0x30, 0x06, 0x06, 0x01, 0x2B, 0x05, 0x01, 0x00}), capture),
            -210);
  EXPECT_EQ(ParseCode(trap({0x30, 0x06, 0x30, 0x04, 0x06, 0x00, 0x05, 0x00}), capture), -203);
  EXPECT_EQ(ParseCode(trap({0x30, 0x07, 0x30, 0x05, 0x06, 0x01, 0x2B, 0x04, 0x05}), capture), -205);
  // Binding without a value element.
  EXPECT_EQ(ParseCode(trap({0x30, 0x05, 0x30, 0x03, 0x06, 0x01, 0x2B}), capture), -203);
  // An enterprise longer than 64 sub-identifiers.
  Bytes long_ent = {0x06, 65, 0x2B};
  long_ent.insert(long_ent.end(), 64, 0x01);
  Bytes p = long_ent;
  Bytes rest = {0x40, 0x04, 127,  0,    0,    1,    0x02, 0x01, 0x06,
                0x02, 0x01, 0x01, 0x43, 0x01, 0x05, 0x30, 0x00};
  p.insert(p.end(), rest.begin(), rest.end());
  Bytes pdu = {0xA4, static_cast<uint8_t>(p.size())};
  pdu.insert(pdu.end(), p.begin(), p.end());
  EXPECT_EQ(ParseCode(Message(pdu), capture), -208);
  // A community over 128 bytes.
  Bytes big = {0x30, 0x81, 0x87, 0x02, 0x01, 0x00, 0x04, 0x81, 0x81};
  big.insert(big.end(), 129, 'c');
  EXPECT_EQ(ParseCode(big, capture), -205);
}

TEST_F(PduTest, UnknownValueTypesAreSkipped) {
  Bytes bindings = {0x30, 0x12, 0x30, 0x07, 0x06, 0x01, 0x2B, 0x47, 0x02, 0xAA, 0xBB,  // type 0x47
                    0x30, 0x07, 0x06, 0x01, 0x2B, 0x02, 0x02, 0x01, 0x00};  // INTEGER 256
  Bytes p = {0x06, 0x01, 0x2B, 0x40, 0x04, 1,    2,    3,    4,
             0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x43, 0x01, 0x00};
  p.insert(p.end(), bindings.begin(), bindings.end());
  Bytes pdu = {0xA4, static_cast<uint8_t>(p.size())};
  pdu.insert(pdu.end(), p.begin(), p.end());
  Bytes message = Message(pdu);
  auto back = snmp_pdu_create(0);
  ASSERT_EQ(snmp_parse(nullptr, back.get(), message.data(), static_cast<int32_t>(message.size())),
            0);
  ASSERT_EQ(back->variables.size(), 2u);
  EXPECT_EQ(back->variables[0].type, 0x47);
  EXPECT_TRUE(back->variables[0].bytes.empty());
  EXPECT_EQ(back->variables[1].integer, 256);
  auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].msgid, 0x0965871Au);
  EXPECT_EQ(messages[0].flags, 0xC001);
  EXPECT_EQ(ReportCapture::Int(messages[0], 0), 0x47);
}

TEST_F(PduTest, OtherVersionsAreDecodedAfterAWarning) {
  auto pdu = MakeTrap();
  Bytes message = Build(pdu.get());
  message[4] = 1;  // version 1 (SNMPv2c)
  auto back = snmp_pdu_create(0);
  ::testing::internal::CaptureStderr();
  int rc = snmp_parse(nullptr, back.get(), message.data(), static_cast<int32_t>(message.size()));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Wrong version: 1\nContinuing anyway\n");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(back->specific_type, 1);
}

TEST_F(PduTest, BindingsOfUnknownTypeAreNotBuilt) {
  auto pdu = MakeTrap();
  VarBind& v = pdu->variables.emplace_back();
  v.name = kSysObjectId;
  v.type = 0x47;
  EXPECT_TRUE(Build(pdu.get()).empty());
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0].msgid, 0x09658002u | (205u << 3));  // -206
}

const uint8_t* AcceptingHook(const uint8_t* data, int32_t, const uint8_t*, int32_t) {
  return data;
}
const uint8_t* RefusingHook(const uint8_t*, int32_t, const uint8_t*, int32_t) {
  return nullptr;
}

TEST_F(PduTest, AuthHookTakesOverThePdu) {
  Bytes message = Message({0xFF, 0x00});  // not a PDU the parser would accept
  SnmpSession session;
  session.auth_hook = AcceptingHook;
  auto pdu = snmp_pdu_create(0);
  EXPECT_EQ(snmp_parse(&session, pdu.get(), message.data(), static_cast<int32_t>(message.size())),
            0);
  session.auth_hook = RefusingHook;
  EXPECT_EQ(snmp_parse(&session, pdu.get(), message.data(), static_cast<int32_t>(message.size())),
            -1);
}

}  // namespace
}  // namespace qx::snmp
