// The typed formatter: printf conversions and Windows message inserts.
#include <qxplatform/format.h>
#include <qxplatform/text.h>

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

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
    if (ch == '-') c.left = true;
    else if (ch == '+') c.plus = true;
    else if (ch == ' ') c.space = true;
    else if (ch == '#') c.alt = true;
    else if (ch == '0') c.zero = true;
    else break;
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
    case Kind::kUInt: return v.i;
    case Kind::kDouble: return int64_t(v.d);
    case Kind::kPointer: return int64_t(reinterpret_cast<uintptr_t>(v.p));
    default: return 0;
  }
}

double AsDouble(const FormatArg& v) {
  if (v.kind == Kind::kDouble) return v.d;
  if (v.kind == Kind::kInt) return double(v.i);
  if (v.kind == Kind::kUInt) return double(uint64_t(v.i));
  return 0;
}

// Pads text (already cut to the precision) to the width.
template <typename Ch>
void Pad(std::basic_string<Ch>& out, std::basic_string_view<Ch> text, const Conversion& c) {
  size_t width = c.width > 0 ? size_t(c.width) : 0;
  size_t fill = width > text.size() ? width - text.size() : 0;
  if (!c.left) out.append(fill, Ch(c.zero ? '0' : ' '));
  out.append(text);
  if (c.left) out.append(fill, Ch(' '));
}

