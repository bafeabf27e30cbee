#include <gtest/gtest.h>
#include <qxsnmp/mib.h>
#include <qxsnmp/print.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "report_capture.h"
#include "test_env.h"

namespace qx::snmp {
namespace {

using testing::ReportCapture;

std::vector<std::pair<int, std::string>> Tokens(std::string_view text) {
  MibTokenizer t(text);
  std::vector<std::pair<int, std::string>> out;
  std::string word;
  for (int tok; (tok = t.Next(&word)) != kTokEof;) out.emplace_back(tok, word);
  return out;
}

// The message text and line of the parser's first error report.
struct ParseError {
  std::string message;
  std::string word;
  int64_t line = 0;
};
ParseError FirstError(const ReportCapture& capture) {
  for (const ReportRecord& r : capture.records()) {
    if (r.msgid == kMsgMibWordError)
      return {ReportCapture::Str(r, 0), ReportCapture::Str(r, 1), ReportCapture::Int(r, 2)};
    if (r.msgid == kMsgMibError) return {ReportCapture::Str(r, 0), "", ReportCapture::Int(r, 1)};
  }
  return {};
}

class MibParseTest : public ::testing::Test {
 protected:
  bool Parse(std::string_view text) { return ParseMib(text, &nodes); }
  ReportCapture capture;
  std::vector<ParseNode> nodes;
};

TEST(MibTokenizerTest, JoinsContinuationWordsAcrossBlanksAndLines) {
  auto t = Tokens("a OBJECT    IDENTIFIER b OBJECT\n\n  IDENTIFIER OCTET STRING OBJECT-TYPE");
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[1].first, kTokObjectId);
  EXPECT_EQ(t[1].second, "OBJECTIDENTIFIER");
  EXPECT_EQ(t[3].first, kTokObjectId);
  EXPECT_EQ(t[4].first, kTokOctetStr);
  EXPECT_EQ(t[5].first, kTokObjectType);
  // OBJECT before a word that does not complete a keyword is just part of a label.
  auto u = Tokens("OBJECT thing");
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0], std::make_pair(static_cast<int>(kTokLabel), std::string("OBJECTthing")));
}

TEST(MibTokenizerTest, SkipsCommentsCountsLinesAndKeepsTheLastWord) {
  MibTokenizer t("-- heading\nfoo --trailing words ::= {\n\n  bar{ -- x\n}");
  std::string w;
  EXPECT_EQ(t.Next(&w), kTokLabel);
  EXPECT_EQ(w, "foo");
  EXPECT_EQ(t.line(), 2);
  EXPECT_EQ(t.Next(&w), kTokLabel);
  EXPECT_EQ(w, "bar{");  // words split at white space only
  EXPECT_EQ(t.line(), 4);
  // The last word has no white space after it and still counts.
  EXPECT_EQ(t.Next(&w), kTokBracket);
  EXPECT_EQ(w, "}");
  EXPECT_EQ(t.line(), 5);
  EXPECT_EQ(t.Next(&w), kTokEof);
  EXPECT_EQ(t.Next(&w), kTokEof);
}

TEST(MibTokenizerTest, LongWordsAndBytesAboveAsciiAreWordCharacters) {
  std::string long_word(100000, 'x');
  std::string text = long_word + " \xA0\xFF\x85 ::=";
  auto t = Tokens(text);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].second, long_word);
  EXPECT_EQ(t[1].second, "\xA0\xFF\x85");
  EXPECT_EQ(t[2].first, kTokEquals);
}

TEST(MibTokenizerTest, EveryKeywordHasItsToken) {
  const std::pair<const char*, int> keywords[] = {{"SYNTAX", 3},
                                                  {"INTEGER", 6},
                                                  {"NetworkAddress", 7},
                                                  {"IpAddress", 8},
                                                  {"Counter", 9},
                                                  {"Gauge", 10},
                                                  {"TimeTicks", 11},
                                                  {"Opaque", 12},
                                                  {"NULL", 13},
                                                  {"SEQUENCE", 14},
                                                  {"OF", 15},
                                                  {"OBJECT-TYPE", 16},
                                                  {"ACCESS", 17},
                                                  {"read-only", 18},
                                                  {"read-write", 19},
                                                  {"write-only", 20},
                                                  {"not-accessible", 21},
                                                  {"STATUS", 22},
                                                  {"mandatory", 23},
                                                  {"optional", 24},
                                                  {"obsolete", 25},
                                                  {"recommended", 26},
                                                  {"{", 27},
                                                  {"}", 27},
                                                  {"::=", 28},
                                                  {"OBJECTIDENTIFIER", 4},
                                                  {"OCTETSTRING", 5}};
  for (const auto& [word, token] : keywords) EXPECT_EQ(MibKeyword(word), token) << word;
  for (const char* label : {"OBJECT", "OCTET", "integer", "Syntax", "::", ""})
    EXPECT_EQ(MibKeyword(label), kTokLabel) << label;
}

