// The text export format: exact round trips and clear faults.
#include <gtest/gtest.h>
#include <qxplatform/registry.h>

#include <string>

using namespace qx::platform;

namespace {

std::string W(std::u16string_view s, bool terminated = true) {
  std::string out;
  for (char16_t c : s) {
    out += char(c & 0xff);
    out += char(c >> 8);
  }
  if (terminated) out.append(2, '\0');
  return out;
}

bool SameValues(const std::vector<RegistryValue>& a, const std::vector<RegistryValue>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  return true;
}

}  // namespace

TEST(RegistryText, EverythingReadsBackExactly) {
  std::vector<RegistryTextKey> keys(3);
  keys[0].root = "HKEY_LOCAL_MACHINE";
  keys[0].path = {"Software",  "a/b=c",    "quote\"d",         " spaced ",
                  "new\nline", "br]acket", "\xC3\xA9t\xC3\xA9"};
  keys[0].values = {
      {"", REG_SZ, W(u"default")},
      {"back\\slash/=\"q\"\n\t\x01", REG_SZ, W(u"line1\nline2 \"quoted\" \\ %PATH%")},
      {"exp", REG_EXPAND_SZ, W(u"%SystemRoot%\\system32")},
      {"multi", REG_MULTI_SZ, W(u"one") + W(u"two \u00e9") + W(u"", true)},
      {"empty multi", REG_MULTI_SZ, W(u"")},
      {"dw", REG_DWORD, std::string("\x2a\0\0\x80", 4)},
      {"qw", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
      {"bin", REG_BINARY, std::string("\0\xff\n\"", 4)},
      {"empty bin", REG_BINARY, ""},
      // Data that is not in the canonical form of its type still reads back.
      {"sz without NUL", REG_SZ, W(u"abc", false)},
      {"sz with inner NUL", REG_SZ, W(u"a") + W(u"b")},
      {"odd sz", REG_SZ, std::string("abc", 3)},
      {"bad surrogate", REG_SZ, W(u"\xd800", true)},
      {"short dword", REG_DWORD, "\x01"},
      {"multi with empty item", REG_MULTI_SZ, W(u"a") + W(u"") + W(u"b") + W(u"")},
      {"big type", 0xfedcba98u, "xyz"},
      {"none", REG_NONE, ""},
  };
  keys[1].root = "HKEY_CURRENT_USER";
  keys[2].root = "HKEY_LOCAL_MACHINE";
  keys[2].path = {"Software"};
  std::string text = FormatRegistryText(keys);
  std::vector<RegistryTextKey> back;
  std::string error;
  ASSERT_TRUE(ParseRegistryText(text, &back, &error)) << error << "\n" << text;
  ASSERT_EQ(back.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(back[i].root, keys[i].root);
    EXPECT_EQ(back[i].path, keys[i].path);
    EXPECT_TRUE(SameValues(back[i].values, keys[i].values)) << i;
  }
  // One line per key and value: nothing in a name or text breaks a line.
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 1 + 3 * 2 + keys[0].values.size());
  EXPECT_NE(text.find("\"dw\"=dword:8000002a\n"), std::string::npos);
  EXPECT_NE(text.find("\"exp\"=expand:\"%SystemRoot%\\\\system32\"\n"), std::string::npos);
}

TEST(RegistryText, HandWrittenFormsAndFaults) {
  std::vector<RegistryTextKey> keys;
  std::string error;
  ASSERT_TRUE(
      ParseRegistryText("QXREG1\r\n; comment\r\n\r\n[hklm\\Software\\X]\r\n"
                        "@=\"d\"\r\n\"m\"=multi:\r\n\"h\"=hex(2):41,00,00,00\r\n",
                        &keys, &error))
      << error;
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].root, "HKEY_LOCAL_MACHINE");
  ASSERT_EQ(keys[0].values.size(), 3u);
  EXPECT_EQ(keys[0].values[1].data, std::string(2, '\0'));
  EXPECT_EQ(keys[0].values[2].type, DWORD(REG_EXPAND_SZ));

  const struct {
    const char* text;
    const char* fault;
  } bad[] = {
      {"", "line 0: the text does not begin with QXREG1"},
      {"REGEDIT4\n", "line 1: the text does not begin with QXREG1"},
      {"QXREG1\n\"v\"=\"x\"\n", "line 2: a value comes before any [key] line"},
      {"QXREG1\n[HKEY_USERS\\x]\n", "line 2: unknown root key"},
      {"QXREG1\n[HKLM\\x\n", "line 2: a [key] line has no closing ]"},
      {"QXREG1\n[HKLM\\\\x]\n", "line 2: bad key name"},
      {"QXREG1\n[HKLM\\x]\n\"v\"=dword:12\n", "line 3: expected 8 hex digits"},
      {"QXREG1\n[HKLM\\x]\n\"v\"=hex:1,2\n", "line 3: hex data must be pairs"},
      {"QXREG1\n[HKLM\\x]\n\"v\"=\"abc\n", "line 3: a quoted string has no closing quote"},
      {"QXREG1\n[HKLM\\x]\n\"v\"=\"a\\q\"\n", "line 3: unknown escape \\q"},
      {"QXREG1\n[HKLM\\x]\n\"v\"=\"a\\x00\"\n", "line 3: \\x00 is not allowed"},
      {"QXREG1\n[HKLM\\x]\n\"v\"=\"\xff\"\n", "line 3: the text is not valid UTF-8"},
      {"QXREG1\n[HKLM\\x]\n\"v\"=multi:\"a\",\n", "line 3: a comma ends"},
      {"QXREG1\n[HKLM\\x]\n\"v\"=str:x\n", "line 3: unknown data form"},
      {"QXREG1\n[HKLM\\x]\nv=\"x\"\n", "line 3: a line must be"},
      {"QXREG1\n[HKLM\\x]\n\"\"=\"x\"\n", "line 3: the default value is written @"},
  };
  for (const auto& b : bad) {
    keys.clear();
    EXPECT_FALSE(ParseRegistryText(b.text, &keys, &error)) << b.text;
    EXPECT_EQ(error.rfind(b.fault, 0), 0u) << b.text << " -> " << error;
    EXPECT_TRUE(keys.empty());
  }
  std::string long_key = "QXREG1\n[HKLM\\" + std::string(256, 'k') + "]\n";
  EXPECT_FALSE(ParseRegistryText(long_key, &keys, &error));
  EXPECT_NE(error.find("longer than 255"), std::string::npos);
}
