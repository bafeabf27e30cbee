#include "sds_codec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "translate_tables.h"

namespace qx::comn::sds {
namespace {

constexpr uint8_t kFlagMaskLength = SDS_FLAG_LENGTH_LE;

size_t IntegerWidth(uint8_t type) {
  return type == SDS_TYPE_SHORT ? 2 : type == SDS_TYPE_LONG ? 4 : 0;
}

uint8_t Flags(const Entry& e) {
  return e.base[5];
}
void SetFlag(Entry* e, uint8_t flag, bool on) {
  e->base[5] = on ? uint8_t(e->base[5] | flag) : uint8_t(e->base[5] & ~flag);
}

void Translate(uint8_t* p, size_t n, const uint8_t* table) {
  for (size_t i = 0; i < n; ++i) p[i] = table[p[i]];
}

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

}  // namespace

DWORD CheckNewEntry(const Name* name, bool name_null, const void* data, DWORD length,
                    uint8_t type) {
  if (name_null) return SDS_NULL_ARG;
  if (name->is_wide ? name->wide.empty() : name->narrow.empty()) return SDS_EMPTY_NAME;
  if (data == nullptr) return SDS_NULL_ARG;
  size_t width = IntegerWidth(type);
  // An integer shorter than its width would be converted past the caller's data.
  if (width != 0 && length < width) return SDS_BAD_LENGTH;
  return SDS_OK;
}

uint64_t EntrySize(const Name& name, DWORD length, uint8_t type) {
  uint64_t value = type == SDS_TYPE_WSTRING  ? 2ull * length + 2
                   : type == SDS_TYPE_STRING ? uint64_t(length) + 1
                                             : length;
  return kEntryFixed + name.StoredBytes() + value;
}

DWORD BuildEntry(const Name& name, DWORD length, const void* data, uint8_t type,
                 std::vector<uint8_t>* out) {
  uint64_t data_bytes = type == SDS_TYPE_WSTRING ? 2ull * length : length;
  uint64_t total = EntrySize(name, length, type);
  // The entry must also fit a buffer whose total size is 32 bits.
  if (total > 0xFFFFFFFFull - SDS_EMPTY_SIZE) return SDS_NO_MEMORY;
  try {
    out->assign(static_cast<size_t>(total), 0);
  } catch (const std::bad_alloc&) {
    return SDS_NO_MEMORY;
  }
  uint8_t* p = out->data();
  StoreBe32(p, static_cast<uint32_t>(total));
  p[4] = type;
  p[5] = name.is_wide ? SDS_FLAG_WIDE_NAME : 0;
  p += kEntryFixed;
  if (name.is_wide) {
    for (char16_t c : name.wide) {
      StoreWide(p, c);
      p += 2;
    }
    p += 2;
  } else {
    std::memcpy(p, name.narrow.data(), name.narrow.size());
    p += name.narrow.size() + 1;
  }
  if (data_bytes) std::memcpy(p, data, static_cast<size_t>(data_bytes));
  if (size_t width = IntegerWidth(type); width != 0 && kHostLittleEndian)
    std::reverse(p, p + width);
  // The string terminators are already zero.
  return SDS_OK;
}

ParseResult ParseEntry(uint8_t* p, size_t room, Entry* e) {
  if (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0) return ParseResult::kEnd;
  if (room < kEntryFixed + 1) return ParseResult::kDamaged;
  uint8_t flags = p[5];
  uint32_t length = (flags & kFlagMaskLength) ? LoadLe32(p) : LoadBe32(p);
  if (length < kEntryFixed + 1 || length > room) return ParseResult::kDamaged;
  e->base = p;
  e->length = length;
  e->type = p[4];
  e->wide_name = (flags & SDS_FLAG_WIDE_NAME) != 0;
  e->name = p + kEntryFixed;
  size_t name_room = length - kEntryFixed;
  size_t name_bytes = 0;
  if (e->wide_name) {
    size_t i = 0;
    while (i + 2 <= name_room && (e->name[i] != 0 || e->name[i + 1] != 0)) i += 2;
    if (i + 2 > name_room) return ParseResult::kDamaged;
    e->name_chars = i / 2;
    name_bytes = i + 2;
  } else {
    auto* nul = static_cast<uint8_t*>(std::memchr(e->name, 0, name_room));
    if (nul == nullptr) return ParseResult::kDamaged;
    e->name_chars = static_cast<size_t>(nul - e->name);
    name_bytes = e->name_chars + 1;
  }
  e->data = e->name + name_bytes;
  e->data_bytes = static_cast<uint32_t>(name_room - name_bytes);
  return ParseResult::kEntry;
}

void ConvertOnRead(Entry* e) {
  if (!e->wide_name) {
    bool ebcdic = (Flags(*e) & SDS_FLAG_NAME_EBCDIC) != 0;
    if (ebcdic != kHostEbcdic) {
      Translate(e->name, e->name_chars, kHostEbcdic ? kToEbcdic : kToAscii);
      SetFlag(e, SDS_FLAG_NAME_EBCDIC, kHostEbcdic);
    }
  }
  bool le = (Flags(*e) & SDS_FLAG_LENGTH_LE) != 0;
  if (le != kHostLittleEndian) {
    std::reverse(e->base, e->base + 4);
    SetFlag(e, SDS_FLAG_LENGTH_LE, kHostLittleEndian);
  }
}

bool ValueWellFormed(const Entry& e) {
  uint32_t n = e.data_bytes;
  switch (e.type) {
    case SDS_TYPE_WSTRING:
      return n >= 2 && n % 2 == 0 && e.data[n - 1] == 0 && e.data[n - 2] == 0;
    case SDS_TYPE_SHORT:
    case SDS_TYPE_LONG:
      // Never converted past its end: a value shorter than its type is damage.
      return n >= IntegerWidth(e.type);
    case SDS_TYPE_STRING:
      return n >= 1 && e.data[n - 1] == 0;
    default:
      return true;
  }
}

DWORD ConvertValue(Entry* e, bool wide_chars_as_bytes, DWORD* length) {
  if (!ValueWellFormed(*e)) return SDS_NOT_SDS;
  switch (e->type) {
    case SDS_TYPE_WSTRING: {
      uint32_t n = e->data_bytes;
      *length = wide_chars_as_bytes ? n - 2 : (n - 2) / 2;
      return SDS_OK;
    }
    case SDS_TYPE_SHORT:
    case SDS_TYPE_LONG: {
      size_t width = IntegerWidth(e->type);
      bool le = (Flags(*e) & SDS_FLAG_INT_LE) != 0;
      if (le != kHostLittleEndian) {
        std::reverse(e->data, e->data + width);
        SetFlag(e, SDS_FLAG_INT_LE, kHostLittleEndian);
      }
      *length = e->data_bytes;
      return SDS_OK;
    }
    case SDS_TYPE_STRING: {
      uint32_t n = e->data_bytes;
      bool ebcdic = (Flags(*e) & SDS_FLAG_VALUE_EBCDIC) != 0;
      if (ebcdic != kHostEbcdic) {
        Translate(e->data, n - 1, kHostEbcdic ? kToEbcdic : kToAscii);
        SetFlag(e, SDS_FLAG_VALUE_EBCDIC, kHostEbcdic);
      }
      *length = n - 1;
      return SDS_OK;
    }
    default:
      *length = e->data_bytes;
      return SDS_OK;
  }
}

bool NameEquals(const Entry& e, const Name& name) {
  if (e.wide_name != name.is_wide) return false;
  if (name.is_wide) {
    if (name.wide.size() != e.name_chars) return false;
    for (size_t i = 0; i < e.name_chars; ++i)
      if (FoldAscii(LoadWide(e.name + 2 * i)) != FoldAscii(name.wide[i])) return false;
    return true;
  }
  if (name.narrow.size() != e.name_chars) return false;
  for (size_t i = 0; i < e.name_chars; ++i)
    if (FoldAscii(e.name[i]) != FoldAscii(static_cast<uint8_t>(name.narrow[i]))) return false;
  return true;
}

void CopyName(const Entry& e, char* out) {
  if (out == nullptr) return;
  size_t n = std::min<size_t>(e.name_chars, SDS_MAX_NAME - 1);
  if (e.wide_name) {
    n = 0;  // a wide name has no narrow form here
  } else {
    std::memcpy(out, e.name, n);
  }
  out[n] = 0;
}

void CopyName(const Entry& e, char16_t* out) {
  if (out == nullptr) return;
  size_t n = e.wide_name ? std::min<size_t>(e.name_chars, SDS_MAX_NAME - 1) : 0;
  for (size_t i = 0; i < n; ++i) out[i] = LoadWide(e.name + 2 * i);
  out[n] = 0;
}

DWORD CheckHeader(const void* buffer, bool check_version, uint32_t* total) {
  if (buffer == nullptr) return SDS_NULL_ARG;
  auto* p = static_cast<const uint8_t*>(buffer);
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return SDS_NOT_SDS;
  if (check_version && LoadBe32(p + 8) != SDS_VERSION) return SDS_BAD_VERSION;
  uint32_t size = LoadBe32(p + 12);
  if (size < SDS_EMPTY_SIZE) return SDS_NOT_SDS;
  if (LoadBe32(p + size - 4) != 0) return SDS_NOT_SDS;
  if (total) *total = size;
  return SDS_OK;
}

}  // namespace qx::comn::sds
