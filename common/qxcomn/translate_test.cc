#include <gtest/gtest.h>
#include <iconv.h>
#include <qxcomn.h>

#include <map>
#include <string>

namespace {

TEST(Translate, ListsAndNamedConversions) {
  char abc[] = "abc";
  EXPECT_EQ(QXtrans(abc, "xy", "abc", '-'), abc);
  EXPECT_STREQ(abc, "xy-");
  char twice[] = "aab";
  QXtrans(twice, "12", "aa", '-');  // the later position wins
  EXPECT_STREQ(twice, "22b");
  char part[] = "abcabc";
  QXtransn(part, "X", "a", '-', 4);
  EXPECT_STREQ(part, "XbcXbc");
  char graph[] = "a\tb\xE9";
  QXtrans(graph, "tograph", nullptr, '.');
  EXPECT_STREQ(graph, "a.b.");
  char mixed[] = "MiXeD 9";
  QXtrans(mixed, "toupper", nullptr, ' ');
  EXPECT_STREQ(mixed, "MIXED 9");
  QXtrans(mixed, "tolower", nullptr, ' ');
  EXPECT_STREQ(mixed, "mixed 9");
  char word[] = "Hello";
  QXtrans(word, "toebcdic", nullptr, 0);
  EXPECT_EQ(std::string(word), "\xC8\x85\x93\x93\x96");
  QXtrans(word, "toascii", nullptr, 0);
  EXPECT_STREQ(word, "Hello");
  // Failures return null and leave the string alone.
  char keep[] = "keep";
  EXPECT_EQ(QXtrans(keep, "tobinary", nullptr, 0), nullptr);
  EXPECT_EQ(QXtrans(keep, "TOASCII", nullptr, 0), nullptr);
  EXPECT_EQ(QXtrans(keep, nullptr, "k", 0), nullptr);
  EXPECT_EQ(QXtransn(keep, "x", "k", 0, 0), nullptr);
  EXPECT_EQ(QXtrans(nullptr, "x", "k", 0), nullptr);
  char empty[] = "";
  EXPECT_EQ(QXtrans(empty, "toupper", nullptr, 0), nullptr);
  EXPECT_STREQ(keep, "keep");
}

TEST(Translate, WideFormsLeaveCharactersBeyondTheTables) {
  char16_t text[] = u"a\u00e9\u20ac\u0100z";
  QXtrans_w(text, u"toupper", nullptr, u'?');
  EXPECT_EQ(std::u16string(text), u"A\u00e9\u20ac\u0100Z");
  QXtrans_w(text, u"toebcdic", nullptr, u'?');
  EXPECT_EQ(std::u16string(text), u"\u00c1\u00e9\u20ac\u0100\u00e9");
  // The tables are used as they stand: E9 reads back as "Z".
  QXtrans_w(text, u"toascii", nullptr, u'?');
  EXPECT_EQ(std::u16string(text), u"AZ\u20ac\u0100Z");
  QXtrans_w(text, u"tograph", nullptr, u'.');
  EXPECT_EQ(std::u16string(text), u"AZ..Z");
  char16_t list[] = u"x\u20acy\u0141";
  QXtrans_w(list, u"E", u"\u20acy", u'-');
  EXPECT_EQ(std::u16string(list), u"xE-\u0141");
  // Narrow bytes above 127 index the table as unsigned.
  char high[] = "\xC1\xE9";
  QXtrans(high, "toascii", nullptr, 0);
  EXPECT_EQ(std::string(high), "AZ");
  char narrow_list[] = "\xFF\x01";
  QXtrans(narrow_list, "ab", "\xFF\x01", 0);
  EXPECT_STREQ(narrow_list, "ab");
}

// The product's EBCDIC tables against glibc's IBM-1047 converter, all 512 entries.
// The tables follow code page 1047 wherever both sides are ASCII characters; where
// IBM-1047 holds a character outside ASCII the product's tables pass the byte
// through unchanged. The entries listed below are where the product's own tables
// deliberately differ and are kept as they are.
unsigned char Iconv(const char* to, const char* from, unsigned char c) {
  iconv_t cd = iconv_open(to, from);
  EXPECT_NE(cd, (iconv_t)-1);
  char in = static_cast<char>(c), out = 0;
  char* ip = &in;
  char* op = &out;
  size_t il = 1, ol = 1;
  EXPECT_NE(iconv(cd, &ip, &il, &op, &ol), size_t(-1)) << int(c);
  iconv_close(cd);
  return static_cast<unsigned char>(out);
}

TEST(Translate, EbcdicTablesAgainstIconv) {
  const std::map<int, int> to_ebcdic_differs = {
      {0x1C, 0x22},  // file separator: the product uses 22 (IBM-1047: 1C)
      {0x7C, 0x6A},  // vertical bar: 6A, the broken bar position (IBM-1047: 4F)
  };
  const std::map<int, int> to_ascii_differs = {
      {0x16, 0x18},  // BS in IBM-1047 (08); the product gives CAN
      {0x22, 0x1C},  // inverse of the file separator above
      {0x35, 0x1E},  // record separator
      {0x6A, 0x7C},  // broken bar read as vertical bar
      {0x8B, 0x7B},  // left brace, the older EBCDIC position
      {0x9B, 0x7D},  // right brace, the older EBCDIC position
  };
  int compared = 0;
  for (int c = 0; c < 256; ++c) {
    char s[2] = {static_cast<char>(c), 0};
    QXtransn(s, "toebcdic", nullptr, 0, 1);
    int ours = static_cast<unsigned char>(s[0]);
    int theirs = Iconv("IBM1047", "ISO-8859-1", static_cast<unsigned char>(c));
    if (auto it = to_ebcdic_differs.find(c); it != to_ebcdic_differs.end())
      EXPECT_EQ(ours, it->second) << std::hex << c;
    else if (c >= 0x80)
      EXPECT_EQ(ours, c) << std::hex << c;  // passed through
    else
      EXPECT_EQ(ours, theirs) << std::hex << c;
    ++compared;
  }
  for (int e = 0; e < 256; ++e) {
    char s[2] = {static_cast<char>(e), 0};
    QXtransn(s, "toascii", nullptr, 0, 1);
    int ours = static_cast<unsigned char>(s[0]);
    int theirs = Iconv("ISO-8859-1", "IBM1047", static_cast<unsigned char>(e));
    if (auto it = to_ascii_differs.find(e); it != to_ascii_differs.end())
      EXPECT_EQ(ours, it->second) << std::hex << e;
    else if (theirs >= 0x80)
      EXPECT_EQ(ours, e) << std::hex << e;  // not ASCII in IBM-1047: passed through
    else
      EXPECT_EQ(ours, theirs) << std::hex << e;
    ++compared;
  }
  EXPECT_EQ(compared, 512);
}

}  // namespace
