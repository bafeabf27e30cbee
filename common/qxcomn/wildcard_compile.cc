// The wildcard pattern compiler: splits alternatives, parses elements, sets,
// classes, marks and repeat counts, and folds case into each element's tables.
#include <cwctype>
#include <new>

#include "wildcard.h"

namespace qx::comn::wildcard {
namespace {

char16_t Upper(char16_t c) {
  return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
}
char16_t Lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

bool IsDecimal(char16_t c) {
  return c >= u'0' && c <= u'9';
}
int DigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return 99;
}

// The characters %F adds to letters and digits.
constexpr std::u16string_view kFileChars = u"$%&-_@:./\\()%#!";

// Whether class `letter` (of the current language) holds c.
bool ClassHolds(char letter, char16_t c) {
  wint_t w = c;
  switch (letter) {
    case 'A':
      return std::iswalpha(w);
    case 'D':
      return std::iswdigit(w);
    case 'F':
      return std::iswalnum(w) || (c != 0 && kFileChars.find(c) != kFileChars.npos);
    case 'G':
      return std::iswalnum(w) || std::iswpunct(w);
    case 'L':
      return std::iswlower(w);
    case 'M':
      return c != u':' && c != u'\\' && ClassHolds('F', c);
    case 'N':
      return std::iswalnum(w);
    case 'P':
      return std::iswpunct(w);
    case 'U':
      return std::iswupper(w);
    case 'W':
      return std::iswspace(w);
    case 'X':
      return std::iswxdigit(w);
    case 'w':  // the older family's %W: exactly these six
      return c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' || c == u' ';
    default:
      return false;
  }
}

void SetBit(Element* e, char16_t c) {
  e->ascii[c >> 6] |= uint64_t(1) << (c & 63);
}

bool InRanges(const Element& e, char16_t c) {
  for (auto [lo, hi] : e.ranges)
    if (c >= lo && c <= hi) return true;
  return false;
}

class Parser {
 public:
  Parser(std::u16string_view text, unsigned flags, Dialect dialect)
      : text_(text), flags_(flags), dialect_(dialect) {}

  // Parses one alternative; false on a syntax error.
  bool Alternative(struct Alternative* alt) {
    if (!text_.empty() && (text_[0] == u'~' || (text_[0] == u'^'))) {
      alt->negated = true;
      text_.remove_prefix(1);
    }
    if (flags_ & kPathDepth) alt->depth = PathDepth(text_);
    for (;;) {
      if (text_.substr(i_) == u"*.*") i_ += 2;  // "*.*" means "*"
      Element e;
      if (i_ == text_.size()) {
        e.end = true;
        alt->elements.push_back(std::move(e));
        break;
      }
      if (!ElementAt(&e) || !RepeatCount(&e)) return false;
      if (e.kind == Kind::kMark) alt->has_marks = true;
      alt->elements.push_back(std::move(e));
    }
    alt->simple = true;
    for (size_t k = 0; k < alt->elements.size(); ++k) {
      Element& e = alt->elements[k];
      e.star = e.Star();
      if (e.end || e.kind != Kind::kChars) continue;
      if (!e.Simple()) alt->simple = false;
      if (e.Star()) {
        alt->last_star = long(k);
        alt->tail = 0;
        alt->tail_elements.clear();
        alt->tail_ascii.clear();
      } else {
        ++alt->tail;
        alt->tail_elements.push_back(k);
        alt->tail_ascii.push_back({e.ascii[0], e.ascii[1]});
      }
    }
    return true;
  }

 private:
  bool ExactCase() const { return flags_ & kExactCase; }

  bool ElementAt(Element* e) {
    char16_t c = text_[i_++];
    switch (c) {
      case u'*':
        e->min = 0;
        e->max = kMaxCount;
        return Any(e);
      case u'?':
        return Any(e);
      case u'%':
        return Percent(e);
      case u',':
        e->kind = Kind::kNoop;
        return true;
      case u'[':
        return Set(e);
      case u'`':
        if (i_ == text_.size()) return false;  // nothing left to quote
        return Literal(e, text_[i_++]);
      default:
        return Literal(e, c);
    }
  }

