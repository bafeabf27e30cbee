// The registry calls that open, create, close, flush and delete keys, and the
// process's table of open keys.
#include <qxplatform/errors.h>
#include <qxplatform/registry.h>
#include <qxplatform/system.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>

#include "registry_handles.h"
#include "registry_names.h"

namespace qx::platform::reg {
namespace {

// HKEY values handed out start here and grow by 4, so they never meet NULL, the
// predefined roots (0x80000000..) or a small integer mistaken for a handle.
constexpr uintptr_t kFirstHandle = 0x10000;

struct HandleTable {
  std::mutex mutex;
  uintptr_t next = kFirstHandle;
  std::unordered_map<uintptr_t, std::shared_ptr<KeyObject>> keys;
};

HandleTable& Handles() {
  static auto* table = new HandleTable;  // never destroyed: used until exit
  return *table;
}

bool IsOffered(HKEY h) {
  return h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER;
}

bool IsPredefined(HKEY h) {
  auto v = reinterpret_cast<uintptr_t>(h);
  return v >= 0x80000000u && v <= 0x80000006u;
}

HKEY Insert(std::shared_ptr<KeyObject> key) {
  HandleTable& t = Handles();
  std::lock_guard lock(t.mutex);
  uintptr_t v = t.next;
  t.next += 4;
  if (t.next >= 0x80000000u && t.next <= 0x80000010u) t.next = uintptr_t(0x100000000ull);
  t.keys.emplace(v, std::move(key));
  return reinterpret_cast<HKEY>(v);
}

LSTATUS OpenOrCreate(HKEY hKey, const std::vector<std::string>& rel, bool create, DWORD options,
                     const std::string& cls, REGSAM sam, PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::shared_ptr<KeyObject> base;
  LSTATUS rc = ResolveKey(hKey, &base);
  if (rc != ERROR_SUCCESS) return rc;
  auto key = std::make_shared<KeyObject>();
  key->store = base->store;
  key->access = NormalizeAccess(sam);
  if (create) {
    bool created = false;
    rc = base->store->CreateKey(base->ref, rel, (options & REG_OPTION_VOLATILE) != 0, cls,
                                &key->ref, &created);
    if (rc == ERROR_SUCCESS && disposition)
      *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  } else {
    rc = base->store->OpenKey(base->ref, rel, &key->ref);
  }
  if (rc != ERROR_SUCCESS) return rc;
  *result = Insert(std::move(key));
  return ERROR_SUCCESS;
}

}  // namespace

REGSAM NormalizeAccess(REGSAM sam) {
  if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) sam |= KEY_ALL_ACCESS;
  if (sam & (GENERIC_READ | GENERIC_EXECUTE)) sam |= KEY_READ;
  if (sam & GENERIC_WRITE) sam |= KEY_WRITE;
  return sam;
}

std::string StorePathOf(HKEY root) {
  if (!IsOffered(root)) return "";
  std::string state = StateDir();
  if (state.empty()) return "";
  std::string file =
      root == HKEY_LOCAL_MACHINE ? "machine.db" : "user-" + std::to_string(::geteuid()) + ".db";
  return state + "/registry/" + file;
}

LSTATUS ResolveKey(HKEY handle, std::shared_ptr<KeyObject>* out) {
  if (IsPredefined(handle)) {
    if (!IsOffered(handle)) return ERROR_INVALID_HANDLE;
    std::string state = StateDir();
    if (state.empty() || !MakeDirs(state + "/registry", 0755)) return ERROR_CANTOPEN;
    auto key = std::make_shared<KeyObject>();
    // The user's store is private to the user; the machine's store is readable
    // by all and written by whoever may write the file.
    LSTATUS rc =
        OpenStore(StorePathOf(handle), handle == HKEY_CURRENT_USER ? 0600 : 0644, &key->store);
    if (rc != ERROR_SUCCESS) return rc;
    key->ref.id = kRootId;
    key->access = KEY_ALL_ACCESS;
    key->predefined = true;
    *out = std::move(key);
    return ERROR_SUCCESS;
  }
  HandleTable& t = Handles();
  std::lock_guard lock(t.mutex);
  auto it = t.keys.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.keys.end()) return ERROR_INVALID_HANDLE;
  *out = it->second;
  return ERROR_SUCCESS;
}

}  // namespace qx::platform::reg

