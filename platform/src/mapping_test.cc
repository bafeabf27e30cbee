// File mappings within one process: file-backed and page-file, named and unnamed,
// view offsets and access (the cross-process case is in tests/kobj).
#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/file.h>
#include <qxplatform/mapping.h>
#include <qxplatform/sync.h>

#include <cstring>
#include <string>

#include "test_env.h"

namespace {

using qx::testing::TestRoot;
// The test helpers' whole-file read and write, beside the Windows calls.
std::string Slurp(const std::string& path) {
  return qx::testing::ReadFile(path);
}
void Store(const std::string& path, const std::string& data) {
  qx::testing::WriteFile(path, data);
}

TEST(Mapping, ReadOnlyFileBackedNamedMappingAsTheCatalogUsesIt) {
  std::string path = TestRoot() + "/catalog.bin";
  Store(path, std::string("catalog contents") + std::string(70000, 'c'));
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE m = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, "Global\\QX.CATALOG");
  ASSERT_NE(m, nullptr) << GetLastError();
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  CloseHandle(file);  // the mapping does not need the file handle
  HANDLE again = OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\QX.CATALOG");
  ASSERT_NE(again, nullptr);
  auto* view = static_cast<const char*>(MapViewOfFile(again, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 16), "catalog contents");
  EXPECT_EQ(MapViewOfFile(again, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  // Views start at multiples of 65,536 and stay within the mapping.
  EXPECT_EQ(MapViewOfFile(m, FILE_MAP_READ, 0, 4096, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MAPPED_ALIGNMENT));
  auto* tail = static_cast<const char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 65536, 0));
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(tail[0], 'c');
  EXPECT_EQ(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 70017), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(UnmapViewOfFile(tail));
  EXPECT_FALSE(UnmapViewOfFile(tail));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ADDRESS));
  EXPECT_TRUE(UnmapViewOfFile(view));
  CloseHandle(again);
  CloseHandle(m);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\QX.CATALOG"), nullptr);

  // A read-only mapping cannot grow its file; an empty file has nothing to map.
  file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 100000, nullptr), nullptr);
  CloseHandle(file);
  Store(path, "");
  file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_INVALID));
  CloseHandle(file);
}

TEST(Mapping, WritableViewsChangeTheFileAndCopyViewsDoNot) {
  std::string path = TestRoot() + "/data.bin";
  Store(path, "0123456789");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  HANDLE m = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 20, nullptr);  // grows to 20
  ASSERT_NE(m, nullptr);
  auto* w = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
  auto* c = static_cast<char*>(MapViewOfFile(m, FILE_MAP_COPY, 0, 0, 0));
  ASSERT_NE(w, nullptr);
  ASSERT_NE(c, nullptr);
  c[0] = 'X';  // private to this view
  std::memcpy(w + 10, "abcdefghij", 10);
  EXPECT_TRUE(FlushViewOfFile(w, 0));
  EXPECT_TRUE(UnmapViewOfFile(w));
  EXPECT_TRUE(UnmapViewOfFile(c));
  CloseHandle(m);
  CloseHandle(file);
  EXPECT_EQ(Slurp(path), "0123456789abcdefghij");

  // Page-file mappings need a size and start zeroed; the name's size wins.
  EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, "QX.M"),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_NOACCESS, 0, 8, nullptr),
            nullptr);
  HANDLE a = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, u"QX.M");
  auto* va = static_cast<char*>(MapViewOfFile(a, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  EXPECT_EQ(va[99], 0);
  std::strcpy(va, "shared");
  HANDLE b = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 5, "QX.M");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  auto* vb = static_cast<char*>(MapViewOfFile(b, FILE_MAP_READ, 0, 0, 100));
  ASSERT_NE(vb, nullptr);
  EXPECT_STREQ(vb, "shared");
  // Another kind may not take the name.
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "QX.M"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  UnmapViewOfFile(va);
  UnmapViewOfFile(vb);
  CloseHandle(a);
  CloseHandle(b);
}

TEST(Files, CreateDispositionsPointersAndSizes) {
  std::string path = TestRoot() + "/f.txt";
  HANDLE h =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
  DWORD n;
  EXPECT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
  char buf[16] = {};
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "world");
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // end of file: TRUE, 0 bytes
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
  SetFilePointer(h, 5, nullptr, FILE_BEGIN);
  EXPECT_TRUE(SetEndOfFile(h));
  DWORD high = 1;
  EXPECT_EQ(GetFileSize(h, &high), 5u);
  EXPECT_EQ(high, 0u);
  CloseHandle(h);
  h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  CloseHandle(h);
  EXPECT_EQ(CreateFileA((TestRoot() + "/none").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadFile(h, buf, 1, &n, nullptr), FALSE);  // closed
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

}  // namespace