TEST_F(MibParseTest, ObjectTypeBecomesANodeWithItsSyntax) {
  ASSERT_TRUE(
      Parse("sysDescr OBJECT-TYPE SYNTAX OCTET STRING ACCESS read-only\n"
            "STATUS mandatory ::= { system 1 }\n"));
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].label, "sysDescr");
  EXPECT_EQ(nodes[0].parent, "system");
  EXPECT_EQ(nodes[0].subid, 1);
  EXPECT_EQ(nodes[0].type, kTokOctetStr);
}

TEST_F(MibParseTest, ObjectIdentifierChainMakesEveryNamedStep) {
  ASSERT_TRUE(Parse("internet OBJECT IDENTIFIER ::= { iso org(3) dod(6) 1 }"));
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ((std::tuple(nodes[0].label, nodes[0].parent, nodes[0].subid)),
            std::tuple("org", "iso", 3));
  EXPECT_EQ((std::tuple(nodes[1].label, nodes[1].parent, nodes[1].subid)),
            std::tuple("dod", "org", 6));
  EXPECT_EQ((std::tuple(nodes[2].label, nodes[2].parent, nodes[2].subid)),
            std::tuple("internet", "dod", 1));
  EXPECT_EQ(nodes[2].type, 0);
}

TEST_F(MibParseTest, IntegerEnumerationsInAnySpacing) {
  ASSERT_TRUE(
      Parse("ifOperStatus OBJECT-TYPE SYNTAX INTEGER { up(1) down (2) testing ( -3 ), }\n"
            "ACCESS read-only STATUS mandatory ::= { ifEntry 8 }"));
  ASSERT_EQ(nodes.size(), 1u);
  ASSERT_EQ(nodes[0].enums.size(), 3u);
  EXPECT_EQ(nodes[0].enums[0].label, "up");
  EXPECT_EQ(nodes[0].enums[0].value, 1);
  EXPECT_EQ(nodes[0].enums[1].label, "down");
  EXPECT_EQ(nodes[0].enums[1].value, 2);
  EXPECT_EQ(nodes[0].enums[2].value, -3);
}

TEST_F(MibParseTest, RangesSequencesAndTypeNamesAreAccepted) {
  ASSERT_TRUE(Parse(
      "a OBJECT-TYPE SYNTAX INTEGER (0..127) ACCESS read-write STATUS optional ::= { x 1 }\n"
      "b OBJECT-TYPE SYNTAX SEQUENCE OF BEntry ACCESS not-accessible STATUS obsolete ::= { x 2 }\n"
      "c OBJECT-TYPE SYNTAX BEntry ACCESS write-only STATUS recommended ::= { b 1 }\n"
      "BEntry ::= SEQUENCE { c INTEGER, d OCTET STRING }\n"
      "d OBJECT-TYPE SYNTAX NetworkAddress ACCESS read-only STATUS mandatory ::= { x 4 }\n"));
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[0].type, kTokInteger);
  EXPECT_EQ(nodes[1].type, kTokSequence);
  EXPECT_EQ(nodes[2].type, kTokLabel);
  EXPECT_EQ(nodes[3].type, kTokNetAddr);
}

