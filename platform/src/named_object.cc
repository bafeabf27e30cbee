// Named objects under $QX_RUNTIME_DIR/kobj and the flock-based lifetime of their
// files (see named_object.h).
#include "named_object.h"

#include <fcntl.h>
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/security.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace qx::platform {
namespace {

// The version digit changes with the layout of the first page: a program built
// with another layout refuses the object instead of misreading it.
constexpr char kMagic[8] = {'Q', 'X', 'K', 'O', 'B', 'J', '3', '\0'};

// A namespace folder is world-writable with the sticky bit, like /tmp: any user
// who can reach $QX_RUNTIME_DIR may create objects, the object file's mode decides
// who may open them, and only its owner may remove it.
constexpr mode_t kNamespaceDirMode = 01777;

// Encoded names must fit a file name (255 bytes).
constexpr size_t kMaxEncoded = 255;

// How often Open retries after losing a race with a closer or another creator;
// each retry follows a state change by another process, so a handful suffices.
constexpr int kOpenAttempts = 100;

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(s[i]) != AsciiLower(prefix[i])) return false;
  return true;
}

unsigned CallerSession() {
  auto v = GetEnv("QX_SESSION_ID");
  if (!v || v->empty() || v->size() > 9) return 0;
  unsigned n = 0;
  for (char c : *v) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + unsigned(c - '0');
  }
  return n;
}

std::string SessionFolder(unsigned session) {
  return session == 0 ? "global" : "session-" + std::to_string(session);
}

}  // namespace

std::string EncodeName(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_' || (c == '.' && i > 0);
    if (keep) {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {

bool SameFile(int fd, const std::string& path) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool EnsureDir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) == 0) {
    ::chmod(dir.c_str(), kNamespaceDirMode);
    return true;
  }
  if (errno == EEXIST) return true;
  SetLastErrorFromErrno(errno);
  return false;
}

// The sections this process holds, by file identity, so that every handle of the
// process to one object shares one descriptor, one lock and one mapping.
struct SectionCache {
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, std::weak_ptr<SharedSection>> map;
};
SectionCache& Cache() {
  static SectionCache* cache = new SectionCache;  // used during exit by late closes
  return *cache;
}

}  // namespace

std::optional<ObjectName> ResolveObjectName(std::string_view name) {
  if (name.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  if (name.size() > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  std::string ns;
  if (StartsWithNoCase(name, "Global\\")) {
    ns = SessionFolder(0);
    name.remove_prefix(7);
  } else if (StartsWithNoCase(name, "Local\\")) {
    ns = SessionFolder(CallerSession());
    name.remove_prefix(6);
  } else if (StartsWithNoCase(name, "Session\\")) {
    name.remove_prefix(8);
    size_t slash = name.find('\\');
    std::string_view digits = name.substr(0, slash);
    if (slash == std::string_view::npos || digits.empty() || digits.size() > 9) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return std::nullopt;
    }
    unsigned n = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
      }
      n = n * 10 + unsigned(c - '0');
    }
    ns = SessionFolder(n);
    name.remove_prefix(slash + 1);
  } else {
    ns = SessionFolder(CallerSession());
  }
  // What is left is the object's own name, which may not hold another "\".
  if (name.find('\\') != std::string_view::npos) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  if (name.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  std::string file = EncodeName(name);
  if (file.size() > kMaxEncoded) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  std::string runtime = RuntimeDir();
  if (runtime.empty()) return std::nullopt;
  ObjectName out;
  out.root = runtime + "/kobj";
  out.dir = out.root + "/" + ns;
  out.path = out.dir + "/" + file;
  return out;
}

std::optional<std::string> NarrowName(const char16_t* name, bool* is_null) {
  *is_null = name == nullptr;
  if (name == nullptr) return std::string();
  auto narrow = Utf16ToUtf8(std::u16string_view(name));
  if (!narrow) SetLastError(ERROR_INVALID_NAME);
  return narrow;
}

// A process that ends with handles still open frees the names nobody else holds,
// as closing them would have.
void ReleaseNamesAtExit() {
  std::lock_guard lock(Cache().mutex);
  for (auto& [key, weak] : Cache().map)
    if (auto section = weak.lock()) section->ReleaseName();
}

SharedSection::SharedSection(int fd, uint8_t* page, const ObjectName& name, dev_t dev, ino_t ino)
    : fd_(fd), opener_(::getpid()), page_(page), name_(name), dev_(dev), ino_(ino) {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(ReleaseNamesAtExit); });
}

void SharedSection::ReleaseName() {
  // The last holder anywhere frees the name. A process that opened the file and
  // waits for its shared lock finds the file gone and starts over.
  if (::getpid() != opener_) return;
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0 && SameFile(fd_, name_.path)) {
    ::unlink(name_.path.c_str());
    ::rmdir(name_.dir.c_str());  // fails harmlessly while other objects remain
    ::rmdir(name_.root.c_str());
  }
}

SharedSection::~SharedSection() {
  if (!keep_mapped_) ::munmap(page_, kObjectPage);
  {
    std::lock_guard lock(Cache().mutex);
    auto it = Cache().map.find({dev_, ino_});
    if (it != Cache().map.end() && it->second.expired()) Cache().map.erase(it);
  }
  ReleaseName();
  ::close(fd_);
}

