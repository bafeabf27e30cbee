// Compiled wildcard patterns: the element chains, the compiler and the matcher.
//
// A pattern is compiled once into alternatives, each a chain of elements ending in
// the end element, and matched against whole names. Matching keeps the answers and
// marks of a longest-first backtracking search (each element takes as many
// characters as it can and gives them back one at a time) but computes them by
// dynamic programming over (element, position), so no pattern takes exponential
// time: a match costs O(elements x name length).
// Thread-safety: a compiled pattern is read-only while matching and may be shared.
#ifndef QX_COMMON_QXCOMN_WILDCARD_H
#define QX_COMMON_QXCOMN_WILDCARD_H

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace qx::comn::wildcard {

// The two pattern languages: the current one, and the older wide-only family's
// subset (only the %W class, plain decimal counts, sets and names upper-cased when
// case does not matter).
enum class Dialect { kCurrent, kLegacy };

// Compile flags.
inline constexpr unsigned kExactCase = 1;
inline constexpr unsigned kAlternatives = 2;
inline constexpr unsigned kPathDepth = 4;

// The largest repeat count, and what "*" and classes may take.
inline constexpr uint16_t kMaxCount = 32767;
inline constexpr int kMarkSlots = 10;

enum class Kind : uint8_t { kChars = 0, kNoop = 1, kMark = 2 };

struct Element {
  Kind kind = Kind::kChars;
  uint16_t min = 1;
  uint16_t max = 1;
  bool possessive = false;  // ">" in a repeat count: never gives characters back
  bool end = false;         // the end element: takes only the end of the name
  bool star = false;        // Star(), kept for the matcher's inner loops
  uint8_t mark = 0;
  // Which characters the element takes: ASCII through the bitmap (case folding
  // already applied), others through the rule below.
  uint64_t ascii[2] = {0, 0};
  enum class Wide : uint8_t { kNone, kAll, kLiteral, kSet, kClass } wide = Wide::kNone;
  char16_t literal = 0;
  bool negated = false;
  char class_letter = 0;
  std::vector<std::pair<char16_t, char16_t>> ranges;  // sets: inclusive ranges

  bool Accepts(char16_t c) const {
    if (c < 128) return (ascii[c >> 6] >> (c & 63)) & 1;
    return AcceptsWide(c);
  }
  bool AcceptsWide(char16_t c) const;
  bool Simple() const;  // takes exactly one character, or is an unbounded "*"
  bool Star() const;
};

struct Alternative {
  std::vector<Element> elements;  // the end element last
  bool negated = false;
  unsigned depth = 0;  // path depth rule; 0 means none
  bool has_marks = false;
  bool simple = false;  // every element Simple(), a no-op or a mark
  // For simple alternatives: the index of the last "*" (or -1), and how many
  // single-character elements follow it; these match at the end of the name.
  long last_star = -1;
  size_t tail = 0;
  // The tail elements' indices and ASCII tables, packed for the inner loop.
  std::vector<size_t> tail_elements;
  std::vector<std::array<uint64_t, 2>> tail_ascii;
};

struct Pattern {
  Dialect dialect = Dialect::kCurrent;
  unsigned flags = 0;
  std::vector<Alternative> alternatives;
};

// Results of compiling (the exported codes).
inline constexpr int kCompiled = 0;
inline constexpr int kSyntaxError = 2;
inline constexpr int kNoMemory = 3;

// Compiles a pattern. kCompiled with *out set, kSyntaxError, or kNoMemory.
int Compile(std::u16string_view text, unsigned flags, Dialect dialect,
            std::unique_ptr<Pattern>* out);

// Results of matching (the exported codes).
inline constexpr int kMatch = 0;
inline constexpr int kNoMatch = 1;
inline constexpr int kEmptyAlternative = 2;

// Positions of the marks passed by the successful match; -1 for marks not passed.
using Marks = std::array<long, kMarkSlots>;

// Matches a whole name. marks may be null. force_general skips the fast path for
// simple patterns (tests compare the two).
int Match(const Pattern& pattern, std::u16string_view name, Marks* marks,
          bool force_general = false);
// The same for a name of ASCII characters only (each byte below 0x80).
int Match(const Pattern& pattern, std::string_view ascii_name, Marks* marks,
          bool force_general = false);

// Path depth of a text: its "\" characters, not counting one in the first place.
unsigned PathDepth(std::u16string_view text);

}  // namespace qx::comn::wildcard

#endif
