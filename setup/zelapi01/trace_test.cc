#include "trace.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zelapi01.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_env.h"

namespace {

const char* const kTraceVariables[] = {"QX_WIZARD_DEBUG",
                                       "QX_QXIDEBUG",
                                       "QX_TURNON_TRC_FUNCNAME",
                                       "QX_TURNOFF_TRC_PREFIX",
                                       "QX_TURNOFF_TRC_CALLSTACK",
                                       "QX_TURNON_TRC_TOFILE",
                                       "QX_TURNOFF_TRC_OUTPUT",
                                       "QX_TRACE_USEFILE",
                                       "QX_LIB_PATH",
                                       "QXTESTRC_FILE"};

// Sets the given variables (all others of the trace unset) and reads them again.
void Configure(std::vector<std::pair<const char*, const char*>> vars) {
  for (const char* v : kTraceVariables) unsetenv(v);
  for (auto& [name, value] : vars) setenv(name, value, 1);
  qx::zel::ReloadTraceSettings();
  qx::zel::FreeTraceLibrary();
  FreeQXTESRC();
  unlink(qx::zel::TraceFilePath().c_str());
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(qx::testing::ReadFile(path));
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::string TestLib() {
  return qx::testing::BuildLibDir() + "/../testlib";
}

const std::string kTime = "[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}";
const std::string kFilePrefix = "zelapi01_test " + kTime + " \\[P[0-9]{4,}\\] \\[T[0-9a-f]{4,}\\] ";

}  // namespace

TEST(TraceLevel, ComesFromWizardDebugThenQxiDebug) {
  Configure({{"QX_QXIDEBUG", "y"}});
  EXPECT_EQ(qx::zel::TraceLevel(), 1);
  Configure({{"QX_WIZARD_DEBUG", "Y"}, {"QX_QXIDEBUG", "5"}});
  EXPECT_EQ(qx::zel::TraceLevel(), 1);
  Configure({{"QX_WIZARD_DEBUG", "no"}, {"QX_QXIDEBUG", "4"}});
  EXPECT_EQ(qx::zel::TraceLevel(), 4);
  Configure({{"QX_WIZARD_DEBUG", "3"}});
  EXPECT_EQ(qx::zel::TraceLevel(), 3);
  Configure({});
  EXPECT_EQ(qx::zel::TraceLevel(), 0);
}

TEST(DiagnosticTrace, LevelOneWritesNothing) {
  Configure({{"QX_QXIDEBUG", "y"}, {"QX_TRACE_USEFILE", "1"}, {"QX_TURNON_TRC_TOFILE", "1"}});
  ZEL_TRACE(0, "invisible %d", 1);
  PushMsgStack();
  PopMsgStack();
  struct stat st;
  EXPECT_NE(stat(qx::zel::TraceFilePath().c_str(), &st), 0);
}

TEST(DiagnosticTrace, FileLinesPrefixBannerAndCaller) {
  Configure({{"QX_WIZARD_DEBUG", "3"}, {"QX_TRACE_USEFILE", "1"}, {"QX_TURNON_TRC_TOFILE", "1"}});
  std::string path = qx::zel::TraceFilePath();
  EXPECT_EQ(path, qx::testing::TestRoot() + "/tmp/qxtrc_" + std::to_string(getpid()) +
                      ".zelapi01_test.log");
  ZEL_TRACE_ENTRY(2, "outer %s", "entered");
  ZEL_TRACE_ENTRY(2, "inner");
  ZEL_TRACE(2, "step %d", 7);
  ZEL_TRACE(4, "above the level");
  ZEL_TRACE_EXIT(2, "inner done");
  ZEL_TRACE_EXIT(2, "outer done");
  std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 6u);
  for (const auto& l : lines) EXPECT_EQ(l.back(), '\r');
  std::string p = kFilePrefix + "  trace_test.cc L[0-9]{5} - ";
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(p + "File trace_test.cc modified on .+ was compiled on .+ at "
                               "[0-9]{2}:[0-9]{2}:[0-9]{2}\r")))
      << lines[0];
  // The first entry has no caller; the second names the first.
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(p + "outer entered {62} : Called by \\?!\\?=0 @ " + kTime + "\r")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2],
      std::regex(p + "inner {70} : Called by zelapi01_test!TestBody=[0-9]+ @ " + kTime + "\r")))
      << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(p + "step 7\r"))) << lines[3];
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(p + "inner done\r")));
  // The banner comes once per source file.
  ZEL_TRACE(2, "again");
  EXPECT_EQ(Lines(path).size(), 7u);
}

