// Library loading by Windows-style name.
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cstring>

namespace qx::platform {
namespace {

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// dlopen with the flags every load uses. RTLD_NODELETE keeps the promise that a
// bound library is never unloaded, whatever dlclose calls happen elsewhere.
void* Open(const std::string& path, bool* found_file) {
  if (found_file && IsFile(path)) *found_file = true;
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}

HMODULE Fail(bool found_file) {
  SetLastError(found_file ? ERROR_BAD_FORMAT : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

}  // namespace

std::string LibraryFileName(std::string_view name) {
  std::string n(name);
  if (n.find('/') != std::string::npos) return n;
  for (char& c : n) c = AsciiLower(c);
  if (n.size() > 4 && n.compare(n.size() - 4, 4, ".dll") == 0) n.resize(n.size() - 4);
  if (n.size() < 3 || n.compare(n.size() - 3, 3, ".so") != 0) n += ".so";
  if (n.compare(0, 3, "lib") != 0) n = "lib" + n;
  return n;
}

std::string ModuleFolder(const void* address) {
  Dl_info info;
  if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  std::string path = info.dli_fname;
  // The main program reports its name as given on the command line, maybe
  // without a folder; the kernel knows the full path.
  if (path.find('/') == std::string::npos) path = ProgramPath();
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

HMODULE LoadLibraryFrom(const void* caller_address, std::string_view name) {
  if (name.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool found_file = false;
  std::string file = LibraryFileName(name);
  if (file.find('/') != std::string::npos) {
    void* h = Open(file, &found_file);
    return h ? h : Fail(found_file);
  }
  std::string folder = ModuleFolder(caller_address);
  if (!folder.empty())
    if (void* h = Open(folder + "/" + file, &found_file)) return h;
  if (auto path = GetEnv("QX_LIB_PATH")) {
    size_t start = 0;
    while (start <= path->size()) {
      size_t end = path->find(':', start);
      if (end == std::string::npos) end = path->size();
      if (end > start)
        if (void* h = Open(path->substr(start, end - start) + "/" + file, &found_file)) return h;
      start = end + 1;
    }
  }
  if (void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) return h;
  return Fail(found_file);
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadLibraryFrom(__builtin_return_address(0), lpLibFileName);
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
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

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule == nullptr || lpProcName == nullptr ||
      reinterpret_cast<uintptr_t>(lpProcName) < 65536) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  ::dlerror();
  void* sym = ::dlsym(hModule, lpProcName);
  if (sym == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(sym);
}

BOOL FreeLibrary(HMODULE hLibModule) {
  if (hLibModule == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) return ::dlopen(nullptr, RTLD_NOW);
  std::string file = LibraryFileName(lpModuleName);
  void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return h;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  struct link_map* map = nullptr;
  if (hModule == nullptr || ::dlinfo(hModule, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
      map->l_name == nullptr || map->l_name[0] == '\0') {
    path = ProgramPath();
  } else {
    path = map->l_name;
  }
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= nSize) {
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  return DWORD(path.size());
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  char narrow[4096];
  DWORD n = GetModuleFileNameA(hModule, narrow, sizeof narrow);
  if (n == 0 || n >= sizeof narrow) return 0;
  auto wide = Utf8ToUtf16(std::string_view(narrow, n));
  if (!wide) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (wide->size() >= nSize) {
    std::memcpy(lpFilename, wide->data(), (nSize - 1) * sizeof(char16_t));
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, wide->c_str(), (wide->size() + 1) * sizeof(char16_t));
  return DWORD(wide->size());
}

}  // extern "C"
