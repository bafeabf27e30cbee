// File mappings and views (see mapping.h).
//
// Data lives in one descriptor per mapping: a named page-file mapping's object file
// (after its header page), an unnamed one's memfd, or the backing file of a
// file-backed mapping. A named file-backed mapping records its backing file's path
// in the object header, and whoever opens it by name opens that file.
#include <fcntl.h>
#include <qxplatform/errors.h>
#include <qxplatform/file.h>
#include <qxplatform/mapping.h>
#include <qxplatform/security.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "handle_table.h"
#include "named_object.h"

namespace qx::platform {
namespace {

// Windows' allocation granularity: view offsets are multiples of it.
constexpr uint64_t kGranularity = 65536;

bool Writable(DWORD protect) {
  DWORD p = protect & 0xFF;
  return p == PAGE_READWRITE || p == PAGE_EXECUTE_READWRITE;
}

bool ValidProtect(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return true;
    default:
      return false;
  }
}

class FileMapping final : public KernelObject {
 public:
  FileMapping(std::shared_ptr<SharedSection> section, int data_fd, bool own_fd, uint64_t base,
              uint64_t size, DWORD protect)
      : section_(std::move(section)),
        fd_(data_fd),
        own_fd_(own_fd),
        base_(base),
        size_(size),
        protect_(protect) {}
  ~FileMapping() override {
    if (own_fd_) ::close(fd_);
  }
  ObjectKind kind() const override { return ObjectKind::kFileMapping; }

  int fd() const { return fd_; }
  uint64_t base() const { return base_; }
  uint64_t size() const { return size_; }
  bool writable() const { return Writable(protect_); }

 private:
  std::shared_ptr<SharedSection> section_;  // named: keeps the name alive
  int fd_;
  bool own_fd_;
  uint64_t base_;  // where the data starts in fd_
  uint64_t size_;
  DWORD protect_;
};

// Views keep their mapping object alive until unmapped.
struct View {
  std::shared_ptr<FileMapping> mapping;
  void* start;  // page-aligned start of the mmap
  size_t length;
};
struct ViewTable {
  std::mutex mutex;
  std::map<const void*, View> views;  // by the address handed out
};
ViewTable& Views() {
  static ViewTable* table = new ViewTable;
  return *table;
}

// The descriptor of a file handle, reopened on its own so that the mapping does not
// depend on the handle staying open.
int ReopenFile(HANDLE file, bool write) {
  int fd = FileDescriptor(file);
  if (fd < 0) return -1;
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  int copy = ::open(proc.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (copy < 0) SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
  return copy;
}

// Sizes and grows a backing file for a mapping of size bytes (0: the file's size).
bool FitFile(int fd, bool write, uint64_t* size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return SetLastErrorFromErrno(errno), false;
  if (*size == 0) {
    if (st.st_size == 0) return SetLastError(ERROR_FILE_INVALID), false;
    *size = uint64_t(st.st_size);
  } else if (*size > uint64_t(st.st_size)) {
    if (!write) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), false;
    if (::ftruncate(fd, off_t(*size)) != 0) return SetLastErrorFromErrno(errno), false;
  }
  return true;
}

HANDLE CreateUnnamed(HANDLE file, DWORD protect, uint64_t size) {
  int fd;
  if (file == INVALID_HANDLE_VALUE) {
    fd = ::memfd_create("qx-mapping", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, off_t(size)) != 0) {
      SetLastErrorFromErrno(errno);
      if (fd >= 0) ::close(fd);
      return nullptr;
    }
  } else {
    fd = ReopenFile(file, Writable(protect));
    if (fd < 0) return nullptr;
    if (!FitFile(fd, Writable(protect), &size)) {
      ::close(fd);
      return nullptr;
    }
  }
  return InsertCreated(std::make_shared<FileMapping>(nullptr, fd, true, 0, size, protect), false);
}

