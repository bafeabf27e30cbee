// The registry calls on values: query, get (with %NAME% expansion), set and
// delete; enumeration of subkeys and values; key information.
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/registry.h>
#include <qxplatform/text.h>

#include <algorithm>
#include <cstring>

#include "registry_handles.h"
#include "registry_names.h"

namespace qx::platform::reg {
namespace {

// Resolves a handle and checks that it was opened with the rights an operation
// needs (ERROR_ACCESS_DENIED otherwise, as Windows checks them per handle).
LSTATUS KeyWithAccess(HKEY h, REGSAM needed, std::shared_ptr<KeyObject>* out) {
  LSTATUS rc = ResolveKey(h, out);
  if (rc != ERROR_SUCCESS) return rc;
  return ((*out)->access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Queries one value; narrow converts string data to UTF-8.
LSTATUS Query(HKEY hKey, const std::string& name, bool narrow, DWORD* type, std::string* data) {
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = KeyWithAccess(hKey, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = key->store->QueryValue(key->ref.id, Fold(name), type, data);
  if (rc != ERROR_SUCCESS) return rc;
  if (narrow && IsStringType(*type)) {
    std::string text;
    if (!StoredToNarrow(*data, &text)) return ERROR_NO_UNICODE_TRANSLATION;
    *data = std::move(text);
  }
  return ERROR_SUCCESS;
}

LSTATUS QueryValueEx(HKEY hKey, const std::string& name, bool narrow, LPDWORD lpReserved,
                     LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  DWORD type = REG_NONE;
  std::string data;
  LSTATUS rc = Query(hKey, name, narrow, &type, &data);
  if (rc != ERROR_SUCCESS) return rc;
  if (lpType) *lpType = type;
  return CopyData(data, lpData, lpcbData);
}

LSTATUS SetValueEx(HKEY hKey, const std::string& name, DWORD type, const BYTE* lpData, DWORD cbData,
                   bool narrow) {
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = KeyWithAccess(hKey, KEY_SET_VALUE, &key);
  if (rc != ERROR_SUCCESS) return rc;
  std::string_view raw(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
  std::string stored;
  if (narrow && IsStringType(type)) {
    if (!NarrowToStored(raw, &stored)) return ERROR_NO_UNICODE_TRANSLATION;
    raw = stored;
  }
  return key->store->SetValue(key->ref, name, type, raw);
}

LSTATUS DeleteValue(HKEY hKey, const std::string& name) {
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = KeyWithAccess(hKey, KEY_SET_VALUE, &key);
  if (rc != ERROR_SUCCESS) return rc;
  return key->store->DeleteValue(key->ref, name);
}

DWORD RrfBit(DWORD type) {
  switch (type) {
    case REG_NONE:
      return RRF_RT_REG_NONE;
    case REG_SZ:
      return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ:
      return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY:
      return RRF_RT_REG_BINARY;
    case REG_DWORD:
      return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ:
      return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD:
      return RRF_RT_REG_QWORD;
    default:
      return 0;
  }
}

// Reads a value for RegGetValue: through hkey itself, or its subkey rel (opened
// for query only, as Windows does).
LSTATUS LookupForGet(HKEY hkey, const std::vector<std::string>& rel, const std::string& name,
                     DWORD* type, std::string* data) {
  std::shared_ptr<KeyObject> base;
  LSTATUS rc = rel.empty() ? KeyWithAccess(hkey, KEY_QUERY_VALUE, &base) : ResolveKey(hkey, &base);
  if (rc != ERROR_SUCCESS) return rc;
  KeyRef ref = base->ref;
  if (!rel.empty() && (rc = base->store->OpenKey(base->ref, rel, &ref)) != ERROR_SUCCESS) return rc;
  return base->store->QueryValue(ref.id, Fold(name), type, data);
}

// RegGetValue's processing of stored (UTF-16) data: expands REG_EXPAND_SZ unless
// asked not to (the result is then REG_SZ), checks the type against the flags,
// and makes sure strings end with their terminator.
LSTATUS FinishGet(DWORD type, std::string data, DWORD flags, bool narrow, LPDWORD pdwType,
                  LPVOID pvData, LPDWORD pcbData) {
  const DWORD allowed = flags & RRF_RT_ANY;
  if (type == REG_EXPAND_SZ && !(flags & RRF_NOEXPAND)) {
    std::u16string text = BytesToUtf16(data);
    text.resize(std::min(text.size(), text.find(u'\0')));
    auto utf8 = Utf16ToUtf8(text);
    if (!utf8) return ERROR_NO_UNICODE_TRANSLATION;
    auto expanded = Utf8ToUtf16(ExpandEnvironment(*utf8));
    if (!expanded) return ERROR_NO_UNICODE_TRANSLATION;
    data = Utf16ToBytes(*expanded);
    data.append(2, '\0');
    type = REG_SZ;
  }
  if (allowed != RRF_RT_ANY && (allowed & RrfBit(type)) == 0) return ERROR_UNSUPPORTED_TYPE;
  if ((type == REG_DWORD && data.size() != 4) || (type == REG_QWORD && data.size() != 8))
    return ERROR_DATATYPE_MISMATCH;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    if (data.size() % 2) data.push_back('\0');
    size_t n = data.size();
    if (n < 2 || data[n - 2] != 0 || data[n - 1] != 0) data.append(2, '\0');
  } else if (type == REG_MULTI_SZ) {
    if (data.size() % 2) data.push_back('\0');
    auto ends_with_nul = [&](size_t back) {
      size_t n = data.size();
      return n >= 2 * back && data[n - 2 * back] == 0 && data[n - 2 * back + 1] == 0;
    };
    if (!ends_with_nul(1)) data.append(2, '\0');
    if (!ends_with_nul(2)) data.append(2, '\0');
  }
  if (narrow && IsStringType(type)) {
    std::string text;
    if (!StoredToNarrow(data, &text)) return ERROR_NO_UNICODE_TRANSLATION;
    data = std::move(text);
  }
  if (pdwType) *pdwType = type;
  return CopyData(data, static_cast<BYTE*>(pvData), pcbData);
}

LSTATUS GetValue(HKEY hkey, const std::vector<std::string>& rel, const std::string& name,
                 DWORD flags, bool narrow, LPDWORD pdwType, LPVOID pvData, LPDWORD pcbData) {
  const DWORD allowed = flags & RRF_RT_ANY;
  if (allowed == 0 || (pvData != nullptr && pcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  if (allowed != RRF_RT_ANY && (allowed & RRF_RT_REG_EXPAND_SZ) && !(flags & RRF_NOEXPAND))
    return ERROR_INVALID_PARAMETER;
  DWORD type = REG_NONE;
  std::string data;
  LSTATUS rc = LookupForGet(hkey, rel, name, &type, &data);
  if (rc != ERROR_SUCCESS) return rc;
  return FinishGet(type, std::move(data), flags, narrow, pdwType, pvData, pcbData);
}

// Converts a stored value for an enumeration or info call of one flavour.
LSTATUS Present(const StoredValue& v, bool narrow, std::string* data) {
  if (narrow && IsStringType(v.type)) {
    if (!StoredToNarrow(v.data, data)) return ERROR_NO_UNICODE_TRANSLATION;
  } else {
    *data = v.data;
  }
  return ERROR_SUCCESS;
}

template <typename Ch>
LSTATUS CopyName(const std::string& name, Ch* buffer, DWORD* size) {
  if constexpr (sizeof(Ch) == 1)
    return CopyNameA(name, buffer, size);
  else
    return CopyNameW(name, buffer, size);
}

size_t NameLength(const std::string& name, bool narrow) {
  return narrow ? name.size() : Utf16Length(name);
}

template <typename Ch>
LSTATUS EnumKeyEx(HKEY hKey, DWORD dwIndex, Ch* lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                  Ch* lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
      (lpClass != nullptr && lpcchClass == nullptr))
    return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = KeyWithAccess(hKey, KEY_ENUMERATE_SUB_KEYS, &key);
  if (rc != ERROR_SUCCESS) return rc;
  std::string name, cls;
  int64_t written = 0;
  rc = key->store->EnumKey(key->ref.id, dwIndex, &name, &cls, &written);
  if (rc != ERROR_SUCCESS) return rc;
  if ((rc = CopyName(name, lpName, lpcchName)) != ERROR_SUCCESS) return rc;
  if (lpClass && (rc = CopyName(cls, lpClass, lpcchClass)) != ERROR_SUCCESS) return rc;
  if (lpftLastWriteTime) {
    lpftLastWriteTime->dwLowDateTime = DWORD(uint64_t(written) & 0xffffffffu);
    lpftLastWriteTime->dwHighDateTime = DWORD(uint64_t(written) >> 32);
  }
  return ERROR_SUCCESS;
}

template <typename Ch>
LSTATUS EnumValue(HKEY hKey, DWORD dwIndex, Ch* lpValueName, LPDWORD lpcchValueName,
                  LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = KeyWithAccess(hKey, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) return rc;
  StoredValue v;
  rc = key->store->EnumValue(key->ref.id, dwIndex, &v);
  if (rc != ERROR_SUCCESS) return rc;
  std::string data;
  if ((rc = Present(v, sizeof(Ch) == 1, &data)) != ERROR_SUCCESS) return rc;
  if ((rc = CopyName(v.name, lpValueName, lpcchValueName)) != ERROR_SUCCESS) return rc;
  if (lpType) *lpType = v.type;
  return CopyData(data, lpData, lpcbData);
}

template <typename Ch>
LSTATUS QueryInfoKey(HKEY hKey, Ch* lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                     LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                     LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                     LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  constexpr bool narrow = sizeof(Ch) == 1;
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr))
    return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = KeyWithAccess(hKey, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) return rc;
  KeyStats stats;
  rc = key->store->QueryInfo(key->ref.id, true, &stats);
  if (rc != ERROR_SUCCESS) return rc;
  // Maxima in the caller's units: bytes of UTF-8 for the narrow form, UTF-16
  // units for the wide one, and data sizes as that form returns them.
  size_t max_sub = 0, max_class = 0, max_vname = 0, max_data = 0;
  for (size_t i = 0; i < stats.subkey_names.size(); ++i) {
    max_sub = std::max(max_sub, NameLength(stats.subkey_names[i], narrow));
    max_class = std::max(max_class, NameLength(stats.subkey_classes[i], narrow));
  }
  for (const auto& v : stats.value_list) {
    max_vname = std::max(max_vname, NameLength(v.name, narrow));
    std::string data;
    if (Present(v, narrow, &data) != ERROR_SUCCESS) data = v.data;
    max_data = std::max(max_data, data.size());
  }
  if (lpClass) {
    if (*lpcchClass == 0) return ERROR_MORE_DATA;
    if ((rc = CopyName(stats.cls, lpClass, lpcchClass)) != ERROR_SUCCESS) return rc;
  } else if (lpcchClass) {
    *lpcchClass = DWORD(NameLength(stats.cls, narrow));
  }
  if (lpcSubKeys) *lpcSubKeys = stats.subkeys;
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = DWORD(max_sub);
  if (lpcbMaxClassLen) *lpcbMaxClassLen = DWORD(max_class);
  if (lpcValues) *lpcValues = stats.values;
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = DWORD(max_vname);
  if (lpcbMaxValueLen) *lpcbMaxValueLen = DWORD(max_data);
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime) {
    lpftLastWriteTime->dwLowDateTime = DWORD(uint64_t(stats.last_write) & 0xffffffffu);
    lpftLastWriteTime->dwHighDateTime = DWORD(uint64_t(stats.last_write) >> 32);
  }
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace qx::platform::reg

using namespace qx::platform;
using namespace qx::platform::reg;

extern "C" {

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  std::string name;
  LSTATUS rc = ValueNameA(lpValueName, &name);
  if (rc != ERROR_SUCCESS) return rc;
  return QueryValueEx(hKey, name, true, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  std::string name;
  LSTATUS rc = ValueNameW(lpValueName, &name);
  if (rc != ERROR_SUCCESS) return rc;
  return QueryValueEx(hKey, name, false, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType,
                     LPVOID pvData, LPDWORD pcbData) {
  std::vector<std::string> rel;
  std::string name;
  LSTATUS rc = SplitPathA(lpSubKey, &rel);
  if (rc == ERROR_SUCCESS) rc = ValueNameA(lpValue, &name);
  if (rc != ERROR_SUCCESS) return rc;
  return GetValue(hkey, rel, name, dwFlags, true, pdwType, pvData, pcbData);
}

LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType,
                     LPVOID pvData, LPDWORD pcbData) {
  std::vector<std::string> rel;
  std::string name;
  LSTATUS rc = SplitPathW(lpSubKey, &rel);
  if (rc == ERROR_SUCCESS) rc = ValueNameW(lpValue, &name);
  if (rc != ERROR_SUCCESS) return rc;
  return GetValue(hkey, rel, name, dwFlags, false, pdwType, pvData, pcbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
  std::string name;
  LSTATUS rc = ValueNameA(lpValueName, &name);
  if (rc != ERROR_SUCCESS) return rc;
  return SetValueEx(hKey, name, dwType, lpData, cbData, true);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
  std::string name;
  LSTATUS rc = ValueNameW(lpValueName, &name);
  if (rc != ERROR_SUCCESS) return rc;
  return SetValueEx(hKey, name, dwType, lpData, cbData, false);
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string name;
  LSTATUS rc = ValueNameA(lpValueName, &name);
  if (rc != ERROR_SUCCESS) return rc;
  return DeleteValue(hKey, name);
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  std::string name;
  LSTATUS rc = ValueNameW(lpValueName, &name);
  if (rc != ERROR_SUCCESS) return rc;
  return DeleteValue(hKey, name);
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return EnumKeyEx(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                   lpftLastWriteTime);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime) {
  return EnumKeyEx(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                   lpftLastWriteTime);
}

LSTATUS RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  return EnumKeyEx<char>(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName) {
  return EnumKeyEx<char16_t>(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData,
                   lpcbData);
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData,
                   lpcbData);
}

LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  return QueryInfoKey(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                      lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                      lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  return QueryInfoKey(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                      lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                      lpcbSecurityDescriptor, lpftLastWriteTime);
}

}  // extern "C"
