#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/sync.h>
#include <stdlib.h>
#include <zelapi01.h>

#include <cstring>
#include <string>
#include <thread>

#include "test_env.h"

namespace {

using TesTraceProc = int (*)(const char*, const char*);
using UseProc = int (*)(const char*);

void PointAtTestLibraries() {
  std::string lib = qx::testing::BuildLibDir();
  setenv("QX_LIB_PATH", (lib + ":" + lib + "/../testlib").c_str(), 1);
}

void PointAtLibrariesOnly() {
  setenv("QX_LIB_PATH", qx::testing::BuildLibDir().c_str(), 1);
}

int g_bound_calls = 0;
void CountBound(ZELDLLLOAD*) {
  ++g_bound_calls;
}

}  // namespace

TEST(LoadDLLProcs, BindsEveryEntryAndKeepsTheHandle) {
  PointAtTestLibraries();
  TesTraceProc tes = nullptr;
  UseProc use = nullptr;
  ZELDLLPROC procs[] = {{"TesTrace", reinterpret_cast<FARPROC*>(&tes)},
                        {"UseTraceEnvironmentalA", reinterpret_cast<FARPROC*>(&use)},
                        {nullptr, nullptr}};
  ZELDLLLOAD load = {"QXTESTRC.DLL", nullptr, procs, CountBound};
  g_bound_calls = 0;
  ASSERT_TRUE(LoadDLLProcs(&load));
  ASSERT_NE(load.hModule, nullptr);
  ASSERT_NE(tes, nullptr);
  ASSERT_NE(use, nullptr);
  EXPECT_EQ(g_bound_calls, 1);
  // Bound once: a second call succeeds at once without binding again.
  PointAtLibrariesOnly();
  EXPECT_TRUE(LoadDLLProcs(&load));
  EXPECT_EQ(g_bound_calls, 1);
  // Libraries stay loaded, whatever FreeDLL says.
  EXPECT_TRUE(FreeDLL(load.hModule));
  HMODULE list[] = {load.hModule, load.hModule, nullptr};
  EXPECT_TRUE(FreeDLLList(list));
  EXPECT_NE(GetModuleHandleA("libqxtestrc.so"), nullptr);
  setenv("QXTESTRC_FILE", (qx::testing::TestRoot() + "/t.log").c_str(), 1);
  EXPECT_EQ(tes("m", "still callable"), 14);
}

TEST(LoadDLLProcs, MissingEntryFailsWithMessage2AndRetries) {
  PointAtTestLibraries();
  TesTraceProc tes = nullptr;
  FARPROC other = nullptr;
  ZELDLLPROC procs[] = {
      {"TesTrace", reinterpret_cast<FARPROC*>(&tes)}, {"NoSuchEntry", &other}, {nullptr, nullptr}};
  ZELDLLLOAD load = {"QXTESTRC.DLL", nullptr, procs, nullptr};
  EXPECT_FALSE(LoadDLLProcs(&load));
  EXPECT_EQ(load.hModule, nullptr);
  EXPECT_EQ(GetMsgID(), 2u);
  EXPECT_STREQ(GetMsgString(),
               "The entry point NoSuchEntry could not be found in the library QXTESTRC.DLL.");
  EXPECT_EQ(GetErrorMsgID(), DWORD(ERROR_PROC_NOT_FOUND));
  EXPECT_FALSE(LoadDLLProcs2(&load, nullptr));  // and again, without a message
  // A second attempt really tries again: with the table mended it binds.
  procs[1].lpszProcName = "UseTraceEnvironmentalA";
  SetMsgString(nullptr, 0);
  EXPECT_TRUE(LoadDLLProcs2(&load, nullptr));
  EXPECT_NE(load.hModule, nullptr);
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(GetMsgID(), 0u);
  PointAtTestLibraries();
}

