// QXmsgf: production, routing, the switches and the result ring.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <qxcomn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "catalog_testing.h"
#include "test_env.h"

namespace qx::comn::testing {
namespace {

std::vector<std::string> g_lines;
int g_verify_result = 0;
int Record(const char* line) {
  g_lines.push_back(line);
  return g_verify_result;
}

// Runs `body` with standard error (or output) sent to a file; returns what it
// printed.
template <typename F>
std::string Capture(int fd, F body) {
  std::string path = qx::testing::TestRoot() + "/captured";
  std::fflush(nullptr);
  int saved = ::dup(fd);
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(file, fd);
  ::close(file);
  body();
  std::fflush(nullptr);
  ::dup2(saved, fd);
  ::close(saved);
  return qx::testing::ReadFile(path);
}

class MsgfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("QX_QXIDEBUG");
    ::setenv("LC_ALL", "C", 1);
    UseFolders(CatalogFolder(
        "msg", {{"FAC357.dat", Catalog({{"QXTRAP",
                                         357,
                                         {{61, "-I-ARG, value %s"},
                                          {62, "-E-TWO, %d and %s", "ba0"},
                                          {63, "-W-LONG, %s"}}}})},
                {"FAC001.dat", Catalog({{"QXERRNO", 8, {{1, "-E-ERRNO, errno %d: %s"}}}})}}));
    g_lines.clear();
    g_verify_result = 0;
    QXmsgfSetVerifyProc(nullptr);
    ToggleSTDOUTOption(0);
  }
  void TearDown() override {
    QXmsgfSetVerifyProc(nullptr);
    ToggleSTDOUTOption(0);
  }
};

TEST_F(MsgfTest, ProducesTheCatalogText) {
  // qxtrap's identifier: facility 357, message 61, informational.
  EXPECT_STREQ(QXmsgf(2, 10, "a.c", 157647339u, 1, "x"), "%QXTRAP-I-ARG, value x\n");
  // Values are read by the kinds their conversions take, in the order the
  // entry's argument order gives: value 1 (the int) is shown by %d.
  EXPECT_STREQ(QXmsgf(2, 10, "a.c", QX_MSGID(357, 62, 2), 2, "str", 42),
               "%QXTRAP-E-TWO, 42 and str\n");
  // A count above 12 reads 12 values.
  EXPECT_STREQ(QXmsgf(2, 10, "a.c", 157647339u, 200, "a", 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12),
               "%QXTRAP-I-ARG, value a\n");
  // No catalog text: the failure text is routed in its place.
  EXPECT_STREQ(QXmsgf(2, 10, "a.c", QX_MSGID(358, 1, 3), 0),
               "Facility #358, Severity Level 'INFORMATIONAL', Message File 'FAC358' NOT FOUND\n");
}

TEST_F(MsgfTest, PreformattedText) {
  EXPECT_STREQ(QXmsgf(2, 1, "a.c", 0, QXMSGF_PREFORMATTED | 5, "ready %s"), "ready %s");
  ::setenv("QX_QXIDEBUG", "1", 1);
  QXmsgf(2, 1, "a.c", 157647339u, 1, "x");  // a lookup reads the debug switch
  EXPECT_STREQ(QXmsgf(2, 7, "src/b.c", 0, QXMSGF_PREFORMATTED, "done"), "done | src/b.c_7");
}

TEST_F(MsgfTest, DebugSuffix) {
  ::setenv("QX_QXIDEBUG", "y", 1);
  EXPECT_STREQ(QXmsgf(2, 33, "snmp/trap.cc", 157647339u, 1, "x"),
               "%QXTRAP-I-ARG, value x  | snmp/trap.cc_33");
  ::unsetenv("QX_QXIDEBUG");
  EXPECT_STREQ(QXmsgf(2, 33, "snmp/trap.cc", 157647339u, 1, "x"), "%QXTRAP-I-ARG, value x\n");
  // The wide form's path, and a path that points nowhere (read as empty).
  ::setenv("QX_QXIDEBUG", "1", 1);
  EXPECT_EQ(std::u16string(QXmsgfw(2, 5, u"w\u00e9.c", 157647339u, 1, u"x")),
            u"%QXTRAP-I-ARG, value x  | w\u00e9.c_5");
  EXPECT_STREQ(QXmsgf(2, 9, reinterpret_cast<const char*>(16), 157647339u, 1, "x"),
               "%QXTRAP-I-ARG, value x  | _9");
  ::unsetenv("QX_QXIDEBUG");
}

