// Session-aware names with terminal mode on and off. The mode is decided once per
// process, so each case runs in a child process of its own (EXPECT_EXIT).
#include "tsadjust.h"

#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/mapping.h>
#include <qxplatform/registry.h>
#include <qxplatform/sync.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "test_env.h"

namespace {

const char* kOptions = "System\\CurrentControlSet\\Control\\ProductOptions";

// Stores ProductSuite as raw REG_MULTI_SZ bytes (narrow call: UTF-8 in, stored wide).
void StoreSuite(const std::string& multi, DWORD type = REG_MULTI_SZ) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kOptions, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "ProductSuite", 0, type,
                           reinterpret_cast<const BYTE*>(multi.data()), DWORD(multi.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// Fails the child with a message on stderr when cond is false.
#define CHILD_CHECK(cond)                          \
  do {                                             \
    if (!(cond)) {                                 \
      std::fprintf(stderr, "failed: %s\n", #cond); \
      std::exit(1);                                \
    }                                              \
  } while (0)

std::string Adjust(const char* name, short choice) {
  char* p = WTSAdjustNameA(name, choice);
  std::string s = p ? p : "(null)";
  free(p);
  return s;
}

std::u16string AdjustW(const char16_t* name, short choice) {
  WCHAR* p = WTSAdjustNameW(name, choice);
  std::u16string s = p ? p : u"(null)";
  free(p);
  return s;
}

bool ObjectFileExists(const std::string& ns, const std::string& name) {
  struct stat st;
  std::string path = std::string(getenv("QX_RUNTIME_DIR")) + "/kobj/" + ns + "/" + name;
  return ::stat(path.c_str(), &st) == 0;
}

using TsAdjustDeathTest = ::testing::Test;

TEST(TsAdjust, ProductSuiteIsMatchedExactlyWithinTheStoredSize) {
  EXPECT_EQ(ValidateProductSuite("TerminalServer"), 0);  // no key at all
  StoreSuite(std::string("Enterprise\0TerminalServer\0\0", 27));
  EXPECT_EQ(ValidateProductSuite("TerminalServer"), 1);
  EXPECT_EQ(ValidateProductSuite("Enterprise"), 1);
  EXPECT_EQ(ValidateProductSuite("terminalserver"), 0);  // case-sensitive
  EXPECT_EQ(ValidateProductSuite("Terminal"), 0);        // whole strings only
  EXPECT_EQ(ValidateProductSuite(""), 0);
  // A list without its terminators ends at the data's end.
  StoreSuite(std::string("Personal\0TerminalServer", 23));
  EXPECT_EQ(ValidateProductSuite("TerminalServer"), 1);
  StoreSuite(std::string("TerminalServerX", 15));
  EXPECT_EQ(ValidateProductSuite("TerminalServer"), 0);
  // Another type is not a suite list.
  StoreSuite(std::string("TerminalServer\0", 15), REG_SZ);
  EXPECT_EQ(ValidateProductSuite("TerminalServer"), 0);
  EXPECT_EQ(IsTerminalServiceRunning(), 0);  // no service layer: not found
}

TEST_F(TsAdjustDeathTest, TerminalModeOnPrefixesTheChosenNamespace) {
  EXPECT_EXIT(
      {
        StoreSuite(std::string("TerminalServer\0\0", 16));
        CHILD_CHECK(Adjust("QX.OBJ", 2) == "Global\\QX.OBJ");
        CHILD_CHECK(Adjust("QX.OBJ", 1) == "Local\\QX.OBJ");
        CHILD_CHECK(Adjust("QX.OBJ", 0) == "Session\\QX.OBJ");
        CHILD_CHECK(Adjust("QX.OBJ", 3) == "QX.OBJ");
        CHILD_CHECK(Adjust("QX.OBJ", -1) == "QX.OBJ");
        CHILD_CHECK(Adjust(nullptr, 2) == "(null)");
        CHILD_CHECK(AdjustW(u"QX.OBJ", 2) == u"Global\\QX.OBJ");
        CHILD_CHECK(AdjustW(u"QX.OBJ", 7) == u"QX.OBJ");
        // The wrappers reach the prefixed object.
        setenv("QX_SESSION_ID", "2", 1);
        HANDLE m = QXWTS_CreateMutexA(nullptr, FALSE, "QX.TS.MX", 2);
        CHILD_CHECK(m != nullptr);
        CHILD_CHECK(ObjectFileExists("global", "QX.TS.MX"));
        CHILD_CHECK(QXWTS_OpenMutexA(SYNCHRONIZE, FALSE, "QX.TS.MX", 2) != nullptr);
        CHILD_CHECK(OpenMutexA(SYNCHRONIZE, FALSE, "QX.TS.MX") == nullptr);  // session 2's
        HANDLE e = QXWTS_CreateEventW(nullptr, TRUE, FALSE, u"QX.TS.EV", 1);
        CHILD_CHECK(e != nullptr && ObjectFileExists("session-2", "QX.TS.EV"));
        // "Session\" without a session number is refused by the platform, and the
        // wrapper passes the refusal on.
        CHILD_CHECK(QXWTS_CreateSemaphoreA(nullptr, 0, 1, "QX.TS.S", 0) == nullptr);
        CHILD_CHECK(GetLastError() == ERROR_PATH_NOT_FOUND);
        // A null name makes an unnamed object.
        HANDLE u = QXWTS_CreateEventA(nullptr, TRUE, TRUE, nullptr, 2);
        CHILD_CHECK(u != nullptr && WaitForSingleObject(u, 0) == WAIT_OBJECT_0);
        HANDLE map = QXWTS_CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100,
                                              "QX.TS.MAP", 2);
        CHILD_CHECK(map != nullptr);
        CHILD_CHECK(QXWTS_OpenFileMappingW(FILE_MAP_READ, FALSE, u"QX.TS.MAP", 2) != nullptr);
        HANDLE t = QXWTS_CreateWaitableTimerA(nullptr, TRUE, "QX.TS.T", 2);
        CHILD_CHECK(t != nullptr && QXWTS_OpenWaitableTimerA(SYNCHRONIZE, FALSE, "QX.TS.T", 2));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(TsAdjustDeathTest, TerminalModeOffLeavesNamesAlone) {
  EXPECT_EXIT(
      {
        StoreSuite(std::string("Enterprise\0\0", 12));
        for (short choice : {0, 1, 2, 3, -1}) CHILD_CHECK(Adjust("QX.OBJ", choice) == "QX.OBJ");
        CHILD_CHECK(AdjustW(u"QX.OBJ", 2) == u"QX.OBJ");
        // Decided once: a later change of the store does not switch it on.
        StoreSuite(std::string("TerminalServer\0\0", 16));
        CHILD_CHECK(Adjust("QX.OBJ", 2) == "QX.OBJ");
        setenv("QX_SESSION_ID", "4", 1);
        HANDLE s = QXWTS_CreateSemaphoreA(nullptr, 0, 1, "QX.TS.S", 0);
        CHILD_CHECK(s != nullptr && ObjectFileExists("session-4", "QX.TS.S"));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
