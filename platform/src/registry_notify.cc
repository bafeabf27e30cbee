// Change notification: RegNotifyChangeKeyValue across processes.
//
// Every write transaction appends rows to the store's journal table (the folded
// path of the key whose contents changed and what changed). Each process runs,
// per store file that it watches, one watcher thread with its own SQLite
// connection. The thread sleeps in poll() on an inotify watch of the store's
// folder (every commit writes the -wal file, so another process's commit wakes it
// at once), on an eventfd that this process's own commits poke, and on a short
// time-out as a fallback for file systems without inotify. Awake, it reads the
// journal rows it has not seen and signals the event of every watch that a row
// matches. A watch remembers the journal's last sequence number when it was
// armed and fires only for later rows, so a change committed after the arming
// call returns is never missed, and one made before it never fires it.
#include <poll.h>
#include <qxplatform/errors.h>
#include <qxplatform/registry.h>
#include <qxplatform/sync.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "handle_table.h"
#include "registry_handles.h"

namespace qx::platform::reg {
namespace {

// Fallback re-check interval while watches are armed, should the store's folder
// give no inotify events (network and some container file systems).
constexpr int kFallbackPollMs = 20;

constexpr DWORD kFilterBits = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                              REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

struct Watch {
  HKEY handle;       // the key handle it was armed through
  std::string path;  // folded path of the watched key
  bool subtree;
  DWORD filter;
  HANDLE event;      // our own duplicate of the caller's event
  int64_t baseline;  // journal sequence at arming; only later rows count
};

bool Below(const std::string& path, const std::string& ancestor) {
  if (ancestor.empty()) return !path.empty();
  return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
         path[ancestor.size()] == '\\';
}

bool Matches(const Watch& w, const std::string& path, int kind) {
  // The watched key (or a key above it) went away: always reported.
  if ((kind & kChangeDeleted) && (w.path == path || Below(w.path, path))) return true;
  if ((kind & int(w.filter)) == 0) return false;
  return path == w.path || (w.subtree && Below(path, w.path));
}

void Fire(const Watch& w) {
  SetEvent(w.event);
  CloseHandle(w.event);
}

class Watcher {
 public:
  explicit Watcher(std::string db_path) : db_path_(std::move(db_path)) {}

  LSTATUS Start() {
    int rc = sqlite3_open_v2(db_path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
    SetPatientBusyHandler(db_);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) return ErrorFromErrno(errno);
    inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd_ >= 0) {
      std::string dir = db_path_.substr(0, db_path_.rfind('/'));
      ::inotify_add_watch(inotify_fd_, dir.c_str(),
                          IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_DELETE);
    }
    int64_t seq = 0;
    LSTATUS status = ReadLastSequence(&seq);
    if (status != ERROR_SUCCESS) return status;
    last_seq_ = seq;
    std::thread(&Watcher::Run, this).detach();
    return ERROR_SUCCESS;
  }

  LSTATUS Arm(Watch w) {
    std::lock_guard lock(mutex_);
    LSTATUS rc = ReadLastSequence(&w.baseline);
    if (rc != ERROR_SUCCESS) return rc;
    watches_.push_back(std::move(w));
    Poke();
    return ERROR_SUCCESS;
  }

  // Ends the watches armed through handle, signalling their events.
  void Cancel(HKEY handle) {
    std::lock_guard lock(mutex_);
    std::erase_if(watches_, [&](const Watch& w) {
      if (w.handle != handle) return false;
      Fire(w);
      return true;
    });
  }

  void Poke() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
  }

 private:
  LSTATUS ReadLastSequence(int64_t* seq) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_, "SELECT coalesce(max(seq), 0) FROM journal", -1, &s, nullptr);
    if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
    rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) *seq = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return rc == SQLITE_ROW ? ERROR_SUCCESS : ErrorFromSqlite(rc);
  }

  void Run() {
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {inotify_fd_, POLLIN, 0}};
    const nfds_t count = inotify_fd_ >= 0 ? 2 : 1;
    char buf[4096];
    for (;;) {
      int timeout;
      {
        std::lock_guard lock(mutex_);
        timeout = watches_.empty() ? -1 : kFallbackPollMs;
      }
      ::poll(fds, count, timeout);
      while (::read(wake_fd_, buf, sizeof buf) > 0) {
      }
      if (inotify_fd_ >= 0)
        while (::read(inotify_fd_, buf, sizeof buf) > 0) {
        }
      std::lock_guard lock(mutex_);
      if (!watches_.empty()) Scan();
    }
  }

  // Reads the journal rows not seen yet and fires the watches they match.
  // Called with mutex_ held. A store that cannot be read leaves the watches
  // armed; the next wake-up tries again.
  void Scan() {
    if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return;
    sqlite3_stmt* pruned_stmt = nullptr;
    sqlite3_stmt* rows = nullptr;
    int64_t pruned = 0;
    if (sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE name = 'pruned'", -1, &pruned_stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(pruned_stmt) == SQLITE_ROW)
      pruned = sqlite3_column_int64(pruned_stmt, 0);
    sqlite3_finalize(pruned_stmt);
    // Rows this watcher never saw were pruned: report a change to every watch
    // that may have missed one, rather than nothing.
    if (pruned > last_seq_) {
      std::erase_if(watches_, [&](const Watch& w) {
        if (w.baseline >= pruned) return false;
        Fire(w);
        return true;
      });
    }
    if (sqlite3_prepare_v2(db_, "SELECT seq, path, kind FROM journal WHERE seq > ?1 ORDER BY seq",
                           -1, &rows, nullptr) == SQLITE_OK) {
      sqlite3_bind_int64(rows, 1, last_seq_);
      int rc;
      while ((rc = sqlite3_step(rows)) == SQLITE_ROW) {
        int64_t seq = sqlite3_column_int64(rows, 0);
        const char* p = reinterpret_cast<const char*>(sqlite3_column_text(rows, 1));
        std::string path = p ? p : "";
        int kind = sqlite3_column_int(rows, 2);
        std::erase_if(watches_, [&](const Watch& w) {
          if (seq <= w.baseline || !Matches(w, path, kind)) return false;
          Fire(w);
          return true;
        });
        last_seq_ = seq;
      }
    }
    sqlite3_finalize(rows);
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }

  const std::string db_path_;
  sqlite3* db_ = nullptr;
  int wake_fd_ = -1;
  int inotify_fd_ = -1;
  std::mutex mutex_;
  std::vector<Watch> watches_;
  int64_t last_seq_ = 0;
};