TEST(DiagnosticTrace, Switches) {
  Configure({{"QX_WIZARD_DEBUG", "2"},
             {"QX_TRACE_USEFILE", "1"},
             {"QX_TURNON_TRC_TOFILE", "1"},
             {"QX_TURNON_TRC_FUNCNAME", "1"},
             {"QX_TURNOFF_TRC_CALLSTACK", "1"}});
  ZEL_TRACE_ENTRY(2, "with function");
  std::vector<std::string> lines = Lines(qx::zel::TraceFilePath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(kFilePrefix + "  trace_test.cc L[0-9]{5} TestBody - with function\r")))
      << lines[1];

  Configure({{"QX_WIZARD_DEBUG", "2"},
             {"QX_TRACE_USEFILE", "1"},
             {"QX_TURNON_TRC_TOFILE", "1"},
             {"QX_TURNOFF_TRC_PREFIX", "1"}});
  ZEL_TRACE(2, "bare");
  lines = Lines(qx::zel::TraceFilePath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "zelapi01_test bare\r");

  Configure({{"QX_WIZARD_DEBUG", "2"},
             {"QX_TRACE_USEFILE", "1"},
             {"QX_TURNON_TRC_TOFILE", "1"},
             {"QX_TURNOFF_TRC_OUTPUT", "1"}});
  ZEL_TRACE(2, "nothing");
  struct stat st;
  EXPECT_NE(stat(qx::zel::TraceFilePath().c_str(), &st), 0);

  // The trace library refused and no file asked for: nowhere.
  Configure({{"QX_WIZARD_DEBUG", "2"}, {"QX_TRACE_USEFILE", "1"}});
  ZEL_TRACE(2, "nowhere");
  EXPECT_NE(stat(qx::zel::TraceFilePath().c_str(), &st), 0);
}

TEST(DiagnosticTrace, ToTheTraceLibraryWithShortPrefix) {
  std::string out = qx::testing::TestRoot() + "/lib.log";
  Configure({{"QX_WIZARD_DEBUG", "2"},
             {"QX_LIB_PATH", TestLib().c_str()},
             {"QXTESTRC_FILE", out.c_str()},
             {"QX_TURNON_TRC_TOFILE", "1"}});
  ZEL_TRACE(2, "via library");
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex("zelapi01_test\\|  trace_test.cc L[0-9]{5} - via library")))
      << lines[1];
  struct stat st;
  EXPECT_NE(stat(qx::zel::TraceFilePath().c_str(), &st), 0);  // the library took it
}

TEST(DiagnosticTrace, TraceFileIsNeverFollowedThroughALink) {
  std::string victim = qx::testing::TestRoot() + "/victim";
  qx::testing::WriteFile(victim, "keep me");
  Configure({{"QX_WIZARD_DEBUG", "2"}, {"QX_TRACE_USEFILE", "1"}, {"QX_TURNON_TRC_TOFILE", "1"}});
  ASSERT_EQ(symlink(victim.c_str(), qx::zel::TraceFilePath().c_str()), 0);
  ZEL_TRACE(2, "must not land in the victim");
  EXPECT_EQ(qx::testing::ReadFile(victim), "keep me");

  // A folder of that name is no trace file either.
  unlink(qx::zel::TraceFilePath().c_str());
  mkdir(qx::zel::TraceFilePath().c_str(), 0700);
  Configure({{"QX_WIZARD_DEBUG", "2"}, {"QX_TRACE_USEFILE", "1"}, {"QX_TURNON_TRC_TOFILE", "1"}});
  ZEL_TRACE(2, "nowhere either");
  rmdir(qx::zel::TraceFilePath().c_str());
}

