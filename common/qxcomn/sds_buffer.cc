// SDS buffers: creation from a list, copies, merges, appends, and the readers that
// find and walk entries in place. A buffer carries its total size in its header;
// every walk checks each entry against it before using any field of the entry.
#include <cstdlib>
#include <cstring>

#include "sds_codec.h"

namespace qx::comn::sds {
namespace {

// Entries of a buffer whose header passed CheckHeader, walked with bounds.
class BufferWalk {
 public:
  BufferWalk(void* buffer, uint32_t total)
      : base_(static_cast<uint8_t*>(buffer)), end_(total - 4) {}

  // Positions the walk at a caller's cursor (null: the first entry). False when
  // the cursor lies outside the entries.
  bool Seek(void* cursor) {
    if (cursor == nullptr) {
      pos_ = SDS_HEADER_SIZE;
      return true;
    }
    auto* p = static_cast<uint8_t*>(cursor);
    if (p < base_ + SDS_HEADER_SIZE || p > base_ + end_) return false;
    pos_ = static_cast<size_t>(p - base_);
    return true;
  }

  // The next entry: kEntry (and the walk moves past it), kEnd or kDamaged.
  ParseResult Next(Entry* e) {
    ParseResult r = ParseEntry(base_ + pos_, end_ - pos_, e);
    if (r == ParseResult::kEntry) pos_ += e->length;
    return r;
  }

  void* Position() const { return base_ + pos_; }
  bool AtEnd() const { return pos_ == end_; }

