#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/locale.h>
#include <qxplatform/message.h>
#include <qxplatform/modules.h>
#include <qxplatform/resources.h>
#include <stdlib.h>

#include <string>

#include "test_env.h"

// The test program's own string table.
static const QX_STRING_ENTRY kOwnTexts[] = {{10, "own text %1"}, {11, "second"}};
QX_DEFINE_STRING_TABLE(kOwnTexts)

using namespace qx::platform;

namespace {

HMODULE LoadTestLibrary() {
  setenv("QX_LIB_PATH", (qx::testing::BuildLibDir() + "/../testlib").c_str(), 1);
  HMODULE h = LoadLibraryExA("qxptest_rc.enu", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  unsetenv("QX_LIB_PATH");
  return h;
}

}  // namespace

TEST(Resources, LoadStringFromALanguageLibrary) {
  HMODULE h = LoadTestLibrary();
  ASSERT_NE(h, nullptr);
  char buf[64];
  EXPECT_EQ(LoadStringA(h, 1, buf, sizeof buf), 10);
  EXPECT_STREQ(buf, "plain text");
  // Cut to the buffer, never inside a UTF-8 character: "grü" needs 4 bytes.
  EXPECT_EQ(LoadStringA(h, 3, buf, 4), 2);
  EXPECT_STREQ(buf, "gr");
  EXPECT_EQ(LoadStringA(h, 3, buf, 5), 4);
  EXPECT_STREQ(buf, "gr\xC3\xBC");

  char16_t wide[64];
  EXPECT_EQ(LoadStringW(h, 3, wide, 64), 12);
  EXPECT_EQ(std::u16string(wide), u"grüße 😀 end");
  // The pair of the emoji is not split: 7 characters fit, the 7th would be half.
  EXPECT_EQ(LoadStringW(h, 3, wide, 8), 6);

  EXPECT_EQ(LoadStringA(h, 99, buf, sizeof buf), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_STREQ(buf, "");
  SetLastError(0);
  EXPECT_EQ(LoadStringA(h, 7, buf, sizeof buf), 0);  // empty text
  EXPECT_EQ(LoadStringA(h, 1, nullptr, 10), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(Resources, NullModuleIsTheProgramsOwnTableOnly) {
  char buf[64];
  EXPECT_EQ(LoadStringA(nullptr, 11, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "second");
  // The library's table is not the program's, even once loaded.
  ASSERT_NE(LoadTestLibrary(), nullptr);
  EXPECT_EQ(LoadStringA(nullptr, 1, buf, sizeof buf), 0);
  EXPECT_EQ(LoadStringA(GetModuleHandleA(nullptr), 10, buf, sizeof buf), 11);
  // A library without a table, and something that is no module at all.
  HMODULE plat = GetModuleHandleA("libqxplatform.so");
  ASSERT_NE(plat, nullptr);
  EXPECT_EQ(LoadStringA(plat, 1, buf, sizeof buf), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
  int not_a_module = 0;
  EXPECT_EQ(LoadStringA(&not_a_module, 1, buf, sizeof buf), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(FormatMessage, FromStringWithVaListAndArray) {
  char buf[128];
  auto call = [&](DWORD flags, const char* tmpl, ...) {
    va_list ap;
    va_start(ap, tmpl);
    DWORD n = FormatMessageA(flags, tmpl, 0, 0, buf, sizeof buf, &ap);
    va_end(ap);
    return n;
  };
  EXPECT_EQ(call(FORMAT_MESSAGE_FROM_STRING, "%2!d! of %1, 100%%%0", "x", -5), 13u);
  EXPECT_STREQ(buf, "-5 of x, 100%");

  DWORD_PTR array[] = {reinterpret_cast<DWORD_PTR>("abc"), DWORD_PTR(0xFFFFFFFFu), 42};
  DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1 %2!d! %3!u!",
                     0, 0, buf, sizeof buf, reinterpret_cast<va_list*>(array));
  EXPECT_STREQ(buf, "abc -1 42");
  EXPECT_EQ(n, 9u);

  // Inserts without arguments fail unless ignored; ignored ones stay as written.
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "a %1 b", 0, 0, buf, sizeof buf, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "a %1 b%n",
                           0, 0, buf, sizeof buf, nullptr),
            0u);
  EXPECT_STREQ(buf, "a %1 b\n");

  // An empty result: 0 with success, and no block to free.
  char* block = reinterpret_cast<char*>(1);
  SetLastError(5);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, "%0 gone",
                           0, 0, reinterpret_cast<LPSTR>(&block), 0, nullptr),
            0u);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));

  // Too small a buffer stores nothing.
  char small[4] = "zz";
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "long text", 0, 0, small, 4, nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(small, "zz");
}

TEST(FormatMessage, SystemTextsModulesAndAllocation) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                           ERROR_FILE_NOT_FOUND, LANG_USER_DEFAULT, reinterpret_cast<LPSTR>(&text),
                           0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), std::string(ErrorText(2)) + "\r\n");
  EXPECT_EQ(n, strlen(text));
  EXPECT_EQ(LocalFree(text), nullptr);

  char buf[256];
  // No line breaks asked: the closing one goes too.
  ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, 5,
                           0, buf, sizeof buf, nullptr),
            0u);
  EXPECT_EQ(std::string(buf), ErrorText(5));
  // German is not offered; English variants and the defaults are.
  EXPECT_EQ(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0407, buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_LANG_NOT_FOUND));
  EXPECT_GT(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0809, buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x7FFFFFF0, 0, buf, sizeof buf, nullptr),
      0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));

  // A module's table, falling back to the system texts when asked.
  HMODULE h = LoadTestLibrary();
  ASSERT_NE(h, nullptr);
  DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>("a.txt"), 3};
  ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, h, 2, 0,
                           buf, sizeof buf, reinterpret_cast<va_list*>(args)),
            0u);
  EXPECT_STREQ(buf, "file a.txt has 3 lines\n");  // %n is a bare line feed
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, h, 5, 0, buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
  EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM, h, 5, 0, buf,
                           sizeof buf, nullptr),
            0u);

  char16_t wide[64];
  DWORD_PTR wargs[] = {reinterpret_cast<DWORD_PTR>(u"wide"), 7};
  ASSERT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, u"%1=%2!d!",
                           0, 0, wide, 64, reinterpret_cast<va_list*>(wargs)),
            6u);
  EXPECT_EQ(std::u16string(wide), u"wide=7");
}
