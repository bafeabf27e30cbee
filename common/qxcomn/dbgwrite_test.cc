// The debug trace writer: what reaches the trace facility, line by line. The
// trace library is the test stand-in of "QXTESTRC.DLL" in testlib/, which
// appends "<name>|<text>" lines to QXTESTRC_FILE.
#include <gtest/gtest.h>
#include <qxcomn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "test_env.h"

namespace {

using qx::testing::BuildBinDir;
using qx::testing::ReadFile;
using qx::testing::TestRoot;

class DbgWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trace_ = TestRoot() + "/trace.log";
    ::setenv("QXTESTRC_FILE", trace_.c_str(), 1);
    // The trace facility reads its switch and loads its library at its first use.
    ::setenv("QX_QXIDEBUG", "1", 1);
    ::setenv("QX_LIB_PATH", (BuildBinDir() + "/../testlib").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("QX_QXIDEBUG"); }
  // The lines traced so far, each "<text>" without the name.
  std::string Traced() {
    std::string all = ReadFile(trace_), out;
    const std::string prefix = "qxcomn_test|";
    size_t at = 0;
    while (at < all.size()) {
      size_t nl = all.find('\n', at);
      std::string line = all.substr(at, nl - at);
      at = nl + 1;
      if (line.rfind("#switch|", 0) == 0) continue;  // the library learning its switch
      out += line.rfind(prefix, 0) == 0 ? "[" + line.substr(prefix.size()) + "]" : line + "\n";
    }
    return out;
  }
  std::string trace_;
};

TEST_F(DbgWriteTest, LinesAreCleanedAndCut) {
  EXPECT_EQ(DbgWrite("a\r\nb\n"), 0);
  DbgWrite("\n\n");
  DbgWrite("x\t\ty %d\n", 5);
  DbgWrite("%s", "100% done");
  EXPECT_EQ(Traced(), "[a][b][xy 5][100% done]");
}

TEST_F(DbgWriteTest, After99CutsTheRestGoesWhole) {
  std::string text;
  for (int i = 0; i < 150; ++i) text += "L" + std::to_string(i) + "\n";
  DbgWrite("%s", text.c_str());
  std::string expect;
  for (int i = 0; i < 99; ++i) expect += "[L" + std::to_string(i) + "]";
  // The 100th line holds the rest, newlines included (the stand-in writes it as
  // it comes, so its lines follow the bracketed one).
  expect += "[L99]";
  for (int i = 100; i < 150; ++i) expect += "L" + std::to_string(i) + "\n";
  std::string traced = Traced();
  EXPECT_EQ(traced.substr(0, expect.size() - 1), expect.substr(0, expect.size() - 1)) << traced;
}

TEST_F(DbgWriteTest, LongTextsAreCutAt2048) {
  std::string big(5000, 'z');
  DbgWrite("%s", big.c_str());
  EXPECT_EQ(Traced(), "[" + std::string(2048, 'z') + "]");
}

TEST_F(DbgWriteTest, WideForm) {
  DbgWriteW(u"w\u00e9 %s %d\r\n\tsecond", u"\u00fc", 3);
  EXPECT_EQ(Traced(), "[w\u00e9 \u00fc 3][second]");
}

TEST_F(DbgWriteTest, NullFormatTracesTheFaultText) {
  DbgWrite(nullptr);
  DbgWriteW(nullptr);
  const std::string fault = "[ERROR-->DbgWrite has produced an exception, DbgWrite suppressed]";
  EXPECT_EQ(Traced(), fault + fault);
}

TEST_F(DbgWriteTest, HexDumpLines) {
  unsigned char block[20];
  for (int i = 0; i < 20; ++i) block[i] = static_cast<unsigned char>(i < 16 ? 'A' + i : i * 9);
  EXPECT_GT(DbgHexDump("Block:", block, 20), 0);
  EXPECT_EQ(Traced(),
            "[Block:]"
            "[000000  41424344 45464748 494A4B4C 4D4E4F50     ABCDEFGHIJKLMNOP   ]"
            "[000010  9099A2AB                                ....               ]");
}

TEST_F(DbgWriteTest, HexDumpEdges) {
  DbgHexDump(nullptr, "abc", 0);
  DbgHexDump("only title", nullptr, 16);
  DbgHexDump(nullptr, "x", -5);
  EXPECT_EQ(Traced(), "[only title]");
  // An unreadable block ends the dump with the fault text.
  long page = ::sysconf(_SC_PAGESIZE);
  char* p = static_cast<char*>(::mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(p, MAP_FAILED);
  ::munmap(p + page, size_t(page));
  std::fill(p, p + page, '.');
  ::unlink(trace_.c_str());
  DbgHexDump(nullptr, p + page - 16, 40);
  EXPECT_EQ(Traced(),
            "[000000  2E2E2E2E 2E2E2E2E 2E2E2E2E 2E2E2E2E     ................   ]"
            "[ERROR-->DbgWrite has produced an exception, DbgWrite suppressed]");
  ::munmap(p, size_t(page));
}

}  // namespace
