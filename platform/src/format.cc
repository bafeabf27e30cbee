// The typed formatter: printf conversions and Windows message inserts.
#include <qxplatform/format.h>
#include <qxplatform/text.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "safe_read.h"

namespace qx::platform {
namespace {

using Kind = FormatArg::Kind;

// Widths and precisions above this are refused: a format from a file must not be
// able to ask for gigabytes of padding.
constexpr int kMaxFieldWidth = 4096;
// The longest string value copied from a caller's pointer.
constexpr size_t kMaxStringValue = 65536;

template <typename Ch>
size_t ParseImpl(std::basic_string_view<Ch> s, Conversion* out) {
  Conversion c;
  size_t i = 0;
  auto at = [&](size_t k) -> Ch { return k < s.size() ? s[k] : Ch(0); };
  for (;; ++i) {
    Ch ch = at(i);
    if (ch == '-')
      c.left = true;
    else if (ch == '+')
      c.plus = true;
    else if (ch == ' ')
      c.space = true;
    else if (ch == '#')
      c.alt = true;
    else if (ch == '0')
      c.zero = true;
    else
      break;
  }
  auto number = [&](int* value) -> bool {
    long v = 0;
    bool any = false;
    while (at(i) >= '0' && at(i) <= '9') {
      v = v * 10 + (at(i) - '0');
      if (v > kMaxFieldWidth) return false;
      ++i, any = true;
    }
    if (any) *value = int(v);
    return true;
  };
  if (at(i) == '*') {
    c.width_arg = true;
    ++i;
  } else if (!number(&c.width)) {
    return 0;
  }
  if (at(i) == '.') {
    ++i;
    c.precision = 0;
    if (at(i) == '*') {
      c.precision_arg = true;
      ++i;
    } else if (!number(&c.precision)) {
      return 0;
    }
  }
  using L = Conversion::Length;
  Ch ch = at(i);
  if (ch == 'h') {
    c.length = at(i + 1) == 'h' ? (++i, L::kHH) : L::kH;
    ++i;
  } else if (ch == 'l') {
    c.length = at(i + 1) == 'l' ? (++i, L::kLL) : L::kL;
    ++i;
  } else if (ch == 'j') {
    c.length = L::kJ, ++i;
  } else if (ch == 'z') {
    c.length = L::kZ, ++i;
  } else if (ch == 't') {
    c.length = L::kT, ++i;
  } else if (ch == 'L') {
    c.length = L::kBigL, ++i;
  } else if (ch == 'w') {
    c.length = L::kL, ++i;  // Microsoft: %ws is a wide string
  } else if (ch == 'I' && at(i + 1) == '6' && at(i + 2) == '4') {
    c.length = L::kI64, i += 3;
  } else if (ch == 'I' && at(i + 1) == '3' && at(i + 2) == '2') {
    i += 3;
  }
  ch = at(i);
  static constexpr char kLetters[] = "diuoxXcCsSpeEfFgGaAn%";
  if (ch <= 0 || ch > 127 || std::strchr(kLetters, char(ch)) == nullptr) return 0;
  c.conv = char(ch);
  *out = c;
  return i + 1;
}

bool IsWideString(const Conversion& c, bool wide) {
  using L = Conversion::Length;
  if (c.length == L::kL) return true;
  if (c.length == L::kH) return false;
  bool upper = c.conv == 'S' || c.conv == 'C';
  return wide != upper;
}

bool Is64(const Conversion& c) {
  using L = Conversion::Length;
  return c.length == L::kL || c.length == L::kLL || c.length == L::kJ || c.length == L::kZ ||
         c.length == L::kT || c.length == L::kI64;
}

int64_t AsInt(const FormatArg& v) {
  switch (v.kind) {
    case Kind::kInt:
    case Kind::kUInt:
      return v.i;
    case Kind::kDouble:
      return int64_t(v.d);
    case Kind::kPointer:
      return int64_t(reinterpret_cast<uintptr_t>(v.p));
    default:
      return 0;
  }
}

double AsDouble(const FormatArg& v) {
  if (v.kind == Kind::kDouble) return v.d;
  if (v.kind == Kind::kInt) return double(v.i);
  if (v.kind == Kind::kUInt) return double(uint64_t(v.i));
  return 0;
}

// Copies n bytes. Message pieces are mostly a few bytes long: those are copied
// in place, with loads and stores that stay inside both ranges, instead of by a
// call to the C library.
inline void CopyBytes(char* to, const char* from, size_t n) {
  if (n > 32 && n <= 64) {
    std::memcpy(to, from, 32);
    std::memcpy(to + n - 32, from + n - 32, 32);
  } else if (n >= 16 && n <= 32) {
    std::memcpy(to, from, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8 && n < 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

// The number of decimal digits of v.
inline size_t DecimalDigits(uint32_t v) {
  size_t n = 1;
  for (uint32_t limit = 10; n < 10 && v >= limit; limit *= 10) ++n;
  return n;
}

// Where narrow output goes: a growing string, or a caller's buffer that keeps
// what fits and drops the rest.
class StringSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void Put(const char* text, size_t n) { out_.append(text, n); }
  void Fill(char c, size_t n) { out_.append(n, c); }
  // Characters that can still show.
  size_t Room() const { return SIZE_MAX / 2; }

 private:
  std::string& out_;
};

class BufferSink {
 public:
  BufferSink(char* out, size_t cap) : out_(out), cap_(cap) {}
  void Put(const char* text, size_t n) {
    n = std::min(n, cap_ - size_);
    CopyBytes(out_ + size_, text, n);
    size_ += n;
  }
  void Fill(char c, size_t n) {
    n = std::min(n, cap_ - size_);
    if (n == 0) return;
    std::memset(out_ + size_, c, n);
    size_ += n;
  }
  size_t Room() const { return cap_ - size_; }
  size_t size() const { return size_; }
  // Room() characters to write into directly; Advance keeps n of them.
  char* Tail() { return out_ + size_; }
  void Advance(size_t n) { size_ += std::min(n, cap_ - size_); }

 private:
  char* out_;
  size_t cap_;
  size_t size_ = 0;
};

// Pads text (already cut to the precision) to the width.
template <typename Sink>
void PadNarrow(Sink& out, std::string_view text, const Conversion& c) {
  size_t width = c.width > 0 ? size_t(c.width) : 0;
  size_t fill = width > text.size() ? width - text.size() : 0;
  if (!c.left) out.Fill(c.zero ? '0' : ' ', fill);
  out.Put(text.data(), text.size());
  if (c.left) out.Fill(' ', fill);
}

template <typename Ch>
void Pad(std::basic_string<Ch>& out, std::basic_string_view<Ch> text, const Conversion& c) {
  size_t width = c.width > 0 ? size_t(c.width) : 0;
  size_t fill = width > text.size() ? width - text.size() : 0;
  if (!c.left) out.append(fill, Ch(c.zero ? '0' : ' '));
  out.append(text);
  if (c.left) out.append(fill, Ch(' '));
}

// An integer conversion (d i u o x X) as the C library prints it, for a value of
// any kind: sign or "0x" prefix, zeros, digits and padding.
template <typename Sink>
void AppendInteger(Sink& out, const Conversion& c, const FormatArg& v) {
  using L = Conversion::Length;
  int64_t x = AsInt(v);
  bool is_signed = c.conv == 'd' || c.conv == 'i';
  bool negative = false;
  uint64_t magnitude;
  if (is_signed) {
    if (!Is64(c)) x = c.length == L::kHH ? int8_t(x) : c.length == L::kH ? int16_t(x) : int32_t(x);
    negative = x < 0;
    magnitude = negative ? 0 - uint64_t(x) : uint64_t(x);
  } else {
    magnitude = uint64_t(x);
    if (!Is64(c))
      magnitude = c.length == L::kHH  ? uint8_t(magnitude)
                  : c.length == L::kH ? uint16_t(magnitude)
                                      : uint32_t(magnitude);
  }
  char digits[24];  // 22 octal digits hold 64 bits
  size_t end = sizeof digits, start = end;
  // A precision of 0 prints no digits for the value 0. Each base has its own loop:
  // a division by a constant is a multiplication, by a variable a slow divide.
  if (!(c.precision == 0 && magnitude == 0)) {
    uint64_t m = magnitude;
    if (c.conv == 'o') {
      do digits[--start] = char('0' + (m & 7));
      while ((m >>= 3) != 0);
    } else if (c.conv == 'x' || c.conv == 'X') {
      const char* hex = c.conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
      do digits[--start] = hex[m & 15];
      while ((m >>= 4) != 0);
    } else {
      do digits[--start] = char('0' + m % 10);
      while ((m /= 10) != 0);
    }
  }
  size_t count = end - start;
  size_t zeros = c.precision > 0 && size_t(c.precision) > count ? size_t(c.precision) - count : 0;
  char prefix[2];
  size_t prefix_size = 0;
  if (is_signed) {
    if (negative)
      prefix[prefix_size++] = '-';
    else if (c.plus)
      prefix[prefix_size++] = '+';
    else if (c.space)
      prefix[prefix_size++] = ' ';
  }
  if (c.alt) {
    // "#o" makes the first digit a zero; "#x" prefixes a value other than 0.
    if (c.conv == 'o' && zeros == 0 && (count == 0 || digits[start] != '0')) zeros = 1;
    if ((c.conv == 'x' || c.conv == 'X') && magnitude != 0) {
      prefix[prefix_size++] = '0';
      prefix[prefix_size++] = c.conv;
    }
  }
  size_t total = prefix_size + zeros + count;
  size_t width = c.width > 0 ? size_t(c.width) : 0;
  size_t pad = width > total ? width - total : 0;
  // The 0 flag pads with zeros after the sign, unless the value is left-aligned or
  // has a precision.
  if (pad > 0 && !c.left && c.zero && c.precision < 0) {
    zeros += pad;
    pad = 0;
  }
  if (!c.left) out.Fill(' ', pad);
  out.Put(prefix, prefix_size);
  out.Fill('0', zeros);
  out.Put(digits + start, count);
  if (c.left) out.Fill(' ', pad);
}

// Formats a number: integers as AppendInteger does, pointers and floating-point
// values through the C library with a conversion this code built itself and a
// value of the matching type.
std::string Number(const Conversion& c, const FormatArg& v) {
  if (c.conv == 'd' || c.conv == 'i' || c.conv == 'u' || c.conv == 'o' || c.conv == 'x' ||
      c.conv == 'X') {
    std::string out;
    StringSink sink(out);
    AppendInteger(sink, c, v);
    return out;
  }
  char pattern[32];
  char* p = pattern;
  *p++ = '%';
  if (c.left) *p++ = '-';
  if (c.plus) *p++ = '+';
  if (c.space) *p++ = ' ';
  if (c.alt) *p++ = '#';
  if (c.zero) *p++ = '0';
  *p = '\0';
  std::string f = pattern;
  if (c.width >= 0) f += std::to_string(c.width);
  if (c.precision >= 0) f += "." + std::to_string(c.precision);
  char buf[kMaxFieldWidth * 2 + 400];
  int n = 0;
  if (c.conv == 'p') {
    f += 'p';
    n = std::snprintf(buf, sizeof buf, f.c_str(),
                      v.kind == Kind::kPointer ? v.p : reinterpret_cast<const void*>(AsInt(v)));
  } else {  // e E f F g G a A
    f += c.conv;
    n = std::snprintf(buf, sizeof buf, f.c_str(), AsDouble(v));
  }
  if (n < 0) return {};
  return std::string(buf, size_t(n) < sizeof buf ? size_t(n) : sizeof buf - 1);
}

std::string NarrowOf(const Conversion& c, const FormatArg& v, bool wide_format) {
  // Returns the UTF-8 text a %s/%c conversion shows, before padding.
  bool want_wide = IsWideString(c, wide_format);
  if (c.conv == 'c' || c.conv == 'C') {
    char32_t cp = char32_t(AsInt(v) & (want_wide ? 0xFFFF : 0xFF));
    if (!want_wide) return std::string(1, char(cp));
    auto s = Utf16ToUtf8(std::u16string(1, char16_t(cp)));
    return s ? *s : std::string("?");
  }
  // A few bytes past the precision, so a cut can step back to a character start.
  size_t max = c.precision >= 0 ? size_t(c.precision) + 4 : kMaxStringValue;
  if (v.kind == Kind::kString) {
    if (v.p == nullptr) return "(null)";
    return SafeReadString(static_cast<const char*>(v.p), max);
  }
  if (v.kind == Kind::kWString) {
    if (v.p == nullptr) return "(null)";
    auto s = Utf16ToUtf8(SafeReadWString(static_cast<const char16_t*>(v.p), max));
    return s ? *s : std::string("?");
  }
  if (v.kind == Kind::kNone) return "(null)";
  // An integer given for a string: show the number rather than follow it.
  Conversion d;
  d.conv = v.kind == Kind::kUInt ? 'u' : 'd';
  d.length = Conversion::Length::kLL;
  return Number(d, v);
}

// Cuts a narrow text to the precision (bytes, never inside a character) and pads it.
template <typename Sink>
void AppendText(Sink& out, std::string_view text, const Conversion& c) {
  if (c.precision >= 0 && text.size() > size_t(c.precision)) {
    size_t cut = size_t(c.precision);
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut);
  }
  PadNarrow(out, text, c);
}

// The longest string value read onto the stack; longer reads go to the heap.
constexpr size_t kStackString = 8192;

// A narrow string value. Only what can still show is read: the characters that
// fit, plus enough to decide the width, the precision cut and the final cut.
template <typename Sink>
void AppendString(Sink& out, const Conversion& c, const char* s) {
  if constexpr (std::is_same_v<Sink, BufferSink>) {
    // Without a precision to cut at or blanks to put before it, the text goes
    // straight into the buffer.
    if (c.precision < 0 && (c.width <= 0 || c.left)) {
      size_t n = CopyStringSafely(s, out.Tail(), std::min(kMaxStringValue, out.Room()));
      out.Advance(n);
      if (c.width > 0 && size_t(c.width) > n) out.Fill(' ', size_t(c.width) - n);
      return;
    }
  }
  size_t max = c.precision >= 0 ? size_t(c.precision) + 4 : kMaxStringValue;
  size_t limit = std::min(max, out.Room() + kMaxFieldWidth + 8);
  if (limit <= kStackString) {
    char text[kStackString];
    size_t n = CopyStringSafely(s, text, limit);
    AppendText(out, std::string_view(text, n), c);
  } else {
    AppendText(out, SafeReadString(s, limit), c);
  }
}

template <typename Sink>
void AppendNarrow(Sink& out, const Conversion& c, const FormatArg& v, bool wide_format) {
  switch (c.conv) {
    case '%':
      out.Put("%", 1);
      return;
    case 'n':
      return;
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      AppendInteger(out, c, v);
      return;
    case 's':
    case 'S':
      if (v.kind == Kind::kString && v.p != nullptr && !IsWideString(c, wide_format)) {
        AppendString(out, c, static_cast<const char*>(v.p));
        return;
      }
      [[fallthrough]];
    case 'c':
    case 'C':
      AppendText(out, NarrowOf(c, v, wide_format), c);
      return;
    default: {
      std::string text = Number(c, v);
      out.Put(text.data(), text.size());
      return;
    }
  }
}

// One wide conversion.
void AppendWide(std::u16string& out, const Conversion& c, const FormatArg& v, bool wide_format) {
  if (c.conv == '%') {
    out += u'%';
    return;
  }
  if (c.conv == 'n') return;
  bool textual = c.conv == 's' || c.conv == 'S' || c.conv == 'c' || c.conv == 'C';
  if (textual) {
    auto w = Utf8ToUtf16(NarrowOf(c, v, wide_format));
    std::u16string ws = w ? *w : std::u16string(u"?");
    if (c.precision >= 0 && ws.size() > size_t(c.precision)) ws.resize(size_t(c.precision));
    Pad<char16_t>(out, ws, c);
    return;
  }
  for (char ch : Number(c, v)) out += char16_t(static_cast<unsigned char>(ch));
}

void AppendImpl(std::string& out, const Conversion& c, const FormatArg& v, bool wide_format) {
  StringSink sink(out);
  AppendNarrow(sink, c, v, wide_format);
}

void AppendImpl(std::u16string& out, const Conversion& c, const FormatArg& v, bool wide_format) {
  AppendWide(out, c, v, wide_format);
}

// The values of a printf format, taken in order; missing ones count as kNone.
const FormatArg kMissing{};

class ArgTaker {
 public:
  explicit ArgTaker(std::span<const FormatArg> args) : args_(args) {}
  // By reference: a copy, written whole and read back field by field at once,
  // stalls the processor on every value.
  const FormatArg& Take() { return next_ < args_.size() ? args_[next_++] : kMissing; }

 private:
  std::span<const FormatArg> args_;
  size_t next_ = 0;
};

// Resolves the '*' width and precision of a conversion from the values.
void TakeStars(Conversion* c, ArgTaker& take) {
  if (c->width_arg) {
    int64_t w = AsInt(take.Take());
    if (w < 0) c->left = true, w = -w;
    c->width = int(w > kMaxFieldWidth ? kMaxFieldWidth : w);
  }
  if (c->precision_arg) {
    int64_t p = AsInt(take.Take());
    c->precision = p < 0 ? -1 : int(p > kMaxFieldWidth ? kMaxFieldWidth : p);
  }
}

template <typename Out>
void Convert(Out& out, Conversion c, ArgTaker& take, bool wide) {
  if (c.width_arg || c.precision_arg) TakeStars(&c, take);
  const FormatArg& v = (c.conv == '%' || c.conv == 'n') ? kMissing : take.Take();
  if constexpr (std::is_same_v<Out, std::u16string>)
    AppendWide(out, c, v, wide);
  else
    AppendNarrow(out, c, v, wide);
}

template <typename Ch>
std::basic_string<Ch> PrintfImpl(std::basic_string_view<Ch> fmt, std::span<const FormatArg> args,
                                 bool wide) {
  std::basic_string<Ch> out;
  ArgTaker take(args);
  for (size_t i = 0; i < fmt.size();) {
    if (fmt[i] != Ch('%')) {
      size_t j = fmt.find(Ch('%'), i);
      if (j == std::basic_string_view<Ch>::npos) j = fmt.size();
      out.append(fmt.substr(i, j - i));
      i = j;
      continue;
    }
    Conversion c;
    size_t n = ParseImpl(fmt.substr(i + 1), &c);
    if (n == 0) {
      out += fmt[i++];
      continue;
    }
    if constexpr (sizeof(Ch) == 1) {
      StringSink sink(out);
      Convert(sink, c, take, wide);
    } else {
      Convert(out, c, take, wide);
    }
    i += 1 + n;
  }
  return out;
}

template <typename Ch>
std::vector<Kind> PrintfKindsImpl(std::basic_string_view<Ch> fmt, bool wide) {
  std::vector<Kind> kinds;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != Ch('%')) continue;
    Conversion c;
    size_t n = ParseImpl(fmt.substr(i + 1), &c);
    if (n == 0) continue;
    if (c.width_arg) kinds.push_back(Kind::kInt);
    if (c.precision_arg) kinds.push_back(Kind::kInt);
    Kind k = ConsumedKind(c, wide);
    if (k != Kind::kNone) kinds.push_back(k);
    i += n;
  }
  return kinds;
}

FormatArg ReadOne(Kind k, bool is64, va_list& ap) {
  switch (k) {
    case Kind::kInt:
      return FormatArg::Int(is64 ? va_arg(ap, long long) : va_arg(ap, int));
    case Kind::kUInt:
      return FormatArg::UInt(is64 ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned));
    case Kind::kDouble:
      return FormatArg::Double(va_arg(ap, double));
    case Kind::kString:
      return FormatArg::Str(va_arg(ap, const char*));
    case Kind::kWString:
      return FormatArg::WStr(va_arg(ap, const char16_t*));
    case Kind::kPointer:
      return FormatArg::Ptr(va_arg(ap, const void*));
    default:
      return FormatArg{};
  }
}