// A mapping object for an opened named section.
HANDLE FromSection(std::shared_ptr<SharedSection> section, bool existed, DWORD access) {
  const ObjectHeader& h = section->header();
  if (!h.file_backed) {
    int fd = section->fd();
    return InsertCreated(std::make_shared<FileMapping>(std::move(section), fd, false, kObjectPage,
                                                       h.size, h.protect),
                         existed);
  }
  std::string backing(h.backing, strnlen(h.backing, sizeof h.backing));
  bool write = Writable(h.protect) && (access & (FILE_MAP_WRITE | FILE_MAP_ALL_ACCESS)) != 0;
  int fd = ::open(backing.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0 && write) fd = ::open(backing.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  return InsertCreated(
      std::make_shared<FileMapping>(std::move(section), fd, true, 0, h.size, h.protect), existed);
}

HANDLE CreateNamed(HANDLE file, const SECURITY_ATTRIBUTES* sa, DWORD protect, uint64_t size,
                   const char* name) {
  auto resolved = ResolveObjectName(name);
  if (!resolved) return nullptr;
  int backing_fd = -1;
  std::string backing;
  if (file != INVALID_HANDLE_VALUE) {
    backing_fd = ReopenFile(file, Writable(protect));
    if (backing_fd < 0) return nullptr;
    char path[4096];
    std::string proc = "/proc/self/fd/" + std::to_string(backing_fd);
    ssize_t n = ::readlink(proc.c_str(), path, sizeof path);
    if (n <= 0 || size_t(n) >= sizeof(ObjectHeader::backing)) {
      ::close(backing_fd);
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
    backing.assign(path, size_t(n));
  }
  auto init = [&](uint8_t* page, int) {
    auto* h = reinterpret_cast<ObjectHeader*>(page);
    if (backing_fd >= 0) {
      if (!FitFile(backing_fd, Writable(protect), &size)) return false;
      h->file_backed = 1;
      std::memcpy(h->backing, backing.data(), backing.size());
    }
    h->size = size;
    h->protect = protect;
    return true;
  };
  bool existed = false;
  uint64_t file_size = kObjectPage + (backing_fd >= 0 ? 0 : size);
  auto section = SharedSection::Open(*resolved, ObjectKind::kFileMapping, true, FileModeFor(sa),
                                     file_size, init, &existed);
  if (backing_fd >= 0) ::close(backing_fd);
  if (!section) return nullptr;
  return FromSection(std::move(section), existed, FILE_MAP_ALL_ACCESS);
}

HANDLE Create(HANDLE file, const SECURITY_ATTRIBUTES* sa, DWORD protect, DWORD high, DWORD low,
              const char* name) {
  if (!ValidProtect(protect) || file == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  uint64_t size = (uint64_t(high) << 32) | low;
  if (file == INVALID_HANDLE_VALUE && size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (name == nullptr || *name == '\0') return CreateUnnamed(file, protect, size);
  return CreateNamed(file, sa, protect, size, name);
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                          DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                          LPCSTR lpName) {
  return Create(hFile, lpFileMappingAttributes, flProtect, dwMaximumSizeHigh, dwMaximumSizeLow,
                lpName);
}

HANDLE CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                          DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                          LPCWSTR lpName) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return nullptr;
  return Create(hFile, lpFileMappingAttributes, flProtect, dwMaximumSizeHigh, dwMaximumSizeLow,
                null_name ? nullptr : name->c_str());
}

HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  if (lpName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto resolved = ResolveObjectName(lpName);
  if (!resolved) return nullptr;
  bool existed = false;
  auto section =
      SharedSection::Open(*resolved, ObjectKind::kFileMapping, false, 0, 0, nullptr, &existed);
  if (!section) return nullptr;
  HANDLE h = FromSection(std::move(section), true, dwDesiredAccess);
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE OpenFileMappingW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return nullptr;
  return OpenFileMappingA(dwDesiredAccess, bInheritHandle, null_name ? nullptr : name->c_str());
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
  auto m = HandleTable::Get().LookupAs<FileMapping>(hFileMappingObject, ObjectKind::kFileMapping);
  if (!m) return nullptr;
  uint64_t offset = (uint64_t(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
  if (offset % kGranularity != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  if (offset > m->size() || (offset == m->size() && dwNumberOfBytesToMap == 0)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  uint64_t length = dwNumberOfBytesToMap ? dwNumberOfBytesToMap : m->size() - offset;
  if (length > m->size() - offset) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  bool copy = (dwDesiredAccess & FILE_MAP_COPY) != 0 && dwDesiredAccess != FILE_MAP_ALL_ACCESS;
  bool write = !copy && (dwDesiredAccess & FILE_MAP_WRITE) != 0;
  if (write && !m->writable()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  int prot = PROT_READ | (write || copy ? PROT_WRITE : 0);
  void* p = ::mmap(nullptr, length, prot, copy ? MAP_PRIVATE : MAP_SHARED, m->fd(),
                   off_t(m->base() + offset));
  if (p == MAP_FAILED) {
    SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    return nullptr;
  }
  std::lock_guard lock(Views().mutex);
  Views().views[p] = View{m, p, size_t(length)};
  return p;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
  View view;
  {
    std::lock_guard lock(Views().mutex);
    auto it = Views().views.find(lpBaseAddress);
    if (it == Views().views.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    view = std::move(it->second);
    Views().views.erase(it);
  }
  ::munmap(view.start, view.length);
  return TRUE;  // the mapping object goes with view.mapping when it was the last
}

BOOL FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
  std::lock_guard lock(Views().mutex);
  auto& views = Views().views;
  auto it = views.upper_bound(lpBaseAddress);
  if (it == views.begin()) return SetLastError(ERROR_INVALID_ADDRESS), FALSE;
  --it;
  auto* start = static_cast<const uint8_t*>(it->second.start);
  auto* at = static_cast<const uint8_t*>(lpBaseAddress);
  if (at >= start + it->second.length) return SetLastError(ERROR_INVALID_ADDRESS), FALSE;
  uintptr_t page = uintptr_t(at) & ~uintptr_t(4095);
  size_t n =
      dwNumberOfBytesToFlush ? dwNumberOfBytesToFlush : size_t(start + it->second.length - at);
  if (::msync(reinterpret_cast<void*>(page), n + (uintptr_t(at) - page), MS_SYNC) != 0)
    return SetLastErrorFromErrno(errno), FALSE;
  return TRUE;
}

}  // extern "C"