 private:
  uint8_t* base_;
  size_t end_;  // offset of the end marker
  size_t pos_ = SDS_HEADER_SIZE;
};

Name NarrowName(LPCSTR name) {
  Name n;
  if (name) n.narrow = name;
  return n;
}

Name WideName(LPCWSTR name) {
  Name n;
  n.is_wide = true;
  if (name) n.wide = name;
  return n;
}

void StoreHeader(uint8_t* p, uint32_t total) {
  std::memcpy(p, kMagic, sizeof kMagic);
  StoreBe32(p + 8, SDS_VERSION);
  StoreBe32(p + 12, total);
}

// From the walk's position on, the next entry named `name` (of the same width),
// converted for handing out. SDS_OK, SDS_NOT_FOUND or SDS_NOT_SDS.
DWORD FindNext(BufferWalk* walk, const Name& name, Entry* e, DWORD* length) {
  for (;;) {
    switch (walk->Next(e)) {
      case ParseResult::kEnd:
        return SDS_NOT_FOUND;
      case ParseResult::kDamaged:
        return SDS_NOT_SDS;
      case ParseResult::kEntry:
        break;
    }
    ConvertOnRead(e);
    if (e->wide_name == name.is_wide && NameEquals(*e, name))
      return ConvertValue(e, /*wide_chars_as_bytes=*/false, length);
  }
}

DWORD GetEntry(const Name& name, bool name_null, LPVOID buffer, LPDWORD length, LPVOID* data) {
  if (name_null) return SDS_NULL_ARG;
  uint32_t total = 0;
  if (DWORD rc = CheckHeader(buffer, true, &total); rc != SDS_OK) return rc;
  BufferWalk walk(buffer, total);
  Entry e;
  DWORD n = 0;
  if (DWORD rc = FindNext(&walk, name, &e, &n); rc != SDS_OK) return rc;
  if (length) *length = n;
  if (data) *data = e.data;
  return SDS_OK;
}

template <typename Ch>
DWORD WalkEntries(Ch* name_out, LPVOID buffer, LPDWORD length, LPBYTE type, LPVOID* data,
                  LPVOID* cursor, bool want_wide) {
  if (cursor == nullptr) return SDS_NULL_ARG;
  uint32_t total = 0;
  if (DWORD rc = CheckHeader(buffer, true, &total); rc != SDS_OK) return rc;
  BufferWalk walk(buffer, total);
  if (!walk.Seek(*cursor)) return SDS_NOT_SDS;
  Entry e;
  switch (walk.Next(&e)) {
    case ParseResult::kEnd:
      return SDS_END;
    case ParseResult::kDamaged:
      return SDS_NOT_SDS;
    case ParseResult::kEntry:
      break;
  }
  ConvertOnRead(&e);
  DWORD n = 0;
  if (DWORD rc = ConvertValue(&e, /*wide_chars_as_bytes=*/false, &n); rc != SDS_OK) return rc;
  *cursor = walk.Position();
  if (e.wide_name != want_wide) return SDS_OTHER_WIDTH;
  CopyName(e, name_out);
  if (length) *length = n;
  if (type) *type = e.type;
  if (data) *data = e.data;
  return SDS_OK;
}

DWORD WalkNamed(const Name& name, bool name_null, LPVOID buffer, LPDWORD length, LPBYTE type,
                LPVOID* data, LPVOID* cursor) {
  if (name_null || cursor == nullptr) return SDS_NULL_ARG;
  uint32_t total = 0;
  if (DWORD rc = CheckHeader(buffer, true, &total); rc != SDS_OK) return rc;
  BufferWalk walk(buffer, total);
  if (!walk.Seek(*cursor)) return SDS_NOT_SDS;
  Entry e;
  DWORD n = 0;
  if (DWORD rc = FindNext(&walk, name, &e, &n); rc != SDS_OK) return rc;
  *cursor = walk.Position();
  if (length) *length = n;
  if (type) *type = e.type;
  if (data) *data = e.data;
  return SDS_OK;
}

DWORD GetInteger(const Name& name, bool name_null, LPVOID buffer, void* value, uint8_t type) {
  if (name_null || value == nullptr) return SDS_NULL_ARG;
  uint32_t total = 0;
  if (DWORD rc = CheckHeader(buffer, true, &total); rc != SDS_OK) return rc;
  BufferWalk walk(buffer, total);
  Entry e;
  for (;;) {
    switch (walk.Next(&e)) {
      case ParseResult::kEnd:
        return SDS_NOT_FOUND;
      case ParseResult::kDamaged:
        return SDS_NOT_SDS;
      case ParseResult::kEntry:
        break;
    }
    ConvertOnRead(&e);
    if (e.wide_name == name.is_wide && NameEquals(e, name)) break;
  }
  if (e.type != type) return SDS_WRONG_TYPE;
  DWORD n = 0;
  if (DWORD rc = ConvertValue(&e, false, &n); rc != SDS_OK) return rc;
  // The value is now in host order in the buffer.
  std::memcpy(value, e.data, type == SDS_TYPE_LONG ? 4 : 2);
  return SDS_OK;
}

DWORD AppendEntry(const Name& name, bool name_null, DWORD length, LPCVOID data, BYTE type,
                  LPVOID* buffer, LPDWORD new_size) {
  if (DWORD rc = CheckNewEntry(&name, name_null, data, length, type); rc != SDS_OK) return rc;
  if (buffer == nullptr || new_size == nullptr) return SDS_NULL_ARG;
  uint32_t total = 0;
  if (DWORD rc = CheckHeader(*buffer, true, &total); rc != SDS_OK) return rc;
  // Refused before the caller's data is read: the buffer could not hold it.
  if (total + EntrySize(name, length, type) > 0xFFFFFFFFu) return SDS_NO_MEMORY;
  std::vector<uint8_t> entry;
  if (DWORD rc = BuildEntry(name, length, data, type, &entry); rc != SDS_OK) return rc;
  uint64_t grown = uint64_t(total) + entry.size();
  if (grown > 0xFFFFFFFFu) return SDS_NO_MEMORY;
  // On failure realloc leaves the block as it was: so does this call.
  auto* p = static_cast<uint8_t*>(std::realloc(*buffer, static_cast<size_t>(grown)));
  if (p == nullptr) return SDS_NO_MEMORY;
  std::memcpy(p + total - 4, entry.data(), entry.size());
  StoreBe32(p + grown - 4, 0);
  StoreBe32(p + 12, static_cast<uint32_t>(grown));
  *buffer = p;
  *new_size = static_cast<DWORD>(grown);
  return SDS_OK;
}

}  // namespace
}  // namespace qx::comn::sds

using namespace qx::comn::sds;

QX_EXPORT DWORD SdsCheckBuffer(LPCVOID pBuffer, DWORD ulAvailable) {
  if (pBuffer == nullptr) return SDS_NULL_ARG;
  if (ulAvailable < SDS_EMPTY_SIZE) return SDS_NOT_SDS;
  auto* p = static_cast<const uint8_t*>(pBuffer);
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return SDS_NOT_SDS;
  if (LoadBe32(p + 8) != SDS_VERSION) return SDS_BAD_VERSION;
  uint32_t total = LoadBe32(p + 12);
  if (total < SDS_EMPTY_SIZE || total > ulAvailable) return SDS_NOT_SDS;
  if (CheckHeader(pBuffer, true, nullptr) != SDS_OK) return SDS_NOT_SDS;
  // Parsing reads only; the walk never converts here.
  BufferWalk walk(const_cast<LPVOID>(pBuffer), total);
  Entry e;
  for (;;) {
    switch (walk.Next(&e)) {
      case ParseResult::kEnd:
        return walk.AtEnd() ? SDS_OK : SDS_NOT_SDS;
      case ParseResult::kDamaged:
        return SDS_NOT_SDS;
      case ParseResult::kEntry:
        if (!ValueWellFormed(e)) return SDS_NOT_SDS;
        break;
    }
  }
}