// Windows message inserts.
template <typename Ch>
bool InsertsImpl(std::basic_string_view<Ch> t, std::span<const FormatArg> inserts,
                 std::basic_string<Ch>* out, bool ignore, unsigned max_width, bool wide) {
  std::basic_string<Ch> r;
  auto at = [&](size_t k) -> Ch { return k < t.size() ? t[k] : Ch(0); };
  size_t i = 0;
  bool ended = false;
  while (i < t.size() && !ended) {
    Ch ch = t[i];
    if (ch == Ch('\r') || ch == Ch('\n')) {
      // A line break in the template: kept, unless the width mask asks for blanks.
      if (max_width == 255) {
        r += Ch(' ');
      } else {
        r += Ch('\r');
        r += Ch('\n');
      }
      i += (ch == Ch('\r') && at(i + 1) == Ch('\n')) ? 2 : 1;
      continue;
    }
    if (ch != Ch('%')) {
      r += ch;
      ++i;
      continue;
    }
    Ch n = at(i + 1);
    if (n >= Ch('1') && n <= Ch('9')) {
      size_t j = i + 1;
      unsigned number = unsigned(n - Ch('0'));
      ++j;
      if (at(j) >= Ch('0') && at(j) <= Ch('9')) number = number * 10 + unsigned(at(j++) - Ch('0'));
      Conversion c;
      c.conv = 's';
      size_t spec_end = j;
      if (at(j) == Ch('!')) {
        size_t close = t.find(Ch('!'), j + 1);
        if (close == std::basic_string_view<Ch>::npos) return false;
        std::basic_string_view<Ch> conv_text = t.substr(j + 1, close - j - 1);
        Conversion parsed;
        if (ParseImpl(conv_text, &parsed) != conv_text.size() || conv_text.empty()) return false;
        c = parsed;
        spec_end = close + 1;
      }
      if (ignore) {
        r.append(t.substr(i, spec_end - i));
        i = spec_end;
        continue;
      }
      size_t index = number - 1;
      auto take = [&]() -> const FormatArg* {
        return index < inserts.size() ? &inserts[index++] : nullptr;
      };
      if (c.width_arg) {
        const FormatArg* w = take();
        if (!w) return false;
        c.width = int(std::min<int64_t>(std::max<int64_t>(AsInt(*w), 0), kMaxFieldWidth));
      }
      if (c.precision_arg) {
        const FormatArg* p = take();
        if (!p) return false;
        c.precision = int(std::min<int64_t>(std::max<int64_t>(AsInt(*p), 0), kMaxFieldWidth));
      }
      const FormatArg* v = take();
      if (!v) return false;
      AppendImpl(r, c, *v, wide);
      i = spec_end;
      continue;
    }
    // Compared as whole characters: a wide character whose low byte reads as
    // "0" or "n" is no escape.
    if (n == Ch('0'))
      ended = true;
    else if (n == Ch('n'))
      r += Ch('\n');
    else if (n == Ch('r'))
      r += Ch('\r');
    else if (n == Ch('t'))
      r += Ch('\t');
    else if (n != Ch(0))
      r += n;  // "%%", "% ", "%.", "%!" and unknown escapes: the character after it stands
    i += n == Ch(0) ? 1 : 2;
  }
  if (max_width > 0 && max_width < 255) {
    // Wrap lines at max_width, breaking at the last blank when there is one.
    std::basic_string<Ch> wrapped;
    size_t col = 0, line_start = 0;
    for (Ch ch : r) {
      if (ch == Ch('\n')) {
        wrapped += ch;
        col = 0;
        line_start = wrapped.size();
        continue;
      }
      if (col == max_width && ch == Ch(' ')) {
        wrapped += Ch('\n');
        line_start = wrapped.size();
        col = 0;
        continue;
      }
      if (col == max_width) {
        size_t blank = wrapped.rfind(Ch(' '));
        if (blank != std::basic_string<Ch>::npos && blank >= line_start) {
          wrapped[blank] = Ch('\n');
          line_start = blank + 1;
          col = wrapped.size() - line_start;
        } else {
          wrapped += Ch('\n');
          line_start = wrapped.size();
          col = 0;
        }
      }
      wrapped += ch;
      ++col;
    }
    r = std::move(wrapped);
  }
  *out = std::move(r);
  return true;
}

