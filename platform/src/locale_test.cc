#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/locale.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

using namespace qx::platform;

namespace {

void ClearLocaleEnv() {
  for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG", "QX_SYSTEM_LOCALE"}) unsetenv(v);
}

std::string Abbrev(LCID lcid) {
  char buf[8];
  return GetLocaleInfoA(lcid, LOCALE_SABBREVLANGNAME, buf, sizeof buf) ? buf : "";
}

}  // namespace

TEST(Locale, UserDefaultFollowsLcAllThenLcMessagesThenLang) {
  ClearLocaleEnv();
  EXPECT_EQ(GetUserDefaultLCID(), 0x0409u);
  setenv("LANG", "fr_CA.UTF-8", 1);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0C0Cu);
  setenv("LC_MESSAGES", "de_AT.UTF-8@euro", 1);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0C07u);
  setenv("LC_ALL", "ja_JP", 1);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0411u);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0411);
  setenv("LC_ALL", "", 1);  // empty counts as unset
  EXPECT_EQ(GetUserDefaultLCID(), 0x0C07u);
  setenv("LC_MESSAGES", "C", 1);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0409u);
  setenv("LC_MESSAGES", "de", 1);  // a language alone takes its first locale
  EXPECT_EQ(GetUserDefaultLCID(), 0x0407u);
  setenv("LC_MESSAGES", "xx_YY", 1);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0409u);
  ClearLocaleEnv();
}

TEST(Locale, SystemDefaultAndThreadLocale) {
  ClearLocaleEnv();
  setenv("QX_SYSTEM_LOCALE", "it_IT.UTF-8", 1);
  setenv("LANG", "sv_SE.UTF-8", 1);
  EXPECT_EQ(GetSystemDefaultLCID(), 0x0410u);
  EXPECT_EQ(Abbrev(LOCALE_SYSTEM_DEFAULT), "ITA");
  EXPECT_EQ(Abbrev(LOCALE_USER_DEFAULT), "SVE");
  EXPECT_EQ(GetThreadLocale(), 0x041Du);

  // The thread locale is the thread's own.
  EXPECT_TRUE(SetThreadLocale(0x0809));
  EXPECT_EQ(GetThreadLocale(), 0x0809u);
  LCID other = 0;
  std::thread([&] { other = GetThreadLocale(); }).join();
  EXPECT_EQ(other, 0x041Du);
  EXPECT_FALSE(SetThreadLocale(0x7777));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetThreadLocale(), 0x0809u);
  ClearLocaleEnv();
}

TEST(Locale, InfoSizesAndErrors) {
  char buf[64];
  EXPECT_EQ(GetLocaleInfoA(0x0407, LOCALE_SABBREVLANGNAME, nullptr, 0), 4);
  EXPECT_EQ(GetLocaleInfoA(0x0407, LOCALE_SABBREVLANGNAME, buf, 4), 4);
  EXPECT_STREQ(buf, "DEU");
  EXPECT_EQ(GetLocaleInfoA(0x0407, LOCALE_SABBREVLANGNAME, buf, 3), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(GetLocaleInfoA(0x0816, LOCALE_SISO639LANGNAME, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "pt");
  EXPECT_GT(GetLocaleInfoA(0x0816, LOCALE_SISO3166CTRYNAME, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "PT");
  EXPECT_GT(GetLocaleInfoA(0x0816, LOCALE_ILANGUAGE, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "0816");
  EXPECT_EQ(GetLocaleInfoA(0x1234, LOCALE_SABBREVLANGNAME, buf, sizeof buf), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetLocaleInfoA(0x0409, 0x7FFF, buf, sizeof buf), 0);
  char16_t wide[8];
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_SABBREVLANGNAME, wide, 8), 4);
  EXPECT_EQ(std::u16string(wide), u"ENU");
}

TEST(Locale, EnumerationIsTheWholeTableInOrder) {
  static std::vector<std::string> seen;
  seen.clear();
  ASSERT_TRUE(EnumSystemLocalesA(
      [](LPSTR s) -> BOOL {
        seen.push_back(s);
        return TRUE;
      },
      LCID_INSTALLED));
  ASSERT_EQ(seen.size(), KnownLocales().size());
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(std::stoul(seen[i], nullptr, 16), KnownLocales()[i].lcid);
    if (i) {
      EXPECT_LT(KnownLocales()[i - 1].lcid, KnownLocales()[i].lcid);
    }
    EXPECT_EQ(std::string(KnownLocales()[i].abbreviation).size(), 3u);
  }
  // A FALSE answer stops the enumeration.
  seen.clear();
  EnumSystemLocalesA(
      [](LPSTR s) -> BOOL {
        seen.push_back(s);
        return seen.size() < 3;
      },
      LCID_INSTALLED);
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(GetACP(), 65001u);
}
