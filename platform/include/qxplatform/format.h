/* The project's one text formatter: printf-style conversions and the Windows
 * message-insert syntax (%1 .. %99, %1!d!), over typed values.
 *
 * Formats are never handed to the C library's printf with raw caller values. The
 * values a format consumes are read by kind (ReadArgs), and a string value is read
 * through a bounded, fault-safe copy, so a format that does not match its values
 * prints wrong text instead of touching memory it should not. %n writes nothing.
 * Thread-safety: all functions are reentrant. */
#ifndef QXPLATFORM_FORMAT_H
#define QXPLATFORM_FORMAT_H

#include <qxplatform/types.h>

#ifdef __cplusplus
#include <cstdarg>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qx::platform {

// A value for the formatter.
struct FormatArg {
  enum class Kind : uint8_t { kNone, kInt, kUInt, kDouble, kString, kWString, kPointer };
  Kind kind = Kind::kNone;
  int64_t i = 0;
  double d = 0;
  const void* p = nullptr;  // kString: const char*, kWString: const char16_t*

  static FormatArg Int(int64_t v) { return {Kind::kInt, v, 0, nullptr}; }
  static FormatArg UInt(uint64_t v) { return {Kind::kUInt, int64_t(v), 0, nullptr}; }
  static FormatArg Double(double v) { return {Kind::kDouble, 0, v, nullptr}; }
  static FormatArg Str(const char* s) { return {Kind::kString, 0, 0, s}; }
  static FormatArg WStr(const char16_t* s) { return {Kind::kWString, 0, 0, s}; }
  static FormatArg Ptr(const void* v) { return {Kind::kPointer, 0, 0, v}; }
};

// One printf conversion: flags, width, precision, length and letter.
struct Conversion {
  enum class Length : uint8_t { kNone, kHH, kH, kL, kLL, kJ, kZ, kT, kBigL, kI64 };
  bool left = false, plus = false, space = false, alt = false, zero = false;
  bool width_arg = false, precision_arg = false;  // "*"
  int width = -1, precision = -1;
  Length length = Length::kNone;
  char conv = 0;  // d i u o x X c C s S p e E f F g G a A n %
};

// Parses the conversion that follows a '%' in text[0..]. Returns the characters
// consumed (letter included), or 0 when the text is no valid conversion. Widths and
// precisions above 4096 are refused, which bounds every expansion.
QXP_CXX_API size_t ParseConversion(std::string_view text, Conversion* out);
QXP_CXX_API size_t ParseConversion(std::u16string_view text, Conversion* out);

// The kind of value a conversion consumes. In a wide format (wide == true) %s and
// %c take wide text and %S/%C narrow, as the Windows runtime's wide functions do;
// %ls/%ws are always wide and %hs always narrow. kNone for %% and %n.
QXP_CXX_API FormatArg::Kind ConsumedKind(const Conversion& c, bool wide);

// Appends one converted value. A value of another kind than the conversion takes
// is converted sensibly (an integer for %s prints as a number, a string for %d
// prints 0); a null string prints "(null)". String values are read with a bounded
// fault-safe copy (at most 65536 characters).
QXP_CXX_API void AppendConversion(std::string& out, const Conversion& c, const FormatArg& v,
                                  bool wide_format = false);
QXP_CXX_API void AppendConversion(std::u16string& out, const Conversion& c, const FormatArg& v,
                                  bool wide_format = true);

// printf-style formatting with values consumed in order. A '*' width or
// precision consumes an integer value. Missing values count as kNone (0 or
// "(null)"). An invalid conversion is copied as written. %n prints nothing.
QXP_CXX_API std::string FormatPrintf(std::string_view fmt, std::span<const FormatArg> args);
QXP_CXX_API std::u16string FormatPrintfW(std::u16string_view fmt, std::span<const FormatArg> args);

// A printf format parsed once, for a format used many times (a catalog's message
// text): formatting it gives what FormatPrintf gives for its text, without
// parsing it again and without allocating for integer and narrow string values.
class QXP_CXX_API PrintfFormat {
 public:
  PrintfFormat() = default;
  explicit PrintfFormat(std::string_view fmt) : PrintfFormat({}, fmt) {}
  // The format fmt behind literal text that is printed as it is (a '%' in it
  // begins no conversion).
  PrintfFormat(std::string_view literal_prefix, std::string_view fmt);

  // The prefix and the format.
  const std::string& text() const { return text_; }
  // The number of values the format consumes (a '*' width or precision is one).
  size_t ValueCount() const { return value_count_; }