template <typename Ch>
std::vector<Kind> InsertKindsImpl(std::basic_string_view<Ch> t, bool wide) {
  std::vector<Kind> kinds;
  auto set = [&](size_t index, Kind k) {
    if (kinds.size() <= index) kinds.resize(index + 1, Kind::kString);
    kinds[index] = k;
  };
  for (size_t i = 0; i + 1 < t.size(); ++i) {
    if (t[i] != Ch('%')) continue;
    Ch n = t[i + 1];
    if (n < Ch('1') || n > Ch('9')) {
      ++i;  // an escape such as %% or %n
      continue;
    }
    size_t j = i + 2;
    unsigned number = unsigned(n - Ch('0'));
    if (j < t.size() && t[j] >= Ch('0') && t[j] <= Ch('9'))
      number = number * 10 + unsigned(t[j++] - Ch('0'));
    size_t index = number - 1;
    Conversion c;
    c.conv = 's';
    if (j < t.size() && t[j] == Ch('!')) {
      size_t close = t.find(Ch('!'), j + 1);
      if (close != std::basic_string_view<Ch>::npos) {
        ParseImpl(t.substr(j + 1, close - j - 1), &c);
        j = close + 1;
      }
    }
    if (c.width_arg) set(index++, Kind::kInt);
    if (c.precision_arg) set(index++, Kind::kInt);
    Kind k = ConsumedKind(c, wide);
    set(index, k == Kind::kNone ? Kind::kString : k);
    i = j - 1;
  }
  return kinds;
}

}  // namespace