TEST_F(MibParseTest, ErrorsNameTheFaultAndTheLine) {
  struct Case {
    const char* text;
    const char* message;
    int line;
  } cases[] = {
      {"a OBJECT-TYPE SYNTAX INTEGER ACCESS read-only STATUS mandatory\n"
       "DESCRIPTION \"x\" ::= { b 1 }",
       "Bad format", 2},
      {"a OBJECT-TYPE ACCESS", "Bad format for OBJECT TYPE", 1},
      {"a OBJECT-TYPE SYNTAX INTEGER STATUS", "Should be ACCESS", 1},
      {"a OBJECT-TYPE SYNTAX INTEGER ACCESS mandatory", "Bad access type", 1},
      {"a OBJECT-TYPE SYNTAX INTEGER ACCESS read-only\n\nSTATUS read-only", "Bad status", 3},
      {"a OBJECT-TYPE SYNTAX ACCESS", "Bad syntax", 1},
      {"a OBJECT-TYPE SYNTAX INTEGER { up 1 } ACCESS", "Expected \"(\"", 1},
      {"a OBJECT-TYPE SYNTAX INTEGER { up(x) } ACCESS", "Expected integer", 1},
      {"a OBJECT-TYPE SYNTAX INTEGER { up(1", "Premature end of file", 1},
      {"a OBJECT-TYPE SYNTAX INTEGER ACCESS read-only STATUS mandatory ::= { b }", "No end to oid",
       1},
      {"a OBJECT IDENTIFIER { b 1 }", "Bad format", 1},
      {"a OBJECT IDENTIFIER ::= { }", "Bad object identifier", 1},
      {"a OBJECT IDENTIFIER ::= { b }", "Missing end of oid", 1},
      {"a OBJECT IDENTIFIER ::= { b c(1 }", "No terminating parenthesis", 1},
      {"a OBJECT IDENTIFIER ::= b 1 }", "Unexpected", 1},
      {"a OBJECT IDENTIFIER ::= { b 1", "Unexpected EOF", 1},
      {"a INTEGER", "Bad operator", 1},
  };
  for (const Case& c : cases) {
    capture.Clear();
    EXPECT_FALSE(Parse(c.text)) << c.text;
    ParseError e = FirstError(capture);
    EXPECT_EQ(e.message, c.message) << c.text;
    EXPECT_EQ(e.line, c.line) << c.text;
    EXPECT_TRUE(nodes.empty());
  }
}

TEST_F(MibParseTest, ReservedWordAtTheStartIsRefused) {
  EXPECT_FALSE(Parse("a OBJECT IDENTIFIER ::= { b 1 }\nSTATUS x"));
  ASSERT_FALSE(capture.records().empty());
  const ReportRecord& r = capture.records()[0];
  EXPECT_EQ(r.msgid, 0x096586B2u);
  EXPECT_EQ(r.flags, 0xC003);
  EXPECT_EQ(ReportCapture::Str(r, 0), "STATUS");
  EXPECT_EQ(ReportCapture::Str(r, 1), "is a reserved word");
  EXPECT_EQ(ReportCapture::Int(r, 2), 2);
}

TEST_F(MibParseTest, ValuesHoldAtMostSixteenComponents) {
  EXPECT_TRUE(Parse("a OBJECT IDENTIFIER ::= { b 1 2 3 4 5 6 7 8 9 10 11 12 13 c(14) 15 }"));
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].parent, "c");
  EXPECT_FALSE(Parse("a OBJECT IDENTIFIER ::= { b 1 2 3 4 5 6 7 8 9 10 11 12 13 14 c(15) 16 }"));
  EXPECT_EQ(FirstError(capture).message, "Unexpected");
}

TEST_F(MibParseTest, EntriesWithoutANumberAreKeptWithAWarning) {
  EXPECT_TRUE(Parse("a OBJECT IDENTIFIER ::= { b c }"));
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].subid, kNoSubid);
  EXPECT_EQ(FirstError(capture).message, "Warning: This entry is pretty silly");
}

TEST_F(MibParseTest, ATypeAssignmentOtherThanASequenceEndsTheDefinitions) {
  EXPECT_TRUE(
      Parse("a OBJECT IDENTIFIER ::= { b 1 }\nX ::= OCTET STRING\n"
            "c OBJECT IDENTIFIER ::= { b 2 }"));
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(FirstError(capture).message, "Not a sequence");
  EXPECT_TRUE(Parse("a OBJECT IDENTIFIER ::= { b 1 }\nX ::= SEQUENCE { a INTEGER"));
  EXPECT_EQ(nodes.size(), 1u);
}

