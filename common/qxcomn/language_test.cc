#include <gtest/gtest.h>
#include <qxcomn.h>
#include <qxplatform/modules.h>
#include <stdlib.h>

#include <string>

#include "test_env.h"

// The exported language calls; the search itself is tested with the shared code.
TEST(Language, ExportsLoadFetchAndConvert) {
  std::string testlib = qx::testing::BuildLibDir() + "/../testlib/lang";
  setenv("QX_LIB_PATH", testlib.c_str(), 1);
  QXLOCALE pair = {nullptr, 0};
  ASSERT_EQ(loadLocaleW(u"langtest", u"fra", &pair), 0);
  char buf[1024];
  EXPECT_STREQ(loadStrA(buf, 1, &pair), "text of fra");
  char16_t wide[512];
  EXPECT_EQ(std::u16string(loadStrW(wide, 1, &pair)), u"text of fra");
  EXPECT_EQ(pair.uCodePage, 65001u);
  EXPECT_EQ(freeLocale(&pair), 0);
  EXPECT_EQ(pair.hModule, nullptr);
  EXPECT_STREQ(loadStrA(buf, 1, &pair), "<id=1,no locale lib>");

  EXPECT_EQ(loadLocaleA(nullptr, nullptr, nullptr), 0);
  HMODULE module = nullptr;
  EXPECT_EQ(getLocaleLib(&module), 0);
  EXPECT_EQ(module, GetModuleHandleA(nullptr));
  EXPECT_EQ(convLocaleA("ENU"), 0x0409u);
  EXPECT_EQ(convLocaleW(u"fra"), 0x040Cu);
  EXPECT_EQ(convLocaleW(nullptr), 0u);
  unsetenv("QX_LIB_PATH");
}
