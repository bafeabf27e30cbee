#include "varbind.h"

#include <gtest/gtest.h>
#include <qxsnmp/errors.h>

#include "report_capture.h"

namespace qx::qxtrap {
namespace {

using snmp::testing::ReportCapture;
const std::vector<oid> kDefaultName = {1, 3, 6, 1, 2, 1, 1, 2, 3};

TEST(VarbindTest, TypeKeywordsIgnoreCase) {
  EXPECT_EQ(LookupType("counter"), 0x41);
  EXPECT_EQ(LookupType("Gauge"), 0x42);
  EXPECT_EQ(LookupType("INTEGER"), 0x02);
  EXPECT_EQ(LookupType("ipAddress"), 0x40);
  EXPECT_EQ(LookupType("null"), 0x05);
  EXPECT_EQ(LookupType("objectidentifier"), 0x06);
  EXPECT_EQ(LookupType("octetstring"), 0x04);
  EXPECT_EQ(LookupType("octetstringascii"), 0x04);
  EXPECT_EQ(LookupType("opaque"), 0x02);
  EXPECT_EQ(LookupType("opaqueascii"), 0x04);
  EXPECT_EQ(LookupType("timeticks"), 0x43);
  for (const char* refused : {"octetstringoctal", "octetstringhex", "opaqueoctal", "opaquehex"})
    EXPECT_EQ(LookupType(refused), kErrTypeNotSupported) << refused;
  for (const char* unknown : {"", "int", "integer ", "octetstringasciiXXXXX", "counter64"})
    EXPECT_EQ(LookupType(unknown), kErrUnknownType) << unknown;
}

TEST(VarbindTest, ObjectIdentifierCountRule) {
  std::vector<oid> out;
  EXPECT_EQ(ConvertObjid("1.3.6", 64, &out), 1);
  EXPECT_EQ(out, (std::vector<oid>{1, 3, 6}));
  EXPECT_EQ(ConvertObjid("1.3", 64, &out), -237);
  EXPECT_EQ(ConvertObjid("", 64, &out), -237);
  EXPECT_EQ(ConvertObjid("1.3.6.1", 3, &out), -208);
  EXPECT_EQ(ConvertObjid("1.3.", 64, &out), -237);
  EXPECT_EQ(ConvertObjid("a.b.c", 64, &out), -237);
}

TEST(VarbindTest, NumbersAreCutTo32Bits) {
  EXPECT_EQ(ArgumentNumber("42"), 42);
  EXPECT_EQ(ArgumentNumber(" -7x"), -7);
  EXPECT_EQ(ArgumentNumber("4294967295"), -1);
  EXPECT_EQ(ArgumentNumber("4294967296"), 0);
  EXPECT_EQ(ArgumentNumber(""), 0);
  EXPECT_EQ(ArgumentNumber("abc"), 0);
}

TEST(VarbindTest, IpAddressValues) {
  EXPECT_EQ(ResolveIpValue("10.1.2.3"), (std::array<uint8_t, 4>{10, 1, 2, 3}));
  EXPECT_EQ(ResolveIpValue("255.255.255.255"), (std::array<uint8_t, 4>{255, 255, 255, 255}));
  EXPECT_EQ(ResolveIpValue("no-such-host.invalid"), (std::array<uint8_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(ResolveIpValue("::1"), (std::array<uint8_t, 4>{0, 0, 0, 0}));
}

TEST(VarbindTest, TriplesBecomeBindings) {
  ReportCapture capture;
  snmp::VarBind b;
  ASSERT_EQ(QXbuildVarList(&b, Triple{}, kDefaultName), 0);
  EXPECT_EQ(b.name, kDefaultName);
  EXPECT_EQ(b.type, snmp::ASN_NULL);

  snmp::VarBind c;
  ASSERT_EQ(QXbuildVarList(&c, Triple{"1.3.6.1.2", "counter", "4294967295"}, kDefaultName), 0);
  EXPECT_EQ(c.type, 0x41);
  EXPECT_EQ(static_cast<uint32_t>(c.integer), 4294967295u);

  snmp::VarBind s;
  ASSERT_EQ(QXbuildVarList(&s, Triple{"1.3.6", "OCTETSTRING", "a b"}, kDefaultName), 0);
  EXPECT_EQ(s.bytes, (std::vector<uint8_t>{'a', ' ', 'b'}));

  snmp::VarBind o;
  ASSERT_EQ(QXbuildVarList(&o, Triple{"1.3.6", "objectidentifier", "1.3.6.1.4"}, kDefaultName), 0);
  EXPECT_EQ(o.objid, (std::vector<oid>{1, 3, 6, 1, 4}));
  EXPECT_EQ(o.value_length(), 5u);

  snmp::VarBind n;
  ASSERT_EQ(QXbuildVarList(&n, Triple{"1.3.6", "null", std::nullopt}, kDefaultName), 0);
  EXPECT_EQ(n.type, snmp::ASN_NULL);
  EXPECT_TRUE(capture.messages().empty());
}

TEST(VarbindTest, ConversionErrorsAreReportedWithTheirText) {
  ReportCapture capture;
  snmp::VarBind b;
  EXPECT_EQ(QXbuildVarList(&b, Triple{"1.3.6", "float", "1"}, kDefaultName), -234);
  EXPECT_EQ(QXbuildVarList(&b, Triple{"1.3.6", "opaquehex", "1"}, kDefaultName), -235);
  EXPECT_EQ(QXbuildVarList(&b, Triple{"1.3", "null", ""}, kDefaultName), -237);
  EXPECT_EQ(QXbuildVarList(&b, Triple{"1.3.6", "objectidentifier", "x"}, kDefaultName), -237);
  auto m = capture.messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].msgid, 0x09658002u | (233u << 3));
  EXPECT_EQ(ReportCapture::Str(m[0], 0), "float");
  EXPECT_EQ(m[1].msgid, 0x09658002u | (234u << 3));
  EXPECT_EQ(ReportCapture::Str(m[2], 0), "1.3");
  EXPECT_EQ(ReportCapture::Str(m[3], 0), "x");
}

}  // namespace
}  // namespace qx::qxtrap