// The watchers of this process, by store file. Never destroyed: their threads
// run until the process ends.
struct WatcherTable {
  std::mutex mutex;
  pid_t pid = 0;
  std::map<std::string, Watcher*> watchers;
};

WatcherTable& Watchers() {
  static auto* table = new WatcherTable;
  return *table;
}

// The table, emptied when this is a child of the process that filled it (the
// threads did not cross fork()). Called with the table's mutex held.
std::map<std::string, Watcher*>& Current(WatcherTable& t) {
  if (t.pid != ::getpid()) {
    t.watchers.clear();
    t.pid = ::getpid();
  }
  return t.watchers;
}

LSTATUS WatcherFor(const std::string& path, Watcher** out) {
  WatcherTable& t = Watchers();
  std::lock_guard lock(t.mutex);
  auto& map = Current(t);
  auto it = map.find(path);
  if (it != map.end()) {
    *out = it->second;
    return ERROR_SUCCESS;
  }
  auto watcher = std::make_unique<Watcher>(path);
  LSTATUS rc = watcher->Start();
  if (rc != ERROR_SUCCESS) return rc;  // a watcher whose thread never started is freed
  *out = watcher.release();
  map.emplace(path, *out);
  return ERROR_SUCCESS;
}

}  // namespace

void CancelWatches(HKEY handle) {
  WatcherTable& t = Watchers();
  std::lock_guard lock(t.mutex);
  for (auto& [path, w] : Current(t)) w->Cancel(handle);
}

void NotifyLocalCommit(const std::string& store_path) {
  WatcherTable& t = Watchers();
  std::lock_guard lock(t.mutex);
  auto& map = Current(t);
  auto it = map.find(store_path);
  if (it != map.end()) it->second->Poke();
}

}  // namespace qx::platform::reg

using namespace qx::platform;
using namespace qx::platform::reg;

extern "C" LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter,
                                           HANDLE hEvent, BOOL fAsynchronous) {
  if ((dwNotifyFilter & ~(kFilterBits | REG_NOTIFY_THREAD_AGNOSTIC)) != 0 ||
      (dwNotifyFilter & kFilterBits) == 0)
    return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObject> key;
  LSTATUS rc = ResolveKey(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  if ((key->access & KEY_NOTIFY) == 0) return ERROR_ACCESS_DENIED;
  KeyRef current;
  if ((rc = key->store->OpenKey(key->ref, {}, &current)) != ERROR_SUCCESS) return rc;

  HANDLE private_event = nullptr;
  if (!fAsynchronous) {
    private_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (private_event == nullptr) return LSTATUS(GetLastError());
    hEvent = private_event;
  } else {
    ObjectRef object = HandleTable::Get().Lookup(hEvent);
    if (!object || object->kind() != ObjectKind::kEvent) return ERROR_INVALID_HANDLE;
  }
  HANDLE dup = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), hEvent, GetCurrentProcess(), &dup, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    if (private_event) CloseHandle(private_event);
    return LSTATUS(GetLastError());
  }
  Watcher* watcher = nullptr;
  rc = WatcherFor(key->store->path(), &watcher);
  if (rc == ERROR_SUCCESS)
    rc = watcher->Arm({hKey, key->ref.path, bWatchSubtree != FALSE, dwNotifyFilter, dup, 0});
  if (rc != ERROR_SUCCESS) {
    CloseHandle(dup);
    if (private_event) CloseHandle(private_event);
    return rc;
  }
  if (private_event) {
    WaitForSingleObject(private_event, INFINITE);
    CloseHandle(private_event);
  }
  return ERROR_SUCCESS;
}
