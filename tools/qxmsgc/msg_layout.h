// The compiled message file that qxmsgc writes (the layout the catalog reads):
//
//   0     header, 160 bytes (below)
//   160   facility records: 12-byte NUL-padded name, number, entry count n, and n
//         20-byte entries (message number, 12 argument-order bytes ended by 0x30
//         when fewer than 12, text offset); then an end record whose number is
//         0xFFFFFFFF with no entries
//   end   the texts, each NUL-terminated, in entry order; the first entry's text
//         offset (at offset 196) is therefore the index end
//
// Header (not read by lookups): "QXMSGCAT" magic, format version 1, facility
// count, message count, index end, file size (32-bit little-endian each), the
// base name (16 bytes, NUL-padded), zeros to 160 bytes.
// All integers are 32-bit little-endian.
#ifndef QX_TOOLS_QXMSGC_MSG_LAYOUT_H
#define QX_TOOLS_QXMSGC_MSG_LAYOUT_H

#include <string>
#include <vector>

#include "msg_source.h"

namespace qx::msgc {

inline constexpr char kMagic[8] = {'Q', 'X', 'M', 'S', 'G', 'C', 'A', 'T'};
inline constexpr uint32_t kFormatVersion = 1;

// The base name of the file that holds a facility ("FAC001" for 1-99, "FAC<n>"
// from 101 up), or "" for a facility no file holds (100).
std::string BaseNameFor(uint32_t facility);

// The bytes of a compiled file holding `facilities`.
// REQUIRES: every facility has at least one message.
std::string BuildCatalog(const std::vector<SourceFacility>& facilities, const std::string& base);

}  // namespace qx::msgc

#endif
