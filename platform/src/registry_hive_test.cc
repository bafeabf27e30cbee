// Saving keys to hive files and restoring them; the hive reader's checks.
#include <gtest/gtest.h>
#include <qxplatform/registry.h>

#include <string>

#include "test_env.h"

using namespace qx::platform;

namespace {

HKEY Create(const char* path, DWORD options = 0) {
  HKEY k = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr,
                            &k, nullptr),
            ERROR_SUCCESS);
  return k;
}

void Set(HKEY k, const char* name, DWORD type, std::string_view data) {
  EXPECT_EQ(
      RegSetValueExW(
          k, reinterpret_cast<const char16_t*>(std::u16string(name, name + strlen(name)).c_str()),
          0, type, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size())),
      ERROR_SUCCESS);
}

// The tree below a key, as text, for comparisons.
std::string Dump(HKEY k, const std::string& indent = "") {
  std::string out;
  char name[300];
  BYTE data[256];
  for (DWORD i = 0;; ++i) {
    DWORD n = sizeof name, size = sizeof data, type = 0;
    if (RegEnumValueA(k, i, name, &n, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) break;
    RegQueryValueExW(k, std::u16string(name, name + n).c_str(), nullptr, &type, data, &size);
    out += indent + name + "=" + std::to_string(type) + ":" +
           std::string(reinterpret_cast<char*>(data), size) + "\n";
  }
  for (DWORD i = 0;; ++i) {
    DWORD n = sizeof name;
    if (RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    RegOpenKeyExA(k, name, 0, KEY_READ, &sub);
    out += indent + "[" + name + "]\n" + Dump(sub, indent + "  ");
    RegCloseKey(sub);
  }
  return out;
}

}  // namespace

TEST(RegistryHive, SaveAndRestoreRoundTrip) {
  HKEY src = Create("Software\\Src");
  Set(src, "Text", REG_SZ, std::string("h\0i\0\0\0", 6));
  Set(src, "", REG_BINARY, std::string("\0\xff\x01", 3));
  Set(src, "Odd", 1234567, "x");
  HKEY deep = Create("Software\\Src\\A\\b/c\\D");
  Set(deep, "n", REG_DWORD, std::string("\x01\x02\x03\x04", 4));
  HKEY vol = Create("Software\\Src\\Volatile", REG_OPTION_VOLATILE);
  RegCloseKey(vol);

  std::string file = qx::testing::TestRoot() + "/tmp/src.hiv";
  ASSERT_EQ(RegSaveKeyA(src, file.c_str(), nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSaveKeyA(src, file.c_str(), nullptr), ERROR_ALREADY_EXISTS);

  HKEY dst = Create("Software\\Dst");
  HKEY old = Create("Software\\Dst\\Old");
  Set(dst, "gone", REG_SZ, "x");
  ASSERT_EQ(RegRestoreKeyA(dst, file.c_str(), 0), ERROR_SUCCESS);
  // Volatile keys are not saved; the target's old tree is replaced.
  std::string expected = Dump(src);
  EXPECT_NE(expected.find("[Volatile]"), std::string::npos);
  expected.erase(expected.find("[Volatile]"));
  EXPECT_EQ(Dump(dst), expected);
  EXPECT_EQ(RegSetValueExA(old, "x", 0, REG_SZ, nullptr, 0), ERROR_KEY_DELETED);

  // A whole-hive-volatile restore makes volatile keys (they refuse stable children).
  HKEY vdst = Create("Software\\VDst");
  ASSERT_EQ(RegRestoreKeyW(vdst, std::u16string(file.begin(), file.end()).c_str(),
                           REG_WHOLE_HIVE_VOLATILE),
            ERROR_SUCCESS);
  HKEY x = nullptr;
  EXPECT_EQ(RegCreateKeyExA(vdst, "A\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &x, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  EXPECT_EQ(RegRestoreKeyA(vdst, (file + ".missing").c_str(), 0), ERROR_FILE_NOT_FOUND);
  for (HKEY k : {src, deep, dst, old, vdst}) RegCloseKey(k);
}

TEST(RegistryHive, DamagedFilesAreRefusedAndChangeNothing) {
  RegistryKeyTree tree;
  tree.values.push_back({"v", REG_SZ, std::string("a\0\0\0", 4)});
  RegistryKeyTree sub;
  sub.name = "Sub";
  sub.values.push_back({"d", REG_DWORD, std::string(4, '\x07')});
  tree.subkeys.push_back(sub);
  const std::string good = EncodeHive(tree);
  RegistryKeyTree back;
  ASSERT_EQ(DecodeHive(good, &back), ERROR_SUCCESS);
  ASSERT_EQ(back.subkeys.size(), 1u);
  EXPECT_EQ(back.subkeys[0].values[0].data, std::string(4, '\x07'));

  // Every truncation and every single flipped byte is caught.
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(DecodeHive(good.substr(0, n), &back), ERROR_NOT_REGISTRY_FILE) << n;
  for (size_t i = 0; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] = char(bad[i] ^ 0x40);
    EXPECT_EQ(DecodeHive(bad, &back), ERROR_NOT_REGISTRY_FILE) << i;
  }
  EXPECT_EQ(DecodeHive(good + "x", &back), ERROR_NOT_REGISTRY_FILE);

  // Well-formed files that break the registry's rules.
  auto refused = [&](RegistryKeyTree t) { return DecodeHive(EncodeHive(t), &back); };
  RegistryKeyTree dup = tree;
  dup.values.push_back({"V", REG_SZ, ""});
  EXPECT_EQ(refused(dup), ERROR_NOT_REGISTRY_FILE);
  RegistryKeyTree slash = tree;
  slash.subkeys[0].name = "a\\b";
  EXPECT_EQ(refused(slash), ERROR_NOT_REGISTRY_FILE);
  RegistryKeyTree long_name = tree;
  long_name.subkeys[0].name = std::string(256, 'k');
  EXPECT_EQ(refused(long_name), ERROR_NOT_REGISTRY_FILE);
  RegistryKeyTree bad_utf8 = tree;
  bad_utf8.values[0].name = "\xC0\x80";
  EXPECT_EQ(refused(bad_utf8), ERROR_NOT_REGISTRY_FILE);
  RegistryKeyTree deep;
  RegistryKeyTree* at = &deep;
  for (int i = 0; i < 600; ++i) {
    at->subkeys.push_back({"k", "", {}, {}});
    at = &at->subkeys[0];
  }
  EXPECT_EQ(refused(deep), ERROR_NOT_REGISTRY_FILE);

  // Through the call: the target keeps what it had.
  HKEY k = Create("Software\\Target");
  Set(k, "keep", REG_SZ, "k");
  std::string file = qx::testing::TestRoot() + "/tmp/bad.hiv";
  std::string bad = good;
  bad[bad.size() - 3] ^= 1;
  qx::testing::WriteFile(file, bad);
  EXPECT_EQ(RegRestoreKeyA(k, file.c_str(), 0), ERROR_NOT_REGISTRY_FILE);
  qx::testing::WriteFile(file, std::string(4096, '\0'));
  EXPECT_EQ(RegRestoreKeyA(k, file.c_str(), 0), ERROR_NOT_REGISTRY_FILE);
  EXPECT_EQ(Dump(k), "keep=1:k\n");
  RegCloseKey(k);
}