size_t ParseConversion(std::string_view text, Conversion* out) {
  return ParseImpl(text, out);
}
size_t ParseConversion(std::u16string_view text, Conversion* out) {
  return ParseImpl(text, out);
}

FormatArg::Kind ConsumedKind(const Conversion& c, bool wide) {
  switch (c.conv) {
    case 'd':
    case 'i':
    case 'c':
    case 'C':
      return Kind::kInt;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      return Kind::kUInt;
    case 's':
    case 'S':
      return IsWideString(c, wide) ? Kind::kWString : Kind::kString;
    case 'p':
      return Kind::kPointer;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      return Kind::kDouble;
    default:
      return Kind::kNone;
  }
}

void AppendConversion(std::string& out, const Conversion& c, const FormatArg& v, bool wide_format) {
  AppendImpl(out, c, v, wide_format);
}
void AppendConversion(std::u16string& out, const Conversion& c, const FormatArg& v,
                      bool wide_format) {
  AppendImpl(out, c, v, wide_format);
}

std::string FormatPrintf(std::string_view fmt, std::span<const FormatArg> args) {
  return PrintfImpl(fmt, args, false);
}
std::u16string FormatPrintfW(std::u16string_view fmt, std::span<const FormatArg> args) {
  return PrintfImpl(fmt, args, true);
}

