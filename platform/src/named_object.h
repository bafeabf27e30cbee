// Named kernel objects: where their names lead and the shared memory they live in.
//
// A named event, mutex, semaphore, waitable timer or file mapping is a file
//   $QX_RUNTIME_DIR/kobj/<namespace>/<encoded name>
// whose first page holds an ObjectHeader and the object's synchronisation state
// (SyncBlock); a page-file backed mapping's data follows from the second page on.
// Lifetime rests on flock(2): every process holding a handle keeps a shared lock on
// the file (one per process, the mapping is shared by its handles), and the kernel
// drops the locks of a process that dies. The last process to close takes the lock
// exclusively and unlinks the file; a file that anyone can lock exclusively has no
// holder left (its processes died) and is removed by the next opener. New objects
// are built in an unnamed file (O_TMPFILE) and linked under their name only once
// initialised and locked, so nobody ever sees a half-made object.
// Thread-safety: all functions may be called from any thread.
#ifndef QXPLATFORM_SRC_NAMED_OBJECT_H
#define QXPLATFORM_SRC_NAMED_OBJECT_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "handle_table.h"

namespace qx::platform {

// The page that starts every named object file.
constexpr size_t kObjectPage = 4096;

// The state of every synchronisation object, named (in the object file, at
// kSyncOffset) or unnamed (in process memory). One layout for all kinds keeps the
// code that reads it in one place; each kind uses the fields it names.
struct SyncBlock {
  std::atomic<uint32_t> seq{0};        // futex word: bumped on every state change
  std::atomic<uint32_t> sleepers{0};   // threads (of any process) sleeping on seq
  std::atomic<uint32_t> signaled{0};   // events, timers
  std::atomic<int32_t> count{0};       // semaphores
  int32_t maximum = 0;                 // semaphores
  uint32_t manual = 0;                 // events, timers: manual reset
  std::atomic<uint32_t> abandoned{0};  // mutexes: the next owner is told
  std::atomic<int64_t> due_ns{0};      // timers: CLOCK_REALTIME of expiry, 0 idle
  int64_t period_ns = 0;               // timers
  pthread_mutex_t lock;  // mutexes: the robust lock, owner and recursion; timers: guard
};

// The start of every named object file. Written once by the creator; the file's
// identity check reads magic and kind.
struct ObjectHeader {
  char magic[8];
  uint32_t kind;
  uint32_t protect;      // file mappings: PAGE_* of the creation
  uint64_t size;         // file mappings: bytes
  uint32_t file_backed;  // file mappings: data in the backing file
  uint32_t reserved;
  char backing[2048];  // file mappings: path of the backing file
};

constexpr size_t kSyncOffset = 3072;
static_assert(sizeof(ObjectHeader) <= kSyncOffset);
static_assert(kSyncOffset + sizeof(SyncBlock) <= kObjectPage);

// Where a Windows object name leads.
struct ObjectName {
  std::string root;  // $QX_RUNTIME_DIR/kobj
  std::string dir;   // root/<namespace>
  std::string path;  // dir/<encoded name>
};

// Resolves a name (UTF-8). Returns nullopt with the last error set:
// ERROR_FILENAME_EXCED_RANGE for a name above MAX_PATH characters,
// ERROR_PATH_NOT_FOUND for an unknown "<prefix>\", ERROR_INVALID_NAME for an empty
// name, ERROR_GEN_FAILURE-like errors when $QX_RUNTIME_DIR cannot be made.
std::optional<ObjectName> ResolveObjectName(std::string_view name);

// A name as a file name: letters, digits, '-', '_' and '.' (not leading) stay,
// every other byte becomes %XX, so that any name maps to one file name.
std::string EncodeName(std::string_view name);

// A wide name as UTF-8; nullopt (ERROR_INVALID_NAME) when it does not convert.
// A null pointer gives "" with *is_null set.
std::optional<std::string> NarrowName(const char16_t* name, bool* is_null);

// One process's hold on a named object file: the open descriptor with its shared
// lock and the first page mapped. Shared by every handle of this process to the
// object; destroyed with the last of them.
class SharedSection {
 public:
  // Fills a new object's first page (header already written) before the object
  // becomes visible. Returns false, with the last error set, to give up.
  using InitFn = std::function<bool(uint8_t* page, int fd)>;
  // Undoes what InitFn did when the new object is dropped before it was named (it
  // lost a race with another creator).
  using UndoFn = std::function<void(uint8_t* page)>;

