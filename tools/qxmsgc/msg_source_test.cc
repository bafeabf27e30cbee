// The message source parser and the compiled layout it feeds.
#include "msg_source.h"

#include <gtest/gtest.h>

#include "msg_layout.h"

namespace qx::msgc {
namespace {

struct Parsed {
  bool ok;
  std::vector<SourceFacility> facilities;
  std::vector<Diagnostic> diags;
};

Parsed Parse(std::string_view text) {
  Parsed p;
  p.ok = ParseSource(text, "t.msg", &p.facilities, &p.diags);
  return p;
}

TEST(MsgSource, FacilitiesSeveritiesBasesAndOrder) {
  Parsed p = Parse(
      "# comment\n"
      "\n"
      ".FACILITY QXTRAP 357\r\n"
      ".SEVERITY INFORMATIONAL\n"
      ".BASE 61\n"
      "TRAPSENT  trap sent to %s\n"
      "  TWO /ORDER=2,1 %s then %d  \n"
      ".SEVERITY error\n"
      ".BASE 5\n"
      "BAD bad value %d\n"
      ".END\n"
      ".FACILITY QXERRNO 8\n"
      "ERRNO errno %d: %s\n"
      ".END\n");
  ASSERT_TRUE(p.ok);
  ASSERT_EQ(p.facilities.size(), 2u);
  const SourceFacility& f = p.facilities[0];
  EXPECT_EQ(f.name, "QXTRAP");
  EXPECT_EQ(f.number, 357u);
  ASSERT_EQ(f.messages.size(), 3u);
  EXPECT_EQ(f.messages[0].number, 61u);
  EXPECT_EQ(f.messages[0].text, "-I-TRAPSENT, trap sent to %s");
  EXPECT_EQ(f.messages[1].number, 62u);
  EXPECT_EQ(f.messages[1].order, (std::vector<uint8_t>{2, 1}));
  EXPECT_EQ(f.messages[1].text, "-I-TWO, %s then %d");
  EXPECT_EQ(f.messages[2].number, 5u);
  EXPECT_EQ(f.messages[2].text, "-E-BAD, bad value %d");
  // The severity carries over; numbering starts at 1 in a new facility.
  EXPECT_EQ(p.facilities[1].messages[0].number, 1u);
  EXPECT_EQ(p.facilities[1].messages[0].text, "-E-ERRNO, errno %d: %s");
}

TEST(MsgSource, ErrorsUseTheToolErrorIndexes) {
  struct Case {
    const char* source;
    int index;
    int line;
  } cases[] = {
      {"MSG before any facility\n", 0, 1},
      {".FACILITY A 1\nMSG no severity\n.END\n", 4, 2},
      {".FACILITY A 1\n.SEVERITY ERROR\nX x\n", 3, 3},
      {".FACILITY A 1\n.SEVERITY ERROR\nX x\n.FACILITY B 2\nY y\n.END\n", 3, 4},
      {".FACILITY\n", 8, 1},
      {".FACILITY NAMETOOLONG12 5\n", 8, 1},
      {".FACILITY A x\n", 8, 1},
      {".FACILITY A 4294967295\n", 8, 1},
      {".SEVERITY\n", 9, 1},
      {".BASE\n", 10, 1},
      {".END\n", 0, 1},
      {".WHAT\n", 0, 1},
      {".FACILITY A 1\n.SEVERITY ERROR\n.BASE 4095\nX x\nY y\n.END\n", 0, 5},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.source);
    EXPECT_FALSE(p.ok) << c.source;
    ASSERT_FALSE(p.diags.empty()) << c.source;
    EXPECT_EQ(p.diags[0].index, c.index) << c.source;
    EXPECT_EQ(p.diags[0].line, c.line) << c.source;
  }
  for (const char* bad :
       {".FACILITY A 1\n.SEVERITY LOUD\n", ".BASE 9999\n",
        ".FACILITY A 1\n.SEVERITY ERROR\nX /ORDER=13 x\n.END\n",
        ".FACILITY A 1\n.SEVERITY ERROR\nX /ORDER=1,,2 x\n.END\n", ".FACILITY A 1\n.END\n"}) {
    Parsed p = Parse(bad);
    EXPECT_FALSE(p.ok) << bad;
    ASSERT_FALSE(p.diags.empty());
    EXPECT_EQ(p.diags[0].index, -1) << bad;
  }
  // A second entry with a number is reported but not fatal.
  Parsed dup = Parse(".FACILITY A 1\n.SEVERITY ERROR\nX x\n.BASE 1\nY y\n.END\n");
  EXPECT_TRUE(dup.ok);
  ASSERT_EQ(dup.diags.size(), 1u);
  EXPECT_FALSE(dup.diags[0].fatal);
}

TEST(MsgLayout, BaseNames) {
  EXPECT_EQ(BaseNameFor(1), "FAC001");
  EXPECT_EQ(BaseNameFor(8), "FAC001");
  EXPECT_EQ(BaseNameFor(99), "FAC001");
  EXPECT_EQ(BaseNameFor(100), "");
  EXPECT_EQ(BaseNameFor(357), "FAC357");
}

}  // namespace
}  // namespace qx::msgc