  bool Any(Element* e) {
    e->ascii[0] = ~uint64_t(1);  // everything but the end
    e->ascii[1] = ~uint64_t(0);
    e->wide = Element::Wide::kAll;
    return true;
  }

  bool Literal(Element* e, char16_t c) {
    e->wide = Element::Wide::kLiteral;
    e->literal = c;
    if (c < 128) {
      SetBit(e, c);
      if (!ExactCase()) {
        SetBit(e, Upper(c));
        SetBit(e, Lower(c));
      }
    }
    return true;
  }

  bool Percent(Element* e) {
    if (i_ == text_.size()) return false;
    char16_t c = text_[i_];
    if (IsDecimal(c)) {
      unsigned n = 0;
      while (i_ < text_.size() && IsDecimal(text_[i_])) {
        n = n * 10 + (text_[i_++] - u'0');
        if (n >= kMarkSlots) return false;
      }
      e->kind = Kind::kMark;
      e->mark = static_cast<uint8_t>(n);
      return true;
    }
    ++i_;
    char letter = 0;
    if (dialect_ == Dialect::kLegacy) {
      if (c != u'W') return false;
      letter = 'w';
    } else {
      if (std::u16string_view(u"ADFGLMNPUWX").find(c) == std::u16string_view::npos) return false;
      letter = static_cast<char>(c);
    }
    e->wide = Element::Wide::kClass;
    e->class_letter = letter;
    e->max = kMaxCount;
    for (char16_t ch = 1; ch < 128; ++ch)
      if (ClassHolds(letter, ch)) SetBit(e, ch);
    return true;
  }

  // A set "[...]": ranges, quoting with "\" or "`", an optional leading "^"/"~".
  bool Set(Element* e) {
    e->wide = Element::Wide::kSet;
    if (i_ < text_.size() && (text_[i_] == u'^' || text_[i_] == u'~')) {
      e->negated = true;
      ++i_;
    }
    bool have_prev = false;
    char16_t prev = 0;
    for (;;) {
      if (i_ >= text_.size()) return false;  // no closing "]"
      char16_t c = text_[i_++];
      if (c == u']') break;
      if (c == u'\\' || c == u'`') {
        if (i_ >= text_.size()) return false;
        c = text_[i_++];
      } else if (c == u'-' && have_prev && i_ < text_.size() && text_[i_] != u']') {
        char16_t hi = text_[i_++];
        if (hi == u'\\' || hi == u'`') {
          if (i_ >= text_.size()) return false;
          hi = text_[i_++];
        }
        if (prev <= hi) e->ranges.emplace_back(prev, hi);
        have_prev = false;
        continue;
      }
      e->ranges.emplace_back(c, c);
      have_prev = true;
      prev = c;
    }
    // Fold case into the ASCII table once; the end of the name is never taken.
    bool member[128];
    for (char16_t c = 0; c < 128; ++c) member[c] = InRanges(*e, c);
    bool upper_member[128] = {};
    for (char16_t c = 0; c < 128; ++c)
      if (member[c]) upper_member[Upper(c)] = true;
    for (char16_t c = 1; c < 128; ++c) {
      bool in;
      if (ExactCase())
        in = member[c];
      else if (dialect_ == Dialect::kLegacy)
        in = upper_member[Upper(c)];  // the set and the name both upper-cased
      else
        in = member[Upper(c)] || member[Lower(c)];
      if (in != e->negated) SetBit(e, c);
    }
    return true;
  }