namespace qx::platform {

std::string RegistryStorePath(HKEY root) {
  return reg::StorePathOf(root);
}

LSTATUS CheckRegistryStore(HKEY root, std::string* problems) {
  std::shared_ptr<reg::KeyObject> key;
  LSTATUS rc = reg::ResolveKey(root, &key);
  if (rc != ERROR_SUCCESS) return rc;
  return key->store->Check(problems);
}

void CloseRegistryStores() {
  reg::ForgetStores();
}

}  // namespace qx::platform

using namespace qx::platform;
using namespace qx::platform::reg;

extern "C" {

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
  std::vector<std::string> rel;
  LSTATUS rc = SplitPathA(lpSubKey, &rel);
  if (rc != ERROR_SUCCESS) {
    if (phkResult) *phkResult = nullptr;
    return rc;
  }
  return OpenOrCreate(hKey, rel, false, 0, "", samDesired, phkResult, nullptr);
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
  std::vector<std::string> rel;
  LSTATUS rc = SplitPathW(lpSubKey, &rel);
  if (rc != ERROR_SUCCESS) {
    if (phkResult) *phkResult = nullptr;
    return rc;
  }
  return OpenOrCreate(hKey, rel, false, 0, "", samDesired, phkResult, nullptr);
}

LSTATUS RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  // The old form hands back the same handle for an empty path.
  if (phkResult && (lpSubKey == nullptr || *lpSubKey == 0)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LSTATUS RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  if (phkResult && (lpSubKey == nullptr || *lpSubKey == 0)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegOpenKeyExW(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
  std::vector<std::string> rel;
  std::string cls;
  LSTATUS rc = SplitPathA(lpSubKey, &rel);
  if (rc == ERROR_SUCCESS && lpClass) rc = CheckValueName(lpClass);
  if (rc != ERROR_SUCCESS) {
    if (phkResult) *phkResult = nullptr;
    return rc;
  }
  if (lpClass) cls = lpClass;
  return OpenOrCreate(hKey, rel, true, dwOptions, cls, samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  std::vector<std::string> rel;
  std::string cls;
  LSTATUS rc = SplitPathW(lpSubKey, &rel);
  if (rc == ERROR_SUCCESS) rc = ValueNameW(lpClass, &cls);
  if (rc != ERROR_SUCCESS) {
    if (phkResult) *phkResult = nullptr;
    return rc;
  }
  return OpenOrCreate(hKey, rel, true, dwOptions, cls, samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (phkResult && (lpSubKey == nullptr || *lpSubKey == 0)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED,
                         nullptr, phkResult, nullptr);
}

LSTATUS RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  if (phkResult && (lpSubKey == nullptr || *lpSubKey == 0)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegCreateKeyExW(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED,
                         nullptr, phkResult, nullptr);
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  {
    HandleTable& t = Handles();
    std::lock_guard lock(t.mutex);
    if (t.keys.erase(reinterpret_cast<uintptr_t>(hKey)) == 0) return ERROR_INVALID_HANDLE;
  }
  CancelWatches(hKey);
  return ERROR_SUCCESS;
}

LSTATUS RegFlushKey(HKEY hKey) {
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = ResolveKey(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  return key->store->Flush();
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> rel;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = SplitPathA(lpSubKey, &rel);
  if (rc == ERROR_SUCCESS) rc = ResolveKey(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  return key->store->DeleteKey(key->ref, rel, false, false);
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> rel;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = SplitPathW(lpSubKey, &rel);
  if (rc == ERROR_SUCCESS) rc = ResolveKey(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  return key->store->DeleteKey(key->ref, rel, false, false);
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  std::vector<std::string> rel;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = SplitPathA(lpSubKey, &rel);
  if (rc == ERROR_SUCCESS) rc = ResolveKey(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  return key->store->DeleteKey(key->ref, rel, true, rel.empty());
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  std::vector<std::string> rel;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = SplitPathW(lpSubKey, &rel);
  if (rc == ERROR_SUCCESS) rc = ResolveKey(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  return key->store->DeleteKey(key->ref, rel, true, rel.empty());
}

}  // extern "C"
