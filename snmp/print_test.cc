#include <gtest/gtest.h>
#include <qxsnmp/mib.h>
#include <qxsnmp/print.h>
#include <stdlib.h>

#include <cstring>

using namespace std::literals;

#include "report_capture.h"
#include "test_env.h"

namespace qx::snmp {
namespace {

using testing::ReportCapture;
using Oid = std::vector<oid>;

VarBind Int(uint8_t type, int32_t value) {
  VarBind v;
  v.type = type;
  v.integer = value;
  return v;
}
VarBind Str(uint8_t type, std::string_view s) {
  VarBind v;
  v.type = type;
  v.bytes.assign(s.begin(), s.end());
  return v;
}
VarBind ObjId(Oid value) {
  VarBind v;
  v.type = ASN_OBJECT_ID;
  v.objid = std::move(value);
  return v;
}

class PrintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QXIGLBL0000", (qx::testing::SourceDir() + "/share/qx").c_str(), 1);
    ASSERT_EQ(LoadMib(), kMibLoaded);
  }
  void TearDown() override {
    ::unsetenv("QXIGLBL0000");
    UnloadMib();
  }
  Oid Read(const char* name, int* result = nullptr) {
    oid out[64];
    int32_t count = 64;
    int r = read_objid(name, out, &count);
    if (result != nullptr) *result = r;
    return r == 1 ? Oid(out, out + count) : Oid{};
  }
  std::string Value(const char* name, const VarBind& v) {
    Oid n = Read(name);
    return ValueText(n.data(), n.size(), v);
  }
  ReportCapture capture;
};

TEST(UptimeTest, DaysHoursMinutesSeconds) {
  EXPECT_EQ(UptimeText(0), "0:00:00");
  EXPECT_EQ(UptimeText(360000), "1:00:00");
  EXPECT_EQ(UptimeText(8640000), "1 day, 0:00:00");
  EXPECT_EQ(UptimeText(2 * 8640000 + 366199), "2 days, 1:01:01");
  // Time-stamps are unsigned: past 2^31 hundredths they go on counting.
  EXPECT_EQ(UptimeText(0x80000000u), "248 days, 13:13:56");
  EXPECT_EQ(UptimeText(0xFFFFFFFFu), "497 days, 2:27:52");
}

TEST_F(PrintTest, NamesResolveRelativeToMib2OrFromTheRoot) {
  EXPECT_EQ(Read("system.sysDescr.0"), (Oid{1, 3, 6, 1, 2, 1, 1, 1, 0}));
  EXPECT_EQ(Read("SYSTEM.sysdescr.0"), (Oid{1, 3, 6, 1, 2, 1, 1, 1, 0}));
  EXPECT_EQ(Read(".iso.3"), (Oid{1, 3}));
  EXPECT_EQ(Read(".1.3.6.1.4.1.32473.5"), (Oid{1, 3, 6, 1, 4, 1, 32473, 5}));
  // Numbers below a node the tree does not know leave no names to find.
  EXPECT_EQ(Read("1.99.7"), (Oid{1, 3, 6, 1, 2, 1, 1, 99, 7}));
  int r = 1;
  EXPECT_EQ(Read("1.99.sysDescr", &r), Oid{});
  EXPECT_EQ(r, kNameNotFound);
  Read("system.nothing", &r);
  EXPECT_EQ(r, kNameNotFound);
  for (const char* empty : {"", "system.", "system..1", ".", ".iso..3"}) {
    Read(empty, &r);
    EXPECT_EQ(r, 0) << empty;
  }
  Read("system.4294967296", &r);
  EXPECT_EQ(r, kNameNotFound);
}

TEST_F(PrintTest, ReadObjidKeepsToItsCapacity) {
  oid out[8] = {};
  int32_t count = 5;
  EXPECT_EQ(read_objid("system", out, &count), kNameTooLong);
  count = 8;
  EXPECT_EQ(read_objid("system.sysDescr", out, &count), 1);
  EXPECT_EQ(count, 8);
  oid guard[9] = {};
  count = 8;
  EXPECT_EQ(read_objid("system.sysDescr.0", guard, &count), kNameTooLong);
  EXPECT_EQ(guard[8], 0u);
  count = 2;
  EXPECT_EQ(read_objid(".iso.org.dod", out, &count), kNameTooLong);
}

