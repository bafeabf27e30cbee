// Library loading by Windows-style name.
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qx::platform {
namespace {

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// dlopen with the flags every load uses. RTLD_NODELETE keeps the promise that a
// bound library is never unloaded, whatever dlclose calls happen elsewhere.
void* Open(const std::string& path, bool* found_file) {
  if (!IsFile(path)) return nullptr;  // the loader would only fail the same way
  if (found_file) *found_file = true;
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}

// The loader's cache file, mapped. A program may search for several optional
// libraries, so the map is kept while the file stays the same; ldconfig puts a
// new file in place by renaming it over the old one. A replaced map is never
// unmapped: another thread may still be reading it.
struct LoaderCacheMap {
  dev_t device;
  ino_t inode;
  off_t size;
  struct timespec changed;
  const unsigned char* bytes;  // null when the file could not be mapped
};

std::atomic<const LoaderCacheMap*> g_loader_cache{nullptr};

bool SameFile(const LoaderCacheMap& m, const struct stat& st) {
  return m.device == st.st_dev && m.inode == st.st_ino && m.size == st.st_size &&
         m.changed.tv_sec == st.st_mtim.tv_sec && m.changed.tv_nsec == st.st_mtim.tv_nsec;
}

// The current map; null when there is no cache file.
const LoaderCacheMap* LoaderCache() {
  static constexpr char kPath[] = "/etc/ld.so.cache";
  struct stat st;
  if (::stat(kPath, &st) != 0) return nullptr;
  const LoaderCacheMap* current = g_loader_cache.load(std::memory_order_acquire);
  if (current != nullptr && SameFile(*current, st)) return current;
  int fd = ::open(kPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  void* map = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && st.st_size > 0)
    map = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  auto* fresh =
      new LoaderCacheMap{st.st_dev, st.st_ino, st.st_size, st.st_mtim,
                         map == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(map)};
  g_loader_cache.store(fresh, std::memory_order_release);
  return fresh;
}

// Whether the name is in the loader's cache.
bool InLoaderCache(const std::string& file) {
  const LoaderCacheMap* cache = LoaderCache();
  if (cache == nullptr) return false;
  if (cache->bytes == nullptr) return true;
  return LoaderCacheLists(
      std::string_view(reinterpret_cast<const char*>(cache->bytes), size_t(cache->size)), file);
}

// The folders the loader searches after its cache: those of the C library, their
// twins under /usr, and /lib and /usr/lib.
std::vector<std::string> FindLoaderFolders() {
  std::vector<std::string> folders;
  std::string libc = ModuleFolder(reinterpret_cast<const void*>(&::dlopen));
  if (!libc.empty()) {
    folders.push_back(libc);
    if (libc.compare(0, 5, "/usr/") == 0)
      folders.push_back(libc.substr(4));
    else
      folders.push_back("/usr" + libc);
  }
  folders.push_back("/lib");
  folders.push_back("/usr/lib");
  return folders;
}

const std::vector<std::string>& LoaderFolders() {
  static const std::vector<std::string> folders = FindLoaderFolders();
  return folders;
}

// A library of this file name loaded already, from wherever: it answers to its
// name without any search (the loader's own check for that searches the folders).
void* AlreadyLoaded(const std::string& file) {
  struct Query {
    const std::string* file;
    std::string path;
  } query{&file, {}};
  ::dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) -> int {
        auto* q = static_cast<Query*>(data);
        if (info->dlpi_name == nullptr) return 0;
        std::string_view path(info->dlpi_name);
        size_t slash = path.rfind('/');
        if (slash == std::string_view::npos || path.substr(slash + 1) != *q->file) return 0;
        q->path = path;
        return 1;
      },
      &query);
  if (query.path.empty()) return nullptr;
  return ::dlopen(query.path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE | RTLD_NOLOAD);
}

HMODULE Fail(bool found_file) {
  SetLastError(found_file ? ERROR_BAD_FORMAT : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

}  // namespace

bool LoaderCacheLists(std::string_view cache, const std::string& file) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(cache.data());
  const size_t size = cache.size();
  static constexpr char kMagic[] = "glibc-ld.so.cache1.1";
  constexpr size_t kHeader = 48, kEntry = 24;  // fixed by the format
  if (size < kHeader || std::memcmp(bytes, kMagic, sizeof kMagic - 1) != 0) return true;
  uint32_t count;
  std::memcpy(&count, bytes + 20, 4);
  if (count > (size - kHeader) / kEntry) return true;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t key;
    std::memcpy(&key, bytes + kHeader + size_t(i) * kEntry + 4, 4);
    if (key < size && file.size() < size - key &&
        std::memcmp(bytes + key, file.c_str(), file.size() + 1) == 0)
      return true;
  }
  return false;
}

std::string LibraryFileName(std::string_view name) {
  std::string n(name);
  if (n.find('/') != std::string::npos) return n;
  for (char& c : n) c = AsciiLower(c);
  if (n.size() > 4 && n.compare(n.size() - 4, 4, ".dll") == 0) n.resize(n.size() - 4);
  if (n.size() < 3 || n.compare(n.size() - 3, 3, ".so") != 0) n += ".so";
  if (n.compare(0, 3, "lib") != 0) n = "lib" + n;
  return n;
}

std::string ModulePath(const void* address) {
  // The loaded object whose segments hold the address. dladdr would answer too,
  // but it also looks for the nearest symbol, walking the whole symbol table of
  // the object (thousands of entries in the C library) on every call.
  struct Query {
    uintptr_t address;
    bool found = false;
    std::string path;
  } query{reinterpret_cast<uintptr_t>(address), false, {}};
  if (address == nullptr) return "";
  ::dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) -> int {
        auto* q = static_cast<Query*>(data);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          uintptr_t start = info->dlpi_addr + ph.p_vaddr;
          if (q->address >= start && q->address - start < ph.p_memsz) {
            q->found = true;
            q->path = info->dlpi_name ? info->dlpi_name : "";
            return 1;
          }
        }
        return 0;
      },
      &query);
  if (!query.found) return "";
  // The main program reports an empty name (or the name it was started by); the
  // kernel knows its full path.
  if (query.path.find('/') == std::string::npos) return ProgramPath();
  return query.path;
}

std::string ModuleFolder(const void* address) {
  std::string path = ModulePath(address);
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Whether the loader's own search for a bare file name can succeed: the name is
// in LD_LIBRARY_PATH, the platform library's folder (its run path), the loader's
// cache or one of the loader's folders. A failed search by the loader probes
// some forty subfolders of its folders for each name; a program that asks for an
// optional library that is not installed pays that at every start.
bool LoaderMayFind(const std::string& file) {
  std::vector<std::string> folders;
  if (const char* path = ::getenv("LD_LIBRARY_PATH")) {
    std::string_view rest(path);
    while (!rest.empty()) {
      size_t end = rest.find_first_of(":;");
      folders.emplace_back(rest.substr(0, end));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
  }
  static const std::string own = ModuleFolder(reinterpret_cast<const void*>(&FindLoaderFolders));
  folders.push_back(own);
  for (const std::string& folder : folders)
    if (!folder.empty() && ::access((folder + "/" + file).c_str(), F_OK) == 0) return true;
  if (InLoaderCache(file)) return true;
  for (const std::string& folder : LoaderFolders())
    if (::access((folder + "/" + file).c_str(), F_OK) == 0) return true;
  return false;
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
  if (void* h = AlreadyLoaded(file)) return h;
  if (LoaderMayFind(file))
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