QX_EXPORT DWORD SdsCreateBuffer(PSDSLIST pList, LPDWORD pulSize, LPVOID* ppBuffer) {
  if (pList == nullptr) return SDS_NULL_LIST;
  if (pulSize == nullptr || ppBuffer == nullptr) return SDS_NULL_ARG;
  uint64_t total = SDS_EMPTY_SIZE;
  for (PSDSLISTENTRY n = pList->pFirst; n; n = n->pNext) total += n->ulLength;
  if (total > 0xFFFFFFFFu) return SDS_NO_MEMORY;
  auto* p = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(total)));
  if (p == nullptr) return SDS_NO_MEMORY;
  StoreHeader(p, static_cast<uint32_t>(total));
  size_t o = SDS_HEADER_SIZE;
  for (PSDSLISTENTRY n = pList->pFirst; n; n = n->pNext) {
    std::memcpy(p + o, n->abEntry, n->ulLength);
    o += n->ulLength;
  }
  StoreBe32(p + o, 0);
  *pulSize = static_cast<DWORD>(total);
  *ppBuffer = p;
  return SDS_OK;
}

QX_EXPORT DWORD SdsFreeBuffer(LPVOID pBuffer) {
  if (pBuffer == nullptr) return SDS_NULL_ARG;
  if (std::memcmp(pBuffer, kMagic, sizeof kMagic) != 0) return SDS_NOT_SDS;
  std::free(pBuffer);
  return SDS_OK;
}

QX_EXPORT DWORD SdsCopyBuffer(LPCVOID pBuffer, LPVOID* ppNewBuffer) {
  if (ppNewBuffer == nullptr) return SDS_NULL_ARG;
  uint32_t total = 0;
  if (DWORD rc = CheckHeader(pBuffer, true, &total); rc != SDS_OK) return rc;
  void* p = std::malloc(total);
  if (p == nullptr) return SDS_NO_MEMORY;
  std::memcpy(p, pBuffer, total);
  *ppNewBuffer = p;
  return SDS_OK;
}

QX_EXPORT DWORD SdsHowBigIsBuffer(LPDWORD pulSize, LPCVOID pBuffer) {
  if (pulSize == nullptr) return SDS_NULL_ARG;
  uint32_t total = 0;
  if (DWORD rc = CheckHeader(pBuffer, true, &total); rc != SDS_OK) return rc;
  *pulSize = total;
  return SDS_OK;
}

QX_EXPORT DWORD SdsGetBufferVersion(LPDWORD pulVersion, LPCVOID pBuffer) {
  if (pBuffer == nullptr) return SDS_NULL_ARG;
  auto* p = static_cast<const uint8_t*>(pBuffer);
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return SDS_NOT_SDS;
  uint32_t version = LoadBe32(p + 8);
  if (pulVersion) *pulVersion = version;
  return version == SDS_VERSION ? SDS_OK : SDS_BAD_VERSION;
}

QX_EXPORT DWORD SdsMergeBuffers(LPCVOID pFirst, LPCVOID pSecond, LPDWORD pulSize,
                                LPVOID* ppNewBuffer) {
  if (pulSize == nullptr || ppNewBuffer == nullptr) return SDS_NULL_ARG;
  uint32_t size1 = 0, size2 = 0;
  if (DWORD rc = SdsHowBigIsBuffer(&size1, pFirst); rc != SDS_OK) return rc;
  if (DWORD rc = SdsHowBigIsBuffer(&size2, pSecond); rc != SDS_OK) return rc;
  uint64_t total = uint64_t(size1) + size2 - SDS_EMPTY_SIZE;
  uint8_t* p = total > 0xFFFFFFFFu ? nullptr : static_cast<uint8_t*>(std::malloc(total));
  if (p == nullptr) {
    *pulSize = 0;
    *ppNewBuffer = nullptr;
    return SDS_NO_MEMORY;
  }
  std::memcpy(p, pFirst, size1 - 4);
  StoreBe32(p + 12, static_cast<uint32_t>(total));
  std::memcpy(p + size1 - 4, static_cast<const uint8_t*>(pSecond) + SDS_HEADER_SIZE,
              size2 - SDS_HEADER_SIZE);
  *pulSize = static_cast<DWORD>(total);
  *ppNewBuffer = p;
  return SDS_OK;
}

QX_EXPORT DWORD SdsAppendBufferEntry(LPCSTR pszName, DWORD ulLength, LPCVOID pData, BYTE bType,
                                     LPVOID* ppBuffer, LPDWORD pulNewSize) {
  return AppendEntry(NarrowName(pszName), pszName == nullptr, ulLength, pData, bType, ppBuffer,
                     pulNewSize);
}