TEST_F(MibParseTest, TreeKeepsOrderAndReportsOrphans) {
  ASSERT_TRUE(
      Parse("org OBJECT IDENTIFIER ::= { iso 3 }\n"
            "b OBJECT IDENTIFIER ::= { org 7 }\n"
            "a OBJECT IDENTIFIER ::= { org 2 }\n"
            "lost OBJECT IDENTIFIER ::= { nowhere 5 }\n"
            "c OBJECT-TYPE SYNTAX Counter ACCESS read-only STATUS mandatory ::= { b 1 }"));
  capture.Clear();
  auto tree = BuildMibTree(&nodes);
  const MibNode* root = tree->root();
  EXPECT_EQ(root->label, "iso");
  EXPECT_EQ(root->subid, 1u);
  ASSERT_EQ(root->children.size(), 1u);
  const MibNode* org = root->children[0];
  ASSERT_EQ(org->children.size(), 2u);
  EXPECT_EQ(org->children[0]->label, "b");
  EXPECT_EQ(org->children[1]->label, "a");
  ASSERT_EQ(org->children[0]->children.size(), 1u);
  EXPECT_EQ(org->children[0]->children[0]->kind, kKindCounter);
  EXPECT_EQ(org->children[0]->children[0]->parent, org->children[0]);

  auto m = capture.messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].msgid, 0x09658002u | (216u << 3));
  EXPECT_EQ(m[1].msgid, 0x09658002u | (217u << 3));
  EXPECT_EQ(m[2].msgid, 0x09658002u | (218u << 3));
  EXPECT_EQ(m[3].msgid, 0x096586DAu);
  EXPECT_EQ(m[3].flags, 0xC004);
  EXPECT_EQ(ReportCapture::Str(m[3], 0), "lost");
  EXPECT_EQ(ReportCapture::Str(m[3], 1), "nowhere");
  EXPECT_EQ(ReportCapture::Int(m[3], 2), 5);
}

TEST_F(MibParseTest, DeepChainsBuildWithoutRecursion) {
  std::string text = "n0 OBJECT IDENTIFIER ::= { iso 1 }\n";
  for (int i = 1; i < 20000; ++i)
    text +=
        "n" + std::to_string(i) + " OBJECT IDENTIFIER ::= { n" + std::to_string(i - 1) + " 1 }\n";
  ASSERT_TRUE(Parse(text));
  auto tree = BuildMibTree(&nodes);
  EXPECT_EQ(tree->size(), 20001u);
  EXPECT_TRUE(capture.messages().empty());
}

// The shipped MIB-II definitions.
class ShippedMibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QXIGLBL0000", (qx::testing::SourceDir() + "/share/qx").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("QXIGLBL0000");
    UnloadMib();
  }
  ReportCapture capture;
};

TEST_F(ShippedMibTest, LoadsCleanlyAndEveryObjectResolvesByName) {
  EXPECT_EQ(MibFilePath(), qx::testing::SourceDir() + "/share/qx/db/mib.dat");
  ASSERT_EQ(LoadMib(), kMibLoaded);
  EXPECT_TRUE(capture.messages().empty());

  // Walk the tree below mib-2: each node's relative name reads back as its numbers.
  oid mib2[] = {1, 3, 6, 1, 2, 1};
  int32_t n = 64;
  oid out[64];
  ASSERT_EQ(read_objid(".iso.org.dod.internet.mgmt.mib-2", out, &n), 1);
  ASSERT_EQ(n, 6);
  EXPECT_TRUE(std::equal(out, out + 6, mib2));
  const MibNode* root = MibRoot();
  const MibNode* m = root->children[0]->children[0]->children[0]->children[1]->children[0];
  ASSERT_EQ(m->label, "mib-2");
  size_t objects = 0;
  std::function<void(const MibNode*, std::string, std::vector<oid>)> walk =
      [&](const MibNode* node, std::string name, std::vector<oid> numbers) {
        for (const MibNode* c : node->children) {
          std::string child_name = name.empty() ? c->label : name + "." + c->label;
          std::vector<oid> child_numbers = numbers;
          child_numbers.push_back(c->subid);
          int32_t count = 64;
          ASSERT_EQ(read_objid(child_name.c_str(), out, &count), 1) << child_name;
          EXPECT_EQ(std::vector<oid>(out, out + count), child_numbers) << child_name;
          if (c->kind != kKindOther) ++objects;
          walk(c, child_name, child_numbers);
        }
      };
  walk(m, "", {1, 3, 6, 1, 2, 1});
  // Every object of RFC 1213 but the tables and their entries, which print by the
  // binding's type: system 7, interfaces 23, at 3, ip 42, icmp 26, tcp 19, udp 6,
  // egp 20, snmp 28.
  EXPECT_EQ(objects, 174u);

  struct Known {
    const char* name;
    std::vector<oid> numbers;
  } known[] = {
      {"system.sysUpTime", {1, 3, 6, 1, 2, 1, 1, 3}},
      {"interfaces.ifTable.ifEntry.ifOperStatus", {1, 3, 6, 1, 2, 1, 2, 2, 1, 8}},
      {"ip.ipRouteTable.ipRouteEntry.ipRouteInfo", {1, 3, 6, 1, 2, 1, 4, 21, 1, 13}},
      {"tcp.tcpConnTable.tcpConnEntry.tcpConnRemPort", {1, 3, 6, 1, 2, 1, 6, 13, 1, 5}},
      {"egp.egpNeighTable.egpNeighEntry.egpNeighEventTrigger", {1, 3, 6, 1, 2, 1, 8, 5, 1, 15}},
      {"snmp.snmpEnableAuthenTraps", {1, 3, 6, 1, 2, 1, 11, 30}},
      {"snmp.snmpOutTraps", {1, 3, 6, 1, 2, 1, 11, 29}},
      {"at.atTable.atEntry.atNetAddress", {1, 3, 6, 1, 2, 1, 3, 1, 1, 3}},
      {"udp.udpTable.udpEntry.udpLocalPort", {1, 3, 6, 1, 2, 1, 7, 5, 1, 2}},
      {"icmp.icmpOutAddrMaskReps", {1, 3, 6, 1, 2, 1, 5, 26}},
      {".iso.org.dod.internet.private.enterprises", {1, 3, 6, 1, 4, 1}},
  };
  for (const Known& k : known) {
    int32_t count = 64;
    ASSERT_EQ(read_objid(k.name, out, &count), 1) << k.name;
    EXPECT_EQ(std::vector<oid>(out, out + count), k.numbers) << k.name;
  }
}