TEST_F(MsgfTest, LocalLineWithTheDebugSuffix) {
  // The local line takes the text as it was before the suffix, then the date and
  // time, then the suffix.
  ::setenv("QX_QXIDEBUG", "1", 1);
  QXmsgfSetVerifyProc(Record);
  std::string printed =
      Capture(2, [] { QXmsgf(2, 12, "src/x.c", 157647339u, QXMSGF_LOCAL | 1, "x"); });
  ::unsetenv("QX_QXIDEBUG");
  EXPECT_TRUE(::testing::internal::RE::FullMatch(
      printed,
      "%QXTRAP-I-ARG, value x  [A-Z][a-z]+day [A-Z][a-z]+ [ 0-9][0-9] [0-9]{4} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2} \\| src/x\\.c_12\n"))
      << printed;
}

TEST_F(MsgfTest, ErrnoFlagAppendsTheErrorText) {
  errno = ENOENT;
  std::string text = QXmsgf(2, 1, "a.c", 157647339u, QXMSGF_ERRNO | 1, "x");
  EXPECT_EQ(text, std::string("%QXTRAP-I-ARG, value x\n%QXERRNO-E-ERRNO, errno 2: ") +
                      std::strerror(ENOENT) + "\n");
  EXPECT_EQ(errno, 0);
  // Without the flag errno is kept.
  errno = EACCES;
  QXmsgf(2, 1, "a.c", 157647339u, 1, "x");
  EXPECT_EQ(errno, EACCES);
}

TEST_F(MsgfTest, LocalLineWithDateAndTime) {
  QXmsgfSetVerifyProc(Record);
  errno = ENOENT;
  std::string printed =
      Capture(2, [] { QXmsgf(2, 1, "a.c", 157647339u, QXMSGF_LOCAL | QXMSGF_ERRNO | 1, "x"); });
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(printed, g_lines[0]);
  // Both texts on one line, newlines turned into blanks, then the date and time
  // of the C locale: "Monday December  7 2026 20:51:49".
  std::string expect_head = std::string("%QXTRAP-I-ARG, value x %QXERRNO-E-ERRNO, errno 2: ") +
                            std::strerror(ENOENT) + "  ";
  ASSERT_EQ(printed.rfind(expect_head, 0), 0u) << printed;
  std::string stamp = printed.substr(expect_head.size());
  EXPECT_TRUE(::testing::internal::RE::FullMatch(
      stamp, "[A-Z][a-z]+day [A-Z][a-z]+ [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\n"))
      << stamp;
  // The returned text keeps its own newlines.
  EXPECT_EQ(std::string(QXmsgf(2, 1, "a.c", 157647339u, 1, "x")).find('\n'), 22u);
}

