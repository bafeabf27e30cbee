// Bounds-checked reading of compiled message files.
#include "catalog_view.h"

#include <cstring>

namespace qx::comn {

uint32_t CatalogView::U32(size_t offset) const {
  const uint8_t* p = bytes_.data() + offset;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

size_t CatalogView::IndexEnd() const {
  if (bytes_.size() < kIndexEndOffset + 4) return 0;
  size_t end = U32(kIndexEndOffset);
  // The first record and its first entry lie before the texts.
  if (end < kCatalogHeaderSize + kFacilityRecordSize + kMessageEntrySize || end > bytes_.size())
    return 0;
  return end;
}

// The entry count of the record at `record` when the record and all its entries
// fit before the index end.
std::optional<uint32_t> CatalogView::EntryCount(size_t record, size_t index_end) const {
  if (record + kFacilityRecordSize > index_end) return std::nullopt;
  uint32_t n = U32(record + 16);
  uint64_t last = uint64_t(record) + kFacilityRecordSize + uint64_t(n) * kMessageEntrySize;
  if (last > index_end) return std::nullopt;
  return n;
}

std::optional<std::string_view> CatalogView::TextAt(uint32_t offset) const {
  size_t index_end = IndexEnd();
  if (index_end == 0 || offset < index_end || offset >= bytes_.size()) return std::nullopt;
  const char* p = reinterpret_cast<const char*>(bytes_.data()) + offset;
  size_t room = bytes_.size() - offset;
  const void* nul = std::memchr(p, 0, room);
  size_t len = nul ? size_t(static_cast<const char*>(nul) - p) : room;
  if (len > kMaxMessageText) len = kMaxMessageText;
  return std::string_view(p, len);
}

bool CatalogView::Validate() const {
  size_t index_end = IndexEnd();
  if (index_end == 0) return false;
  size_t record = kCatalogHeaderSize;
  while (record < index_end) {
    if (record + kFacilityRecordSize > index_end) return false;
    if (std::memchr(bytes_.data() + record, 0, kFacilityNameSize) == nullptr) return false;
    if (U32(record + 12) == kEndOfFacilities) return true;
    std::optional<uint32_t> n = EntryCount(record, index_end);
    if (!n) return false;
    for (uint32_t i = 0; i < *n; ++i) {
      uint32_t text = U32(record + kFacilityRecordSize + size_t(i) * kMessageEntrySize + 16);
      if (text < index_end || text >= bytes_.size()) return false;
      if (std::memchr(bytes_.data() + text, 0, bytes_.size() - text) == nullptr) return false;
    }
    record += kFacilityRecordSize + size_t(*n) * kMessageEntrySize;
  }
  // Without an end record the records must end exactly at the texts.
  return record == index_end;
}

std::optional<size_t> CatalogView::FindFacility(uint32_t number) const {
  size_t index_end = IndexEnd();
  if (index_end == 0) return std::nullopt;
  size_t record = kCatalogHeaderSize;
  while (record + kFacilityRecordSize <= index_end) {
    uint32_t found = U32(record + 12);
    if (found == kEndOfFacilities) return std::nullopt;
    if (found == number) return record;
    std::optional<uint32_t> n = EntryCount(record, index_end);
    if (!n) return std::nullopt;
    record += kFacilityRecordSize + size_t(*n) * kMessageEntrySize;
  }
  return std::nullopt;
}

bool CatalogView::IsRecord(size_t wanted) const {
  size_t index_end = IndexEnd();
  size_t record = kCatalogHeaderSize;
  while (index_end != 0 && record + kFacilityRecordSize <= index_end) {
    if (record == wanted) return U32(record + 12) != kEndOfFacilities;
    if (record > wanted || U32(record + 12) == kEndOfFacilities) return false;
    std::optional<uint32_t> n = EntryCount(record, index_end);
    if (!n) return false;
    record += kFacilityRecordSize + size_t(*n) * kMessageEntrySize;
  }
  return false;
}

std::string_view CatalogView::FacilityName(size_t record) const {
  if (record + kFacilityNameSize > bytes_.size()) return {};
  const char* p = reinterpret_cast<const char*>(bytes_.data()) + record;
  return std::string_view(p, strnlen(p, kFacilityNameSize - 1));
}

std::optional<MessageEntry> CatalogView::FindMessage(size_t record, uint32_t number) const {
  std::optional<uint32_t> n = EntryCount(record, IndexEnd());
  if (!n) return std::nullopt;
  for (uint32_t i = 0; i < *n; ++i) {
    size_t at = record + kFacilityRecordSize + size_t(i) * kMessageEntrySize;
    if (U32(at) != number) continue;
    MessageEntry e;
    e.number = number;
    std::memcpy(e.order.data(), bytes_.data() + at + 4, kOrderBytes);
    e.text_offset = U32(at + 16);
    e.offset = at;
    return e;
  }
  return std::nullopt;
}

}  // namespace qx::comn
