// One registry hive on SQLite: the schema, its transactions and the key and value
// operations the Windows calls are made of.
//
// A Store is one database file (machine.db or user-<uid>.db) opened once per
// process and shared by every HKEY of that hive. Names arrive here as UTF-8 that
// the caller has already checked (valid, within the limits); string data is raw
// bytes as the wide calls see it (UTF-16LE).
//
// Layout (see docs/registry.md):
//   meta(name PRIMARY KEY, value)         format version, boot id, journal bounds
//   keys(id, parent, name, fold, path, volatile, class, last_write)
//        path is the folded ("\"-joined, ASCII upper case) path from the hive's
//        root, unique; the root key is id 1 with path "".
//   vals(id, key, name, fold, type, data)  rowid order is creation order
//   journal(seq, path, kind, time)         one row per change, for notification
//
// Thread-safety: every member may be called from any thread; a store serialises
// its own connection. Other processes reach the same file through SQLite's locks:
// every write is one BEGIN IMMEDIATE transaction.
#ifndef QXPLATFORM_SRC_REGISTRY_STORE_H
#define QXPLATFORM_SRC_REGISTRY_STORE_H

#include <qxplatform/registry.h>
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qx::platform::reg {

// Change kinds recorded in the journal; the first two are the notification
// filter bits they answer.
constexpr int kChangeName = REG_NOTIFY_CHANGE_NAME;         // a subkey came or went
constexpr int kChangeLastSet = REG_NOTIFY_CHANGE_LAST_SET;  // a value changed
constexpr int kChangeDeleted = 0x100;                       // the key itself went

// Key id of every hive's root key.
constexpr int64_t kRootId = 1;

// The folded form of a name: ASCII letters upper case, everything else as is.
// Keys and values compare by it; subkeys enumerate in its byte order.
std::string Fold(std::string_view name);

// Maps an SQLite result to the Windows error number the calls return.
LSTATUS ErrorFromSqlite(int rc);

using StoredValue = RegistryValue;

struct KeyRef {
  int64_t id = 0;
  std::string path;  // folded
  bool is_volatile = false;
};

struct KeyStats {
  DWORD subkeys = 0;
  DWORD values = 0;
  std::vector<std::string> subkey_names;  // filled only when asked
  std::vector<std::string> subkey_classes;
  std::vector<StoredValue> value_list;  // with data, filled only when asked
  std::string cls;
  size_t max_subkey_name = 0;  // UTF-8 bytes
  size_t max_class = 0;
  size_t max_value_name = 0;
  size_t max_value_data = 0;  // bytes as stored
  int64_t last_write = 0;     // FILETIME units
};

class Store {
 public:
  // Opens (creating when missing) the hive file at path and makes sure it holds
  // this store's schema; drops volatile keys of an earlier boot. file_mode is the
  // mode a new file gets.
  static LSTATUS Open(const std::string& path, unsigned file_mode, std::shared_ptr<Store>* out);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& path() const { return path_; }

  // Finds the key at base\rel (rel already split into checked components).
  LSTATUS OpenKey(const KeyRef& base, const std::vector<std::string>& rel, KeyRef* out);
  // Creates the missing keys along base\rel; *created tells whether the last one
  // is new. is_volatile applies to every key created.
  LSTATUS CreateKey(const KeyRef& base, const std::vector<std::string>& rel, bool is_volatile,
                    const std::string& cls, KeyRef* out, bool* created);
  // Deletes base\rel (the base itself when rel is empty). Without tree, a key with
  // subkeys is refused (ERROR_ACCESS_DENIED). With contents_only, the key stays
  // and loses its values and subkeys.
  LSTATUS DeleteKey(const KeyRef& base, const std::vector<std::string>& rel, bool tree,
                    bool contents_only);

  // Value operations; an empty name is the key's default value.
  LSTATUS QueryValue(int64_t key, std::string_view fold, DWORD* type, std::string* data);
  LSTATUS SetValue(const KeyRef& key, const std::string& name, DWORD type, std::string_view data);
  LSTATUS DeleteValue(const KeyRef& key, const std::string& name);

  LSTATUS EnumKey(int64_t key, DWORD index, std::string* name, std::string* cls,
                  int64_t* last_write);
  LSTATUS EnumValue(int64_t key, DWORD index, StoredValue* out);
  LSTATUS QueryInfo(int64_t key, bool with_names, KeyStats* out);

  // A whole key tree, read in one transaction (volatile keys are left out), and
  // its replacement in one transaction (for save and restore).
  using Tree = RegistryKeyTree;
  LSTATUS ReadTree(int64_t key, Tree* out);
  LSTATUS ReplaceTree(const KeyRef& key, const Tree& tree, bool as_volatile);

  // Makes every committed change durable on disk (checkpoint with fsync).
  LSTATUS Flush();
  // SQLite's integrity check plus the store's own structural checks; "" when
  // sound, else what is wrong.
  LSTATUS Check(std::string* problems);

  // Highest journal sequence number (for arming a watch).
  LSTATUS LastSequence(int64_t* seq);

 private:
  explicit Store(std::string path) : path_(std::move(path)) {}
  LSTATUS Init(unsigned file_mode);
  LSTATUS CreateSchema();
  bool WholePages();
  LSTATUS DropStaleVolatileKeys();
  void EmptyLog();

  // A statement prepared once and reset after each use.
  sqlite3_stmt* Prepare(const char* sql);
  LSTATUS Begin();  // BEGIN IMMEDIATE
  LSTATUS Commit();
  void Rollback();
  // Runs fn inside one write transaction; rolls back unless it returns success.
  template <typename Fn>
  LSTATUS Write(Fn&& fn);

  LSTATUS KeyExists(int64_t id, bool* exists);
  LSTATUS EnumerationEnd(int64_t key);
  LSTATUS ClearContents(int64_t key,
                        const std::vector<std::pair<int64_t, std::string>>& children);
  LSTATUS FindChild(int64_t parent, const std::string& fold, KeyRef* out);
  LSTATUS Journal(const std::string& path, int kind);
  LSTATUS Touch(int64_t key);
  LSTATUS CollectSubtree(int64_t key, std::vector<int64_t>* ids);
  LSTATUS RemoveKeys(const std::vector<int64_t>& ids);
  LSTATUS InsertTree(int64_t parent, const std::string& parent_path, const Tree& tree,
                     bool as_volatile, bool is_root);
  LSTATUS ReadTreeLocked(int64_t key, int depth, Tree* out);

  const std::string path_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::map<const char*, sqlite3_stmt*> statements_;
  int writes_since_prune_ = 0;
};

// The open stores of this process, keyed by file path. Reopened after fork.
LSTATUS OpenStore(const std::string& path, unsigned file_mode, std::shared_ptr<Store>* out);

// Drops the process's open stores (each closes once its last HKEY is closed);
// the next use opens the files again.
void ForgetStores();

// Sets a busy handler on db that retries for a long while with short sleeps, so
// concurrent writers wait for each other rather than fail.
void SetPatientBusyHandler(sqlite3* db);

// Current time in FILETIME units (100 ns since 1601).
int64_t NowFileTime();

}  // namespace qx::platform::reg

#endif
