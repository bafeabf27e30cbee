// The registry hive on SQLite: schema, transactions, keys and values.
#include "registry_store.h"

#include <fcntl.h>
#include <qxplatform/errors.h>
#include <qxplatform/system.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <chrono>
#include <ctime>
#include <random>
#include <thread>

#include "registry_handles.h"

namespace qx::platform::reg {
namespace {

// The schema version this code reads and writes (meta "format").
constexpr int kFormat = 1;

// How long a writer waits for other processes' transactions before it gives up
// with ERROR_BUSY. Long, so that a burst of writers never fails spuriously; a
// writer that is killed mid-transaction releases its lock at once.
constexpr auto kBusyPatience = std::chrono::seconds(60);

// The journal keeps this many recent changes; a watcher that falls further behind
// than that is told "something changed" (never "nothing").
constexpr int64_t kJournalKeep = 20000;
// Pruning runs when a change's sequence number is a multiple of this.
constexpr int64_t kJournalPruneEvery = 1024;

// Deepest key tree the store reads back (Windows allows 512 levels).
constexpr int kMaxDepth = 512;

const char kEmptyBlob = 0;

// Resets a cached statement when the caller is done with it.
class Stmt {
 public:
  explicit Stmt(sqlite3_stmt* s) : s_(s) {}
  ~Stmt() {
    if (s_) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  explicit operator bool() const { return s_ != nullptr; }
  Stmt& Bind(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Stmt& Bind(int i, std::string_view text) {
    sqlite3_bind_text(s_, i, text.empty() ? &kEmptyBlob : text.data(), int(text.size()),
                      SQLITE_STATIC);
    return *this;
  }
  Stmt& BindBlob(int i, std::string_view data) {
    sqlite3_bind_blob(s_, i, data.empty() ? &kEmptyBlob : data.data(), int(data.size()),
                      SQLITE_STATIC);
    return *this;
  }
  int Step() { return sqlite3_step(s_); }
  int64_t Int(int col) { return sqlite3_column_int64(s_, col); }
  std::string Text(int col) {
    const void* p = sqlite3_column_blob(s_, col);
    int n = sqlite3_column_bytes(s_, col);
    return p ? std::string(static_cast<const char*>(p), size_t(n)) : std::string();
  }
  sqlite3_stmt* get() { return s_; }

 private:
  sqlite3_stmt* s_;
};

std::string ChildPath(const std::string& parent, std::string_view fold) {
  if (parent.empty()) return std::string(fold);
  std::string p = parent;
  p += '\\';
  p += fold;
  return p;
}

std::string ParentPath(const std::string& path) {
  auto slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string JoinFolded(const std::string& base, const std::vector<std::string>& rel) {
  std::string path = base;
  for (const auto& c : rel) path = ChildPath(path, Fold(c));
  return path;
}

// Sleeps a short, growing, jittered while per retry; gives up after kBusyPatience.
int PatientBusy(void*, int count) {
  thread_local std::chrono::steady_clock::time_point start;
  thread_local std::minstd_rand rng(unsigned(::getpid()) ^ unsigned(std::time(nullptr)));
  auto now = std::chrono::steady_clock::now();
  if (count == 0) start = now;
  if (now - start > kBusyPatience) return 0;
  int base_us = count < 6 ? (50 << count) : 2000;
  std::this_thread::sleep_for(
      std::chrono::microseconds(base_us / 2 + int(rng() % unsigned(base_us))));
  return 1;
}

}  // namespace

std::string Fold(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  return out;
}

LSTATUS ErrorFromSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_NOTADB:
      return ERROR_BADDB;
    case SQLITE_CORRUPT:
      return ERROR_REGISTRY_CORRUPT;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    case SQLITE_IOERR:
      return ERROR_REGISTRY_IO_FAILED;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG:
      return ERROR_OUTOFMEMORY;
    default:
      // A statement of ours failing in any other way means the file holds a
      // database that is not a registry store of this format.
      return ERROR_BADDB;
  }
}

// A program often opens the store once, reads a value or two and ends: SQLite's
// default per-connection lookaside and the page cache it lays out ahead cost more
// page faults than such a program's reads. The stores are small, and they are
// read through SQLite's ordinary allocations instead. This applies only where the
// library carries its own SQLite and nothing has used it yet; elsewhere SQLite
// refuses a late configuration and keeps its defaults.
void ConfigureSqliteOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
  });
}

void SetPatientBusyHandler(sqlite3* db) {
  sqlite3_busy_handler(db, PatientBusy, nullptr);
}

int64_t NowFileTime() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  // 1601-01-01 to 1970-01-01 in 100 ns units.
  constexpr int64_t kEpochDelta = 116444736000000000LL;
  return kEpochDelta + int64_t(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

Store::~Store() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  if (db_) sqlite3_close_v2(db_);
}

