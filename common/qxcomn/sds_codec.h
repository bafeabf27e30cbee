// Byte-level reading and writing of SDS entries, shared by lists and buffers.
//
// An entry is read and written only through explicit byte encoding, never by
// overlaying a struct, so buffers from any host read back. Entries from outside are
// parsed against the room they have before any field is trusted.
// Thread-safety: none; reading an entry converts it in place.
#ifndef QX_COMMON_QXCOMN_SDS_CODEC_H
#define QX_COMMON_QXCOMN_SDS_CODEC_H

#include <qxcomn.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qx::comn::sds {

// Host properties: this build runs on little-endian ASCII hosts only, but readers
// still honour entries converted by big-endian or EBCDIC hosts.
inline constexpr bool kHostLittleEndian = true;
inline constexpr bool kHostEbcdic = false;

inline constexpr uint8_t kMagic[8] = {0x02, 0x25, 0x0D, 0x1D, 0x11, 0x71, 0x03, 0x13};
// Length field, type and flags precede the name.
inline constexpr size_t kEntryFixed = 6;

inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline char16_t LoadWide(const uint8_t* p) {
  return char16_t(p[0] | p[1] << 8);
}
inline void StoreWide(uint8_t* p, char16_t c) {
  p[0] = uint8_t(c);
  p[1] = uint8_t(c >> 8);
}

// A name given by a caller: narrow, or wide (then stored little-endian, as this
// host writes).
struct Name {
  std::string_view narrow;
  std::u16string_view wide;
  bool is_wide = false;
  size_t StoredBytes() const { return is_wide ? 2 * (wide.size() + 1) : narrow.size() + 1; }
};

// The size an entry of this name, length and type takes, in 64 bits.
uint64_t EntrySize(const Name& name, DWORD length, uint8_t type);

// Builds one entry in network form. Returns SDS_OK, SDS_BAD_LENGTH or SDS_NO_MEMORY
// (the entry would not fit 32 bits). REQUIRES: data holds what the type and length
// say (length characters for a wide string, bytes otherwise).
DWORD BuildEntry(const Name& name, DWORD length, const void* data, uint8_t type,
                 std::vector<uint8_t>* out);
// The checks every add makes, in order: name, empty name, data, integer length.
DWORD CheckNewEntry(const Name* name, bool name_null, const void* data, DWORD length, uint8_t type);

// One parsed entry, pointing into the bytes it was parsed from.
struct Entry {
  uint8_t* base = nullptr;
  uint32_t length = 0;  // the whole entry
  uint8_t type = 0;
  bool wide_name = false;
  uint8_t* name = nullptr;
  size_t name_chars = 0;  // without the terminator
  uint8_t* data = nullptr;
  uint32_t data_bytes = 0;  // everything after the name
};

enum class ParseResult { kEntry, kEnd, kDamaged };

// Parses the entry at p, which has `room` bytes before the end marker (room + 4
// bytes readable at p). Checks the length against the room, the name's terminator
// and, for every entry, nothing of the value; the value is checked when handed out.
ParseResult ParseEntry(uint8_t* p, size_t room, Entry* e);

// Reading in place: converts the name and the length field to this host's form
// (setting or clearing the flags) as every reader does.
void ConvertOnRead(Entry* e);
// Converts the value for handing out and reports its length in the units the
// caller asked for. Returns SDS_OK or SDS_NOT_SDS for a value that does not hold
// what its type needs (an integer shorter than its width, a string without its
// terminator).
DWORD ConvertValue(Entry* e, bool wide_chars_as_bytes, DWORD* length);
// Whether the value holds what its type needs; reads only.
bool ValueWellFormed(const Entry& e);

// Name comparison without regard to case (ASCII letters).
bool NameEquals(const Entry& e, const Name& name);
// Copies the entry's name into the caller's buffer (at most SDS_MAX_NAME units).
void CopyName(const Entry& e, char* out);
void CopyName(const Entry& e, char16_t* out);

// Header checks of a buffer: SDS_NULL_ARG, SDS_NOT_SDS (magic, a total below the
// empty size, an end marker that is not zero), SDS_BAD_VERSION when check_version.
DWORD CheckHeader(const void* buffer, bool check_version, uint32_t* total);

}  // namespace qx::comn::sds

#endif