TEST(ReadObjidTest, WithoutAMibTheProcessEnds) {
  UnloadMib();
  oid out[16];
  int32_t count = 16;
  EXPECT_EXIT(read_objid("system", out, &count), ::testing::ExitedWithCode(1), "");
}

TEST_F(PrintTest, NumbersBecomeNamesAsFarAsTheTreeGoes) {
  Oid n = {1, 3, 6, 1, 4, 1, 32473, 5, 1};
  EXPECT_EQ(ObjidName(n.data(), n.size()), ".iso.org.dod.internet.private.enterprises.32473.5.1");
  n = {2, 5};
  EXPECT_EQ(ObjidName(n.data(), n.size()), ".2.5");
  n = {1, 3, 6, 1, 2, 1, 2, 2, 1, 8, 3};
  char buf[200];
  size_t length = 0;
  const MibNode* node = get_symbol(n.data(), n.size(), MibTopLevel(), buf, sizeof buf, &length);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->label, "ifOperStatus");
  EXPECT_STREQ(buf, "iso.org.dod.internet.mgmt.mib-2.interfaces.ifTable.ifEntry.ifOperStatus.3");
  EXPECT_EQ(length, std::strlen(buf));
  EXPECT_EQ(get_symbol(n.data(), n.size(), nullptr, buf, sizeof buf), nullptr);
  EXPECT_STREQ(buf, "1.3.6.1.2.1.2.2.1.8.3");
}

TEST_F(PrintTest, ValuesPrintByTheNodesKind) {
  EXPECT_EQ(Value("interfaces.ifTable.ifEntry.ifOperStatus.1", Int(ASN_INTEGER, 2)),
            "INTEGER: down(2)");
  EXPECT_EQ(Value("interfaces.ifTable.ifEntry.ifOperStatus.1", Int(ASN_INTEGER, 9)), "INTEGER: 9");
  EXPECT_EQ(Value("system.sysUpTime.0", Int(ASN_TIMETICKS, 8640000)),
            "Timeticks: (8640000) 1 day, 0:00:00");
  EXPECT_EQ(Value("interfaces.ifTable.ifEntry.ifInOctets.1", Int(ASN_COUNTER, -1)),
            "Counter: 4294967295");
  EXPECT_EQ(Value("interfaces.ifTable.ifEntry.ifSpeed.1", Int(ASN_GAUGE, 10000000)),
            "Gauge: 10000000");
  EXPECT_EQ(Value("ip.ipAddrTable.ipAddrEntry.ipAdEntAddr.1", Str(ASN_IPADDRESS, "\x7f\0\0\x01"sv)),
            "IpAddress:\t127.0.0.1");
  EXPECT_EQ(Value("system.sysObjectID.0", ObjId({1, 3, 6, 1, 4, 1, 32473})),
            "OBJECT IDENTIFIER:\t.iso.org.dod.internet.private.enterprises.32473");
  EXPECT_EQ(Value("at.atTable.atEntry.atNetAddress.1", Str(ASN_IPADDRESS, "\x0a\x00\x00\x02"sv)),
            "IpAddress:\t10.0.0.2");
}

TEST_F(PrintTest, AMismatchSaysSoAndPrintsByTheBindingsType) {
  EXPECT_EQ(Value("interfaces.ifTable.ifEntry.ifOperStatus.1", Str(ASN_OCTET_STR, "abc")),
            "Wrong Type (should be INTEGER): OCTET STRING-   (hex):\t61 62 63 ");
  EXPECT_EQ(Value("system.sysDescr.0", Int(ASN_INTEGER, 5)),
            "Wrong Type (should be OCTET STRING): INTEGER: 5");
  EXPECT_EQ(Value("system.sysUpTime.0", Int(ASN_GAUGE, 5)),
            "Wrong Type (should be Timeticks): Gauge: 5");
  VarBind odd;
  odd.type = 0x47;
  EXPECT_EQ(Value("system.sysDescr.0", odd),
            "Wrong Type (should be OCTET STRING): Variable has bad type");
  // Below nodes without a kind, or outside the tree, the binding's type decides.
  EXPECT_EQ(Value(".1.3.6.1.4.1.32473.1", VarBind{}), "NULL");
  EXPECT_EQ(Value(".1.3.6.1.4.1.32473.1", Str(ASN_OPAQUE, "\x01\x02"sv)),
            "OPAQUE -   (hex):\t01 02 ");
}