LSTATUS Store::Open(const std::string& path, unsigned file_mode, std::shared_ptr<Store>* out) {
  std::shared_ptr<Store> store(new Store(path));
  LSTATUS rc = store->Init(file_mode);
  if (rc != ERROR_SUCCESS) return rc;
  *out = std::move(store);
  return ERROR_SUCCESS;
}

LSTATUS Store::Init(unsigned file_mode) {
  // Create a missing file ourselves so that it gets its mode (the user's store
  // is private); SQLite gives the -wal and -shm files the same mode. An existing
  // file is only stat()ed: closing any descriptor of a file drops every POSIX
  // lock this process holds on it, and other connections here may hold some.
  // Only an empty file may be given the schema: a file with bytes in it that
  // shows no schema is a damaged store (a truncated one reads as empty), and
  // must not be silently replaced.
  struct stat st;
  bool empty_file = false;
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return ErrorFromErrno(errno);
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, file_mode);
    if (fd < 0 && errno != EEXIST) return ErrorFromErrno(errno);
    if (fd >= 0) ::close(fd);
    empty_file = ::stat(path_.c_str(), &st) == 0 && st.st_size == 0;
  } else if (S_ISDIR(st.st_mode)) {
    return ERROR_CANTOPEN;
  } else {
    empty_file = st.st_size == 0;
  }

  struct stat log;
  const bool log_has_changes = ::stat((path_ + "-wal").c_str(), &log) == 0 && log.st_size > 0;

  ConfigureSqliteOnce();
  int rc =
      sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) return rc == SQLITE_CANTOPEN ? ERROR_CANTOPEN : ErrorFromSqlite(rc);
  SetPatientBusyHandler(db_);
  sqlite3_extended_result_codes(db_, 1);
  // A damaged file must give an error, never undefined behaviour: check cells as
  // pages are read, and let no schema object of the file run unsafe functions.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  for (const char* pragma :
       {"PRAGMA cell_size_check=ON", "PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL"}) {
    rc = sqlite3_exec(db_, pragma, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
  }

  // The store's format: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND for a new, empty file
  // (it gets the schema), ERROR_BADDB for anything else. Tables without "meta"
  // are also what a process sees when another one commits the schema between the
  // two looks below, so that answer is only trusted when it stays.
  bool schema_without_meta = false;
  auto check_format = [&]() -> LSTATUS {
    schema_without_meta = false;
    Stmt format(Prepare("SELECT value FROM meta WHERE name='format'"));
    if (!format) {
      int err = sqlite3_errcode(db_);
      if ((err & 0xff) != SQLITE_ERROR) return ErrorFromSqlite(err);
      Stmt count(Prepare("SELECT count(*) FROM sqlite_master"));
      if (!count) return ErrorFromSqlite(sqlite3_errcode(db_));
      int step = count.Step();
      if (step != SQLITE_ROW) return ErrorFromSqlite(step);
      if (count.Int(0) != 0) {
        schema_without_meta = true;
        return ERROR_BADDB;
      }
      return empty_file || WholePages() ? ERROR_FILE_NOT_FOUND : ERROR_BADDB;
    }
    int step = format.Step();
    if (step == SQLITE_ROW)
      return sqlite3_column_type(format.get(), 0) == SQLITE_INTEGER && format.Int(0) == kFormat
                 ? ERROR_SUCCESS
                 : ERROR_BADDB;
    return step == SQLITE_DONE ? ERROR_BADDB : ErrorFromSqlite(step);
  };
  LSTATUS status = check_format();
  for (int again = 0; status == ERROR_BADDB && schema_without_meta && again < 5; ++again) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5 << again));
    status = check_format();
  }
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
  if (status != ERROR_SUCCESS) {
    LSTATUS made = CreateSchema();
    if (made != ERROR_SUCCESS) return made;
  }
  status = DropStaleVolatileKeys();
  if (status == ERROR_SUCCESS && log_has_changes) EmptyLog();
  return status;
}

void Store::EmptyLog() {
  // Changes that earlier processes left in the write-ahead log are read back
  // (SQLite rebuilds its index of the log) by every process that opens the store
  // while no other has it open, and processes end without closing it: a log that
  // only grows makes every later start slower. Copy the changes into the store
  // file and empty the log, unless another connection is using it; never wait
  // for that, the next opener tries again.
  sqlite3_busy_handler(db_, nullptr, nullptr);
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  SetPatientBusyHandler(db_);
}

bool Store::WholePages() {
  // A database without any table, made of whole pages: another process has just
  // created the file (switching it to WAL writes its first page) and is about to
  // give it the schema. A file cut inside its first page also reads as an empty
  // database, but it is not made of whole pages.
  struct stat st;
  Stmt page(Prepare("PRAGMA page_size"));
  if (!page || page.Step() != SQLITE_ROW || ::stat(path_.c_str(), &st) != 0) return false;
  const int64_t size = page.Int(0);
  return size > 0 && st.st_size > 0 && st.st_size % size == 0;
}

