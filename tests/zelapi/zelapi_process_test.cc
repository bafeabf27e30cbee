#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_env.h"

namespace {

// Runs the helper with the given environment (and nothing of the trace
// environment of this process).
std::string Helper(const std::string& env, const std::string& what, int* status = nullptr) {
  std::string cmd =
      "env -u QX_LIB_PATH -u QX_QXIDEBUG -u QX_WIZARD_DEBUG -u QX_TRACE_USEFILE "
      "-u QX_TURNON_TRC_TOFILE " +
      env + " " + qx::testing::BuildBinDir() + "/zelapi_helper " + what;
  std::string out;
  int rc = qx::testing::RunCommand(cmd, &out);
  if (status) *status = rc;
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::string TestLib() {
  return qx::testing::BuildLibDir() + "/../testlib";
}

}  // namespace

TEST(ZelapiProcess, TesTraceWithoutTheTraceLibraryIsMinusOne) {
  std::string log = qx::testing::TestRoot() + "/lib.log";
  EXPECT_EQ(Helper("QX_QXIDEBUG=1 QXTESTRC_FILE=" + log, "testrace"), "-1\n0\n");
  EXPECT_EQ(qx::testing::ReadFile(log), "");
  EXPECT_EQ(Helper("QX_QXIDEBUG=1 QXTESTRC_FILE=" + log + " QX_LIB_PATH=" + TestLib(), "testrace"),
            "7\n7\n");
  EXPECT_EQ(qx::testing::ReadFile(log), "#switch|QX_QXIDEBUG\nHELPER|text 42\nHELPER|text 43\n");
}

TEST(ZelapiProcess, MessagesComeFromTheLibraryBesideIt) {
  std::vector<std::string> lines = Lines(Helper("", "messages"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "The entry point Entry could not be found in the library LIB.DLL.");
  EXPECT_EQ(lines[1], "The system cannot find the file specified.\r");
}

TEST(ZelapiProcess, DiagnosticLinesByLevelAndDestination) {
  std::string root = qx::testing::TestRoot();
  std::string log = root + "/lib.log";
  // Level 1: nothing, wherever.
  Helper("QX_QXIDEBUG=y QX_TRACE_USEFILE=1 QX_TURNON_TRC_TOFILE=1 TMPDIR=" + root, "diagnostic");
  EXPECT_EQ(qx::testing::RunCommand("ls " + root + " | grep -q qxtrc_"), 1);  // no match

  // Level 3 to the trace file: banner, push, the message, pop, clear.
  Helper("QX_WIZARD_DEBUG=3 QX_TRACE_USEFILE=1 QX_TURNON_TRC_TOFILE=1 TMPDIR=" + root,
         "diagnostic");
  std::string listing;
  qx::testing::RunCommand("ls " + root + " | grep qxtrc_", &listing);
  ASSERT_TRUE(std::regex_match(listing, std::regex("qxtrc_[0-9]+\\.zelapi_helper\\.log\n")))
      << listing;
  std::vector<std::string> lines =
      Lines(qx::testing::ReadFile(root + "/" + listing.substr(0, listing.size() - 1)));
  ASSERT_GE(lines.size(), 5u);
  std::string prefix =
      "zelapi_helper [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3} \\[P[0-9]{4,}\\] \\[T[0-9a-f]{4,}\\] "
      " *[a-z_]+\\.cc L[0-9]{5} - ";
  EXPECT_TRUE(
      std::regex_match(lines[0], std::regex(prefix + "File message_area\\.cc modified on .*\r")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(prefix + "PushMsgStack: curr=[0-9a-f]+, prev=[0-9a-f]+\r")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2],
      std::regex(prefix +
                 "vSetMsgString: \\(6\\) A required argument of Op is missing or too long\\.\r")))
      << lines[2];
  EXPECT_TRUE(std::regex_match(
      lines[3], std::regex(prefix + "PopMsgStack: curr=[0-9a-f]+, prev=[0-9a-f]+\r")));
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(prefix + "ClearMsgStack\r")));

  // With the trace library: the short prefix, the program's name as module.
  Helper("QX_WIZARD_DEBUG=2 QX_LIB_PATH=" + TestLib() + " QXTESTRC_FILE=" + log, "diagnostic");
  lines = Lines(qx::testing::ReadFile(log));
  ASSERT_GE(lines.size(), 5u);
  EXPECT_TRUE(
      std::regex_match(lines[1], std::regex("zelapi_helper\\|message_area\\.cc L[0-9]{5} - "
                                            "PushMsgStack: curr=[0-9a-f]+, prev=[0-9a-f]+")))
      << lines[1];
}

TEST(ZelapiProcess, DebugBreakVariableWithoutDebuggerDoesNotStop) {
  std::string root = qx::testing::TestRoot();
  int status = -1;
  Helper(
      "'fwtrace$_write=DEBUG' QX_WIZARD_DEBUG=2 QX_TRACE_USEFILE=1 QX_TURNON_TRC_TOFILE=1 TMPDIR=" +
          root,
      "diagnostic", &status);
  EXPECT_EQ(status, 0);
}

TEST(ZelapiProcess, ThreadsEndingWithAreasOnTheirStacks) {
  int status = -1;
  EXPECT_EQ(Helper("", "threads", &status), "done\n");
  EXPECT_EQ(status, 0);  // under the sanitizer build a leak would fail the exit
}