TEST(DiagnosticTrace, HexDumpFoldsRepeatedLines) {
  unsigned char block[80];
  for (int i = 0; i < 16; ++i) block[i] = static_cast<unsigned char>('A' + i);
  for (int i = 16; i < 64; ++i) block[i] = 0;
  for (int i = 64; i < 80; ++i) block[i] = 0xFF;
  std::string dump = qx::zel::FormatSnap(block, 70);
  EXPECT_EQ(dump,
            "Snap: Size=70(0x000046)\n"
            "-disp-  0    2    4    6     8    A    C    E\n"
            "000000  4142 4344 4546 4748  494A 4B4C 4D4E 4F50  *ABCDEFGHIJKLMNOP*\n"
            "000010  0000 0000 0000 0000  0000 0000 0000 0000  *................*\n"
            "2 lines same as before\n"
            "000040  FFFF FFFF FFFF                            *......*\n");
  EXPECT_EQ(
      qx::zel::FormatSnap(block + 16, 32).find("1 line same as before\n") != std::string::npos,
      true);
}

// Without the trace library (a process that never loaded it): see tests/zelapi.
TEST(ExportedTrace, WithTheLibrary) {
  std::string out = qx::testing::TestRoot() + "/lib.log";
  Configure({{"QX_LIB_PATH", TestLib().c_str()}, {"QXTESTRC_FILE", out.c_str()}});
  // The switch variable is not set: nothing goes out.
  EXPECT_EQ(TesTrace("MOD", "off"), 0);
  EXPECT_EQ(SetTraceStringA("MOD", "off"), 0);
  EXPECT_TRUE(Lines(out).empty());

  setenv("QX_QXIDEBUG", "1", 1);
  FreeQXTESRC();
  EXPECT_EQ(TesTrace("MOD", "n=%d s=%s", 5, "x"), 7);
  std::string long_text(5000, 'L');
  EXPECT_EQ(TesTrace("MOD", "%s|end", long_text.c_str()), 5004);
  EXPECT_EQ(SetTraceStringA("QXLOCALE", "load '%s'\n", "lib"), 11);
  EXPECT_EQ(TesTraceW(u"WMOD", u"wide %d %s", 3, u"ü"), 9);
  EXPECT_EQ(SetTraceStringW("NMOD", u"w %s", u"x"), 3);
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "#switch|QX_QXIDEBUG");
  EXPECT_EQ(lines[1], "MOD|n=5 s=x");
  EXPECT_EQ(lines[2], "MOD|" + long_text + "|end");
  EXPECT_EQ(lines[3], "QXLOCALE|load 'lib'");
  EXPECT_EQ(lines[5], "WMOD|wide 3 ü");
  EXPECT_EQ(lines[6], "NMOD|w x");

  // Another switch variable: read at the next call and told to the library.
  EXPECT_TRUE(UseTraceEnvironmentalA("MY_TRACE_SWITCH"));
  EXPECT_EQ(TesTrace("MOD", "off again"), 0);
  setenv("MY_TRACE_SWITCH", "", 1);
  EXPECT_TRUE(UseTraceEnvironmentalW(u"MY_TRACE_SWITCH"));
  EXPECT_EQ(TesTrace("MOD", "on"), 2);
  lines = Lines(out);
  EXPECT_EQ(lines[lines.size() - 2], "#switch|MY_TRACE_SWITCH");
  EXPECT_FALSE(UseTraceEnvironmentalA("A_NAME_LONGER_THAN_THIRTYONE_CHARS"));
  EXPECT_FALSE(UseTraceEnvironmentalA(nullptr));
  EXPECT_TRUE(UseTraceEnvironmentalA("QX_QXIDEBUG"));
  unsetenv("MY_TRACE_SWITCH");
}