QX_EXPORT DWORD SdsAppendBufferEntryW(LPCWSTR pwszName, DWORD ulLength, LPCVOID pData, BYTE bType,
                                      LPVOID* ppBuffer, LPDWORD pulNewSize) {
  return AppendEntry(WideName(pwszName), pwszName == nullptr, ulLength, pData, bType, ppBuffer,
                     pulNewSize);
}

QX_EXPORT DWORD SdsGetBufferEntry(LPCSTR pszName, LPVOID pBuffer, LPDWORD pulLength,
                                  LPVOID* ppData) {
  return GetEntry(NarrowName(pszName), pszName == nullptr, pBuffer, pulLength, ppData);
}

QX_EXPORT DWORD SdsGetBufferEntryW(LPCWSTR pwszName, LPVOID pBuffer, LPDWORD pulLength,
                                   LPVOID* ppData) {
  return GetEntry(WideName(pwszName), pwszName == nullptr, pBuffer, pulLength, ppData);
}

QX_EXPORT DWORD SdsGetBufferEntries(LPSTR pszName, LPVOID pBuffer, LPDWORD pulLength, LPBYTE pbType,
                                    LPVOID* ppData, LPVOID* ppCursor) {
  return WalkEntries(pszName, pBuffer, pulLength, pbType, ppData, ppCursor, false);
}

QX_EXPORT DWORD SdsGetBufferEntriesW(LPWSTR pwszName, LPVOID pBuffer, LPDWORD pulLength,
                                     LPBYTE pbType, LPVOID* ppData, LPVOID* ppCursor) {
  return WalkEntries(pwszName, pBuffer, pulLength, pbType, ppData, ppCursor, true);
}

QX_EXPORT DWORD SdsGetNamedBufferEntries(LPCSTR pszName, LPVOID pBuffer, LPDWORD pulLength,
                                         LPBYTE pbType, LPVOID* ppData, LPVOID* ppCursor) {
  return WalkNamed(NarrowName(pszName), pszName == nullptr, pBuffer, pulLength, pbType, ppData,
                   ppCursor);
}

QX_EXPORT DWORD SdsGetNamedBufferEntriesW(LPCWSTR pwszName, LPVOID pBuffer, LPDWORD pulLength,
                                          LPBYTE pbType, LPVOID* ppData, LPVOID* ppCursor) {
  return WalkNamed(WideName(pwszName), pwszName == nullptr, pBuffer, pulLength, pbType, ppData,
                   ppCursor);
}

QX_EXPORT DWORD SdsGetLongBufferEntry(LPCSTR pszName, LPVOID pBuffer, LPVOID pValue) {
  return GetInteger(NarrowName(pszName), pszName == nullptr, pBuffer, pValue, SDS_TYPE_LONG);
}

QX_EXPORT DWORD SdsGetShortBufferEntry(LPCSTR pszName, LPVOID pBuffer, LPVOID pValue) {
  return GetInteger(NarrowName(pszName), pszName == nullptr, pBuffer, pValue, SDS_TYPE_SHORT);
}

QX_EXPORT DWORD SdsGetLongBufferEntryW(LPCWSTR pwszName, LPVOID pBuffer, LPVOID pValue) {
  return GetInteger(WideName(pwszName), pwszName == nullptr, pBuffer, pValue, SDS_TYPE_LONG);
}

QX_EXPORT DWORD SdsGetShortBufferEntryW(LPCWSTR pwszName, LPVOID pBuffer, LPVOID pValue) {
  return GetInteger(WideName(pwszName), pwszName == nullptr, pBuffer, pValue, SDS_TYPE_SHORT);
}

QX_EXPORT DWORD Sds_ulHost2Net(DWORD ulValue) {
  return kHostLittleEndian ? __builtin_bswap32(ulValue) : ulValue;
}
QX_EXPORT DWORD Sds_ulNet2Host(DWORD ulValue) {
  return Sds_ulHost2Net(ulValue);
}
QX_EXPORT WORD Sds_usHost2Net(WORD usValue) {
  return kHostLittleEndian ? __builtin_bswap16(usValue) : usValue;
}
QX_EXPORT WORD Sds_usNet2Host(WORD usValue) {
  return Sds_usHost2Net(usValue);
}
// The string conversions translate only on an EBCDIC host; this is an ASCII one.
QX_EXPORT LPSTR Sds_szHost2Net(LPSTR pszText) {
  return pszText;
}
QX_EXPORT LPSTR Sds_szNet2Host(LPSTR pszText) {
  return pszText;
}
QX_EXPORT LPVOID Sds_Host2Net(LPVOID pData, DWORD ulLength) {
  return pData;
}
QX_EXPORT LPVOID Sds_Net2Host(LPVOID pData, DWORD ulLength) {
  return pData;
}