TEST_F(ShippedMibTest, ASecondFileLoadsInTheSameProcess) {
  ASSERT_EQ(LoadMib(), kMibLoaded);
  std::string other = qx::testing::TestRoot() + "/tmp/other.dat";
  qx::testing::WriteFile(other,
                         "org OBJECT IDENTIFIER ::= { iso 3 }\n"
                         "thing OBJECT-TYPE SYNTAX INTEGER { on(1) off(0) } ACCESS read-only "
                         "STATUS mandatory ::= { org 99 }\n");
  ASSERT_EQ(LoadMibFile(other), kMibLoaded);
  oid out[8];
  int32_t count = 8;
  ASSERT_EQ(read_objid(".iso.org.thing", out, &count), 1);
  EXPECT_EQ(std::vector<oid>(out, out + count), (std::vector<oid>{1, 3, 99}));
  count = 8;
  EXPECT_EQ(read_objid(".iso.org.dod", out, &count), kNameNotFound);
  // And back again: the same keywords are still known.
  ASSERT_EQ(LoadMib(), kMibLoaded);
  count = 8;
  EXPECT_EQ(read_objid("system", out, &count), 1);
}

TEST_F(ShippedMibTest, MissingOrBadFilesAreReportedAndKeepTheLoadedTree) {
  ASSERT_EQ(LoadMib(), kMibLoaded);
  const MibNode* loaded = MibRoot();
  std::string bad = qx::testing::TestRoot() + "/tmp/bad.dat";
  qx::testing::WriteFile(bad, "a OBJECT IDENTIFIER ::= { b 1 }\n} ");
  capture.Clear();
  EXPECT_EQ(LoadMibFile(bad), kMibBadFile);
  EXPECT_EQ(capture.messages().back().msgid, 0x096586E2u);
  EXPECT_EQ(MibRoot(), loaded);

  ::setenv("QXIGLBL0000", (qx::testing::TestRoot() + "/nothing/").c_str(), 1);
  EXPECT_EQ(MibFilePath(), qx::testing::TestRoot() + "/nothing/db/mib.dat");
  capture.Clear();
  EXPECT_EQ(LoadMib(), kMibNotFound);
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0].msgid, 0x0965869Au);
  EXPECT_EQ(capture.messages()[0].flags, 0xC000);
  EXPECT_EQ(read_mib((qx::testing::TestRoot() + "/nothing/db/mib.dat").c_str()), nullptr);
}

TEST_F(ShippedMibTest, InitMibEndsTheProcessWhenTheFileIsMissingOrBroken) {
  ::setenv("QXIGLBL0000", (qx::testing::TestRoot() + "/nothing").c_str(), 1);
  EXPECT_EXIT(init_mib(), ::testing::ExitedWithCode(2), "");
  std::string dir = qx::testing::TestRoot() + "/inst";
  std::filesystem::create_directories(dir + "/db");
  qx::testing::WriteFile(dir + "/db/mib.dat", "STATUS");
  ::setenv("QXIGLBL0000", dir.c_str(), 1);
  EXPECT_EXIT(init_mib(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(read_mib((dir + "/db/mib.dat").c_str()), ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace qx::snmp
