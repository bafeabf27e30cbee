#include <fnmatch.h>
#include <gtest/gtest.h>
#include <qxcomn.h>
#include <qxplatform/text.h>

#include <chrono>
#include <random>
#include <string>

namespace {

// A compiled pattern for the length of a test.
class Reg {
 public:
  Reg(const std::string& pattern, DWORD flags = 0, bool legacy = false) {
    auto w = qx::platform::Utf8ToUtf16(pattern);
    rc_ =
        legacy ? QXWRegCompile(&h_, w->c_str(), flags) : QXRegCompile(&h_, pattern.c_str(), flags);
  }
  ~Reg() { QXRegFree(h_); }
  int rc() const { return rc_; }
  int Exec(const std::string& name) const { return QXRegExec(h_, name.c_str(), nullptr); }
  bool Matches(const std::string& name) const { return Exec(name) == QXREG_MATCH; }
  QXREGHANDLE handle() const { return h_; }

 private:
  QXREGHANDLE h_ = nullptr;
  int rc_ = -1;
};

int Compiles(const std::string& pattern, DWORD flags = 0, bool legacy = false) {
  return Reg(pattern, flags, legacy).rc();
}

TEST(Wildcard, DocumentedExamples) {
  Reg star_dot_star("*.*");
  EXPECT_TRUE(star_dot_star.Matches("readme"));
  EXPECT_TRUE(star_dot_star.Matches("a.b"));
  EXPECT_FALSE(Reg("ab").Matches("abc"));
  EXPECT_TRUE(Reg("ab*").Matches("abc"));
  Reg digits("%D{2-4}");
  EXPECT_TRUE(digits.Matches("12"));
  EXPECT_TRUE(digits.Matches("1234"));
  EXPECT_FALSE(digits.Matches("1"));
  EXPECT_FALSE(digits.Matches("12345"));
  EXPECT_TRUE(Reg("[a-c]x").Matches("Bx"));
  EXPECT_FALSE(Reg("[a-c]x", QXREG_EXACT_CASE).Matches("Bx"));
  Reg not_digit("[~0-9]*");
  EXPECT_TRUE(not_digit.Matches("abc"));
  EXPECT_FALSE(not_digit.Matches("1bc"));
  Reg alts("*.exe^*.dll^~setup*", QXREG_ALTERNATIVES);
  EXPECT_TRUE(alts.Matches("tool.exe"));
  EXPECT_TRUE(alts.Matches("x.DLL"));
  EXPECT_FALSE(alts.Matches("setup.exe"));
  EXPECT_FALSE(alts.Matches("readme.txt"));
  Reg depth("a\\*", QXREG_PATH_DEPTH);
  EXPECT_TRUE(depth.Matches("a\\b"));
  EXPECT_FALSE(depth.Matches("a\\b\\c"));
  EXPECT_TRUE(Reg("a\\*").Matches("a\\b\\c"));  // without the rule "*" takes it all
  EXPECT_EQ(QXIsRegular("file.txt"), 0);
  EXPECT_EQ(QXIsRegular("file?.txt"), 1);
  EXPECT_EQ(QXIsRegularW(u"a,b"), 1);
  EXPECT_EQ(QXWIsRegular(u"plain"), 0);
}

TEST(Wildcard, MarksFollowTheLongestFirstSearch) {
  Reg r("x%1*");
  const char* name = "xyz";
  LPCSTR marks[10] = {};
  ASSERT_EQ(QXRegExec(r.handle(), name, marks), QXREG_MATCH);
  EXPECT_EQ(marks[1], name + 1);
  EXPECT_EQ(marks[0], nullptr);  // not passed: left alone

  // "*" first takes everything and gives back until "b" fits: the last "b".
  Reg last_b("%1*%2b*");
  const char16_t* w = u"abcb";
  LPCWSTR wmarks[10] = {};
  ASSERT_EQ(QXRegExecW(last_b.handle(), w, wmarks), QXREG_MATCH);
  EXPECT_EQ(wmarks[1], w);
  EXPECT_EQ(wmarks[2], w + 3);

  // Marks of a failed match are not stored.
  LPCWSTR untouched[10] = {};
  EXPECT_EQ(QXRegExecW(last_b.handle(), u"xyz", untouched), QXREG_NO_MATCH);
  EXPECT_EQ(untouched[1], nullptr);

  // Narrow marks point at the byte where the character begins.
  Reg after_first("?%3*");
  const char* utf8 = "\xC3\xA9t\xC3\xA9";
  LPCSTR nm[10] = {};
  ASSERT_EQ(QXRegExec(after_first.handle(), utf8, nm), QXREG_MATCH);
  EXPECT_EQ(nm[3], utf8 + 2);
  Reg at_end("*%9");
  ASSERT_EQ(QXRegExec(at_end.handle(), utf8, nm), QXREG_MATCH);
  EXPECT_EQ(nm[9], utf8 + 5);
}

TEST(Wildcard, RepeatCounts) {
  // A count alone means exactly that many.
  Reg three("a{3}");
  EXPECT_TRUE(three.Matches("aaa"));
  EXPECT_FALSE(three.Matches("aa"));
  EXPECT_FALSE(three.Matches("aaaa"));
  EXPECT_TRUE(Reg("a{3-3}").Matches("AAA"));
  EXPECT_TRUE(Reg("a{2-}b").Matches("aaaaab"));
  EXPECT_FALSE(Reg("a{2-}b").Matches("ab"));
  EXPECT_TRUE(Reg("a{0x3}").Matches("aaa"));
  EXPECT_TRUE(Reg("a{0B11}").Matches("aaa"));
  EXPECT_TRUE(Reg("a{0o3}").Matches("aaa"));
  EXPECT_TRUE(Reg("a{0d3}").Matches("aaa"));
  EXPECT_TRUE(Reg("*{2}x").Matches("abx"));
  EXPECT_FALSE(Reg("*{2}x").Matches("abcx"));
  EXPECT_TRUE(Reg("a{0}b").Matches("b"));
  // No-backtrack: the run keeps what it took.
  EXPECT_TRUE(Reg("a{1-}a").Matches("aaa"));
  EXPECT_FALSE(Reg("a{1->}a").Matches("aaa"));
  EXPECT_TRUE(Reg("a{1->}b").Matches("aaab"));
  EXPECT_FALSE(Reg("*{>}x").Matches("ax"));
  for (const char* bad : {"a{5-3}", "a{32768}", "a{0x8000}", "a{3", "a{", "a{3x}", "a{a}", "a{0x}",
                          "a{1-2-3}", "a{--}"})
    EXPECT_EQ(Compiles(bad), QXREG_SYNTAX) << bad;
  EXPECT_EQ(Compiles("a{32767}"), QXREG_OK);
}

TEST(Wildcard, LiteralsClassesAndSets) {
  // A quoted "?" or "*" is itself.
  EXPECT_TRUE(Reg("a`?").Matches("a?"));
  EXPECT_FALSE(Reg("a`?").Matches("ab"));
  EXPECT_TRUE(Reg("`*").Matches("*"));
  EXPECT_FALSE(Reg("`*").Matches("x"));
  EXPECT_TRUE(Reg("a,b").Matches("ab"));
  EXPECT_TRUE(Reg("%A{3}").Matches("xYz"));
  EXPECT_FALSE(Reg("%A").Matches("x1"));
  EXPECT_TRUE(Reg("%F").Matches("C:\\dir/a-b_c.txt"));
  EXPECT_FALSE(Reg("%M").Matches("C:x"));
  EXPECT_TRUE(Reg("%M").Matches("dir/a.b"));
  EXPECT_TRUE(Reg("%U%L%U").Matches("AbC"));
  EXPECT_FALSE(Reg("%U").Matches("aB"));
  EXPECT_TRUE(Reg("%X-%W-%P").Matches("0fA- \t-!?"));
  EXPECT_TRUE(Reg("%G").Matches("a!9"));
  EXPECT_FALSE(Reg("%G").Matches("a b"));
  EXPECT_TRUE(Reg("%N").Matches("a9"));
  EXPECT_TRUE(Reg("[\\]x]").Matches("]"));
  EXPECT_TRUE(Reg("[`]]").Matches("]"));
  EXPECT_TRUE(Reg("[a-]").Matches("-"));
  EXPECT_TRUE(Reg("[^a]").Matches("b"));
  EXPECT_FALSE(Reg("[~a]").Matches("A"));
  EXPECT_TRUE(Reg("[~a]", QXREG_EXACT_CASE).Matches("A"));
  EXPECT_FALSE(Reg("[]").Matches("a"));
  EXPECT_TRUE(Reg("[~]").Matches("a"));
  EXPECT_FALSE(Reg("[~]").Matches(""));  // a set never takes the end
  EXPECT_TRUE(Reg("\xC3\xA9[\xC3\xA0-\xC3\xAA]").Matches("\xC3\xA9\xC3\xA8"));
  EXPECT_FALSE(Reg("\xC3\xA9").Matches("\xC3\x89"));  // case folding is ASCII only
  EXPECT_TRUE(Reg("").Matches(""));
  EXPECT_FALSE(Reg("").Matches("a"));
  for (const char* bad : {"[abc", "%", "%Q", "%a", "%12", "a`", "[a`", "%-"})
    EXPECT_EQ(Compiles(bad), QXREG_SYNTAX) << bad;
}

TEST(Wildcard, AlternativesAndNegation) {
  Reg only_negated("~*.tmp");
  EXPECT_TRUE(only_negated.Matches("a.txt"));
  EXPECT_FALSE(only_negated.Matches("a.TMP"));
  Reg caret_negates("^*.tmp");  // without flag 2 "^" negates too
  EXPECT_TRUE(caret_negates.Matches("x"));
  EXPECT_FALSE(caret_negates.Matches("x.tmp"));
  Reg empty_alt("a^", QXREG_ALTERNATIVES);
  EXPECT_TRUE(empty_alt.Matches(""));
  EXPECT_TRUE(empty_alt.Matches("a"));
  // Depth rule per alternative; depth 0 applies everywhere.
  Reg depth("*^x\\*", QXREG_ALTERNATIVES | QXREG_PATH_DEPTH);
  EXPECT_TRUE(depth.Matches("x\\y\\z"));
  Reg only_deep("x\\*^~*\\secret", QXREG_ALTERNATIVES | QXREG_PATH_DEPTH);
  EXPECT_TRUE(only_deep.Matches("x\\a"));
  EXPECT_FALSE(only_deep.Matches("x\\secret"));
  EXPECT_FALSE(only_deep.Matches("x"));
  EXPECT_TRUE(Reg("\\a", QXREG_PATH_DEPTH).Matches("\\a"));  // a leading "\" is not counted
  // A null handle matches everything; a null pattern is refused.
  EXPECT_EQ(QXRegExec(nullptr, "anything", nullptr), QXREG_MATCH);
  QXREGHANDLE h = reinterpret_cast<QXREGHANDLE>(1);
  EXPECT_EQ(QXRegCompile(&h, nullptr, 0), QXREG_SYNTAX);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(QXRegCompileW(&h, nullptr, 0), QXREG_SYNTAX);
  EXPECT_EQ(QXWRegCompile(&h, nullptr, 0), QXREG_SYNTAX);
  EXPECT_EQ(QXRegCompile(nullptr, "a", 0), QXREG_SYNTAX);
  EXPECT_EQ(QXRegCompile(&h, "\xFF", 0), QXREG_SYNTAX);
  Reg any("*");
  EXPECT_EQ(any.Exec("\xC3"), QXREG_NO_MATCH);  // not UTF-8
}

TEST(Wildcard, OlderFamily) {
  EXPECT_TRUE(Reg("a%Wb", 0, true).Matches("a \t\r\nb"));
  EXPECT_EQ(Compiles("%D", 0, true), QXREG_SYNTAX);
  EXPECT_EQ(Compiles("a{0x3}", 0, true), QXREG_SYNTAX);
  EXPECT_TRUE(Reg("a{3}", 0, true).Matches("aaa"));
  EXPECT_TRUE(Reg("[a-c]x", 0, true).Matches("Bx"));
  EXPECT_FALSE(Reg("[a-c]x", QXREG_EXACT_CASE, true).Matches("Bx"));
  EXPECT_TRUE(Reg("a`*", 0, true).Matches("A*"));
  EXPECT_FALSE(Reg("a`*", 0, true).Matches("ab"));
  Reg marks("x%1*", 0, true);
  const char16_t* name = u"xyz";
  LPCWSTR m[10] = {};
  ASSERT_EQ(QXWRegExec(marks.handle(), name, m), QXREG_MATCH);
  EXPECT_EQ(m[1], name + 1);
  Reg alts("*.c^~t*", QXREG_ALTERNATIVES, true);
  EXPECT_TRUE(alts.Matches("main.C"));
  EXPECT_FALSE(alts.Matches("test.c"));
}

TEST(Wildcard, NeverExponential) {
  std::string as(10000, 'a');
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Reg("*a*a*a*a*a*b").Matches(as));
  EXPECT_FALSE(Reg("%0*a*a*a*a*a*b").Matches(as));  // with a mark: the general path
  EXPECT_FALSE(Reg("a{0-}a{0-}a{0-}a{0-}a{0-}a{0-}b").Matches(as));
  EXPECT_FALSE(Reg("%A{0-}%A{0-}%A{0-}%A{0-}%A{0-}%A{0-}b").Matches(as));
  EXPECT_TRUE(Reg("*a*a*a*a*a*a").Matches(as));
  LPCSTR marks[10] = {};
  Reg marked("*%1a*a*a*%2a*");
  ASSERT_EQ(QXRegExec(marked.handle(), as.c_str(), marks), QXREG_MATCH);
  EXPECT_EQ(marks[1], as.c_str() + 9996);
  EXPECT_EQ(marks[2], as.c_str() + 9999);
  // Not a timing assertion: a backtracking search would not finish at all.
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  RecordProperty("milliseconds", int(ms));
}

