#include <dlfcn.h>
#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/registry.h>
#include <qxplatform/sync.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <zelapi01.h>

#include <cstring>
#include <regex>
#include <string>

#include "test_env.h"

namespace {

void Store(HKEY root, const char* subkey, const char* name, DWORD type, const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                           DWORD(text.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

const char* kSystemEnv = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";

std::string Folder(const std::string& name, mode_t mode) {
  std::string path = qx::testing::TestRoot() + "/" + name;
  mkdir(path.c_str(), 0700);
  chmod(path.c_str(), mode);
  return path;
}

}  // namespace

TEST(SystemInfo, FamilyVersionPlatformAndName) {
  EXPECT_TRUE(IsWindowsNT());
  int type = 0, bits = 0;
  EXPECT_TRUE(GetWindowsType(&type));
  EXPECT_EQ(type, 256);
  EXPECT_TRUE(GetWindowsPlatform(&bits));
  EXPECT_EQ(bits, 64);
  char version[16];
  ASSERT_TRUE(GetWindowsVersion(version));
  struct utsname u;
  uname(&u);
  std::string release = u.release;
  EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+")));
  EXPECT_EQ(release.rfind(std::string(version) + ".", 0), 0u) << release;
  EXPECT_FALSE(GetWindowsType(nullptr));
  EXPECT_STREQ(GetMsgString(), "A required argument of GetWindowsType is missing or too long.");

  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string expect = std::string(host).substr(0, std::string(host).find('.')).substr(0, 64);
  for (char& c : expect) c = char(toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(std::string(GetMyName()), expect);
  EXPECT_EQ(GetMyName(), GetMyName());
}

TEST(SystemInfo, ValidTempPathSkipsReadOnlyFolders) {
  std::string ro = Folder("ro", 0555);
  std::string rw = Folder("rw", 0700);
  setenv("TMPDIR", ro.c_str(), 1);
  setenv("TMP", (qx::testing::TestRoot() + "/missing").c_str(), 1);
  setenv("TEMP", rw.c_str(), 1);
  char path[MAX_PATH];
  ASSERT_TRUE(GetValidTempPath(path));
  EXPECT_EQ(std::string(path), rw + "/");

  // The stored user variable comes after the process's.
  unsetenv("TEMP");
  std::string stored = Folder("stored", 0700);
  Store(HKEY_CURRENT_USER, "Environment", "TMP", REG_EXPAND_SZ, "%QX_TEST_ROOT%/stored");
  setenv("QX_TEST_ROOT", qx::testing::TestRoot().c_str(), 1);
  ASSERT_TRUE(GetValidTempPath(path));
  EXPECT_EQ(std::string(path), stored + "/");
  unsetenv("TMP");
  chmod(ro.c_str(), 0700);
}

TEST(SystemInfo, StoredEnvironmentVariables) {
  Store(HKEY_LOCAL_MACHINE, kSystemEnv, "QXPATH", REG_EXPAND_SZ, "%QX_BASE%/bin");
  Store(HKEY_CURRENT_USER, "Environment", "QXUSER", REG_SZ, "plain");
  setenv("QX_BASE", "/opt/qx", 1);
  char value[64];
  DWORD size = sizeof value;
  ASSERT_TRUE(GetSystemEnvironmentVariable("QXPATH", value, &size));
  EXPECT_STREQ(value, "/opt/qx/bin");
  EXPECT_EQ(size, 12u);
  size = sizeof value;
  ASSERT_TRUE(GetUserEnvironmentVariable("QXUSER", value, &size));
  EXPECT_STREQ(value, "plain");

  // A small buffer gets nothing and learns the size it needs.
  char small[8];
  std::memset(small, 'Z', sizeof small);
  size = sizeof small;
  EXPECT_FALSE(GetSystemEnvironmentVariable("QXPATH", small, &size));
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(small[0], 'Z');
  EXPECT_EQ(GetErrorMsgID(), DWORD(ERROR_INSUFFICIENT_BUFFER));

  size = sizeof value;
  EXPECT_FALSE(GetUserEnvironmentVariable("NOPE", value, &size));
  EXPECT_EQ(GetErrorMsgID(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetMsgID(), 285u);
  EXPECT_FALSE(GetUserEnvironmentVariable("QXUSER", value, nullptr));
  EXPECT_EQ(GetMsgID(), 6u);
}

TEST(SystemInfo, ProgramAndCommonFilesFolders) {
  char path[MAX_PATH];
  unsetenv("ProgramFiles");
  unsetenv("CommonProgramFiles");
  EXPECT_FALSE(GetProgramFilesDir(path));
  EXPECT_EQ(GetMsgID(), 316u);
  Store(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
        REG_SZ, "/opt/programs");
  ASSERT_TRUE(GetProgramFilesDir(path));
  EXPECT_STREQ(path, "/opt/programs");
  std::string folder = Folder("programs", 0700);
  setenv("ProgramFiles", folder.c_str(), 1);
  ASSERT_TRUE(GetProgramFilesDir(path));
  EXPECT_EQ(std::string(path), folder);
  unsetenv("ProgramFiles");
  EXPECT_FALSE(GetCommonFilesDir(path));
  EXPECT_FALSE(GetCommonFilesDir(nullptr));
  EXPECT_EQ(GetMsgID(), 6u);
}

TEST(SystemInfo, ModuleKinds) {
  BOOL is_dll = -1;
  // The program itself, by handle and by its header.
  ASSERT_TRUE(IsModuleDll(GetModuleHandleA(nullptr), &is_dll));
  EXPECT_FALSE(is_dll);
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&IsWindowsNT), &info), 0);
  ASSERT_TRUE(IsModuleDll(info.dli_fbase, &is_dll));
  EXPECT_FALSE(is_dll);  // this test program carries the library's code
  // A library, by handle and by its header.
  HMODULE plat = GetModuleHandleA("libqxplatform.so");
  ASSERT_NE(plat, nullptr);
  is_dll = -1;
  ASSERT_TRUE(IsModuleDll(plat, &is_dll));
  EXPECT_TRUE(is_dll);
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&GetLastError), &info), 0);
  is_dll = -1;
  ASSERT_TRUE(IsModuleDll(info.dli_fbase, &is_dll));
  EXPECT_TRUE(is_dll);
  int not_a_module = 0;
  EXPECT_FALSE(IsModuleDll(&not_a_module, &is_dll));
  EXPECT_EQ(GetErrorMsgID(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(QueryUserLanguage, EnvironmentBeforeTheStoredValue) {
  char code[8];
  unsetenv("UserLangCode");
  EXPECT_FALSE(QueryUserLanguage(code));
  EXPECT_STREQ(code, "");
  Store(HKEY_LOCAL_MACHINE, "Software\\Morvane\\Tessary ZEL", "UserLangCode", REG_SZ, "italiano");
  std::memset(code, 'Z', sizeof code);
  ASSERT_TRUE(QueryUserLanguage(code));
  EXPECT_STREQ(code, "ita");  // at most three characters
  EXPECT_EQ(code[4], 'Z');
  setenv("UserLangCode", "fra", 1);
  ASSERT_TRUE(QueryUserLanguage(code));
  EXPECT_STREQ(code, "fra");
  unsetenv("UserLangCode");
}

TEST(MutexOwnership, TakeAndRelease) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(mutex, nullptr);
  EXPECT_TRUE(GetMutexOwnership(mutex));
  EXPECT_TRUE(ReleaseMutexOwnership(mutex));
  EXPECT_FALSE(ReleaseMutexOwnership(mutex));  // no longer owned
  EXPECT_TRUE(ReleaseMutexOwnership(nullptr));
  CloseHandle(mutex);
}