PrintfFormat::PrintfFormat(std::string_view literal_prefix, std::string_view fmt)
    : text_(std::string(literal_prefix) + std::string(fmt)) {
  size_t literal = 0;
  for (size_t i = literal_prefix.size(); i < text_.size();) {
    Conversion c;
    size_t n = text_[i] == '%' ? ParseImpl(std::string_view(text_).substr(i + 1), &c) : 0;
    if (n == 0) {
      // Plain text, or a '%' that begins no conversion and stays as written.
      ++i;
      continue;
    }
    bool plain = !c.left && !c.plus && !c.space && !c.alt && !c.zero && !c.width_arg &&
                 !c.precision_arg && c.width < 0 && c.precision < 0 &&
                 c.length == Conversion::Length::kNone;
    Form form = !plain                                            ? Form::kOther
                : c.conv == 's'                                   ? Form::kPlainString
                : c.conv == 'd' || c.conv == 'i' || c.conv == 'u' ? Form::kPlainInteger
                                                                  : Form::kOther;
    pieces_.push_back({uint32_t(literal), uint32_t(i - literal), form, c});
    value_count_ +=
        size_t(c.width_arg) + size_t(c.precision_arg) + size_t(c.conv != '%' && c.conv != 'n');
    i += 1 + n;
    literal = i;
  }
  if (literal < text_.size())
    pieces_.push_back({uint32_t(literal), uint32_t(text_.size() - literal), Form::kNone, {}});
}

