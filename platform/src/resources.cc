// String tables of language resource libraries.
#include <dlfcn.h>
#include <link.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/resources.h>
#include <qxplatform/text.h>

#include <algorithm>
#include <cstring>

namespace qx::platform {
namespace {

// The module a dlopen handle stands for. glibc's handles are the link-map entries
// themselves, so a handle is checked by comparing it with the entries of the
// chain, never by reading through it.
struct link_map* MainLinkMap() {
  static struct link_map* main_map = [] {
    struct link_map* map = nullptr;
    void* self = ::dlopen(nullptr, RTLD_NOW);
    if (self == nullptr || ::dlinfo(self, RTLD_DI_LINKMAP, &map) != 0)
      return (struct link_map*)nullptr;
    return map;
  }();
  return main_map;
}

const QX_STRING_TABLE* TableOf(HMODULE module) {
  struct link_map* wanted = nullptr;
  void* sym = nullptr;
  if (module == nullptr) {
    wanted = MainLinkMap();
    sym = ::dlsym(RTLD_DEFAULT, QX_STRING_TABLE_SYMBOL);
  } else {
    if (!IsLoadedModule(module)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    wanted = static_cast<struct link_map*>(module);
    // The program's own handle (dlopen(NULL)) searches the global scope; so does
    // a library's handle for its dependencies. Only a table defined in the module
    // itself counts.
    sym = ::dlsym(module == MainLinkMap() ? RTLD_DEFAULT : module, QX_STRING_TABLE_SYMBOL);
  }
  if (sym != nullptr) {
    Dl_info info;
    struct link_map* owner = nullptr;
    if (::dladdr1(sym, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 ||
        owner != wanted)
      sym = nullptr;
  }
  auto* table = static_cast<const QX_STRING_TABLE*>(sym);
  if (table == nullptr || table->version != QX_STRING_TABLE_VERSION ||
      (table->entries == nullptr && table->count != 0)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  return table;
}

// Length of the longest prefix of text that fits max bytes and ends on a UTF-8
// character boundary.
size_t Utf8Cut(std::string_view text, size_t max) {
  if (text.size() <= max) return text.size();
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

}  // namespace

bool IsLoadedModule(HMODULE module) {
  if (module == nullptr) return false;
  struct link_map* map = MainLinkMap();
  while (map && map->l_prev) map = map->l_prev;
  for (; map; map = map->l_next)
    if (static_cast<void*>(map) == module) return true;
  return false;
}

std::optional<std::string_view> FindString(HMODULE module, UINT id) {
  const QX_STRING_TABLE* table = TableOf(module);
  if (table == nullptr) return std::nullopt;
  for (DWORD i = 0; i < table->count; ++i) {
    const QX_STRING_ENTRY& e = table->entries[i];
    if (e.id == id && e.text != nullptr) return std::string_view(e.text);
  }
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return std::nullopt;
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (lpLibFileName == nullptr || hFile != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadLibraryFrom(__builtin_return_address(0), lpLibFileName);
}

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (lpLibFileName == nullptr || hFile != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto name = Utf16ToUtf8(std::u16string_view(lpLibFileName));
  if (!name) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return nullptr;
  }
  return LoadLibraryFrom(__builtin_return_address(0), *name);
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto text = FindString(hInstance, uID);
  if (!text) {
    lpBuffer[0] = '\0';
    return 0;
  }
  size_t n = Utf8Cut(*text, size_t(cchBufferMax) - 1);
  std::memcpy(lpBuffer, text->data(), n);
  lpBuffer[n] = '\0';
  return int(n);
}

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto text = FindString(hInstance, uID);
  if (!text) {
    lpBuffer[0] = 0;
    return 0;
  }
  auto wide = Utf8ToUtf16(*text);
  if (!wide) {
    lpBuffer[0] = 0;
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  size_t n = std::min(wide->size(), size_t(cchBufferMax) - 1);
  // Never split a surrogate pair.
  if (n > 0 && n < wide->size() && (*wide)[n - 1] >= 0xD800 && (*wide)[n - 1] <= 0xDBFF) --n;
  std::memcpy(lpBuffer, wide->data(), n * sizeof(char16_t));
  lpBuffer[n] = 0;
  return int(n);
}

}  // extern "C"
