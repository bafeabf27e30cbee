// The registry calls against a real store file in the test's own state folder.
#include <gtest/gtest.h>
#include <qxplatform/environment.h>
#include <qxplatform/registry.h>
#include <qxplatform/system.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_env.h"

using namespace qx::platform;

namespace {

class Registry : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HKEY k : opened_) RegCloseKey(k);
  }
  HKEY Create(const char* path, DWORD options = 0, HKEY root = HKEY_LOCAL_MACHINE) {
    HKEY k = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(root, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &k, nullptr),
        ERROR_SUCCESS)
        << path;
    opened_.push_back(k);
    return k;
  }
  std::vector<HKEY> opened_;
};

std::string SubkeyNames(HKEY k) {
  std::string names;
  char buf[300];
  for (DWORD i = 0;; ++i) {
    DWORD n = sizeof buf;
    LSTATUS rc = RegEnumKeyExA(k, i, buf, &n, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(rc, ERROR_SUCCESS);
    if (rc != ERROR_SUCCESS) break;
    names += std::string(buf, n) + ",";
  }
  return names;
}

std::string ValueNames(HKEY k) {
  std::string names;
  char buf[300];
  for (DWORD i = 0;; ++i) {
    DWORD n = sizeof buf;
    LSTATUS rc = RegEnumValueA(k, i, buf, &n, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(rc, ERROR_SUCCESS);
    if (rc != ERROR_SUCCESS) break;
    names += std::string(buf, n) + ",";
  }
  return names;
}

DWORD SetDword(HKEY k, const char* name, DWORD v) {
  return RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
}

}  // namespace

TEST_F(Registry, CreateOpenAndDispositions) {
  HKEY k = nullptr;
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvane\\Demo", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, DWORD(REG_CREATED_NEW_KEY));
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\morvane\\DEMO\\", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, DWORD(REG_OPENED_EXISTING_KEY));
  RegCloseKey(k);

  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\MORVANE", 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(k), "Demo,");  // lookups ignore case, enumeration keeps it
  RegCloseKey(k);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nothing", 0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &k), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\\\Morvane", 0, KEY_READ, &k),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, "x", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(uintptr_t(0x1234))), ERROR_INVALID_HANDLE);

  // HKEY_CURRENT_USER is a store of its own.
  HKEY u = Create("Software\\Morvane\\Demo", 0, HKEY_CURRENT_USER);
  EXPECT_EQ(SetDword(u, "User", 1), ERROR_SUCCESS);
  HKEY m = Create("Software\\Morvane\\Demo");
  DWORD size = 4, v = 0;
  EXPECT_EQ(RegQueryValueExA(m, "User", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_NE(RegistryStorePath(HKEY_CURRENT_USER), RegistryStorePath(HKEY_LOCAL_MACHINE));
}

TEST_F(Registry, NamesWithSlashesAndLimits) {
  HKEY k = Create("Software\\a/b\\c/d");
  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A/B", 0, KEY_READ, &parent),
            ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(parent), "c/d,");
  RegCloseKey(parent);

  std::string longest(255, 'k'), too_long(256, 'k');
  HKEY x = nullptr;
  EXPECT_EQ(
      RegCreateKeyExA(k, longest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &x, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(x);
  EXPECT_EQ(
      RegCreateKeyExA(k, too_long.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &x, nullptr),
      ERROR_INVALID_PARAMETER);
  // Limits count UTF-16 units: 128 two-unit characters exceed 255.
  std::string wide_chars;
  for (int i = 0; i < 128; ++i) wide_chars += "\xF0\x9F\x98\x80";
  EXPECT_EQ(
      RegCreateKeyExA(k, wide_chars.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &x, nullptr),
      ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(k, "bad\xC3", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &x, nullptr),
            ERROR_NO_UNICODE_TRANSLATION);

  std::string value_ok(16383, 'v'), value_long(16384, 'v');
  EXPECT_EQ(SetDword(k, value_ok.c_str(), 1), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(k, value_long.c_str(), 1), ERROR_INVALID_PARAMETER);
  DWORD max_name = 0, max_sub = 0;
  EXPECT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, &max_sub, nullptr, nullptr,
                             &max_name, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(max_name, 16383u);
  EXPECT_EQ(max_sub, 255u);
}

TEST_F(Registry, ValueTypesSizesAndConversions) {
  HKEY k = Create("Software\\Types");
  const char text[] = "h\xC3\xA9llo";  // "héllo": 6 bytes of UTF-8, 5 characters
  ASSERT_EQ(RegSetValueExA(k, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  // Stored as UTF-16LE with the terminator: 6 units.
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(k, u"text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, 12u);
  char16_t wide[6];
  ASSERT_EQ(RegQueryValueExW(k, u"TEXT", nullptr, nullptr, reinterpret_cast<BYTE*>(wide), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wide), u"h\u00e9llo");
  // The narrow form reports and copies its own size; a small buffer gets
  // ERROR_MORE_DATA and the size needed.
  char narrow[16];
  size = 3;
  EXPECT_EQ(RegQueryValueExA(k, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(narrow), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, DWORD(sizeof text));
  size = sizeof narrow;
  ASSERT_EQ(RegQueryValueExA(k, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(narrow), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, DWORD(sizeof text));
  EXPECT_STREQ(narrow, text);
  // Data without a terminator is kept as given.
  ASSERT_EQ(RegSetValueExA(k, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("ab"), 2),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(k, u"Bare", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegSetValueExA(k, "Bad", 0, REG_SZ, reinterpret_cast<const BYTE*>("\xFF"), 2),
            ERROR_NO_UNICODE_TRANSLATION);

  const char multi[] = "one\0two\0";  // two strings and the final NUL
  ASSERT_EQ(RegSetValueExA(k, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi),
                           sizeof multi),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(k, u"Multi", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 18u);

  ULONGLONG q = 0x1122334455667788ull;
  ASSERT_EQ(RegSetValueExA(k, "Q", 0, REG_QWORD, reinterpret_cast<BYTE*>(&q), 8), ERROR_SUCCESS);
  const BYTE blob[] = {0, 1, 2, 0xff, 0};
  ASSERT_EQ(RegSetValueExA(k, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
  BYTE got[8];
  size = sizeof got;
  ASSERT_EQ(RegQueryValueExA(k, "Blob", nullptr, &type, got, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_BINARY));
  ASSERT_EQ(size, sizeof blob);
  EXPECT_EQ(std::memcmp(got, blob, sizeof blob), 0);
  // The default value has an empty (or null) name; an empty value is allowed.
  ASSERT_EQ(RegSetValueExA(k, nullptr, 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(k, "", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(RegSetValueExA(k, "x", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  EXPECT_EQ(RegQueryValueExA(k, "x", nullptr, nullptr, got, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, EnumerationOrderAndOverwrite) {
  HKEY k = Create("Software\\Order");
  for (const char* name : {"zeta", "Alpha", "beta", "_under", "Gamma"}) {
    HKEY s = Create(("Software\\Order\\" + std::string(name)).c_str());
    (void)s;
  }
  // Stable order: by name folded to upper case, as Windows sorts.
  EXPECT_EQ(SubkeyNames(k), "Alpha,beta,Gamma,zeta,_under,");
  for (const char* name : {"c", "A", "b"}) EXPECT_EQ(SetDword(k, name, 1), ERROR_SUCCESS);
  // Values keep creation order; overwriting keeps the place and the first case.
  EXPECT_EQ(SetDword(k, "a", 2), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(k), "c,A,b,");
  EXPECT_EQ(RegDeleteValueA(k, "C"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(k, "C"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetDword(k, "c", 3), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(k), "A,b,c,");

  char small[3];
  DWORD n = sizeof small;
  EXPECT_EQ(RegEnumKeyExA(k, 0, small, &n, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(RegEnumKeyA(k, 5, small, sizeof small), ERROR_NO_MORE_ITEMS);
  char16_t wname[8];
  n = 8;
  DWORD type = 0, v = 0, size = 4;
  ASSERT_EQ(RegEnumValueW(k, 0, wname, &n, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wname), u"A");
  EXPECT_EQ(v, 2u);

  DWORD subkeys = 0, values = 0;
  FILETIME ft{};
  ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, &ft),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 5u);
  EXPECT_EQ(values, 3u);
  EXPECT_NE(ft.dwHighDateTime, 0u);
}

TEST_F(Registry, DeletingKeys) {
  HKEY top = Create("Software\\Del");
  HKEY child = Create("Software\\Del\\Child\\Grand");
  EXPECT_EQ(SetDword(child, "v", 1), ERROR_SUCCESS);
  // A key with subkeys is refused by RegDeleteKey, taken whole by RegDeleteTree.
  EXPECT_EQ(RegDeleteKeyA(top, "Child"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(top, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeA(top, "child"), ERROR_SUCCESS);
  // A handle whose key went away reports it.
  DWORD size = 4, v;
  EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(child, "v", 2), ERROR_KEY_DELETED);
  HKEY x = nullptr;
  EXPECT_EQ(RegCreateKeyExA(child, "sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &x, nullptr),
            ERROR_KEY_DELETED);
  // Recreating the path gives a new key; the old handle stays deleted.
  Create("Software\\Del\\Child\\Grand");
  EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);

  // RegDeleteTree with no subkey empties the key and keeps it.
  EXPECT_EQ(SetDword(top, "keep", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(top, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(top), "");
  EXPECT_EQ(ValueNames(top), "");
  EXPECT_EQ(SetDword(top, "again", 1), ERROR_SUCCESS);
  // A leaf goes with RegDeleteKey; the root cannot go.
  Create("Software\\Del\\Leaf");
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Del\\LEAF"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(Registry, AccessRightsOfHandles) {
  Create("Software\\Rights");
  HKEY ro = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Rights", 0, KEY_READ, &ro), ERROR_SUCCESS);
  opened_.push_back(ro);
  EXPECT_EQ(SetDword(ro, "v", 1), ERROR_ACCESS_DENIED);
  HKEY q = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Rights", 0, KEY_SET_VALUE, &q),
            ERROR_SUCCESS);
  opened_.push_back(q);
  EXPECT_EQ(SetDword(q, "v", 1), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(q, "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExA(ro, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
}

TEST_F(Registry, GetValueExpandsAndChecksTypes) {
  // The system Path lives where the start-up code reads it.
  HKEY env = Create("SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment");
  const char16_t path[] = u"%QX_TEST_HOME%/bin:/usr/bin";
  ASSERT_EQ(RegSetValueExW(env, u"Path", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path),
                           sizeof path),
            ERROR_SUCCESS);
  SetEnvironmentVariableA("QX_TEST_HOME", "/opt/qx");

  char buf[64];
  DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE,
                         "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", "Path",
                         RRF_RT_REG_SZ, &type, buf, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, "/opt/qx/bin:/usr/bin");
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, DWORD(strlen(buf) + 1));
  // Without expansion the stored text comes back as it is, as REG_EXPAND_SZ.
  char16_t wbuf[64];
  size = sizeof wbuf;
  ASSERT_EQ(
      RegGetValueW(env, nullptr, u"Path", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, wbuf, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wbuf), path);
  EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
  EXPECT_EQ(RegGetValueW(env, nullptr, u"Path", RRF_RT_REG_EXPAND_SZ, &type, wbuf, &size),
            ERROR_INVALID_PARAMETER);
  // The plain query still sees the stored form (RegQueryValueEx never expands).
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(env, "Path", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, "%QX_TEST_HOME%/bin:/usr/bin");
  EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));

  EXPECT_EQ(SetDword(env, "Num", 7), ERROR_SUCCESS);
  DWORD v = 0;
  size = 4;
  EXPECT_EQ(RegGetValueA(env, nullptr, "Num", RRF_RT_REG_SZ, nullptr, &v, &size),
            ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(RegGetValueA(env, nullptr, "Num", RRF_RT_REG_DWORD, nullptr, &v, &size), ERROR_SUCCESS);
  EXPECT_EQ(v, 7u);
  // A string stored without its terminator comes back terminated.
  ASSERT_EQ(RegSetValueExA(env, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("ab"), 2),
            ERROR_SUCCESS);
  size = sizeof buf;
  ASSERT_EQ(RegGetValueA(env, nullptr, "Bare", RRF_RT_ANY, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_STREQ(buf, "ab");
  size = 2;
  EXPECT_EQ(RegGetValueA(env, nullptr, "Bare", RRF_RT_ANY, nullptr, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);
}

TEST_F(Registry, VolatileKeysVanishAtTheNextBoot) {
  HKEY vol = Create("Software\\Morvane\\RebootRequired", REG_OPTION_VOLATILE);
  HKEY x = nullptr;
  EXPECT_EQ(RegCreateKeyExA(vol, "Stable", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &x, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  Create("Software\\Morvane\\RebootRequired\\Inner", REG_OPTION_VOLATILE);
  Create("Software\\Morvane\\Kept");
  for (HKEY k : opened_) RegCloseKey(k);
  opened_.clear();

  // Same boot: a fresh process still sees the key.
  CloseRegistryStores();
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvane\\RebootRequired", 0, KEY_READ, &k),
            ERROR_SUCCESS);
  RegCloseKey(k);
  CloseRegistryStores();

  // Pretend the store was last used in another boot.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(RegistryStorePath(HKEY_LOCAL_MACHINE).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE meta SET value='earlier-boot' WHERE name='boot'", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvane\\RebootRequired", 0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvane\\Kept", 0, KEY_READ, &k),
            ERROR_SUCCESS);
  RegCloseKey(k);
  std::string problems;
  EXPECT_EQ(CheckRegistryStore(HKEY_LOCAL_MACHINE, &problems), ERROR_SUCCESS);
  EXPECT_EQ(problems, "");
}

TEST_F(Registry, ChangesLeftInTheLogByEndedProcessesAreFoldedIn) {
  // Processes end without closing the store, leaving their changes in the
  // write-ahead log; the next process that opens the store alone copies them
  // into the store file and empties the log, losing none.
  CloseRegistryStores();
  const std::string log = RegistryStorePath(HKEY_LOCAL_MACHINE) + "-wal";
  for (int round = 0; round < 3; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      HKEY k = nullptr;
      bool ok = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvane\\Ended", 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, &k, nullptr) == ERROR_SUCCESS;
      for (DWORD i = 0; ok && i < 50; ++i)
        ok = SetDword(k, ("v" + std::to_string(round * 50 + i)).c_str(), i) == ERROR_SUCCESS;
      _exit(ok ? 0 : 1);  // no close: the changes stay in the log
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 0) << "the writer left nothing in the log";

    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvane\\Ended", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "round " << round;
    DWORD values = 0;
    EXPECT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, DWORD((round + 1) * 50));
    RegCloseKey(k);
    CloseRegistryStores();
  }
  std::string problems;
  EXPECT_EQ(CheckRegistryStore(HKEY_LOCAL_MACHINE, &problems), ERROR_SUCCESS);
  EXPECT_EQ(problems, "");
}

TEST_F(Registry, DamagedStoreFilesGiveErrors) {
  std::string file = RegistryStorePath(HKEY_LOCAL_MACHINE);
  HKEY k = Create("Software\\Big");
  std::string blob(3000, 'x');
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(RegSetValueExA(k, ("v" + std::to_string(i)).c_str(), 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(blob.data()), DWORD(blob.size())),
              ERROR_SUCCESS);
  RegCloseKey(k);
  opened_.clear();
  CloseRegistryStores();  // the last connection checkpoints into the file
  const std::string good = qx::testing::ReadFile(file);
  ASSERT_GT(good.size(), 100000u);

  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string random(good.size(), '\0');
  unsigned seed = 12345;
  for (char& c : random) c = char((seed = seed * 1103515245 + 12345) >> 16);
  const Case cases[] = {
      {"truncated", good.substr(0, good.size() / 2)},
      {"zero-filled", std::string(good.size(), '\0')},
      {"random", random},
      {"header only", good.substr(0, 100)},
  };
  for (const auto& c : cases) {
    CloseRegistryStores();
    qx::testing::WriteFile(file, c.bytes);
    unlink((file + "-wal").c_str());
    unlink((file + "-shm").c_str());
    HKEY h = nullptr;
    LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Big", 0, KEY_READ, &h);
    if (rc == ERROR_SUCCESS) {
      // Some damage shows only when the damaged pages are read.
      DWORD size = 0;
      rc = RegQueryValueExA(h, "v150", nullptr, nullptr, nullptr, &size);
      RegCloseKey(h);
    }
    EXPECT_TRUE(rc == ERROR_BADDB || rc == ERROR_REGISTRY_CORRUPT || rc == ERROR_CANTOPEN)
        << c.what << ": " << rc;
  }
}
