// Reading a compiled message file held in memory.
//
// The layout (all integers 32-bit little-endian, offsets from the start):
//   0    160 bytes of header, not read here
//   160  facility records back to back, up to the index end; a record is a
//        12-byte NUL-terminated name, the facility number (0xFFFFFFFF ends the
//        records), the entry count n and n 20-byte message entries
//   end  the message texts, NUL-terminated; the index end is the text offset of
//        the first entry of the first facility (the value at offset 196)
// A message entry is the message number, 12 argument-order bytes and the offset
// of its text.
//
// A file comes from outside, so every read is checked against the size: a view
// never reads outside its bytes, whatever they hold.
// Thread-safety: a view is immutable; its bytes must stay readable while it is used.
#ifndef QXCOMN_CATALOG_VIEW_H
#define QXCOMN_CATALOG_VIEW_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace qx::comn {

inline constexpr size_t kCatalogHeaderSize = 160;
inline constexpr size_t kFacilityRecordSize = 20;  // name, number, count
inline constexpr size_t kFacilityNameSize = 12;    // at most 11 characters and a NUL
inline constexpr size_t kMessageEntrySize = 20;
inline constexpr size_t kIndexEndOffset = 196;  // text offset of the first entry
inline constexpr uint32_t kEndOfFacilities = 0xFFFFFFFFu;
inline constexpr size_t kOrderBytes = 12;
inline constexpr uint8_t kOrderEnd = 0x30;  // the digit zero ends an order list
// The longest message text taken from a file, as the library's text buffer holds it.
inline constexpr size_t kMaxMessageText = 2047;

struct MessageEntry {
  uint32_t number = 0;
  std::array<uint8_t, kOrderBytes> order{};
  uint32_t text_offset = 0;
  size_t offset = 0;  // of the entry in the file
};

class CatalogView {
 public:
  explicit CatalogView(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  // True when the whole index is sound: the index end lies inside the file and
  // after the first record, every record and its entries lie before the index end,
  // every name is NUL-terminated, and every text offset points into the text area
  // at a NUL-terminated text.
  bool Validate() const;

  // The offset of the record of facility `number`, or nullopt. The walk stops at
  // the end record (whose entries are never searched) and at the index end.
  std::optional<size_t> FindFacility(uint32_t number) const;

  // The name of the record at `record` (at most 11 characters).
  std::string_view FacilityName(size_t record) const;

  // The first entry of the record at `record` with message number `number`.
  std::optional<MessageEntry> FindMessage(size_t record, uint32_t number) const;

  // The text at `offset` when it lies in the text area: at most kMaxMessageText
  // characters, cut at its NUL or at the end of the file.
  std::optional<std::string_view> TextAt(uint32_t offset) const;

  // The index end, or 0 when the file is too short to have one.
  size_t IndexEnd() const;

  // True when `record` is the offset of a facility record reached by the walk.
  bool IsRecord(size_t record) const;

  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  uint32_t U32(size_t offset) const;  // REQUIRES: offset + 4 <= size
  std::optional<uint32_t> EntryCount(size_t record, size_t index_end) const;

  std::span<const uint8_t> bytes_;
};

}  // namespace qx::comn

#endif
