// Single text values of the registry store.
#include "stored_values.h"

#include <qxplatform/types.h>

#include <string>

namespace qx::zel {

std::optional<std::string> ReadStoredText(HKEY root, const char* subkey, const char* name,
                                          DWORD* type, LSTATUS* error) {
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExA(root, subkey, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    *error = rc;
    return std::nullopt;
  }
  std::string data;
  DWORD size = 0;
  DWORD t = REG_NONE;
  // The value may change between asking its size and reading it: try again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    rc = RegQueryValueExA(key, name, nullptr, &t, nullptr, &size);
    if (rc != ERROR_SUCCESS) break;
    data.assign(size + 1, '\0');
    DWORD got = size;
    rc = RegQueryValueExA(key, name, nullptr, &t, reinterpret_cast<BYTE*>(data.data()), &got);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc == ERROR_SUCCESS) data.resize(got);
    break;
  }
  RegCloseKey(key);
  if (rc == ERROR_SUCCESS && t != REG_SZ && t != REG_EXPAND_SZ) rc = ERROR_INVALID_DATA;
  if (rc != ERROR_SUCCESS) {
    *error = rc;
    return std::nullopt;
  }
  // Stored texts carry their terminator; the text ends at the first NUL.
  data.resize(data.find('\0') == std::string::npos ? data.size() : data.find('\0'));
  if (type) *type = t;
  return data;
}

}  // namespace qx::zel
