// Names, paths and string data of the registry calls: checking and converting
// between the narrow (UTF-8) and wide (UTF-16) forms.
//
// Every name reaches the store as valid UTF-8 within the Windows limits, counted
// in UTF-16 units as Windows counts them. String data reaches the store as
// UTF-16LE bytes; the narrow calls convert whole buffers strictly.
// Thread-safety: all functions are reentrant.
#ifndef QXPLATFORM_SRC_REGISTRY_NAMES_H
#define QXPLATFORM_SRC_REGISTRY_NAMES_H

#include <qxplatform/registry.h>

#include <string>
#include <string_view>
#include <vector>

namespace qx::platform::reg {

// Number of UTF-16 units that valid UTF-8 text takes.
size_t Utf16Length(std::string_view utf8);

// Checks one key name (no "\" inside, 1 to 255 UTF-16 units, valid UTF-8).
LSTATUS CheckKeyName(std::string_view utf8);

// Splits a subkey path at "\" into checked names. NULL and "" give no names; one
// trailing "\" is allowed; a leading "\" or an empty name inside gives
// ERROR_BAD_PATHNAME; a name over 255 units ERROR_INVALID_PARAMETER; text that
// is not valid UTF-8 (UTF-16) ERROR_NO_UNICODE_TRANSLATION.
LSTATUS SplitPathA(const char* path, std::vector<std::string>* out);
LSTATUS SplitPathW(const char16_t* path, std::vector<std::string>* out);

// Checks a value name (NULL is the default value, ""); over 16,383 units gives
// ERROR_INVALID_PARAMETER.
LSTATUS ValueNameA(const char* name, std::string* out);
LSTATUS ValueNameW(const char16_t* name, std::string* out);
LSTATUS CheckValueName(std::string_view utf8);

// The string types, whose data the narrow calls convert.
inline bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// UTF-16LE bytes <-> UTF-16 text. An odd last byte is dropped by the first.
std::u16string BytesToUtf16(std::string_view bytes);
std::string Utf16ToBytes(std::u16string_view text);

// Narrow data (UTF-8 bytes, with whatever NULs the caller passed) to the stored
// UTF-16LE bytes and back; false when the text does not convert.
bool NarrowToStored(std::string_view narrow, std::string* stored);
bool StoredToNarrow(std::string_view stored, std::string* narrow);

// Copies a name to a caller's buffer of *size characters (with the NUL). On
// success *size is the length without the NUL; when the buffer is too small the
// result is ERROR_MORE_DATA and *size the size needed, with the NUL.
LSTATUS CopyNameA(const std::string& name, char* buffer, DWORD* size);
LSTATUS CopyNameW(const std::string& name, char16_t* buffer, DWORD* size);

// Copies value data with the RegQueryValueEx conventions: no buffer asks for the
// size; a small buffer gives ERROR_MORE_DATA with the size needed.
LSTATUS CopyData(std::string_view data, BYTE* buffer, DWORD* size);

}  // namespace qx::platform::reg

#endif
