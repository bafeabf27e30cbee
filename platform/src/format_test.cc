#include <gtest/gtest.h>
#include <qxplatform/format.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

using namespace qx::platform;
using Kind = FormatArg::Kind;

namespace {

std::string Vformat(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  auto args = ReadPrintfArgs(fmt, ap);
  va_end(ap);
  return FormatPrintf(fmt, args);
}

}  // namespace

TEST(Printf, MatchesTheCLibraryForWellTypedValues) {
  // Differential check: every conversion we handle gives what snprintf gives.
  char ref[256];
  auto check = [&](const char* fmt, auto value) {
    std::snprintf(ref, sizeof ref, fmt, value);
    EXPECT_EQ(Vformat(fmt, value), ref) << fmt;
  };
  for (const char* f : {"%d", "%5d", "%-5d|", "%05d", "%+d", "% d", "%.3d", "%i"}) {
    check(f, 42);
    check(f, -7);
    check(f, int(0x80000000));
  }
  for (const char* f : {"%u", "%x", "%X", "%#x", "%o", "%08X", "%#o"}) {
    check(f, 0u);
    check(f, 0xDEADBEEFu);
  }
  for (const char* f : {"%ld", "%lld", "%lu", "%llx", "%zd", "%zu"}) check(f, 0x123456789ALL);
  for (const char* f : {"%s", "%10s|", "%-10s|", "%.2s", "%8.3s|"}) check(f, "hello");
  for (const char* f : {"%f", "%.2f", "%e", "%g", "%10.4f"}) check(f, 3.14159);
  check("%c", 'Q');
  check("100%% sure %d", 1);
  check("%hd", 70000);
  check("%hhu", 300);
  // The Microsoft length prefix reads a 64-bit value (glibc reads "I" as a flag).
  EXPECT_EQ(Vformat("%I64d", 0x100000000LL), "4294967296");
}

TEST(Printf, StarWidthsAndPrecisionsConsumeValues) {
  EXPECT_EQ(Vformat("[%*d]", 5, 42), "[   42]");
  EXPECT_EQ(Vformat("[%*d]", -5, 42), "[42   ]");
  EXPECT_EQ(Vformat("[%.*s]", 3, "abcdef"), "[abc]");
  EXPECT_EQ(PrintfArgKinds("%*.*s %d %u %p %ls %%"),
            (std::vector<Kind>{Kind::kInt, Kind::kInt, Kind::kString, Kind::kInt, Kind::kUInt,
                               Kind::kPointer, Kind::kWString}));
}

TEST(Printf, HostileFormatsNeverTouchMemory) {
  // %n writes nothing; a string conversion given an integer prints the number; a
  // string pointer into unmapped memory prints what could be read, nothing more.
  int target = 7;
  std::vector<FormatArg> args = {FormatArg::Ptr(&target)};
  EXPECT_EQ(FormatPrintf("a%nb", args), "ab");
  EXPECT_EQ(target, 7);
  EXPECT_EQ(FormatPrintf("%s", std::vector{FormatArg::Int(1234)}), "1234");
  EXPECT_EQ(FormatPrintf("%d %s", {}), "0 (null)");
  EXPECT_EQ(FormatPrintf("%s", std::vector{FormatArg::Str(nullptr)}), "(null)");
  EXPECT_EQ(FormatPrintf("%s", std::vector{FormatArg::Str(reinterpret_cast<const char*>(16))}), "");

  // A string that runs to the end of a readable page and into an unreadable one.
  long page = sysconf(_SC_PAGESIZE);
  auto* mem = static_cast<char*>(
      mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + page, size_t(page), PROT_NONE), 0);
  std::memset(mem, 'x', size_t(page));
  std::string out = FormatPrintf("%s", std::vector{FormatArg::Str(mem + page - 10)});
  EXPECT_EQ(out, std::string(10, 'x'));
  munmap(mem, size_t(page) * 2);

  // Huge widths are refused and copied as text instead of padding gigabytes.
  EXPECT_EQ(FormatPrintf("%999999999d", std::vector{FormatArg::Int(1)}), "%999999999d");
  EXPECT_EQ(FormatPrintf("%y %", {}), "%y %");
}

