// Change notification within one process (tests/registry covers other processes).
#include <gtest/gtest.h>
#include <qxplatform/registry.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>

#include <functional>
#include <string>
#include <thread>

#include "test_env.h"

namespace {

HKEY Create(HKEY root, const char* path) {
  HKEY k = nullptr;
  EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  return k;
}

DWORD SetDword(HKEY k, const char* name, DWORD v) {
  return RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
}

// Arms a watch on key and reports whether change() signals it within a while.
bool Fires(HKEY key, BOOL subtree, DWORD filter, const std::function<void()>& change) {
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(RegNotifyChangeKeyValue(key, subtree, filter, ev, TRUE), ERROR_SUCCESS);
  change();
  bool fired = WaitForSingleObject(ev, 300) == WAIT_OBJECT_0;
  CloseHandle(ev);
  return fired;
}

}  // namespace

TEST(RegistryNotify, FiltersAndScopes) {
  HKEY top = Create(HKEY_LOCAL_MACHINE, "Software\\Watch");
  HKEY sub = Create(top, "Sub");
  HKEY other = Create(HKEY_LOCAL_MACHINE, "Software\\Other");
  const DWORD all = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

  EXPECT_TRUE(Fires(top, FALSE, all, [&] { SetDword(top, "v", 1); }));
  EXPECT_FALSE(Fires(top, FALSE, all, [&] { SetDword(sub, "v", 1); }));
  EXPECT_TRUE(Fires(top, TRUE, all, [&] { SetDword(sub, "v", 2); }));
  EXPECT_FALSE(Fires(top, TRUE, all, [&] { SetDword(other, "v", 1); }));
  // A name change is a subkey coming or going; a value change is not one.
  EXPECT_FALSE(Fires(top, FALSE, REG_NOTIFY_CHANGE_NAME, [&] { SetDword(top, "v", 3); }));
  EXPECT_TRUE(Fires(top, FALSE, REG_NOTIFY_CHANGE_NAME, [&] { RegCloseKey(Create(top, "New")); }));
  EXPECT_TRUE(Fires(top, FALSE, REG_NOTIFY_CHANGE_NAME, [&] { RegDeleteKeyA(top, "New"); }));
  // Deleting the watched key itself always fires.
  EXPECT_TRUE(Fires(sub, FALSE, REG_NOTIFY_CHANGE_LAST_SET, [&] { RegDeleteTreeA(top, "Sub"); }));
  // The root watches everything below it.
  EXPECT_TRUE(Fires(HKEY_LOCAL_MACHINE, TRUE, all, [&] { SetDword(other, "w", 1); }));
  // Closing the handle ends the watch and signals its event, as on Windows.
  EXPECT_TRUE(Fires(other, FALSE, all, [&] { RegCloseKey(other); }));

  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(RegNotifyChangeKeyValue(top, FALSE, 0, ev, TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(top, FALSE, all, nullptr, TRUE), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegNotifyChangeKeyValue(sub, FALSE, all, ev, TRUE), ERROR_KEY_DELETED);
  HKEY ro = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Watch", 0, KEY_QUERY_VALUE, &ro),
            ERROR_SUCCESS);
  EXPECT_EQ(RegNotifyChangeKeyValue(ro, FALSE, all, ev, TRUE), ERROR_ACCESS_DENIED);
  CloseHandle(ev);
  RegCloseKey(ro);
  RegCloseKey(sub);
  RegCloseKey(top);
}

TEST(RegistryNotify, OneShotAndSynchronous) {
  HKEY k = Create(HKEY_CURRENT_USER, "Environment");
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, ev, TRUE), ERROR_SUCCESS);
  SetDword(k, "a", 1);
  ASSERT_EQ(WaitForSingleObject(ev, 2000), WAIT_OBJECT_0);
  // A watch fires once; without re-arming, later changes leave the event alone.
  ResetEvent(ev);
  SetDword(k, "a", 2);
  EXPECT_EQ(WaitForSingleObject(ev, 200), WAIT_TIMEOUT);
  CloseHandle(ev);

  // A synchronous call returns when the change comes.
  std::thread writer([] {
    Sleep(100);
    HKEY w = nullptr;
    RegOpenKeyExA(HKEY_CURRENT_USER, "Environment", 0, KEY_SET_VALUE, &w);
    SetDword(w, "b", 1);
    RegCloseKey(w);
  });
  EXPECT_EQ(RegNotifyChangeKeyValue(k, TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE),
            ERROR_SUCCESS);
  writer.join();
  RegCloseKey(k);
}