TEST_F(MsgfTest, VerifyProcedureAndStdoutSwitch) {
  QXmsgfSetVerifyProc(Record);
  g_verify_result = 1;
  std::string err = Capture(2, [] { QXmsgf(2, 1, "a.c", 157647339u, QXMSGF_LOCAL | 1, "x"); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(g_lines.size(), 1u);
  g_verify_result = 0;
  EXPECT_EQ(ToggleSTDOUTOption(1), 1);
  std::string out = Capture(1, [] { QXmsgf(2, 1, "a.c", 157647339u, QXMSGF_LOCAL | 1, "y"); });
  EXPECT_EQ(out.rfind("%QXTRAP-I-ARG, value y  ", 0), 0u) << out;
  ToggleSTDOUTOption(0);
  // Without the local flag nothing is printed.
  err = Capture(2, [] { QXmsgf(2, 1, "a.c", 157647339u, 1, "z"); });
  EXPECT_EQ(err, "");
}

// A verify procedure that reports through QXmsgf itself.
int Reenter(const char* line) {
  g_lines.push_back(line);
  QXmsgfSetVerifyProc(nullptr);
  QXmsgf(2, 1, "inner.c", 157647339u, 1, "inner");
  QXmsgfSetVerifyProc(Reenter);
  return 1;
}

TEST_F(MsgfTest, ReentrantFromAVerifyProcedure) {
  QXmsgfSetVerifyProc(Reenter);
  EXPECT_STREQ(QXmsgf(2, 1, "a.c", 157647339u, QXMSGF_LOCAL | 1, "outer"),
               "%QXTRAP-I-ARG, value outer\n");
  EXPECT_EQ(g_lines.size(), 1u);
}

TEST_F(MsgfTest, RingOf25Buffers) {
  char* first = QXmsgf(2, 1, "a.c", 157647339u, 1, "first");
  for (int i = 0; i < 24; ++i) EXPECT_NE(QXmsgf(2, 1, "a.c", 157647339u, 1, "n"), first);
  EXPECT_STREQ(first, "%QXTRAP-I-ARG, value first\n");
  EXPECT_EQ(QXmsgf(2, 1, "a.c", 157647339u, 1, "26th"), first);
  EXPECT_STREQ(first, "%QXTRAP-I-ARG, value 26th\n");
}

TEST_F(MsgfTest, LongTextsStayWithinTheBuffer) {
  ::setenv("QX_QXIDEBUG", "1", 1);
  std::string big(5000, 'q');
  std::string path(3000, 'p');
  errno = EIO;
  std::string text =
      QXmsgf(2, 123456, path.c_str(), QX_MSGID(357, 63, 0), QXMSGF_ERRNO | 1, big.c_str());
  EXPECT_EQ(text.size(), 2047u);
  text = QXmsgf(2, 1, "a.c", 0, QXMSGF_PREFORMATTED, big.c_str());
  EXPECT_EQ(text.size(), 2047u);
}

TEST_F(MsgfTest, WideForm) {
  char16_t* w = QXmsgfw(2, 5, u"w.c", 157647339u, 1, u"wid\u00e9");
  EXPECT_EQ(std::u16string(w), u"%QXTRAP-I-ARG, value wid\u00e9\n");
  w = QXmsgfw(2, 5, u"w.c", 0, QXMSGF_PREFORMATTED, u"pre \u00e9");
  EXPECT_EQ(std::u16string(w), u"pre \u00e9");
  char16_t* first = QXmsgfw(2, 5, u"w.c", 157647339u, 1, u"1");
  for (int i = 0; i < 24; ++i) QXmsgfw(2, 5, u"w.c", 157647339u, 1, u"n");
  EXPECT_EQ(QXmsgfw(2, 5, u"w.c", 157647339u, 1, u"n"), first);
}

TEST_F(MsgfTest, ReportsFromAThreadThatIsEnding) {
  // A thread-local object made before the thread's first report is destroyed
  // after the library's own thread state: a report from its destructor still
  // finds its message and prints its local line.
  struct ReportsAtExit {
    std::string* out = nullptr;
    ~ReportsAtExit() {
      if (out) *out = QXmsgf(2, 1, "a.c", 157647339u, QXMSGF_LOCAL | 1, "late");
    }
  };
  QXmsgfSetVerifyProc(Record);
  g_verify_result = 1;  // keep the lines off the terminal
  std::string late;
  std::thread([&] {
    thread_local ReportsAtExit reporter;
    reporter.out = &late;
    QXmsgf(2, 1, "a.c", 157647339u, QXMSGF_LOCAL | 1, "early");
  }).join();
  EXPECT_EQ(late, "%QXTRAP-I-ARG, value late\n");
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[1].rfind("%QXTRAP-I-ARG, value late  ", 0), 0u) << g_lines[1];
}

TEST_F(MsgfTest, MessagefCopiesTerminatedText) {
  char buf[16];
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(messagef(2, 1, "a.c", buf, sizeof buf, 357u << 16, 61, 3, 0, 1, "value"), 0);
  EXPECT_STREQ(buf, "%QXTRAP-I-ARG, ");
  char big[256];
  messagef(2, 1, "a.c", big, sizeof big, 357u << 16, 62, 2, 0, 2, "s", 9);
  EXPECT_STREQ(big, "%QXTRAP-E-TWO, 9 and s\n");
  messagef(2, 1, "a.c", big, sizeof big, 0, 0, 0, QXMSGF_PREFORMATTED, 0, "as is");
  EXPECT_STREQ(big, "as is");
  std::string err = Capture(
      2, [&] { messagef(2, 1, "a.c", nullptr, 0, 357u << 16, 61, 3, QXMSGF_LOCAL, 1, "p"); });
  EXPECT_EQ(err, "%QXTRAP-I-ARG, value p\n");
  EXPECT_STREQ(QXmsgf_errno(ENOENT), std::strerror(ENOENT));
}

}  // namespace
}  // namespace qx::comn::testing