TEST(Printf, WideFormatsTakeWideStrings) {
  std::vector<FormatArg> args = {FormatArg::WStr(u"w\u00e9"), FormatArg::Str("n\xC3\xA9"),
                                 FormatArg::Int(5)};
  EXPECT_EQ(FormatPrintfW(u"%s/%S/%d", args), u"w\u00e9/n\u00e9/5");
  EXPECT_EQ(FormatPrintf("%ls|%s", std::vector{FormatArg::WStr(u"ab"), FormatArg::Str("cd")}),
            "ab|cd");
  EXPECT_EQ(PrintfArgKinds(u"%s %S %hs %ls", true),
            (std::vector<Kind>{Kind::kWString, Kind::kString, Kind::kString, Kind::kWString}));
  // Precision counts characters of the wide result and never splits a narrow one.
  EXPECT_EQ(FormatPrintf("%.2s", std::vector{FormatArg::Str("a\xC3\xA9z")}), "a");
}

TEST(Inserts, WindowsMessageSyntax) {
  std::vector<FormatArg> ins = {FormatArg::Str("disk"), FormatArg::Int(42),
                                FormatArg::Str("x")};
  std::string out;
  ASSERT_TRUE(FormatInserts("%1 has %2!d! errors%n%3!5s!|%%|%0 ignored", ins, &out));
  EXPECT_EQ(out, "disk has 42 errors\n    x|%|");
  ASSERT_TRUE(FormatInserts("%2!04x! %1", ins, &out));
  EXPECT_EQ(out, "002a disk");
  // An insert beyond the array fails, unless inserts are ignored.
  EXPECT_FALSE(FormatInserts("%4", ins, &out));
  ASSERT_TRUE(FormatInserts("%4 and %1!d!", {}, &out, true));
  EXPECT_EQ(out, "%4 and %1!d!");
  // A template line break is CR LF, or a blank under the width mask.
  ASSERT_TRUE(FormatInserts("a\nb", {}, &out));
  EXPECT_EQ(out, "a\r\nb");
  ASSERT_TRUE(FormatInserts("a\nb%nc", {}, &out, false, 255));
  EXPECT_EQ(out, "a b\nc");
  ASSERT_TRUE(FormatInserts("aaa bbb ccc", {}, &out, false, 7));
  EXPECT_EQ(out, "aaa bbb\nccc");
  // Star widths take the next insert numbers.
  std::vector<FormatArg> star = {FormatArg::Int(4), FormatArg::Int(7)};
  ASSERT_TRUE(FormatInserts("[%1!*d!]", star, &out));
  EXPECT_EQ(out, "[   7]");
  EXPECT_EQ(InsertKinds("%3!d! %1 %2!*u!"),
            (std::vector<Kind>{Kind::kString, Kind::kInt, Kind::kUInt}));

  std::u16string wout;
  std::vector<FormatArg> wins = {FormatArg::WStr(u"\u00e9t\u00e9"), FormatArg::UInt(7)};
  ASSERT_TRUE(FormatInsertsW(u"%1 %2!u!", wins, &wout));
  EXPECT_EQ(wout, u"\u00e9t\u00e9 7");
}

TEST(SafeRead, BytesStopAtTheFirstUnreadablePage) {
  // Two pages, the second unmapped: the first is copied whole, nothing faults.
  long page = ::sysconf(_SC_PAGESIZE);
  char* p = static_cast<char*>(::mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(p, MAP_FAILED);
  std::memset(p, 'a', size_t(page));
  ASSERT_EQ(::munmap(p + page, size_t(page)), 0);
  std::string out(size_t(page) * 2, '\0');
  EXPECT_EQ(qx::platform::SafeReadBytes(p + page - 10, 100, out.data()), 10u);
  EXPECT_EQ(out.substr(0, 10), std::string(10, 'a'));
  EXPECT_EQ(qx::platform::SafeReadBytes(p, size_t(page), out.data()), size_t(page));
  EXPECT_EQ(qx::platform::SafeReadBytes(nullptr, 5, out.data()), 0u);
  EXPECT_EQ(qx::platform::SafeReadBytes(p + page, 5, out.data()), 0u);
  ::munmap(p, size_t(page));
}
