// Compiled message files mapped read-only, found through the folder list.
//
// A file is mapped once per process and shared by every lookup that finds it: the
// mappings are keyed by the file's identity (device and inode), so two paths of
// one file share a mapping and two different files never do. On Linux the page
// cache already shares a read-only mapped file between processes.
//
// A file is validated when it is mapped; a file that fails validation is not
// kept. When a file is replaced on disk (qxmsgc replaces files by renaming a new
// one over the old), the next search that finds it maps the new file; the old
// mapping goes when its last user lets go of it.
//
// Finding a file costs a stat() of every folder tried. The result of a search is
// remembered per folder list and base name and searched again after
// kSearchLifetime, or at once after ForgetSearches().
// Thread-safety: all functions may be called from any thread.
#ifndef QXCOMN_CATALOG_FILE_H
#define QXCOMN_CATALOG_FILE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "catalog_view.h"

namespace qx::comn {

struct CatalogMessage;  // catalog.h

// How long a search result is trusted before the folders are searched again.
inline constexpr std::chrono::milliseconds kSearchLifetime{1000};

class MappedCatalog {
 public:
  MappedCatalog(const MappedCatalog&) = delete;
  MappedCatalog& operator=(const MappedCatalog&) = delete;
  ~MappedCatalog();

  const CatalogView& view() const { return view_; }
  const std::string& path() const { return path_; }

  // Maps the file at `path`; nullptr when it cannot be opened, mapped or fails
  // validation.
  static std::shared_ptr<const MappedCatalog> Map(const std::string& path);

  // Messages of this file already looked up, by identifier: the file never
  // changes while mapped, so a message found once is found the same way again.
  std::shared_ptr<const CatalogMessage> Prepared(uint32_t id) const;
  void Remember(uint32_t id, std::shared_ptr<const CatalogMessage> msg) const;

 private:
  // The most messages remembered per file.
  static constexpr size_t kMaxPrepared = 4096;

  MappedCatalog(std::string path, const void* data, size_t size)
      : path_(std::move(path)),
        data_(data),
        size_(size),
        view_({static_cast<const uint8_t*>(data), size}) {}

  std::string path_;
  const void* data_;
  size_t size_;
  CatalogView view_;
  mutable std::mutex prepared_mutex_;
  mutable std::unordered_map<uint32_t, std::shared_ptr<const CatalogMessage>> prepared_;
};

// The result of looking for a catalog file.
struct CatalogSearch {
  bool found = false;                            // a folder holds the file
  std::shared_ptr<const MappedCatalog> catalog;  // null when found but unusable
  // When the folders were searched for this answer: it holds until
  // searched + kSearchLifetime, or until ForgetSearches.
  std::chrono::steady_clock::time_point searched;
};

// Looks for "<base>.dat" in the folders of `folders` (separated by ";" or ":"),
// in order; the first path that names a regular file is taken and mapped.
CatalogSearch FindCatalog(std::string_view folders, std::string_view base);

// Forgets every remembered search, so the next lookups search the folders again.
void ForgetSearches();

// A number that ForgetSearches changes: an answer kept elsewhere holds only while
// this number is the one it was found under.
inline uint64_t SearchGeneration() {
  extern std::atomic<uint64_t> g_search_generation;
  return g_search_generation.load(std::memory_order_acquire);
}

// The folder searched when no folder list is set: share/qx/msg beside the lib/
// folder of this library (the same in the build tree and the installed tree).
const std::string& DefaultCatalogFolder();

}  // namespace qx::comn

#endif