// Random patterns over a small alphabet, matched by the fast loop (no marks) and by
// the general matcher (a leading mark with marks asked for) must agree, and agree
// with glibc fnmatch (case folded) where the two languages coincide.
std::string RandomPattern(std::mt19937& rng) {
  static const char* atoms[] = {"a", "b", "c", ".", "?", "*", "[ab]", "[~a]", "[a-c]", "B"};
  std::string p;
  int n = rng() % 7;
  for (int i = 0; i < n; ++i) p += atoms[rng() % 10];
  return p;
}

std::string ToFnmatch(std::string p) {
  // "*.*" at the end means "*" here.
  if (p.size() >= 3 && p.compare(p.size() - 3, 3, "*.*") == 0) p.replace(p.size() - 3, 3, "*");
  for (size_t i = 0; (i = p.find("[~", i)) != p.npos;) p[i + 1] = '!';
  return p;
}

TEST(Wildcard, AgreesWithFnmatchAndItself) {
  std::mt19937 rng(1234);
  const char alphabet[] = "abcAB.";
  int compared = 0;
  for (int iter = 0; iter < 3000; ++iter) {
    std::string pattern = RandomPattern(rng);
    Reg fast(pattern);
    Reg general("%0" + pattern);
    ASSERT_EQ(fast.rc(), QXREG_OK) << pattern;
    std::string fn = ToFnmatch(pattern);
    for (int k = 0; k < 8; ++k) {
      std::string name;
      int len = rng() % 8;
      for (int j = 0; j < len; ++j) name += alphabet[rng() % 6];
      bool ours = fast.Matches(name);
      LPCSTR marks[10] = {};
      bool general_says = QXRegExec(general.handle(), name.c_str(), marks) == QXREG_MATCH;
      ASSERT_EQ(ours, general_says) << pattern << " vs " << name;
      if (general_says) {
        ASSERT_EQ(marks[0], name.c_str());
      }
      bool theirs = fnmatch(fn.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
      ASSERT_EQ(ours, theirs) << pattern << " (" << fn << ") vs " << name;
      ++compared;
    }
  }
  RecordProperty("compared", compared);
}

}  // namespace