LSTATUS Store::CreateSchema() {
  static const char* const kSchema =
      "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value);"
      "CREATE TABLE IF NOT EXISTS keys("
      " id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
      " name TEXT NOT NULL, fold TEXT NOT NULL, path TEXT NOT NULL UNIQUE,"
      " volatile INTEGER NOT NULL DEFAULT 0, class TEXT NOT NULL DEFAULT '',"
      " last_write INTEGER NOT NULL DEFAULT 0);"
      "CREATE UNIQUE INDEX IF NOT EXISTS keys_child ON keys(parent, fold);"
      "CREATE TABLE IF NOT EXISTS vals("
      " id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name TEXT NOT NULL,"
      " fold TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
      "CREATE UNIQUE INDEX IF NOT EXISTS vals_name ON vals(key, fold);"
      "CREATE INDEX IF NOT EXISTS vals_key ON vals(key);"
      "CREATE TABLE IF NOT EXISTS journal("
      " seq INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL,"
      " kind INTEGER NOT NULL, time INTEGER NOT NULL);"
      "INSERT OR IGNORE INTO keys(id, parent, name, fold, path) VALUES(1, 0, '', '', '');"
      "INSERT OR IGNORE INTO meta(name, value) VALUES('format', 1);"
      "INSERT OR IGNORE INTO meta(name, value) VALUES('pruned', 0);";
  return Write([&]() -> LSTATUS {
    return ErrorFromSqlite(sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr));
  });
}

