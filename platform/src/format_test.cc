#include <gtest/gtest.h>
#include <qxplatform/format.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

TEST(Printf, IntegersMatchTheCLibraryInEveryForm) {
  // The formatter prints integers itself: every combination of flags, width,
  // precision and length against snprintf, through FormatPrintf and through a
  // parsed format.
  const char* flag_sets[] = {"",   "-",  "+",  " ",  "#",  "0",    "-0",
                             "+0", " 0", "#0", "-#", "+ ", "-+ #0"};
  const char* widths[] = {"", "1", "6", "25"};
  const char* precisions[] = {"", ".", ".0", ".1", ".4", ".22"};
  const char* lengths[] = {"", "hh", "h", "l", "ll", "z", "j"};
  const int64_t values[] = {0,         1,          -1,        7,         -42,
                            127,       128,        255,       256,       -129,
                            32767,     -32768,     65535,     65536,     INT32_MAX,
                            INT32_MIN, UINT32_MAX, INT64_MAX, INT64_MIN, 0x123456789A};
  char ref[128];
  char out[128];
  int mismatches = 0;
  for (const char* flags : flag_sets)
    for (const char* width : widths)
      for (const char* precision : precisions)
        for (const char* length : lengths)
          for (char conv : std::string("diuoxX")) {
            std::string fmt = std::string("[%") + flags + width + precision + length + conv + "]";
            bool wide_value = std::string(length).size() == 1 && length[0] != 'h';
            wide_value = wide_value || std::string(length) == "ll";
            PrintfFormat parsed(fmt);
            for (int64_t v : values) {
              if (wide_value)
                std::snprintf(ref, sizeof ref, fmt.c_str(), (long long)v);
              else
                std::snprintf(ref, sizeof ref, fmt.c_str(), int(v));
              std::vector<FormatArg> args = {FormatArg::Int(v)};
              std::string got = FormatPrintf(fmt, args);
              size_t n = parsed.FormatTo(args, out, sizeof out);
              if (got != ref || std::string(out, n) != ref) {
                if (++mismatches <= 10)
                  ADD_FAILURE() << fmt << " " << v << ": " << got << " / " << std::string(out, n)
                                << ", C library: " << ref;
              }
            }
          }
  EXPECT_EQ(mismatches, 0);
}

TEST(PrintfFormat, KeepsWhatFormatPrintfGivesWithinTheCapacity) {
  // Every capacity from nothing to more than the text: the kept characters are the
  // first ones FormatPrintf gives, whatever the conversions.
  std::string long_value(300, 'L');
  std::vector<FormatArg> args = {FormatArg::Str("h\xC3\xA9llo"),
                                 FormatArg::Int(-42),
                                 FormatArg::Int(7),
                                 FormatArg::Str(long_value.c_str()),
                                 FormatArg::Int(5),
                                 FormatArg::Str(nullptr),
                                 FormatArg::WStr(u"w"),
                                 FormatArg::Double(2.5)};
  for (const char* fmt :
       {"plain", "%s and %d", "%-8s|%08.3d|%+x|%s", "%*.*s|%s", "%y %% %n %", "%5c%ls%.1f",
        "%.3s|%10s|%-10s|%s", "%s%s%s%s%s%s%s%s%s", "%s %d %u %s %.2s %S %s %e", "trailing %"}) {
    std::string full = FormatPrintf(fmt, args);
    PrintfFormat parsed(fmt);
    EXPECT_EQ(parsed.text(), fmt);
    for (size_t cap = 0; cap <= full.size() + 2; ++cap) {
      std::string out(cap + 8, '#');
      size_t n = parsed.FormatTo(args, out.data(), cap);
      ASSERT_EQ(out.substr(0, n), full.substr(0, std::min(cap, full.size())))
          << fmt << " cap " << cap;
      ASSERT_EQ(out.substr(n), std::string(cap + 8 - n, '#')) << fmt << " wrote past " << n;
    }
  }
  // A literal prefix is printed as it is, '%' and all.
  PrintfFormat prefixed("%PREFIX%d ", "value %d");
  char out[64];
  std::vector<FormatArg> one = {FormatArg::Int(3)};
  EXPECT_EQ(std::string(out, prefixed.FormatTo(one, out, sizeof out)), "%PREFIX%d value 3");
  EXPECT_EQ(PrintfFormat("%*.*s %d %% %n %q").ValueCount(), 4u);
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
  std::vector<FormatArg> ins = {FormatArg::Str("disk"), FormatArg::Int(42), FormatArg::Str("x")};
  std::string out;
  ASSERT_TRUE(FormatInserts("%1 has %2!d! errors%n%3!5s!|%%|%0 ignored", ins, &out));
  EXPECT_EQ(out, "disk has 42 errors\n    x|%|");
  ASSERT_TRUE(FormatInserts("%2!04x! %1", ins, &out));
  EXPECT_EQ(out, "002a disk");
  // Escapes are whole characters: in a wide template, U+0130 and U+016E (low
  // bytes "0" and "n") after "%" stand as themselves.
  std::u16string wide;
  ASSERT_TRUE(FormatInsertsW(u"a%\u0130b%\u016Ec%.%!%0d", {}, &wide));
  EXPECT_EQ(wide, u"a\u0130b\u016Ec.!");
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
