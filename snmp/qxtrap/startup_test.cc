#include "startup.h"

#include <gtest/gtest.h>
#include <qxplatform/registry.h>
#include <stdlib.h>

#include <filesystem>

#include "test_env.h"

namespace qx::qxtrap {
namespace {

// Stores the system "Path" value in the test's machine store.
void SetSystemPath(const char* value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSystemEnvironmentKey, 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Path", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value),
                           static_cast<DWORD>(strlen(value) + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = getenv("PATH") ? getenv("PATH") : ""; }
  void TearDown() override { setenv("PATH", saved_.c_str(), 1); }
  std::string saved_;
};

TEST_F(StartupTest, SystemPathIsAppendedOrTakesOver) {
  EXPECT_EQ(PathAfterUpdate("/a:/b", "/c", false), "/a:/b:/c");
  // A process value that already holds the system value is replaced by it.
  EXPECT_EQ(PathAfterUpdate("/a:/c:/b", "/c", false), "/c");
  EXPECT_EQ(PathAfterUpdate("", "/c", false), "/c");
}

TEST_F(StartupTest, SystemAccountDropsMissingFolders) {
  std::string root = qx::testing::TestRoot();
  std::string missing = root + "/missing";
  EXPECT_EQ(PathAfterUpdate(root, missing, true), root);
  EXPECT_EQ(PathAfterUpdate(root, missing, false), root + ":" + missing);
  // Nothing missing: unchanged, empty entries included.
  EXPECT_EQ(DropMissingFolders(root + "::/"), root + "::/");
  EXPECT_EQ(DropMissingFolders(missing + ":" + missing), "");
}

TEST_F(StartupTest, UpdateReadsTheMachineStore) {
  std::string dir = qx::testing::TestRoot();
  SetSystemPath((dir + ":%QXTEST_EXTRA%").c_str());
  setenv("QXTEST_EXTRA", "/usr/bin", 1);
  setenv("PATH", "/bin", 1);
  update_path();
  EXPECT_EQ(std::string(getenv("PATH")), "/bin:" + dir + ":/usr/bin");
  unsetenv("QXTEST_EXTRA");
}

TEST_F(StartupTest, UnreadableOrEmptySystemPathKeepsThePath) {
  setenv("PATH", "/bin:/usr/bin", 1);
  update_path();  // no key at all
  EXPECT_STREQ(getenv("PATH"), "/bin:/usr/bin");
  SetSystemPath("");
  update_path();
  EXPECT_STREQ(getenv("PATH"), "/bin:/usr/bin");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemEnvironmentKey, 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  DWORD number = 7;
  RegSetValueExA(key, "Path", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
  RegCloseKey(key);
  update_path();
  EXPECT_STREQ(getenv("PATH"), "/bin:/usr/bin");
  // A process PATH longer than the buffers is left as it is, not cut.
  SetSystemPath("/usr/bin");
  std::string long_path = "/bin";
  while (long_path.size() < 5000) long_path += ":/nonexistent/folder";
  setenv("PATH", long_path.c_str(), 1);
  update_path();
  EXPECT_EQ(std::string(getenv("PATH")), long_path);
}

TEST_F(StartupTest, PrologueLibraryIsCalledWhenPresent) {
  char a[64] = "", b[8] = "", c[8] = "";
  unsetenv("QX_LIB_PATH");
  EXPECT_EQ(start_prologue(a, b, c), 0);
  EXPECT_STREQ(a, "");
  setenv("QX_LIB_PATH", QXTRAP_TEST_PROLOGUE_DIR, 1);
  EXPECT_EQ(start_prologue(a, b, c), 1);
  EXPECT_STREQ(a, "prologue ran");
  unsetenv("QX_LIB_PATH");
}

TEST_F(StartupTest, LocalSystemIsTheSuperUser) {
  int error = 0;
  EXPECT_EQ(is_local_system(&error), geteuid() == 0);
  EXPECT_EQ(is_local_system(&error), geteuid() == 0);  // remembered
}

}  // namespace
}  // namespace qx::qxtrap