  // Opens the object, or creates it when create is set and the name is free. A
  // name that holds another kind fails with ERROR_INVALID_HANDLE. *existed tells
  // whether an existing object was opened. file_size is the size of a new file (at
  // least kObjectPage). Null with the last error set on failure.
  static std::shared_ptr<SharedSection> Open(const ObjectName& name, ObjectKind kind, bool create,
                                             unsigned mode, uint64_t file_size, const InitFn& init,
                                             bool* existed, const UndoFn& undo = nullptr);

  SharedSection(const SharedSection&) = delete;
  SharedSection& operator=(const SharedSection&) = delete;
  ~SharedSection();

  uint8_t* page() const { return page_; }
  const ObjectHeader& header() const { return *reinterpret_cast<ObjectHeader*>(page_); }
  SyncBlock* sync() const { return reinterpret_cast<SyncBlock*>(page_ + kSyncOffset); }
  int fd() const { return fd_; }

  // Leaves the first page mapped when the section closes: a thread of this process
  // still owns the robust mutex in it, and the C library's list of owned robust
  // mutexes points into that page.
  void KeepMapped() { keep_mapped_ = true; }

 private:
  SharedSection(int fd, uint8_t* page, const ObjectName& name, dev_t dev, ino_t ino);
  static std::shared_ptr<SharedSection> Attach(int fd, const ObjectName& name, ObjectKind kind,
                                               bool* retry);
  static std::shared_ptr<SharedSection> Create(const ObjectName& name, ObjectKind kind,
                                               unsigned mode, uint64_t file_size,
                                               const InitFn& init, const UndoFn& undo, bool* retry);

  // Frees the name when no other process holds the object. Only the process
  // that opened the file may ask: a forked child shares the parent's lock.
  void ReleaseName();
  friend void ReleaseNamesAtExit();

  int fd_;
  pid_t opener_;
  uint8_t* page_;
  ObjectName name_;
  dev_t dev_;
  ino_t ino_;
  bool keep_mapped_ = false;
};

// Where a synchronisation object's state lives: a named object's shared page, or
// process memory for an unnamed one.
class SyncHome {
 public:
  explicit SyncHome(std::shared_ptr<SharedSection> section)
      : section_(std::move(section)), block_(section_->sync()), shared_(true) {}
  SyncHome() : local_(std::make_unique<SyncBlock>()), block_(local_.get()), shared_(false) {}
  SyncBlock* block() const { return block_; }
  bool shared() const { return shared_; }
  WaitWord word() const { return {&block_->seq, &block_->sleepers, shared_}; }
  SharedSection* section() const { return section_.get(); }

 private:
  std::shared_ptr<SharedSection> section_;
  std::unique_ptr<SyncBlock> local_;
  SyncBlock* block_;
  bool shared_;
};

// Creates or opens a synchronisation object. name null or "" (create only) makes an
// unnamed object. init prepares a new object's SyncBlock (shared tells whether it
// is named); undo, when given, reverses it for a new object that lost a creation
// race. On success *existed tells whether a named object was opened.
std::unique_ptr<SyncHome> OpenSyncHome(ObjectKind kind, const char* name, bool create,
                                       const SECURITY_ATTRIBUTES* attributes,
                                       const std::function<bool(SyncBlock*, bool shared)>& init,
                                       bool* existed,
                                       const std::function<void(SyncBlock*)>& undo = nullptr);

}  // namespace qx::platform

#endif
