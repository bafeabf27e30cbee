// Message lookup: from a message identifier to the finished text.
//
// A message identifier names a facility, a message number and a severity. The
// catalog finds the compiled message file of the facility in the folders of
// "DPATH", looks the facility and the message up, checks the severity and formats
// the stored text with the caller's values, in the order the entry's
// argument-order bytes give. Every failure gives a fixed failure text instead.
//
// Stored texts are printf-style formats that come from files: they are only ever
// formatted by the project's typed formatter, with values of the kinds the
// text's conversions take.
// Thread-safety: all functions may be called from any thread; the current file is
// per thread.
#ifndef QXCOMN_CATALOG_H
#define QXCOMN_CATALOG_H

#include <qxplatform/format.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "catalog_file.h"

namespace qx::comn {

// Substitution values per message.
inline constexpr size_t kMessageValues = 12;
// Output widths: mode 1 fills 80 characters, every other mode 2048.
inline constexpr size_t kShortWidth = 80;
inline constexpr size_t kLongWidth = 2048;

using platform::FormatArg;
using MessageValues = std::array<FormatArg, kMessageValues>;

struct MessageId {
  int facility;       // signed: bit 31 makes it negative
  uint32_t number;    // 12 bits
  uint32_t severity;  // 0-7
};
MessageId SplitMessageId(uint32_t id);

// The kind a caller's value is read as, per value (in value order): the kind of
// the first conversion that takes it; a value no conversion takes is read as a
// 64-bit integer (is64 with kInt).
struct ValueKind {
  FormatArg::Kind kind = FormatArg::Kind::kInt;
  bool is64 = true;
};
using ValueKindList = std::array<ValueKind, kMessageValues>;

// A message found in its catalog, ready to format.
struct CatalogMessage {
  std::string facility_name;
  std::string text;  // the stored text, at most 2047 characters
  // "%<facility name>" and the text, parsed for narrow formatting.
  platform::PrintfFormat format;
  // order[p] is the value that output position p takes.
  std::array<uint8_t, kMessageValues> order{};
  ValueKindList narrow_kinds;  // string values narrow
  ValueKindList wide_kinds;    // string values UTF-16
};
using MessagePtr = std::shared_ptr<const CatalogMessage>;

// The kinds the values of `msg` are read as.
inline const ValueKindList& ValueKinds(const CatalogMessage& msg, bool wide) {
  return wide ? msg.wide_kinds : msg.narrow_kinds;
}

// Reads `count` (at most 12) values from `ap` by their kinds; the rest are zero
// values of their kinds.
MessageValues ReadValues(const ValueKindList& kinds, size_t count, va_list ap);

// Finds the message `id`. On failure returns nullptr with the failure text in
// *failure. Sets the debug-suffix switch and the thread's current file. The
// message stays valid until the calling thread's next FindMessage.
const CatalogMessage* FindMessage(uint32_t id, std::string* failure);

// "%<facility><text formatted with values>", cut to width - 1 characters. Without
// values the stored text is appended unformatted. In wide mode string values are
// UTF-16 strings.
std::string FormatMessage(const CatalogMessage& msg, const MessageValues* values, bool wide,
                          size_t width);

// The values in the order the message's output positions take them (position p
// takes value order[p]); only as many as the text consumes are made.
class PositionalValues {
 public:
  template <typename ValueOf>  // FormatArg ValueOf(size_t value_index)
  PositionalValues(const CatalogMessage& msg, ValueOf value_of)
      : size_(std::min(kMessageValues, msg.format.ValueCount())) {
    for (size_t p = 0; p < size_; ++p) new (&storage_[p]) FormatArg(value_of(msg.order[p]));
  }
  std::span<const FormatArg> span() const {
    return {std::launder(reinterpret_cast<const FormatArg*>(storage_)), size_};
  }
  // True when a string value points into the `size` bytes at `at`.
  bool PointInto(const void* at, size_t size) const {
    auto begin = reinterpret_cast<uintptr_t>(at);
    for (const FormatArg& v : span()) {
      bool text = v.kind == FormatArg::Kind::kString || v.kind == FormatArg::Kind::kWString;
      auto p = reinterpret_cast<uintptr_t>(v.p);
      if (text && p >= begin && p - begin < size) return true;
    }
    return false;
  }

 private:
  // Raw storage: making all twelve values would cost more than formatting two.
  struct alignas(FormatArg) Slot {
    unsigned char bytes[sizeof(FormatArg)];
  };
  Slot storage_[kMessageValues];
  size_t size_;
};

// FormatMessage with values, narrow, into out: returns the length of the text
// (at most width - 1; no NUL is added). REQUIRES: out holds width characters,
// width >= kShortWidth.
size_t FormatMessageTo(const CatalogMessage& msg, const PositionalValues& values, char* out,
                       size_t width);

// FindMessage and FormatMessage, with the values read from `ap` when not null.
// Returns true on success; the text (or failure text) is in *out.
bool ProduceMessage(uint32_t id, size_t count, va_list* ap, bool wide, size_t width,
                    std::string* out);

// The debug-suffix switch: on while "QX_QXIDEBUG" was defined at the last search.
bool DebugSuffixOn();

// The facility name of `facility` in the file the calling thread looked up last,
// or "".
std::string CurrentFacilityName(int facility);

// True when a text filed under `severity` does not carry its letter as second
// character. Severities whose name is no letter (5-7) always match.
bool SeverityMismatch(std::string_view text, uint32_t severity);

// The file the calling thread looked up last (null when none).
const std::shared_ptr<const MappedCatalog>& CurrentCatalog();

// The catalog's severity names ("WARNING" ... "7").
const char* SeverityName(uint32_t severity);

// Cuts text to at most max bytes without splitting a UTF-8 character.
void CutUtf8(std::string* text, size_t max);

}  // namespace qx::comn

#endif
