#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/text.h>

#include <cerrno>
#include <thread>

using namespace qx::platform;

TEST(Utf, RoundTripsEveryPlane) {
  std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  auto w = Utf8ToUtf16(s);
  ASSERT_TRUE(w);
  EXPECT_EQ(*w, std::u16string(u"a\u00e9\u20ac\U0001F600z"));
  EXPECT_EQ(Utf16ToUtf8(*w), s);
}

TEST(Utf, RejectsMalformedInput) {
  for (std::string bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "ok\xFF"})
    EXPECT_FALSE(Utf8ToUtf16(bad)) << bad;
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))));
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))));
  EXPECT_FALSE(Utf16ToUtf8(std::u16string{char16_t(0xD800), u'a'}));
}

TEST(Utf, WindowsCallsSizeAndFail) {
  // -1: the terminator is converted and counted.
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "h\xC3\xA9", -1, nullptr, 0), 3);
  char16_t w[3];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, w, 3), 3);
  EXPECT_EQ(w[1], u'\u00e9');
  EXPECT_EQ(w[2], 0);
  // Too small: nothing counts as written, the error says why.
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "hello", 5, w, 3), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xFF", 1, w, 3), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, w, 3), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  char out[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u20ac", -1, nullptr, 0, nullptr, nullptr), 4);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u20ac", -1, out, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  BOOL used = TRUE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u20ac", -1, out, 8, "?", &used), 4);
  EXPECT_STREQ(out, "\xE2\x82\xAC");
  EXPECT_FALSE(used);
  const char16_t lone[] = {0xDFFF, 0};
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone, -1, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(Errors, LastErrorIsPerThreadAndMapsErrno) {
  SetLastError(5);
  std::thread([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(87);
  }).join();
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(ErrorFromErrno(ENOENT), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ErrorFromErrno(EACCES), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ErrorFromErrno(ECONNREFUSED), DWORD(WSAECONNREFUSED));
  EXPECT_EQ(ErrorFromErrno(12345), DWORD(ERROR_GEN_FAILURE));
  EXPECT_STREQ(ErrorText(ERROR_MORE_DATA), "More data is available.");
  EXPECT_EQ(ErrorText(0xDEAD), nullptr);
}