TEST_F(PrintTest, OctetStringsInTextOrHex) {
  EXPECT_EQ(Value("system.sysName.0", Str(ASN_OCTET_STR, "host")),
            "OCTET STRING-   (hex):\t68 6F 73 74 ");
  EXPECT_EQ(Value("system.sysName.0", Str(ASN_OCTET_STR, "hosts\tand\nmore")),
            "OCTET STRING- (ascii):\thosts.and.more");
  std::string text(100, 'a');
  EXPECT_EQ(Value("system.sysName.0", Str(ASN_OCTET_STR, text)),
            "OCTET STRING- (ascii):\t" + std::string(48, 'a') + "\n" + std::string(48, 'a') + "\n" +
                "aaaa");
  std::string binary;
  for (int i = 0; i < 18; ++i) binary.push_back(static_cast<char>(i * 15));
  EXPECT_EQ(Value("system.sysName.0", Str(ASN_OCTET_STR, binary)),
            "OCTET STRING-   (hex):\t00 0F 1E 2D 3C 4B 5A 69 78 87 96 A5 B4 C3 D2 E1\nF0 FF ");
}

TEST_F(PrintTest, VariableTextShowsTheNameBelowMib2) {
  Oid n = Read("system.sysDescr.0");
  EXPECT_EQ(VariableText(n.data(), n.size(), Str(ASN_OCTET_STR, "linux box")),
            "Name: system.sysDescr.0\nOCTET STRING- (ascii):\tlinux box\n");
  n = {1, 3, 6, 1, 4, 1, 32473, 5};
  EXPECT_EQ(VariableText(n.data(), n.size(), Int(ASN_INTEGER, 3)),
            "Name: .iso.org.dod.internet.private.enterprises.32473.5\nINTEGER: 3\n");
}

TEST(PrintWithoutMibTest, NamesStayWholeNumbersAndValuesPrintByType) {
  UnloadMib();
  Oid n = {1, 3, 6, 1, 2, 1, 2, 2, 1, 8, 1};
  EXPECT_EQ(VariableText(n.data(), n.size(), Int(ASN_INTEGER, 2)),
            "Name: .1.3.6.1.2.1.2.2.1.8.1\nINTEGER: 2\n");
  EXPECT_EQ(ValueText(n.data(), n.size(), ObjId({1, 3, 6})), "OBJECT IDENTIFIER:\t.1.3.6");
}

TEST_F(PrintTest, BuffersAreNeverWrittenPastTheirSize) {
  Oid n = Read("system.sysDescr.0");
  VarBind v = Str(ASN_OCTET_STR, std::string(300, 'z'));
  std::string whole = VariableText(n.data(), n.size(), v);
  for (size_t size : {0u, 1u, 2u, 10u, 64u}) {
    std::vector<char> buf(size + 8, '#');
    size_t length = sprint_variable(buf.data(), size, n.data(), n.size(), v);
    EXPECT_EQ(length, whole.size());
    if (size > 0) {
      EXPECT_EQ(std::string(buf.data()), whole.substr(0, size - 1));
    }
    for (size_t i = size; i < buf.size(); ++i) ASSERT_EQ(buf[i], '#') << size;
  }
  char small[12];
  EXPECT_EQ(sprint_objid(small, sizeof small, n.data(), n.size()),
            std::string(".iso.org.dod.internet.mgmt.mib-2.system.sysDescr.0").size());
  EXPECT_STREQ(small, ".iso.org.do");
  char value[10];
  EXPECT_EQ(sprint_value(value, sizeof value, n.data(), n.size(), v), 23u + 48 * 6 + 12 + 6);
  EXPECT_STREQ(value, "OCTET STR");
}

TEST_F(PrintTest, PrintFunctionsWriteALine) {
  Oid n = Read("system.sysServices.0");
  ::testing::internal::CaptureStdout();
  print_value(n.data(), n.size(), Int(ASN_INTEGER, 72));
  print_variable(n.data(), n.size(), Int(ASN_INTEGER, 4));
  print_objid(n.data(), n.size());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "INTEGER: 72\nINTEGER: 4\n.iso.org.dod.internet.mgmt.mib-2.system.sysServices.0\n");
}

}  // namespace
}  // namespace qx::snmp
