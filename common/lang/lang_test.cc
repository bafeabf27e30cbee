#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qxplatform/modules.h>
#include <stdlib.h>
#include <zelapi01.h>

#include <sstream>
#include <string>
#include <vector>

#include "qxlang.h"
#include "test_env.h"

using qx::lang::LocalePair;
using ::testing::ElementsAre;

namespace {

// Points the library search at the test libraries and the trace at a file of the
// test's own; returns the trace file's path.
std::string Prepare(const char* lang, const char* system_lang) {
  std::string testlib = qx::testing::BuildLibDir() + "/../testlib";
  setenv("QX_LIB_PATH", (testlib + ":" + testlib + "/lang").c_str(), 1);
  std::string trace = qx::testing::TestRoot() + "/trace.log";
  setenv("QXTESTRC_FILE", trace.c_str(), 1);
  setenv("QX_QXIDEBUG", "1", 1);
  for (const char* v : {"LC_ALL", "LC_MESSAGES", "UserLangCode"}) unsetenv(v);
  setenv("LANG", lang, 1);
  setenv("QX_SYSTEM_LOCALE", system_lang, 1);
  FreeQXTESRC();  // read the switch and bind the trace library again
  return trace;
}

// The QXLOCALE trace lines: "+name" for a load, "-name" for a failure.
std::vector<std::string> Tries(const std::string& trace_file) {
  std::vector<std::string> out;
  std::istringstream in(qx::testing::ReadFile(trace_file));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("QXLOCALE|", 0) != 0) continue;
    auto q1 = line.find('\''), q2 = line.rfind('\'');
    std::string name = line.substr(q1 + 1, q2 - q1 - 1);
    out.push_back((line.find("successfully") != std::string::npos ? "+" : "-") + name);
  }
  return out;
}

}  // namespace

TEST(LoadLocale, CandidateOrderTriesEachFailedNameOnce) {
  std::string trace = Prepare("de_DE.UTF-8", "de_CH.UTF-8");
  LocalePair pair;
  EXPECT_EQ(qx::lang::LoadLocale("langtest", nullptr, &pair, nullptr), 0);
  ASSERT_NE(pair.module, nullptr);
  // Thread and user locale DEU, system DES: every German name once, then enu.
  EXPECT_THAT(Tries(trace), ElementsAre("-langtest.DEU", "-langtest.DE", "-langtest.DES",
                                        "-langtest.DEA", "+langtest.enu"));
  char buf[qx::lang::kStrBufferBytes];
  EXPECT_STREQ(qx::lang::LoadStr(buf, 1, &pair), "text of enu");
  EXPECT_EQ(pair.code_page, 65001u);
}

TEST(LoadLocale, CallerLanguageThenUserCodeComeFirst) {
  std::string trace = Prepare("de_DE.UTF-8", "de_DE.UTF-8");
  LocalePair pair;
  EXPECT_EQ(qx::lang::LoadLocale("langtest", "fra", &pair, nullptr), 0);
  char buf[qx::lang::kStrBufferBytes];
  EXPECT_STREQ(qx::lang::LoadStr(buf, 1, &pair), "text of fra");
  EXPECT_THAT(Tries(trace), ElementsAre("+langtest.fra"));

  // The user's language code comes before the locales; a two-letter caller code
  // is widened to every locale of that language ("it" -> ITA, ITS).
  setenv("UserLangCode", "ita", 1);
  EXPECT_EQ(qx::lang::LoadLocale("langtest", "xx", &pair, nullptr), 0);
  EXPECT_STREQ(qx::lang::LoadStr(buf, 1, &pair), "text of ita");
  unsetenv("UserLangCode");
  EXPECT_EQ(qx::lang::LoadLocale("langtest", "it", &pair, nullptr), 0);
  EXPECT_STREQ(qx::lang::LoadStr(buf, 1, &pair), "text of ita");
  EXPECT_THAT(Tries(trace), ElementsAre("+langtest.fra", "-langtest.xx", "+langtest.ita",
                                        "-langtest.it", "+langtest.ITA"));
}

TEST(LoadLocale, NothingFoundEndsWithDllAndPlaceholders) {
  std::string trace = Prepare("C", "C");
  LocalePair pair;
  EXPECT_EQ(qx::lang::LoadLocale("nolib", "deu", &pair, nullptr), 1);
  EXPECT_EQ(pair.module, nullptr);
  std::vector<std::string> tries = Tries(trace);
  ASSERT_FALSE(tries.empty());
  EXPECT_EQ(tries.back(), "-nolib.dll");
  // No name twice, although DEU and ENU are reached by several candidates.
  std::vector<std::string> sorted = tries;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  EXPECT_EQ(tries.front(), "-nolib.deu");

  char buf[qx::lang::kStrBufferBytes];
  EXPECT_STREQ(qx::lang::LoadStr(buf, 5, &pair), "<id=5,no locale lib>");
  EXPECT_STREQ(qx::lang::LoadStr(nullptr, 5, &pair), "???");
  char16_t wide[qx::lang::kStrBufferWide];
  EXPECT_EQ(std::u16string(qx::lang::LoadStrW(wide, 5, &pair)), u"<id=5,no locale lib>");

  // A missing string names the library, cut to 15 characters.
  ASSERT_EQ(qx::lang::LoadLocale("langtest", "enu", &pair, nullptr), 0);
  EXPECT_STREQ(qx::lang::LoadStr(buf, 99, &pair), "<id=99,rc=1814,lib=liblangtest.enu>");
  EXPECT_EQ(std::u16string(qx::lang::LoadStrW(wide, 2, &pair)),
            u"a longer text whose library name is cut");
}

TEST(LoadLocale, ProcessDefaultAndProgramModule) {
  Prepare("C", "C");
  EXPECT_EQ(qx::lang::LoadLocale(nullptr, nullptr, nullptr, nullptr), 0);
  HMODULE module = nullptr;
  qx::lang::GetLocaleLib(&module);
  EXPECT_EQ(module, GetModuleHandleA(nullptr));
  qx::lang::GetLocaleLib(nullptr);  // ignored

  EXPECT_EQ(qx::lang::LoadLocale("langtest", "ita", nullptr, nullptr), 0);
  char buf[qx::lang::kStrBufferBytes];
  EXPECT_STREQ(qx::lang::LoadStr(buf, 1, nullptr), "text of ita");
  EXPECT_EQ(qx::lang::SetLocaleCP(1252), 65001u);
  EXPECT_EQ(qx::lang::SetLocaleCP(65001), 1252u);
  EXPECT_EQ(qx::lang::FreeLocale(nullptr), 0);
  qx::lang::GetLocaleLib(&module);
  EXPECT_EQ(module, nullptr);
  EXPECT_STREQ(qx::lang::LoadStr(buf, 1, nullptr), "<id=1,no locale lib>");
}

TEST(ConvLocale, FindsTheFirstLocaleOfAnAbbreviation) {
  EXPECT_EQ(qx::lang::ConvLocale("deu"), 0x0407u);
  EXPECT_EQ(qx::lang::ConvLocale("ENG"), 0x0809u);
  EXPECT_EQ(qx::lang::ConvLocale("xyz"), 0u);
  EXPECT_EQ(qx::lang::ConvLocale("de"), 0u);
  EXPECT_EQ(qx::lang::ConvLocale(nullptr), 0u);
}