// Formats a number through the C library with a conversion this code built itself
// and a value of the matching type.
std::string Number(const Conversion& c, const FormatArg& v) {
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
  switch (c.conv) {
    case 'd':
    case 'i': {
      int64_t x = AsInt(v);
      using L = Conversion::Length;
      if (!Is64(c)) x = c.length == L::kHH ? int8_t(x) : c.length == L::kH ? int16_t(x) : int32_t(x);
      f += "lld";
      n = std::snprintf(buf, sizeof buf, f.c_str(), (long long)x);
      break;
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X': {
      uint64_t x = uint64_t(AsInt(v));
      using L = Conversion::Length;
      if (!Is64(c))
        x = c.length == L::kHH ? uint8_t(x) : c.length == L::kH ? uint16_t(x) : uint32_t(x);
      f += "ll";
      f += c.conv;
      n = std::snprintf(buf, sizeof buf, f.c_str(), (unsigned long long)x);
      break;
    }
    case 'p': {
      f += 'p';
      n = std::snprintf(buf, sizeof buf, f.c_str(),
                        v.kind == Kind::kPointer ? v.p : reinterpret_cast<const void*>(AsInt(v)));
      break;
    }
    default: {  // e E f F g G a A
      f += c.conv;
      n = std::snprintf(buf, sizeof buf, f.c_str(), AsDouble(v));
      break;
    }
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

template <typename Ch>
void AppendImpl(std::basic_string<Ch>& out, const Conversion& c, const FormatArg& v,
                bool wide_format) {
  if (c.conv == '%') {
    out += Ch('%');
    return;
  }
  if (c.conv == 'n') return;
  std::string text;
  bool textual = c.conv == 's' || c.conv == 'S' || c.conv == 'c' || c.conv == 'C';
  if (textual) {
    text = NarrowOf(c, v, wide_format);
    if constexpr (sizeof(Ch) == 1) {
      // Precision counts bytes of the narrow text; do not cut inside a character.
      if (c.precision >= 0 && text.size() > size_t(c.precision)) {
        size_t cut = size_t(c.precision);
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
      }
      Pad<char>(out, text, c);
    } else {
      auto w = Utf8ToUtf16(text);
      std::u16string ws = w ? *w : std::u16string(u"?");
      if (c.precision >= 0 && ws.size() > size_t(c.precision)) ws.resize(size_t(c.precision));
      Pad<char16_t>(out, ws, c);
    }
    return;
  }
  text = Number(c, v);
  if constexpr (sizeof(Ch) == 1) {
    out += text;
  } else {
    for (char ch : text) out += char16_t(static_cast<unsigned char>(ch));
  }
}

template <typename Ch>
std::basic_string<Ch> PrintfImpl(std::basic_string_view<Ch> fmt, std::span<const FormatArg> args,
                                 bool wide) {
  std::basic_string<Ch> out;
  size_t next = 0;
  auto take = [&]() -> FormatArg { return next < args.size() ? args[next++] : FormatArg{}; };
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
    if (c.width_arg) {
      int64_t w = AsInt(take());
      if (w < 0) c.left = true, w = -w;
      c.width = int(w > kMaxFieldWidth ? kMaxFieldWidth : w);
    }
    if (c.precision_arg) {
      int64_t p = AsInt(take());
      c.precision = p < 0 ? -1 : int(p > kMaxFieldWidth ? kMaxFieldWidth : p);
    }
    if (c.conv == '%' || c.conv == 'n')
      AppendImpl(out, c, FormatArg{}, wide);
    else
      AppendImpl(out, c, take(), wide);
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
    case Kind::kInt: return FormatArg::Int(is64 ? va_arg(ap, long long) : va_arg(ap, int));
    case Kind::kUInt:
      return FormatArg::UInt(is64 ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned));
    case Kind::kDouble: return FormatArg::Double(va_arg(ap, double));
    case Kind::kString: return FormatArg::Str(va_arg(ap, const char*));
    case Kind::kWString: return FormatArg::WStr(va_arg(ap, const char16_t*));
    case Kind::kPointer: return FormatArg::Ptr(va_arg(ap, const void*));
    default: return FormatArg{};
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
    switch (char(n)) {
      case '0': ended = true; break;
      case 'n': r += Ch('\n'); break;
      case 'r': r += Ch('\r'); break;
      case 't': r += Ch('\t'); break;
      case '%': r += Ch('%'); break;
      case ' ': r += Ch(' '); break;
      case '.': r += Ch('.'); break;
      case '!': r += Ch('!'); break;
      default:
        // A lone "%" or an unknown escape: the character after it stands.
        if (n != Ch(0)) r += n;
        break;
    }
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
    if (j < t.size() && t[j] >= Ch('0') && t[j] <= Ch('9')) number = number * 10 + unsigned(t[j++] - Ch('0'));
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

size_t ParseConversion(std::string_view text, Conversion* out) { return ParseImpl(text, out); }
size_t ParseConversion(std::u16string_view text, Conversion* out) { return ParseImpl(text, out); }

FormatArg::Kind ConsumedKind(const Conversion& c, bool wide) {
  switch (c.conv) {
    case 'd':
    case 'i':
    case 'c':
    case 'C': return Kind::kInt;
    case 'u':
    case 'o':
    case 'x':
    case 'X': return Kind::kUInt;
    case 's':
    case 'S': return IsWideString(c, wide) ? Kind::kWString : Kind::kString;
    case 'p': return Kind::kPointer;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A': return Kind::kDouble;
    default: return Kind::kNone;
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

// process_vm_readv on our own process reports an unreadable address as EFAULT
// (or a short count) instead of faulting, which makes it a safe probe for a
// string pointer of unknown provenance.
std::string SafeReadString(const char* s, size_t max) {
  std::string out;
  if (s == nullptr) return out;
  constexpr size_t kChunk = 256;
  char buf[kChunk];
  const pid_t self = ::getpid();
  while (out.size() < max) {
    // Never read across a page end in one call: the next page may be unmapped
    // while the string ends before it.
    uintptr_t addr = reinterpret_cast<uintptr_t>(s) + out.size();
    size_t to_page = 4096 - (addr & 4095);
    size_t want = std::min<size_t>({kChunk, to_page, max - out.size()});
    struct iovec local = {buf, want};
    struct iovec remote = {reinterpret_cast<void*>(addr), want};
    ssize_t n = ::process_vm_readv(self, &local, 1, &remote, 1, 0);
    if (n <= 0) break;
    size_t len = ::strnlen(buf, size_t(n));
    out.append(buf, len);
    if (len < size_t(n)) break;
  }
  return out;
}

size_t SafeReadBytes(const void* from, size_t size, void* out) {
  if (from == nullptr) return 0;
  const pid_t self = ::getpid();
  size_t done = 0;
  while (done < size) {
    // Page by page, so that a readable head before an unmapped page is copied.
    uintptr_t addr = reinterpret_cast<uintptr_t>(from) + done;
    size_t want = std::min<size_t>(4096 - (addr & 4095), size - done);
    struct iovec local = {static_cast<char*>(out) + done, want};
    struct iovec remote = {reinterpret_cast<void*>(addr), want};
    ssize_t n = ::process_vm_readv(self, &local, 1, &remote, 1, 0);
    if (n <= 0) break;
    done += size_t(n);
    if (size_t(n) < want) break;
  }
  return done;
}

std::u16string SafeReadWString(const char16_t* s, size_t max) {
  std::u16string out;
  if (s == nullptr || (reinterpret_cast<uintptr_t>(s) & 1) != 0) return out;
  constexpr size_t kChunk = 128;
  char16_t buf[kChunk];
  const pid_t self = ::getpid();
  while (out.size() < max) {
    uintptr_t addr = reinterpret_cast<uintptr_t>(s) + out.size() * 2;
    size_t to_page = (4096 - (addr & 4095)) / 2;
    size_t want = std::min<size_t>({kChunk, to_page, max - out.size()});
    struct iovec local = {buf, want * 2};
    struct iovec remote = {reinterpret_cast<void*>(addr), want * 2};
    ssize_t n = ::process_vm_readv(self, &local, 1, &remote, 1, 0);
    if (n < 2) break;
    size_t units = size_t(n) / 2;
    size_t len = 0;
    while (len < units && buf[len] != 0) ++len;
    out.append(buf, len);
    if (len < units) break;
  }
  return out;
}

}  // namespace qx::platform