  // A number of a repeat count: decimal, or with a 0b/0d/0o/0x prefix (the older
  // family: decimal only). False when none stands here; *bad on a malformed one.
  bool Number(unsigned* value, bool* bad) {
    if (i_ >= text_.size()) return false;
    char16_t c = text_[i_];
    unsigned base = 10;
    if (dialect_ == Dialect::kLegacy) {
      if (!IsDecimal(c)) return false;
    } else {
      if (DigitValue(c) >= 16) return false;
      if (c == u'0' && i_ + 1 < text_.size()) {
        switch (Lower(text_[i_ + 1])) {
          case u'b':
            base = 2;
            break;
          case u'd':
            base = 10;
            break;
          case u'o':
            base = 8;
            break;
          case u'x':
            base = 16;
            break;
          default:
            base = 0;
        }
        if (base != 0)
          i_ += 2;
        else
          base = 10;
      }
    }
    unsigned n = 0;
    size_t start = i_;
    while (i_ < text_.size() && DigitValue(text_[i_]) < int(base)) {
      n = n * base + DigitValue(text_[i_++]);
      if (n > kMaxCount) {
        *bad = true;
        return false;
      }
    }
    if (i_ == start) {
      *bad = true;
      return false;
    }
    *value = n;
    return true;
  }

  // "{min-max>}" after an element. A count alone means exactly that many; "-" with
  // no maximum means up to the largest count.
  bool RepeatCount(Element* e) {
    if (i_ >= text_.size() || text_[i_] != u'{') return true;
    ++i_;
    bool bad = false;
    unsigned lo = 0, hi = 0;
    bool has_lo = Number(&lo, &bad);
    if (bad) return false;
    bool dash = i_ < text_.size() && text_[i_] == u'-';
    if (dash) ++i_;
    bool has_hi = dash && Number(&hi, &bad);
    if (bad) return false;
    if (i_ < text_.size() && text_[i_] == u'>') {
      e->possessive = true;
      ++i_;
    }
    if (i_ >= text_.size() || text_[i_] != u'}') return false;
    ++i_;
    if (has_lo && !dash) {
      e->min = e->max = static_cast<uint16_t>(lo);
    } else {
      if (has_lo) e->min = static_cast<uint16_t>(lo);
      if (has_hi)
        e->max = static_cast<uint16_t>(hi);
      else if (dash)
        e->max = kMaxCount;
    }
    return e->min <= e->max;
  }

  std::u16string_view text_;
  size_t i_ = 0;
  unsigned flags_;
  Dialect dialect_;
};

}  // namespace

bool Element::AcceptsWide(char16_t c) const {
  switch (wide) {
    case Wide::kAll:
      return true;
    case Wide::kLiteral:
      return c == literal;
    case Wide::kSet:
      // Case folding is ASCII only, so a wide character is itself or nothing.
      return InRanges(*this, c) != negated;
    case Wide::kClass:
      return ClassHolds(class_letter, c);
    default:
      return false;
  }
}

bool Element::Star() const {
  return kind == Kind::kChars && !end && wide == Wide::kAll && min == 0 && max == kMaxCount &&
         !possessive;
}

bool Element::Simple() const {
  return kind == Kind::kChars && !end && ((min == 1 && max == 1) || Star());
}

unsigned PathDepth(std::u16string_view text) {
  unsigned n = 0;
  for (size_t i = 1; i < text.size(); ++i)
    if (text[i] == u'\\') ++n;
  return n;
}

int Compile(std::u16string_view text, unsigned flags, Dialect dialect,
            std::unique_ptr<Pattern>* out) {
  out->reset();
  try {
    auto pattern = std::make_unique<Pattern>();
    pattern->dialect = dialect;
    pattern->flags = flags;
    for (;;) {
      size_t cut = (flags & kAlternatives) ? text.find(u'^') : text.npos;
      std::u16string_view piece = text.substr(0, cut);
      Alternative alt;
      Parser parser(piece, flags, dialect);
      if (!parser.Alternative(&alt)) return kSyntaxError;
      pattern->alternatives.push_back(std::move(alt));
      if (cut == text.npos) break;
      text.remove_prefix(cut + 1);
    }
    *out = std::move(pattern);
    return kCompiled;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

}  // namespace qx::comn::wildcard
