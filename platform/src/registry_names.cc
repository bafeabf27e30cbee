// Registry names and string data: checks and conversions.
#include "registry_names.h"

#include <qxplatform/text.h>

#include <cstring>

namespace qx::platform::reg {
namespace {

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Checks that text is valid UTF-8 without allocating for the common ASCII case.
bool ValidUtf8(std::string_view s) {
  return IsAscii(s) || Utf8ToUtf16(s).has_value();
}

}  // namespace

size_t Utf16Length(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    n += c >= 0xF0 ? 2 : 1;            // four-byte forms need a surrogate pair
  }
  return n;
}

LSTATUS CheckKeyName(std::string_view name) {
  if (name.empty()) return ERROR_BAD_PATHNAME;
  if (name.find('\\') != std::string_view::npos) return ERROR_BAD_PATHNAME;
  if (!ValidUtf8(name)) return ERROR_NO_UNICODE_TRANSLATION;
  if (Utf16Length(name) > QX_REG_MAX_KEY_NAME) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

LSTATUS SplitPathA(const char* path, std::vector<std::string>* out) {
  out->clear();
  if (path == nullptr || *path == 0) return ERROR_SUCCESS;
  std::string_view p(path);
  if (p.front() == '\\') return ERROR_BAD_PATHNAME;
  if (p.back() == '\\') p.remove_suffix(1);
  size_t start = 0;
  for (;;) {
    size_t end = p.find('\\', start);
    std::string_view part = p.substr(start, end == std::string_view::npos ? p.npos : end - start);
    LSTATUS rc = CheckKeyName(part);
    if (rc != ERROR_SUCCESS) return rc;
    out->emplace_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

LSTATUS SplitPathW(const char16_t* path, std::vector<std::string>* out) {
  out->clear();
  if (path == nullptr || *path == 0) return ERROR_SUCCESS;
  auto narrow = Utf16ToUtf8(path);
  if (!narrow) return ERROR_NO_UNICODE_TRANSLATION;
  return SplitPathA(narrow->c_str(), out);
}

LSTATUS CheckValueName(std::string_view name) {
  if (!ValidUtf8(name)) return ERROR_NO_UNICODE_TRANSLATION;
  if (Utf16Length(name) > QX_REG_MAX_VALUE_NAME) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

LSTATUS ValueNameA(const char* name, std::string* out) {
  if (name == nullptr) {
    out->clear();
    return ERROR_SUCCESS;
  }
  std::string_view n(name);
  LSTATUS rc = CheckValueName(n);
  if (rc == ERROR_SUCCESS) out->assign(n);
  return rc;
}

LSTATUS ValueNameW(const char16_t* name, std::string* out) {
  if (name == nullptr) {
    out->clear();
    return ERROR_SUCCESS;
  }
  std::u16string_view n(name);
  if (n.size() > QX_REG_MAX_VALUE_NAME) return ERROR_INVALID_PARAMETER;
  auto narrow = Utf16ToUtf8(n);
  if (!narrow) return ERROR_NO_UNICODE_TRANSLATION;
  *out = std::move(*narrow);
  return ERROR_SUCCESS;
}

std::u16string BytesToUtf16(std::string_view bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = char16_t(uint8_t(bytes[2 * i]) | (uint8_t(bytes[2 * i + 1]) << 8));
  return out;
}

std::string Utf16ToBytes(std::u16string_view text) {
  std::string out(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = char(text[i] & 0xff);
    out[2 * i + 1] = char(text[i] >> 8);
  }
  return out;
}

bool NarrowToStored(std::string_view narrow, std::string* stored) {
  auto wide = Utf8ToUtf16(narrow);
  if (!wide) return false;
  *stored = Utf16ToBytes(*wide);
  return true;
}

bool StoredToNarrow(std::string_view stored, std::string* narrow) {
  auto text = Utf16ToUtf8(BytesToUtf16(stored));
  if (!text) return false;
  *narrow = std::move(*text);
  return true;
}

LSTATUS CopyNameA(const std::string& name, char* buffer, DWORD* size) {
  if (size == nullptr || buffer == nullptr) return ERROR_INVALID_PARAMETER;
  if (*size <= name.size()) {
    *size = DWORD(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = DWORD(name.size());
  return ERROR_SUCCESS;
}

LSTATUS CopyNameW(const std::string& name, char16_t* buffer, DWORD* size) {
  if (size == nullptr || buffer == nullptr) return ERROR_INVALID_PARAMETER;
  auto wide = Utf8ToUtf16(name);
  if (!wide) return ERROR_NO_UNICODE_TRANSLATION;
  if (*size <= wide->size()) {
    *size = DWORD(wide->size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, wide->c_str(), (wide->size() + 1) * sizeof(char16_t));
  *size = DWORD(wide->size());
  return ERROR_SUCCESS;
}

LSTATUS CopyData(std::string_view data, BYTE* buffer, DWORD* size) {
  if (size == nullptr) return buffer ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  if (buffer == nullptr) {
    *size = DWORD(data.size());
    return ERROR_SUCCESS;
  }
  if (*size < data.size()) {
    *size = DWORD(data.size());
    return ERROR_MORE_DATA;
  }
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  *size = DWORD(data.size());
  return ERROR_SUCCESS;
}

}  // namespace qx::platform::reg
