// The wildcard matcher.
//
// The answers are those of a longest-first backtracking search: each element takes
// as many characters as it accepts (up to its maximum), and when the rest fails it
// gives one back at a time down to its minimum; a no-backtrack element never gives
// any back. Such a search can take exponential time ("*a*a*a*a*b"), so instead the
// matcher computes, element by element from the last, which positions the rest of
// the pattern can succeed from. The marks of the first success of the search are
// then recovered by walking forward and giving each element the longest count from
// which the rest succeeds. Simple patterns (single characters and plain "*") use
// the classic star-backtracking loop, linear in practice and never exponential.
#include <algorithm>
#include <new>
#include <type_traits>

#include "wildcard.h"

namespace qx::comn::wildcard {
namespace {

constexpr uint32_t kNever = 0xFFFFFFFFu;

// Simple alternatives: the single-character elements after the last "*" must take
// the end of the name, one character each; what comes before is matched by the
// classic loop (on a mismatch the latest "*" takes one more character), with the
// last "*" taking whatever remains. O(elements x name) at worst.
template <typename View>
bool MatchSimple(const Alternative& alt, View name) {
  const std::vector<Element>& elems = alt.elements;
  size_t n = name.size();
  if (n < alt.tail) return false;
  size_t head_end = alt.last_star < 0 ? 0 : size_t(alt.last_star);
  // The tail, anchored at the end.
  size_t p = n - alt.tail;
  for (size_t t = 0; t < alt.tail; ++t, ++p) {
    auto c = static_cast<std::make_unsigned_t<typename View::value_type>>(name[p]);
    bool ok = c < 128 ? (alt.tail_ascii[t][c >> 6] >> (c & 63)) & 1
                      : elems[alt.tail_elements[t]].AcceptsWide(char16_t(c));
    if (!ok) return false;
  }
  if (alt.last_star < 0) return n == alt.tail;
  n -= alt.tail;  // the head matches name[0, n) with its last "*" taking the rest
  size_t e = 0;
  p = 0;
  size_t star_e = SIZE_MAX, star_p = 0;
  for (;;) {
    while (elems[e].kind != Kind::kChars) ++e;
    const Element& el = elems[e];
    if (e == head_end) return true;  // the last "*" takes what is left
    if (el.star) {
      star_e = e++;
      star_p = p;
      continue;
    }
    if (p < n && el.Accepts(char16_t(name[p]))) {
      ++e;
      ++p;
      continue;
    }
    if (star_e == SIZE_MAX || star_p >= n) return false;
    p = ++star_p;
    e = star_e + 1;
  }
}

// Rows of the table: ok(i, p) says whether elements i.. match name[p..] to the end.
class Table {
 public:
  Table(size_t elements, size_t positions, bool keep_all)
      : positions_(positions), keep_all_(keep_all) {
    rows_.assign((keep_all ? elements : 2) * positions, 0);
  }
  uint8_t* Row(size_t i) { return rows_.data() + (keep_all_ ? i : i % 2) * positions_; }

 private:
  size_t positions_;
  bool keep_all_;
  std::vector<uint8_t> rows_;
};

// How many characters el accepts from p on, at most its maximum.
template <typename View>
uint32_t Take(const Element& el, View name, size_t p) {
  uint32_t k = 0;
  while (k < el.max && p + k < name.size() && el.Accepts(char16_t(name[p + k]))) ++k;
  return k;
}

template <typename View>
bool MatchGeneral(const std::vector<Element>& elems, View name, Marks* marks) {
  const size_t n = name.size();
  const size_t last = elems.size() - 1;  // the end element
  Table table(elems.size(), n + 1, marks != nullptr);
  std::vector<uint32_t> run(n + 1);
  std::vector<uint32_t> next_ok(n + 2);

  uint8_t* row = table.Row(last);
  std::fill(row, row + n + 1, 0);
  row[n] = 1;  // only the end of the name satisfies the end element
  for (size_t i = last; i-- > 0;) {
    const Element& el = elems[i];
    const uint8_t* after = table.Row(i + 1);
    row = table.Row(i);
    if (el.kind != Kind::kChars) {
      std::copy(after, after + n + 1, row);
      continue;
    }
    // run[p]: characters el accepts from p on, capped at its maximum.
    run[n] = 0;
    for (size_t p = n; p-- > 0;)
      run[p] = el.Accepts(char16_t(name[p])) ? std::min<uint32_t>(run[p + 1] + 1, el.max) : 0;
    // run[p+1] was capped, which only matters when run[p] reaches the cap anyway.
    if (el.possessive) {
      for (size_t p = 0; p <= n; ++p) row[p] = run[p] >= el.min && after[p + run[p]];
      continue;
    }
    next_ok[n + 1] = kNever;
    for (size_t q = n + 1; q-- > 0;) next_ok[q] = after[q] ? uint32_t(q) : next_ok[q + 1];
    for (size_t p = 0; p <= n; ++p) {
      size_t lo = p + el.min;
      row[p] = run[p] >= el.min && lo <= n && next_ok[lo] <= p + run[p];
    }
  }
  if (!table.Row(0)[0]) return false;
  if (marks == nullptr) return true;

  // Walk the first success of the longest-first search to find the marks.
  size_t p = 0;
  for (size_t i = 0; i < last; ++i) {
    const Element& el = elems[i];
    if (el.kind == Kind::kMark) (*marks)[el.mark] = long(p);
    if (el.kind != Kind::kChars) continue;
    uint32_t k = Take(el, name, p);
    if (!el.possessive) {
      const uint8_t* after = table.Row(i + 1);
      while (k > el.min && !after[p + k]) --k;
    }
    p += k;
  }
  return true;
}

template <typename View>
bool MatchAlternative(const Alternative& alt, View name, Marks* marks, bool force_general) {
  bool want_marks = marks != nullptr && alt.has_marks;
  if (alt.simple && !want_marks && !force_general && name.size() <= kMaxCount)
    return MatchSimple(alt, name);
  return MatchGeneral(alt.elements, name, want_marks ? marks : nullptr);
}

template <typename View>
int MatchAny(const Pattern& pattern, View name, Marks* marks, bool force_general) {
  unsigned depth = 0;
  if (pattern.flags & kPathDepth)
    for (size_t i = 1; i < name.size(); ++i) depth += name[i] == '\\';
  auto fits = [&](const Alternative& alt) { return alt.depth == 0 || alt.depth == depth; };
  Marks found;
  if (marks) found.fill(-1);
  bool any_positive = false, matched = false;
  for (const auto& alt : pattern.alternatives) {
    if (alt.negated) continue;
    any_positive = true;
    if (!fits(alt)) continue;
    if (alt.elements.empty()) return kEmptyAlternative;
    if (MatchAlternative(alt, name, marks ? &found : nullptr, force_general)) {
      matched = true;
      break;
    }
  }
  if (any_positive && !matched) return kNoMatch;
  for (const auto& alt : pattern.alternatives) {
    if (!alt.negated || !fits(alt)) continue;
    if (alt.elements.empty()) return kEmptyAlternative;
    if (MatchAlternative(alt, name, nullptr, force_general)) return kNoMatch;
  }
  if (marks) *marks = found;
  return kMatch;
}

}  // namespace

int Match(const Pattern& pattern, std::u16string_view name, Marks* marks, bool force_general) {
  return MatchAny(pattern, name, marks, force_general);
}

int Match(const Pattern& pattern, std::string_view ascii_name, Marks* marks, bool force_general) {
  return MatchAny(pattern, ascii_name, marks, force_general);
}

}  // namespace qx::comn::wildcard
