// Mapping, identity cache and folder search of compiled message files.
#include "catalog_file.h"

#include <fcntl.h>
#include <qxplatform/modules.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

namespace qx::comn {

// Changed by every ForgetSearches; read at every lookup.
std::atomic<uint64_t> g_search_generation{0};

namespace {

// What makes a mapped file the same file: its identity, and its size and change
// time, so a file rewritten in place is mapped again.
struct FileKey {
  dev_t dev;
  ino_t ino;
  off_t size;
  int64_t mtime_ns;
  auto operator<=>(const FileKey&) const = default;
};

FileKey KeyOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size,
          int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

struct SearchResult {
  std::string folders;
  std::string base;
  bool found = false;
  std::shared_ptr<const MappedCatalog> catalog;
  std::chrono::steady_clock::time_point searched;
};

class CatalogCache {
 public:
  CatalogSearch Find(std::string_view folders, std::string_view base) {
    std::lock_guard lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    SearchResult* known = nullptr;
    for (SearchResult& r : searches_)
      if (r.folders == folders && r.base == base) known = &r;
    if (known != nullptr && now - known->searched < kSearchLifetime)
      return {known->found, known->catalog, known->searched};
    SearchResult result = Search(folders, base);
    result.searched = now;
    CatalogSearch answer{result.found, result.catalog, now};
    if (known != nullptr) {
      known->found = result.found;
      known->catalog = result.catalog;
      known->searched = now;
    } else {
      result.folders = std::string(folders);
      result.base = std::string(base);
      searches_.push_back(std::move(result));
    }
    DropUnused();
    return answer;
  }

  void Forget() {
    std::lock_guard lock(mutex_);
    g_search_generation.fetch_add(1, std::memory_order_release);
    searches_.clear();
    DropUnused();
  }

 private:
  SearchResult Search(std::string_view folders, std::string_view base) {
    SearchResult result;
    size_t start = 0;
    while (start <= folders.size()) {
      size_t end = folders.find_first_of(";:", start);
      if (end == std::string_view::npos) end = folders.size();
      std::string_view dir = folders.substr(start, end - start);
      start = end + 1;
      if (dir.empty()) continue;
      std::string path(dir);
      if (path.back() != '/') path += '/';
      path.append(base).append(".dat");
      struct stat st;
      if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      result.found = true;
      result.catalog = MapShared(path, st);
      break;
    }
    return result;
  }

  // One mapping per file.
  std::shared_ptr<const MappedCatalog> MapShared(const std::string& path, const struct stat& st) {
    FileKey key = KeyOf(st);
    auto it = mapped_.find(key);
    if (it != mapped_.end()) return it->second;
    std::shared_ptr<const MappedCatalog> catalog = MappedCatalog::Map(path);
    if (catalog) mapped_[key] = catalog;
    return catalog;
  }

  // Lets go of the mappings that no remembered search refers to; a thread that
  // still reads one keeps it alive through its own reference.
  void DropUnused() {
    for (auto it = mapped_.begin(); it != mapped_.end();) {
      bool used = false;
      for (const SearchResult& result : searches_)
        if (result.catalog == it->second) used = true;
      it = used ? std::next(it) : mapped_.erase(it);
    }
  }

  std::mutex mutex_;
  // Few entries: one per folder list and base name in use.
  std::vector<SearchResult> searches_;
  std::map<FileKey, std::shared_ptr<const MappedCatalog>> mapped_;
};

CatalogCache& Cache() {
  static CatalogCache* cache = new CatalogCache;  // outlives every static destructor
  return *cache;
}

}  // namespace

MappedCatalog::~MappedCatalog() {
  if (data_ != nullptr) ::munmap(const_cast<void*>(data_), size_);
}

std::shared_ptr<const MappedCatalog> MappedCatalog::Map(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  void* data = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    data = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (data == MAP_FAILED) return nullptr;
  std::shared_ptr<const MappedCatalog> catalog(new MappedCatalog(path, data, size_t(st.st_size)));
  if (!catalog->view().Validate()) return nullptr;
  return catalog;
}

std::shared_ptr<const CatalogMessage> MappedCatalog::Prepared(uint32_t id) const {
  std::lock_guard lock(prepared_mutex_);
  auto it = prepared_.find(id);
  return it == prepared_.end() ? nullptr : it->second;
}

void MappedCatalog::Remember(uint32_t id, std::shared_ptr<const CatalogMessage> msg) const {
  std::lock_guard lock(prepared_mutex_);
  if (prepared_.size() < kMaxPrepared) prepared_.emplace(id, std::move(msg));
}

CatalogSearch FindCatalog(std::string_view folders, std::string_view base) {
  return Cache().Find(folders, base);
}

void ForgetSearches() {
  Cache().Forget();
}

const std::string& DefaultCatalogFolder() {
  static const std::string folder = [] {
    std::string lib = platform::ModuleFolder(reinterpret_cast<const void*>(&DefaultCatalogFolder));
    return lib.empty() ? std::string() : lib + "/../share/qx/msg";
  }();
  return folder;
}

}  // namespace qx::comn