LSTATUS Store::DropStaleVolatileKeys() {
  const std::string boot = BootId();
  if (boot.empty()) return ERROR_SUCCESS;  // no boot id: volatile keys stay
  auto stale = [&](bool* is_stale) -> LSTATUS {
    Stmt s(Prepare("SELECT value FROM meta WHERE name='boot'"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    int rc = s.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ErrorFromSqlite(rc);
    *is_stale = rc == SQLITE_DONE || s.Text(0) != boot;
    return ERROR_SUCCESS;
  };
  bool is_stale = false;
  LSTATUS status = stale(&is_stale);
  if (status != ERROR_SUCCESS || !is_stale) return status;
  return Write([&]() -> LSTATUS {
    LSTATUS rc = stale(&is_stale);  // another process may have done it meanwhile
    if (rc != ERROR_SUCCESS || !is_stale) return rc;
    // Volatile keys that sit under a non-volatile parent head the volatile trees.
    std::vector<std::pair<int64_t, std::string>> tops;
    {
      Stmt s(
          Prepare("SELECT k.id, k.path FROM keys k JOIN keys p ON p.id = k.parent"
                  " WHERE k.volatile = 1 AND p.volatile = 0"));
      if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
      int step;
      while ((step = s.Step()) == SQLITE_ROW) tops.emplace_back(s.Int(0), s.Text(1));
      if (step != SQLITE_DONE) return ErrorFromSqlite(step);
    }
    for (const auto& [id, path] : tops) {
      std::vector<int64_t> ids;
      if ((rc = CollectSubtree(id, &ids)) != ERROR_SUCCESS) return rc;
      if ((rc = RemoveKeys(ids)) != ERROR_SUCCESS) return rc;
      if ((rc = Journal(path, kChangeDeleted)) != ERROR_SUCCESS) return rc;
      if ((rc = Journal(ParentPath(path), kChangeName)) != ERROR_SUCCESS) return rc;
    }
    Stmt set(Prepare("INSERT OR REPLACE INTO meta(name, value) VALUES('boot', ?1)"));
    if (!set) return ErrorFromSqlite(sqlite3_errcode(db_));
    set.Bind(1, boot);
    return ErrorFromSqlite(set.Step());
  });
}

sqlite3_stmt* Store::Prepare(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
    return nullptr;
  statements_.emplace(sql, stmt);
  return stmt;
}

LSTATUS Store::Begin() {
  // The busy handler waits for other writers; BUSY can still come back at once
  // in a few corner cases (a recovering WAL), so retry those too.
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return ERROR_SUCCESS;
    if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() - start > kBusyPatience)
      return ErrorFromSqlite(rc);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

LSTATUS Store::Commit() {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return ERROR_SUCCESS;
    if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() - start > kBusyPatience) {
      Rollback();
      return ErrorFromSqlite(rc);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void Store::Rollback() {
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

template <typename Fn>
LSTATUS Store::Write(Fn&& fn) {
  LSTATUS rc = Begin();
  if (rc != ERROR_SUCCESS) return rc;
  rc = fn();
  if (rc != ERROR_SUCCESS) {
    Rollback();
    return rc;
  }
  rc = Commit();
  if (rc == ERROR_SUCCESS) NotifyLocalCommit(path_);
  return rc;
}

LSTATUS Store::KeyExists(int64_t id, bool* exists) {
  Stmt s(Prepare("SELECT 1 FROM keys WHERE id = ?1"));
  if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
  s.Bind(1, id);
  int rc = s.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  *exists = rc == SQLITE_ROW;
  return ERROR_SUCCESS;
}

LSTATUS Store::FindChild(int64_t, const std::string& path, KeyRef* out) {
  Stmt s(Prepare("SELECT id, volatile FROM keys WHERE path = ?1"));
  if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
  s.Bind(1, path);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  out->id = s.Int(0);
  out->is_volatile = s.Int(1) != 0;
  out->path = path;
  return ERROR_SUCCESS;
}

LSTATUS Store::Journal(const std::string& path, int kind) {
  int64_t seq;
  {
    Stmt s(Prepare("INSERT INTO journal(path, kind, time) VALUES(?1, ?2, ?3)"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, path).Bind(2, kind).Bind(3, NowFileTime());
    int rc = s.Step();
    if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
    seq = sqlite3_last_insert_rowid(db_);
  }
  if (seq % kJournalPruneEvery != 0 || seq <= kJournalKeep) return ERROR_SUCCESS;
  // Forget old changes; "pruned" tells a watcher that fell behind that it missed
  // some, so that it reports a change rather than nothing.
  Stmt del(Prepare("DELETE FROM journal WHERE seq <= ?1"));
  if (!del) return ErrorFromSqlite(sqlite3_errcode(db_));
  del.Bind(1, seq - kJournalKeep);
  int rc = del.Step();
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  Stmt mark(Prepare("INSERT OR REPLACE INTO meta(name, value) VALUES('pruned', ?1)"));
  if (!mark) return ErrorFromSqlite(sqlite3_errcode(db_));
  mark.Bind(1, seq - kJournalKeep);
  return ErrorFromSqlite(mark.Step());
}

LSTATUS Store::Touch(int64_t key) {
  Stmt s(Prepare("UPDATE keys SET last_write = ?2 WHERE id = ?1"));
  if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
  s.Bind(1, key).Bind(2, NowFileTime());
  return ErrorFromSqlite(s.Step());
}

LSTATUS Store::CollectSubtree(int64_t key, std::vector<int64_t>* ids) {
  Stmt s(
      Prepare("WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL"
              " SELECT k.id FROM keys k JOIN t ON k.parent = t.id) SELECT id FROM t"));
  if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
  s.Bind(1, key);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) ids->push_back(s.Int(0));
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

LSTATUS Store::RemoveKeys(const std::vector<int64_t>& ids) {
  for (int64_t id : ids) {
    {
      Stmt v(Prepare("DELETE FROM vals WHERE key = ?1"));
      if (!v) return ErrorFromSqlite(sqlite3_errcode(db_));
      v.Bind(1, id);
      int rc = v.Step();
      if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
    }
    Stmt k(Prepare("DELETE FROM keys WHERE id = ?1"));
    if (!k) return ErrorFromSqlite(sqlite3_errcode(db_));
    k.Bind(1, id);
    int rc = k.Step();
    if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  }
  return ERROR_SUCCESS;
}

LSTATUS Store::OpenKey(const KeyRef& base, const std::vector<std::string>& rel, KeyRef* out) {
  std::lock_guard lock(mutex_);
  bool exists = false;
  LSTATUS rc = KeyExists(base.id, &exists);
  if (rc != ERROR_SUCCESS) return rc;
  if (!exists) return ERROR_KEY_DELETED;
  if (rel.empty()) {
    *out = base;
    return ERROR_SUCCESS;
  }
  return FindChild(0, JoinFolded(base.path, rel), out);
}

LSTATUS Store::CreateKey(const KeyRef& base, const std::vector<std::string>& rel, bool is_volatile,
                         const std::string& cls, KeyRef* out, bool* created) {
  std::lock_guard lock(mutex_);
  return Write([&]() -> LSTATUS {
    bool exists = false;
    LSTATUS rc = KeyExists(base.id, &exists);
    if (rc != ERROR_SUCCESS) return rc;
    if (!exists) return ERROR_KEY_DELETED;
    KeyRef cur = base;
    *created = false;
    for (size_t i = 0; i < rel.size(); ++i) {
      std::string fold = Fold(rel[i]);
      std::string path = ChildPath(cur.path, fold);
      KeyRef next;
      rc = FindChild(cur.id, path, &next);
      if (rc == ERROR_SUCCESS) {
        cur = next;
        *created = false;
        continue;
      }
      if (rc != ERROR_FILE_NOT_FOUND) return rc;
      // The key asked for gets the option; keys made on the way to it are volatile
      // only below a volatile key, so that a volatile leaf does not make its new
      // parents vanish at the next boot.
      const bool last = i + 1 == rel.size();
      const bool make_volatile = last ? is_volatile : cur.is_volatile;
      if (cur.is_volatile && !make_volatile) return ERROR_CHILD_MUST_BE_VOLATILE;
      {
        Stmt s(
            Prepare("INSERT INTO keys(parent, name, fold, path, volatile, class, last_write)"
                    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"));
        if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
        const std::string& key_class = i + 1 == rel.size() ? cls : std::string();
        s.Bind(1, cur.id).Bind(2, rel[i]).Bind(3, fold).Bind(4, path);
        s.Bind(5, make_volatile ? 1 : 0).Bind(6, key_class);
        s.Bind(7, NowFileTime());
        int step = s.Step();
        if (step != SQLITE_DONE) return ErrorFromSqlite(step);
        next.id = sqlite3_last_insert_rowid(db_);
      }
      if ((rc = Journal(cur.path, kChangeName)) != ERROR_SUCCESS) return rc;
      if ((rc = Touch(cur.id)) != ERROR_SUCCESS) return rc;
      next.path = path;
      next.is_volatile = make_volatile;
      cur = next;
      *created = true;
    }
    *out = cur;
    return ERROR_SUCCESS;
  });
}

LSTATUS Store::DeleteKey(const KeyRef& base, const std::vector<std::string>& rel, bool tree,
                         bool contents_only) {
  std::lock_guard lock(mutex_);
  return Write([&]() -> LSTATUS {
    bool exists = false;
    LSTATUS rc = KeyExists(base.id, &exists);
    if (rc != ERROR_SUCCESS) return rc;
    if (!exists) return ERROR_KEY_DELETED;
    KeyRef target = base;
    if (!rel.empty() && (rc = FindChild(0, JoinFolded(base.path, rel), &target)) != ERROR_SUCCESS)
      return rc;
    if (target.id == kRootId && !contents_only) return ERROR_ACCESS_DENIED;

    std::vector<std::pair<int64_t, std::string>> children;
    {
      Stmt s(Prepare("SELECT id, path FROM keys WHERE parent = ?1"));
      if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
      s.Bind(1, target.id);
      int step;
      while ((step = s.Step()) == SQLITE_ROW) children.emplace_back(s.Int(0), s.Text(1));
      if (step != SQLITE_DONE) return ErrorFromSqlite(step);
    }
    if (!tree && !children.empty()) return ERROR_ACCESS_DENIED;

    if (contents_only) {
      if ((rc = ClearContents(target.id, children)) != ERROR_SUCCESS) return rc;
      if ((rc = Journal(target.path, kChangeName | kChangeLastSet)) != ERROR_SUCCESS) return rc;
      return Touch(target.id);
    }

    int64_t parent = 0;
    {
      Stmt s(Prepare("SELECT parent FROM keys WHERE id = ?1"));
      if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
      s.Bind(1, target.id);
      int step = s.Step();
      if (step != SQLITE_ROW)
        return step == SQLITE_DONE ? ERROR_KEY_DELETED : ErrorFromSqlite(step);
      parent = s.Int(0);
    }
    std::vector<int64_t> ids;
    if ((rc = CollectSubtree(target.id, &ids)) != ERROR_SUCCESS) return rc;
    if ((rc = RemoveKeys(ids)) != ERROR_SUCCESS) return rc;
    if ((rc = Journal(target.path, kChangeDeleted)) != ERROR_SUCCESS) return rc;
    if ((rc = Journal(ParentPath(target.path), kChangeName)) != ERROR_SUCCESS) return rc;
    return Touch(parent);
  });
}

LSTATUS Store::QueryValue(int64_t key, std::string_view fold, DWORD* type, std::string* data) {
  std::lock_guard lock(mutex_);
  {
    Stmt s(Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, key).Bind(2, fold);
    int rc = s.Step();
    if (rc == SQLITE_ROW) {
      *type = DWORD(s.Int(0));
      const void* p = sqlite3_column_blob(s.get(), 1);
      int n = sqlite3_column_bytes(s.get(), 1);
      if (p)
        data->assign(static_cast<const char*>(p), size_t(n));
      else
        data->clear();
      return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  }
  bool exists = false;
  LSTATUS rc = KeyExists(key, &exists);
  if (rc != ERROR_SUCCESS) return rc;
  return exists ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

LSTATUS Store::SetValue(const KeyRef& key, const std::string& name, DWORD type,
                        std::string_view data) {
  std::lock_guard lock(mutex_);
  return Write([&]() -> LSTATUS {
    bool exists = false;
    LSTATUS rc = KeyExists(key.id, &exists);
    if (rc != ERROR_SUCCESS) return rc;
    if (!exists) return ERROR_KEY_DELETED;
    {
      // A value that exists keeps its place in the enumeration and its name's case.
      Stmt s(Prepare(
          "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
          " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data"));
      if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
      std::string fold = Fold(name);
      s.Bind(1, key.id).Bind(2, name).Bind(3, fold).Bind(4, int64_t(type)).BindBlob(5, data);
      int step = s.Step();
      if (step != SQLITE_DONE) return ErrorFromSqlite(step);
    }
    if ((rc = Journal(key.path, kChangeLastSet)) != ERROR_SUCCESS) return rc;
    return Touch(key.id);
  });
}

LSTATUS Store::DeleteValue(const KeyRef& key, const std::string& name) {
  std::lock_guard lock(mutex_);
  return Write([&]() -> LSTATUS {
    bool exists = false;
    LSTATUS rc = KeyExists(key.id, &exists);
    if (rc != ERROR_SUCCESS) return rc;
    if (!exists) return ERROR_KEY_DELETED;
    {
      Stmt s(Prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2"));
      if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
      std::string fold = Fold(name);
      s.Bind(1, key.id).Bind(2, fold);
      int step = s.Step();
      if (step != SQLITE_DONE) return ErrorFromSqlite(step);
      if (sqlite3_changes(db_) == 0) return ERROR_FILE_NOT_FOUND;
    }
    if ((rc = Journal(key.path, kChangeLastSet)) != ERROR_SUCCESS) return rc;
    return Touch(key.id);
  });
}

LSTATUS Store::EnumKey(int64_t key, DWORD index, std::string* name, std::string* cls,
                       int64_t* last_write) {
  std::lock_guard lock(mutex_);
  {
    Stmt s(
        Prepare("SELECT name, class, last_write FROM keys WHERE parent = ?1 ORDER BY fold"
                " LIMIT 1 OFFSET ?2"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, key).Bind(2, int64_t(index));
    int rc = s.Step();
    if (rc == SQLITE_ROW) {
      *name = s.Text(0);
      if (cls) *cls = s.Text(1);
      if (last_write) *last_write = s.Int(2);
      return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  }
  return EnumerationEnd(key);
}

// Removes the trees of a key's children (journalling each as deleted) and the
// key's own values; the key itself stays.
LSTATUS Store::ClearContents(int64_t key,
                             const std::vector<std::pair<int64_t, std::string>>& children) {
  LSTATUS rc;
  for (const auto& [id, path] : children) {
    std::vector<int64_t> ids;
    if ((rc = CollectSubtree(id, &ids)) != ERROR_SUCCESS) return rc;
    if ((rc = RemoveKeys(ids)) != ERROR_SUCCESS) return rc;
    if ((rc = Journal(path, kChangeDeleted)) != ERROR_SUCCESS) return rc;
  }
  Stmt v(Prepare("DELETE FROM vals WHERE key = ?1"));
  if (!v) return ErrorFromSqlite(sqlite3_errcode(db_));
  v.Bind(1, key);
  int step = v.Step();
  return step == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(step);
}

// An enumeration index past the end: no more items, unless the key itself went
// away meanwhile.
LSTATUS Store::EnumerationEnd(int64_t key) {
  bool exists = false;
  LSTATUS rc = KeyExists(key, &exists);
  if (rc != ERROR_SUCCESS) return rc;
  return exists ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
}

LSTATUS Store::EnumValue(int64_t key, DWORD index, StoredValue* out) {
  std::lock_guard lock(mutex_);
  {
    Stmt s(
        Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, key).Bind(2, int64_t(index));
    int rc = s.Step();
    if (rc == SQLITE_ROW) {
      out->name = s.Text(0);
      out->type = DWORD(s.Int(1));
      out->data = s.Text(2);
      return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  }
  return EnumerationEnd(key);
}

LSTATUS Store::QueryInfo(int64_t key, bool with_names, KeyStats* out) {
  std::lock_guard lock(mutex_);
  // One read transaction, so that counts and names agree.
  int rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
  auto body = [&]() -> LSTATUS {
    {
      Stmt s(Prepare("SELECT class, last_write FROM keys WHERE id = ?1"));
      if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
      s.Bind(1, key);
      int step = s.Step();
      if (step == SQLITE_DONE) return ERROR_KEY_DELETED;
      if (step != SQLITE_ROW) return ErrorFromSqlite(step);
      out->cls = s.Text(0);
      out->last_write = s.Int(1);
    }
    {
      Stmt s(Prepare("SELECT name, class FROM keys WHERE parent = ?1 ORDER BY fold"));
      if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
      s.Bind(1, key);
      int step;
      while ((step = s.Step()) == SQLITE_ROW) {
        ++out->subkeys;
        std::string name = s.Text(0);
        out->max_subkey_name = std::max(out->max_subkey_name, name.size());
        out->max_class = std::max(out->max_class, size_t(sqlite3_column_bytes(s.get(), 1)));
        if (with_names) {
          out->subkey_names.push_back(std::move(name));
          out->subkey_classes.push_back(s.Text(1));
        }
      }
      if (step != SQLITE_DONE) return ErrorFromSqlite(step);
    }
    Stmt s(Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, key);
    int step;
    while ((step = s.Step()) == SQLITE_ROW) {
      ++out->values;
      std::string name = s.Text(0);
      out->max_value_name = std::max(out->max_value_name, name.size());
      out->max_value_data = std::max(out->max_value_data, size_t(sqlite3_column_bytes(s.get(), 2)));
      if (with_names) out->value_list.push_back({std::move(name), DWORD(s.Int(1)), s.Text(2)});
    }
    return step == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(step);
  };
  LSTATUS status = body();
  sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  return status;
}

LSTATUS Store::ReadTreeLocked(int64_t key, int depth, Tree* out) {
  if (depth > kMaxDepth) return ERROR_REGISTRY_CORRUPT;
  {
    Stmt s(Prepare("SELECT class FROM keys WHERE id = ?1"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, key);
    int step = s.Step();
    if (step == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (step != SQLITE_ROW) return ErrorFromSqlite(step);
    out->cls = s.Text(0);
  }
  {
    Stmt s(Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, key);
    int step;
    while ((step = s.Step()) == SQLITE_ROW)
      out->values.push_back({s.Text(0), DWORD(s.Int(1)), s.Text(2)});
    if (step != SQLITE_DONE) return ErrorFromSqlite(step);
  }
  std::vector<std::pair<int64_t, std::string>> children;
  {
    // The statement is reused by the recursion, so collect the children first.
    Stmt s(Prepare("SELECT id, name FROM keys WHERE parent = ?1 AND volatile = 0 ORDER BY fold"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, key);
    int step;
    while ((step = s.Step()) == SQLITE_ROW) children.emplace_back(s.Int(0), s.Text(1));
    if (step != SQLITE_DONE) return ErrorFromSqlite(step);
  }
  for (auto& [id, name] : children) {
    Tree sub;
    sub.name = std::move(name);
    LSTATUS rc = ReadTreeLocked(id, depth + 1, &sub);
    if (rc != ERROR_SUCCESS) return rc;
    out->subkeys.push_back(std::move(sub));
  }
  return ERROR_SUCCESS;
}

LSTATUS Store::ReadTree(int64_t key, Tree* out) {
  std::lock_guard lock(mutex_);
  int rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
  LSTATUS status = ReadTreeLocked(key, 0, out);
  sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  return status;
}

LSTATUS Store::InsertTree(int64_t parent, const std::string& parent_path, const Tree& tree,
                          bool as_volatile, bool is_root) {
  int64_t id = parent;
  std::string path = parent_path;
  LSTATUS rc;
  if (!is_root) {
    std::string fold = Fold(tree.name);
    path = ChildPath(parent_path, fold);
    Stmt s(
        Prepare("INSERT INTO keys(parent, name, fold, path, volatile, class, last_write)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    s.Bind(1, parent).Bind(2, tree.name).Bind(3, fold).Bind(4, path);
    s.Bind(5, as_volatile ? 1 : 0).Bind(6, tree.cls).Bind(7, NowFileTime());
    int step = s.Step();
    if ((step & 0xff) == SQLITE_CONSTRAINT) return ERROR_NOT_REGISTRY_FILE;  // duplicate names
    if (step != SQLITE_DONE) return ErrorFromSqlite(step);
    id = sqlite3_last_insert_rowid(db_);
  }
  for (const auto& v : tree.values) {
    Stmt s(Prepare("INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"));
    if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
    std::string fold = Fold(v.name);
    s.Bind(1, id).Bind(2, v.name).Bind(3, fold).Bind(4, int64_t(v.type)).BindBlob(5, v.data);
    int step = s.Step();
    if ((step & 0xff) == SQLITE_CONSTRAINT) return ERROR_NOT_REGISTRY_FILE;
    if (step != SQLITE_DONE) return ErrorFromSqlite(step);
  }
  for (const auto& sub : tree.subkeys)
    if ((rc = InsertTree(id, path, sub, as_volatile, false)) != ERROR_SUCCESS) return rc;
  return ERROR_SUCCESS;
}

LSTATUS Store::ReplaceTree(const KeyRef& key, const Tree& tree, bool as_volatile) {
  std::lock_guard lock(mutex_);
  return Write([&]() -> LSTATUS {
    bool exists = false;
    LSTATUS rc = KeyExists(key.id, &exists);
    if (rc != ERROR_SUCCESS) return rc;
    if (!exists) return ERROR_KEY_DELETED;
    std::vector<std::pair<int64_t, std::string>> children;
    {
      Stmt s(Prepare("SELECT id, path FROM keys WHERE parent = ?1"));
      if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
      s.Bind(1, key.id);
      int step;
      while ((step = s.Step()) == SQLITE_ROW) children.emplace_back(s.Int(0), s.Text(1));
      if (step != SQLITE_DONE) return ErrorFromSqlite(step);
    }
    if ((rc = ClearContents(key.id, children)) != ERROR_SUCCESS) return rc;
    // Below a volatile key every key must be volatile.
    if ((rc = InsertTree(key.id, key.path, tree, as_volatile || key.is_volatile, true)) !=
        ERROR_SUCCESS)
      return rc;
    if ((rc = Journal(key.path, kChangeName | kChangeLastSet)) != ERROR_SUCCESS) return rc;
    return Touch(key.id);
  });
}

LSTATUS Store::Flush() {
  std::lock_guard lock(mutex_);
  int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  return ErrorFromSqlite(rc);
}

LSTATUS Store::Check(std::string* problems) {
  std::lock_guard lock(mutex_);
  problems->clear();
  int rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
  auto body = [&]() -> LSTATUS {
    {
      sqlite3_stmt* raw = nullptr;
      if (sqlite3_prepare_v2(db_, "PRAGMA integrity_check", -1, &raw, nullptr) != SQLITE_OK)
        return ErrorFromSqlite(sqlite3_errcode(db_));
      int step;
      while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        const char* line = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        if (line && std::string_view(line) != "ok") *problems += std::string(line) + "\n";
      }
      sqlite3_finalize(raw);
      if (step != SQLITE_DONE) return ErrorFromSqlite(step);
    }
    struct Rule {
      const char* what;
      const char* sql;
    };
    static const Rule kRules[] = {
        {"keys without a parent",
         "SELECT count(*) FROM keys k WHERE k.id <> 1 AND NOT EXISTS"
         " (SELECT 1 FROM keys p WHERE p.id = k.parent)"},
        {"values without a key",
         "SELECT count(*) FROM vals v WHERE NOT EXISTS (SELECT 1 FROM keys k WHERE k.id = v.key)"},
        {"keys whose path disagrees with their parent's",
         "SELECT count(*) FROM keys k JOIN keys p ON p.id = k.parent WHERE k.path <>"
         " CASE WHEN p.path = '' THEN k.fold ELSE p.path || '\\' || k.fold END"},
        {"names whose folded form is wrong",
         "SELECT (SELECT count(*) FROM keys WHERE fold <> upper(name)) +"
         " (SELECT count(*) FROM vals WHERE fold <> upper(name))"},
        {"non-volatile keys below volatile ones",
         "SELECT count(*) FROM keys k JOIN keys p ON p.id = k.parent"
         " WHERE p.volatile = 1 AND k.volatile = 0"},
        {"missing root key", "SELECT count(*) = 0 FROM keys WHERE id = 1 AND path = ''"},
    };
    for (const auto& rule : kRules) {
      sqlite3_stmt* raw = nullptr;
      if (sqlite3_prepare_v2(db_, rule.sql, -1, &raw, nullptr) != SQLITE_OK)
        return ErrorFromSqlite(sqlite3_errcode(db_));
      int step = sqlite3_step(raw);
      int64_t n = step == SQLITE_ROW ? sqlite3_column_int64(raw, 0) : 0;
      sqlite3_finalize(raw);
      if (step != SQLITE_ROW) return ErrorFromSqlite(step);
      if (n != 0) *problems += std::to_string(n) + " " + rule.what + "\n";
    }
    return ERROR_SUCCESS;
  };
  LSTATUS status = body();
  sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  return status;
}

LSTATUS Store::LastSequence(int64_t* seq) {
  std::lock_guard lock(mutex_);
  Stmt s(Prepare("SELECT coalesce(max(seq), 0) FROM journal"));
  if (!s) return ErrorFromSqlite(sqlite3_errcode(db_));
  int rc = s.Step();
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  *seq = s.Int(0);
  return ERROR_SUCCESS;
}

namespace {

struct StoreTable {
  std::mutex mutex;
  pid_t pid = 0;
  std::map<std::string, std::shared_ptr<Store>> open;
};

StoreTable& Stores() {
  // Never destroyed: other threads (watchers) may use stores during exit.
  static auto* table = new StoreTable;
  return *table;
}

}  // namespace

LSTATUS OpenStore(const std::string& path, unsigned file_mode, std::shared_ptr<Store>* out) {
  StoreTable& t = Stores();
  std::lock_guard lock(t.mutex);
  if (t.pid != ::getpid()) {
    // A connection must not cross fork(): the child starts afresh and leaves the
    // parent's connections alone (leaked, never closed, in the child).
    static auto* orphans = new std::vector<std::shared_ptr<Store>>;
    for (auto& [p, s] : t.open) orphans->push_back(s);
    t.open.clear();
    t.pid = ::getpid();
  }
  auto it = t.open.find(path);
  if (it != t.open.end()) {
    *out = it->second;
    return ERROR_SUCCESS;
  }
  std::shared_ptr<Store> store;
  LSTATUS rc = Store::Open(path, file_mode, &store);
  if (rc != ERROR_SUCCESS) return rc;
  t.open.emplace(path, store);
  *out = std::move(store);
  return ERROR_SUCCESS;
}

void ForgetStores() {
  StoreTable& t = Stores();
  std::lock_guard lock(t.mutex);
  t.open.clear();
}

}  // namespace qx::platform::reg