TEST(LoadDLLProcs, MissingLibraryAndNullDescriptor) {
  PointAtLibrariesOnly();
  ZELDLLPROC procs[] = {{nullptr, nullptr}};
  ZELDLLLOAD load = {"NOSUCHLIB.DLL", nullptr, procs, nullptr};
  EXPECT_FALSE(LoadDLLProcs(&load));
  EXPECT_EQ(GetMsgID(), 1u);
  EXPECT_STREQ(GetMsgString(), "The library NOSUCHLIB.DLL could not be loaded.");
  EXPECT_EQ(GetErrorMsgID(), DWORD(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(LoadDLLProcs(nullptr));
  EXPECT_EQ(GetMsgID(), 6u);
  EXPECT_FALSE(LoadDLLProcs2(nullptr, nullptr));
}

TEST(Conversions, UnicodeToAnsiSizesFromTheConversion) {
  // Three bytes per UTF-16 unit: "twice the length + 1" would be too small.
  const char16_t* text = u"€€€€€€€€€€ ✓";
  HZELMEM mem = OpenMemHandle();
  ASSERT_NE(mem, nullptr);
  LPSTR narrow = UnicodeToAnsi(mem, nullptr, text, 0);
  ASSERT_NE(narrow, nullptr);
  EXPECT_STREQ(narrow, "€€€€€€€€€€ ✓");
  // Into a caller's buffer: exact fit, and one byte short.
  char buf[35];
  EXPECT_EQ(UnicodeToAnsi(nullptr, buf, text, 35), buf);
  EXPECT_EQ(UnicodeToAnsi(nullptr, buf, text, 34), nullptr);
  // An unpaired surrogate has no narrow form.
  const char16_t bad[] = {u'a', 0xD800, u'b', 0};
  EXPECT_EQ(UnicodeToAnsi(mem, nullptr, bad, 0), nullptr);
  EXPECT_EQ(UnicodeToAnsi(mem, nullptr, nullptr, 0), nullptr);
  // Many blocks under one handle (the list grows past its first ten entries);
  // closing the handle frees them all (the sanitizer build checks).
  for (int i = 0; i < 35; ++i) {
    ASSERT_NE(UnicodeToAnsi(mem, nullptr, u"block", 0), nullptr);
    ASSERT_NE(AnsiToUnicode(mem, nullptr, "block", 0), nullptr);
  }
  EXPECT_TRUE(CloseMemHandle(mem));
  EXPECT_FALSE(CloseMemHandle(nullptr));
  // Without a handle the caller frees.
  LPSTR plain = UnicodeToAnsi(nullptr, nullptr, u"plain", 0);
  EXPECT_STREQ(plain, "plain");
  free(plain);
}

TEST(Conversions, AnsiToUnicode) {
  LPWSTR wide = AnsiToUnicode(nullptr, nullptr, "grüße 😀", 0);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::u16string(wide), u"grüße 😀");
  free(wide);
  char16_t buf[9];
  EXPECT_EQ(AnsiToUnicode(nullptr, buf, "grüße 😀", 9), buf);
  EXPECT_EQ(AnsiToUnicode(nullptr, buf, "grüße 😀", 8), nullptr);
  EXPECT_EQ(AnsiToUnicode(nullptr, nullptr, "bad \xC3\x28", 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(QueryUserLanguage, EnvironmentCodeAtMostThreeCharacters) {
  char code[8];
  std::memset(code, 'Z', sizeof code);
  setenv("UserLangCode", "deutsch", 1);
  EXPECT_TRUE(QueryUserLanguage(code));
  EXPECT_STREQ(code, "deu");
  EXPECT_EQ(code[4], 'Z');
  setenv("UserLangCode", "fr", 1);
  EXPECT_TRUE(QueryUserLanguage(code));
  EXPECT_STREQ(code, "fr");
  unsetenv("UserLangCode");
  EXPECT_FALSE(QueryUserLanguage(nullptr));
  EXPECT_EQ(GetMsgID(), 6u);
}

TEST(MutexOwnership, NullAndWaitableObjects) {
  EXPECT_TRUE(GetMutexOwnership(nullptr));
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(GetMutexOwnership(event));
  CloseHandle(event);
  EXPECT_FALSE(GetMutexOwnership(event));  // a closed handle: the wait fails
}