size_t PrintfFormat::FormatTo(std::span<const FormatArg> args, char* out, size_t cap) const {
  BufferSink sink(out, cap);
  ArgTaker take(args);
  for (const Piece& piece : pieces_) {
    sink.Put(text_.data() + piece.literal_begin, piece.literal_size);
    switch (piece.form) {
      case Form::kNone:
        break;
      case Form::kPlainString: {
        // What AppendString does for a narrow string without width or precision.
        const FormatArg& v = take.Take();
        if (v.kind == Kind::kString && v.p != nullptr) {
          const size_t max = std::min(kMaxStringValue, sink.Room());
          sink.Advance(CopyStringSafely(static_cast<const char*>(v.p), sink.Tail(), max));
        } else {
          AppendNarrow(sink, piece.conversion, v, false);
        }
        break;
      }
      case Form::kPlainInteger: {
        // What AppendInteger does for an int without flags, width or precision.
        int64_t x = AsInt(take.Take());
        bool negative = piece.conversion.conv != 'u' && int32_t(x) < 0;
        uint32_t magnitude = piece.conversion.conv == 'u' ? uint32_t(x)
                             : negative                   ? 0u - uint32_t(x)
                                                          : uint32_t(x);
        // Written straight into the buffer, last digit first: digits stored one
        // by one and then copied as a word would stall the copy's load.
        size_t size = size_t(negative) + DecimalDigits(magnitude);
        char digits[11];  // a sign and 10 digits, when the buffer is too short
        char* end = sink.Room() >= size ? sink.Tail() + size : digits + size;
        char* p = end;
        do *--p = char('0' + magnitude % 10);
        while ((magnitude /= 10) != 0);
        if (negative) *--p = '-';
        if (end == digits + size)
          sink.Put(digits, size);
        else
          sink.Advance(size);
        break;
      }
      case Form::kOther:
        Convert(sink, piece.conversion, take, false);
        break;
    }
    if (sink.Room() == 0) break;
  }
  return sink.size();
}