  // Formats with the values consumed in order into out and keeps the first cap
  // characters of what FormatPrintf would give (no NUL is added); returns the
  // number kept, and writes nothing of out past them. Reads no more of a string
  // value than can show.
  size_t FormatTo(std::span<const FormatArg> args, char* out, size_t cap) const;

 private:
  // What follows a piece's text: nothing, a plain "%s" or "%d"/"%i"/"%u" (no
  // flags, width, precision or length: the forms most texts use, formatted by a
  // short path), or any other conversion.
  enum class Form : uint8_t { kNone, kPlainString, kPlainInteger, kOther };
  // A run of text as written, then a conversion (unless the form is kNone).
  struct Piece {
    uint32_t literal_begin = 0;
    uint32_t literal_size = 0;
    Form form = Form::kNone;
    Conversion conversion;
  };
  std::string text_;
  std::vector<Piece> pieces_;
  size_t value_count_ = 0;
};

// The kinds of the values a printf format consumes, in order (a '*' adds an int).
QXP_CXX_API std::vector<FormatArg::Kind> PrintfArgKinds(std::string_view fmt, bool wide = false);
QXP_CXX_API std::vector<FormatArg::Kind> PrintfArgKinds(std::u16string_view fmt, bool wide = true);

// Reads values of the given kinds from a va_list, in order. Integers are read as
// int (kInt/kUInt; pass kinds from PrintfArgKinds, where %ld/%lld/%zd... read
// 64-bit values: use ReadArgsFor instead to honour length modifiers).
QXP_CXX_API std::vector<FormatArg> ReadArgs(std::span<const FormatArg::Kind> kinds, va_list ap);

// Reads the values a printf format consumes from a va_list, honouring length
// modifiers (l, ll, z, j, t, I64 read 64-bit values; others int).
QXP_CXX_API std::vector<FormatArg> ReadPrintfArgs(std::string_view fmt, va_list ap,
                                                  bool wide = false);

// Windows message-insert formatting (FormatMessage's template syntax):
//   %1 .. %99   insert n; "%n!fmt!" formats it with the printf conversion fmt
//               (default !s!); a '*' in fmt takes the next insert numbers
//   %0          ends the output without a newline
//   %%  %n  %r  %t  %space  %.  %!   percent, newline "\n", "\r", tab, blank, ".", "!"
// inserts[k] is insert k+1. An insert number beyond the array fails (returns
// false) unless ignore_inserts, which copies every insert sequence as written.
// max_width > 0 wraps lines at that width; 255 (FORMAT_MESSAGE_MAX_WIDTH_MASK)
// turns line breaks in the template into blanks and keeps only %n breaks.
QXP_CXX_API bool FormatInserts(std::string_view tmpl, std::span<const FormatArg> inserts,
                               std::string* out, bool ignore_inserts = false,
                               unsigned max_width = 0);
QXP_CXX_API bool FormatInsertsW(std::u16string_view tmpl, std::span<const FormatArg> inserts,
                                std::u16string* out, bool ignore_inserts = false,
                                unsigned max_width = 0);

// The kinds of inserts 1..N a template uses (index k is insert k+1); unused
// inserts below the highest used one are kString, as Windows assumes.
QXP_CXX_API std::vector<FormatArg::Kind> InsertKinds(std::string_view tmpl, bool wide = false);
QXP_CXX_API std::vector<FormatArg::Kind> InsertKinds(std::u16string_view tmpl, bool wide = true);

// Copies at most max characters of a NUL-terminated string at an address that may
// be invalid; stops at the first unreadable byte. Never faults. Texts in the
// calling thread's stack frames and in the main program's own data are read
// directly; any other address costs a system call per read.
QXP_CXX_API std::string SafeReadString(const char* s, size_t max);
QXP_CXX_API std::u16string SafeReadWString(const char16_t* s, size_t max);

// SafeReadString into a caller's buffer: copies at most max characters (no NUL is
// added) and returns the number copied; nothing of out past them is written.
// REQUIRES: out holds max characters.
QXP_CXX_API size_t SafeCopyString(const char* s, char* out, size_t max);

// Copies up to size bytes from an address that may be invalid into out; stops at
// the first unreadable byte and returns the number of bytes copied. Never faults.
QXP_CXX_API size_t SafeReadBytes(const void* from, size_t size, void* out);

}  // namespace qx::platform
#endif

#endif