std::shared_ptr<SharedSection> SharedSection::Attach(int fd, const ObjectName& name,
                                                     ObjectKind kind, bool* retry) {
  *retry = false;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // Nobody holds the object: every process that had it died. Remove it; the
    // caller starts over and, when creating, builds a fresh one.
    if (SameFile(fd, name.path)) ::unlink(name.path.c_str());
    ::close(fd);
    *retry = true;
    return nullptr;
  }
  if (::flock(fd, LOCK_SH) != 0 || !SameFile(fd, name.path)) {
    ::close(fd);
    *retry = true;
    return nullptr;
  }
  ObjectHeader header;
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size < off_t(kObjectPage) ||
      ::pread(fd, &header, sizeof header, 0) != ssize_t(sizeof header) ||
      std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 || header.kind != uint32_t(kind)) {
    ::close(fd);
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::lock_guard lock(Cache().mutex);
  auto key = std::make_pair(st.st_dev, st.st_ino);
  auto it = Cache().map.find(key);
  if (it != Cache().map.end()) {
    if (auto held = it->second.lock()) {
      ::close(fd);
      return held;
    }
  }
  void* page = ::mmap(nullptr, kObjectPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED) {
    SetLastErrorFromErrno(errno);
    ::close(fd);
    return nullptr;
  }
  std::shared_ptr<SharedSection> section(
      new SharedSection(fd, static_cast<uint8_t*>(page), name, st.st_dev, st.st_ino));
  Cache().map[key] = section;
  return section;
}

std::shared_ptr<SharedSection> SharedSection::Create(const ObjectName& name, ObjectKind kind,
                                                     unsigned mode, uint64_t file_size,
                                                     const InitFn& init, const UndoFn& undo,
                                                     bool* retry) {
  *retry = false;
  if (!EnsureDir(name.root) || !EnsureDir(name.dir)) return nullptr;
  int fd = ::open(name.dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  // A file system without unnamed files: a uniquely named one stands in (a
  // creator killed before naming the object leaves it behind).
  std::string temp;
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    static std::atomic<unsigned> counter{0};
    temp = name.dir + "/.new." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    fd = ::open(temp.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode);
  }
  if (fd < 0) {
    if (errno == ENOENT)
      *retry = true;  // a closer removed the folder meanwhile
    else
      SetLastErrorFromErrno(errno);
    return nullptr;
  }
  auto fail = [&](int err) {
    if (err) SetLastErrorFromErrno(err);
    if (!temp.empty()) ::unlink(temp.c_str());
    ::close(fd);
    return nullptr;
  };
  if (::fchmod(fd, mode) != 0 || ::ftruncate(fd, off_t(file_size)) != 0) return fail(errno);
  void* mapped = ::mmap(nullptr, kObjectPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) return fail(errno);
  auto* page = static_cast<uint8_t*>(mapped);
  auto* header = new (page) ObjectHeader{};
  std::memcpy(header->magic, kMagic, sizeof kMagic);
  header->kind = uint32_t(kind);
  if (!init(page, fd) || ::flock(fd, LOCK_SH) != 0) {
    ::munmap(page, kObjectPage);
    return fail(0);
  }
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  int linked = temp.empty() ? ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.path.c_str(),
                                       AT_SYMLINK_FOLLOW)
                            : ::link(temp.c_str(), name.path.c_str());
  if (linked != 0) {
    int err = errno;
    if (undo) undo(page);
    ::munmap(page, kObjectPage);
    if (err == EEXIST || err == ENOENT) {  // another creator won, or the folder went
      *retry = true;
      return fail(0);
    }
    return fail(err);
  }
  if (!temp.empty()) ::unlink(temp.c_str());
  struct stat st;
  ::fstat(fd, &st);
  std::shared_ptr<SharedSection> section(new SharedSection(fd, page, name, st.st_dev, st.st_ino));
  std::lock_guard lock(Cache().mutex);
  Cache().map[{st.st_dev, st.st_ino}] = section;
  return section;
}

std::shared_ptr<SharedSection> SharedSection::Open(const ObjectName& name, ObjectKind kind,
                                                   bool create, unsigned mode, uint64_t file_size,
                                                   const InitFn& init, bool* existed,
                                                   const UndoFn& undo) {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    bool retry = false;
    int fd = ::open(name.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
      auto section = Attach(fd, name, kind, &retry);
      if (section) {
        *existed = true;
        return section;
      }
      if (!retry) return nullptr;
      continue;
    }
    if (errno != ENOENT) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
    if (!create) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    auto section = Create(name, kind, mode, file_size, init, undo, &retry);
    if (section) {
      *existed = false;
      return section;
    }
    if (!retry) return nullptr;
  }
  SetLastError(ERROR_BUSY);
  return nullptr;
}

std::unique_ptr<SyncHome> OpenSyncHome(ObjectKind kind, const char* name, bool create,
                                       const SECURITY_ATTRIBUTES* attributes,
                                       const std::function<bool(SyncBlock*, bool shared)>& init,
                                       bool* existed, const std::function<void(SyncBlock*)>& undo) {
  *existed = false;
  if (name == nullptr || (create && *name == '\0')) {
    if (!create) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    auto home = std::make_unique<SyncHome>();
    if (!init(home->block(), false)) return nullptr;
    return home;
  }
  auto resolved = ResolveObjectName(name);
  if (!resolved) return nullptr;
  auto section = SharedSection::Open(
      *resolved, kind, create, FileModeFor(attributes), kObjectPage,
      [&](uint8_t* page, int) { return init(new (page + kSyncOffset) SyncBlock, true); }, existed,
      [&](uint8_t* page) {
        if (undo) undo(reinterpret_cast<SyncBlock*>(page + kSyncOffset));
      });
  if (!section) return nullptr;
  return std::make_unique<SyncHome>(std::move(section));
}

}  // namespace qx::platform