std::vector<FormatArg::Kind> PrintfArgKinds(std::string_view fmt, bool wide) {
  return PrintfKindsImpl(fmt, wide);
}
std::vector<FormatArg::Kind> PrintfArgKinds(std::u16string_view fmt, bool wide) {
  return PrintfKindsImpl(fmt, wide);
}

std::vector<FormatArg> ReadArgs(std::span<const FormatArg::Kind> kinds, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  std::vector<FormatArg> out;
  out.reserve(kinds.size());
  for (Kind k : kinds) out.push_back(ReadOne(k, false, copy));
  va_end(copy);
  return out;
}

std::vector<FormatArg> ReadPrintfArgs(std::string_view fmt, va_list ap, bool wide) {
  va_list copy;
  va_copy(copy, ap);
  std::vector<FormatArg> out;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != '%') continue;
    Conversion c;
    size_t n = ParseImpl(fmt.substr(i + 1), &c);
    if (n == 0) continue;
    if (c.width_arg) out.push_back(ReadOne(Kind::kInt, false, copy));
    if (c.precision_arg) out.push_back(ReadOne(Kind::kInt, false, copy));
    Kind k = ConsumedKind(c, wide);
    if (k != Kind::kNone) out.push_back(ReadOne(k, Is64(c), copy));
    i += n;
  }
  va_end(copy);
  return out;
}

bool FormatInserts(std::string_view tmpl, std::span<const FormatArg> inserts, std::string* out,
                   bool ignore_inserts, unsigned max_width) {
  return InsertsImpl(tmpl, inserts, out, ignore_inserts, max_width, false);
}
bool FormatInsertsW(std::u16string_view tmpl, std::span<const FormatArg> inserts,
                    std::u16string* out, bool ignore_inserts, unsigned max_width) {
  return InsertsImpl(tmpl, inserts, out, ignore_inserts, max_width, true);
}

std::vector<FormatArg::Kind> InsertKinds(std::string_view tmpl, bool wide) {
  return InsertKindsImpl(tmpl, wide);
}
std::vector<FormatArg::Kind> InsertKinds(std::u16string_view tmpl, bool wide) {
  return InsertKindsImpl(tmpl, wide);
}

}  // namespace qx::platform
