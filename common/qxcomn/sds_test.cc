#include <gtest/gtest.h>
#include <qxcomn.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kHeader{0x02, 0x25, 0x0D, 0x1D, 0x11, 0x71, 0x03, 0x13, 0x0F, 0x1A, 0x0C, 0x0E};

Bytes BufferBytes(const void* buffer) {
  DWORD size = 0;
  EXPECT_EQ(SdsHowBigIsBuffer(&size, buffer), 0u);
  auto* p = static_cast<const uint8_t*>(buffer);
  return Bytes(p, p + size);
}

// A buffer in malloc'd memory, as the readers expect, from raw entry bytes.
void* MakeBuffer(const Bytes& entries) {
  Bytes b = kHeader;
  uint32_t total = uint32_t(16 + entries.size() + 4);
  b.insert(b.end(),
           {uint8_t(total >> 24), uint8_t(total >> 16), uint8_t(total >> 8), uint8_t(total)});
  b.insert(b.end(), entries.begin(), entries.end());
  b.insert(b.end(), 4, 0);
  void* p = std::malloc(b.size());
  std::memcpy(p, b.data(), b.size());
  return p;
}

struct ListGuard {
  PSDSLIST list = SdsInitList();
  ~ListGuard() { SdsFreeList(list); }
};

TEST(SdsLayout, EmptyBufferAndStringEntryBytes) {
  ListGuard l;
  DWORD size = 0;
  void* buf = nullptr;
  ASSERT_EQ(SdsCreateBuffer(l.list, &size, &buf), 0u);
  Bytes expect = kHeader;
  expect.insert(expect.end(), {0, 0, 0, 20, 0, 0, 0, 0});
  EXPECT_EQ(size, 20u);
  EXPECT_EQ(BufferBytes(buf), expect);
  SdsFreeBuffer(buf);

  ASSERT_EQ(SdsAddListEntry(l.list, "host", 3, "abc", SDS_TYPE_STRING), 0u);
  ASSERT_EQ(SdsCreateBuffer(l.list, &size, &buf), 0u);
  Bytes entry{0, 0, 0, 15, 0x40, 0, 'h', 'o', 's', 't', 0, 'a', 'b', 'c', 0};
  expect = kHeader;
  expect.insert(expect.end(), {0, 0, 0, 35});
  expect.insert(expect.end(), entry.begin(), entry.end());
  expect.insert(expect.end(), 4, 0);
  EXPECT_EQ(BufferBytes(buf), expect);
  DWORD len = 0;
  void* data = nullptr;
  EXPECT_EQ(SdsGetBufferEntry("HOST", buf, &len, &data), 0u);
  EXPECT_EQ(len, 3u);
  EXPECT_STREQ(static_cast<char*>(data), "abc");
  SdsFreeBuffer(buf);
}

TEST(SdsLayout, LongEntryConvertsOnceInPlace) {
  ListGuard l;
  DWORD one = 1;
  ASSERT_EQ(SdsAddListEntry(l.list, "n", 4, &one, SDS_TYPE_LONG), 0u);
  DWORD size = 0;
  void* buf = nullptr;
  ASSERT_EQ(SdsCreateBuffer(l.list, &size, &buf), 0u);
  auto* entry = static_cast<uint8_t*>(buf) + 16;
  EXPECT_EQ(Bytes(entry, entry + 12), (Bytes{0, 0, 0, 12, 0x20, 0, 'n', 0, 0, 0, 0, 1}));
  for (int read = 0; read < 2; ++read) {
    DWORD value = 0;
    ASSERT_EQ(SdsGetLongBufferEntry("N", buf, &value), 0u);
    EXPECT_EQ(value, 1u);
    // Length and value now in this host's order, with their flags set.
    EXPECT_EQ(Bytes(entry, entry + 12), (Bytes{12, 0, 0, 0, 0x20, 0x0C, 'n', 0, 1, 0, 0, 0}));
  }
  WORD w = 0;
  EXPECT_EQ(SdsGetShortBufferEntry("n", buf, &w), SDS_WRONG_TYPE);
  SdsFreeBuffer(buf);
}

// Entries as a big-endian EBCDIC host converted them while reading in place: the
// name and the string in EBCDIC (flags 0x10, 0x20), everything in big-endian order.
TEST(SdsLayout, ReadsEntriesConvertedByOtherHosts) {
  Bytes entries = {// "host" = "abc", name and value in EBCDIC.
                   0, 0, 0, 15, 0x40, 0x30, 0x88, 0x96, 0xA2, 0xA3, 0, 0x81, 0x82, 0x83, 0,
                   // "s" = 0x0102 big-endian (flag 0x08 clear), name in EBCDIC.
                   0, 0, 0, 10, 0x10, 0x10, 0xA2, 0, 0x01, 0x02,
                   // "l" = 0x01020304 converted by a little-endian host: flags 0x04 and 0x08.
                   12, 0, 0, 0, 0x20, 0x0C, 'l', 0, 0x04, 0x03, 0x02, 0x01,
                   // a wide-named wide string L"w" = L"hi", length little-endian.
                   16, 0, 0, 0, 0x01, 0x44, 'w', 0, 0, 0, 'h', 0, 'i', 0, 0, 0};
  void* buf = MakeBuffer(entries);
  ASSERT_EQ(SdsCheckBuffer(buf, DWORD(16 + entries.size() + 4)), 0u);
  for (int read = 0; read < 2; ++read) {
    DWORD len = 0;
    void* data = nullptr;
    ASSERT_EQ(SdsGetBufferEntry("Host", buf, &len, &data), 0u);
    EXPECT_EQ(std::string(static_cast<char*>(data), len), "abc");
    WORD s = 0;
    ASSERT_EQ(SdsGetShortBufferEntry("S", buf, &s), 0u);
    EXPECT_EQ(s, 0x0102);
    DWORD v = 0;
    ASSERT_EQ(SdsGetLongBufferEntry("l", buf, &v), 0u);
    EXPECT_EQ(v, 0x01020304u);
    ASSERT_EQ(SdsGetBufferEntryW(u"W", buf, &len, &data), 0u);
    EXPECT_EQ(len, 2u);  // characters
    EXPECT_EQ(std::memcmp(data, u"hi", 6), 0);
  }
  auto* p = static_cast<uint8_t*>(buf) + 16;
  EXPECT_EQ(p[5], SDS_FLAG_LENGTH_LE);  // name and value back in ASCII
  EXPECT_EQ(Bytes(p + 6, p + 15), (Bytes{'h', 'o', 's', 't', 0, 'a', 'b', 'c', 0}));
  SdsFreeBuffer(buf);
}

TEST(SdsList, AddGetWalkAndCodes) {
  ListGuard l;
  WORD s = 7;
  DWORD v = 9;
  EXPECT_EQ(SdsAddListEntry(nullptr, "a", 1, "x", 0x40), SDS_NULL_LIST);
  EXPECT_EQ(SdsAddListEntry(l.list, nullptr, 1, "x", 0x40), SDS_NULL_ARG);
  EXPECT_EQ(SdsAddListEntry(l.list, "", 1, "x", 0x40), SDS_EMPTY_NAME);
  EXPECT_EQ(SdsAddListEntry(l.list, "a", 1, nullptr, 0x40), SDS_NULL_ARG);
  EXPECT_EQ(SdsAddListEntry(l.list, "a", 0, &s, SDS_TYPE_SHORT), SDS_BAD_LENGTH);
  // Shorter than its width: refused rather than converted past the caller's data.
  EXPECT_EQ(SdsAddListEntry(l.list, "a", 2, &v, SDS_TYPE_LONG), SDS_BAD_LENGTH);
  EXPECT_EQ(SdsGetCurrentListEntry(l.list), nullptr);

  ASSERT_EQ(SdsAddListEntry(l.list, "short", 2, &s, SDS_TYPE_SHORT), 0u);
  ASSERT_EQ(SdsAddListEntryW(l.list, u"wide", 2, u"ok", SDS_TYPE_WSTRING), 0u);
  ASSERT_EQ(SdsAddListEntry(l.list, "blob", 3, "\x01\x02\x03", 0x99), 0u);

  DWORD len = 0;
  void* data = nullptr;
  EXPECT_EQ(SdsGetListEntry(l.list, "SHORT", &len, &data), 0u);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(*static_cast<WORD*>(data), 7);
  // The search stops at the first wide-named node.
  EXPECT_EQ(SdsGetListEntry(l.list, "blob", &len, &data), SDS_OTHER_WIDTH);
  EXPECT_EQ(SdsGetListEntryW(l.list, u"wide", &len, &data), SDS_OTHER_WIDTH);
  EXPECT_EQ(SdsGetListEntry(l.list, "nothere", &len, nullptr), SDS_OTHER_WIDTH);

  PSDSLISTENTRY cursor = nullptr;
  char name[SDS_MAX_NAME];
  char16_t wname[SDS_MAX_NAME];
  BYTE type = 0;
  EXPECT_EQ(SdsGetNextListEntry(l.list, &cursor, name, &len, &data, &type), 0u);
  EXPECT_STREQ(name, "short");
  EXPECT_EQ(SdsGetNextListEntry(l.list, &cursor, name, &len, &data, &type), SDS_OTHER_WIDTH);
  PSDSLISTENTRY wide_node = cursor;
  cursor = l.list->pFirst;
  EXPECT_EQ(SdsGetNextListEntryW(l.list, &cursor, wname, &len, &data, &type), 0u);
  EXPECT_EQ(std::u16string(wname), u"wide");
  EXPECT_EQ(len, 4u);  // bytes, in lists
  EXPECT_EQ(type, SDS_TYPE_WSTRING);
  EXPECT_EQ(SdsGetNextListEntry(l.list, &cursor, name, &len, &data, &type), 0u);
  EXPECT_EQ(std::string(name), "blob");
  EXPECT_EQ(SdsGetNextListEntry(l.list, &cursor, name, &len, &data, &type), SDS_END);
  EXPECT_EQ(SdsGetNextListEntry(l.list, nullptr, name, &len, &data, &type), SDS_NULL_LIST);

  // Replace the middle node (not current) and a node of no list.
  ASSERT_EQ(SdsReplaceListEntry(l.list, wide_node, "narrow", 1, "n", SDS_TYPE_STRING), 0u);
  EXPECT_EQ(SdsGetListEntry(l.list, "narrow", &len, &data), 0u);
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(SdsGetListEntry(l.list, "blob", &len, &data), 0u);
  EXPECT_EQ(len, 3u);
  ListGuard other;
  SdsAddListEntry(other.list, "x", 1, "x", 0x40);
  EXPECT_EQ(SdsReplaceListEntry(l.list, other.list->pFirst, "y", 1, "y", 0x40), SDS_NOT_FOUND);
  EXPECT_EQ(SdsReplaceListEntry(l.list, l.list->pFirst, "", 1, "y", 0x40), SDS_EMPTY_NAME);
  EXPECT_EQ(SdsSaveCurrentListEntry(l.list, other.list->pFirst), SDS_NOT_FOUND);
  EXPECT_EQ(SdsSaveCurrentListEntry(l.list, nullptr), SDS_BAD_NODE);
  EXPECT_EQ(SdsSaveCurrentListEntry(nullptr, l.list->pFirst), SDS_NULL_LIST);
  EXPECT_EQ(SdsFreeList(nullptr), 0u);
}

TEST(SdsList, RemoveCurrent) {
  ListGuard l;
  for (const char* n : {"a", "b", "c"}) SdsAddListEntry(l.list, n, 1, n, SDS_TYPE_STRING);
  PSDSLISTENTRY a = l.list->pFirst, b = a->pNext, c = b->pNext;
  // current is c: without a predecessor it must be the first.
  EXPECT_EQ(SdsRemoveCurrentListEntry(l.list, nullptr), SDS_BAD_NODE);
  EXPECT_EQ(SdsRemoveCurrentListEntry(l.list, a), SDS_BAD_NODE);
  ASSERT_EQ(SdsSaveCurrentListEntry(l.list, a), 0u);
  ASSERT_EQ(SdsRemoveCurrentListEntry(l.list, nullptr), 0u);
  EXPECT_EQ(l.list->pFirst, b);
  EXPECT_EQ(SdsGetCurrentListEntry(l.list), b);
  ASSERT_EQ(SdsSaveCurrentListEntry(l.list, c), 0u);
  ASSERT_EQ(SdsRemoveCurrentListEntry(l.list, b), 0u);
  EXPECT_EQ(b->pNext, nullptr);
  EXPECT_EQ(SdsGetCurrentListEntry(l.list), nullptr);
  EXPECT_EQ(SdsRemoveCurrentListEntry(l.list, b), SDS_BAD_NODE);
}

TEST(SdsBuffer, RoundTripsEveryTypeAndWalks) {
  ListGuard l;
  WORD s = 0xBEEF;
  DWORD v = 0xDEADBEEF;
  SdsAddListEntry(l.list, "str", 5, "hello", SDS_TYPE_STRING);
  SdsAddListEntryW(l.list, u"wstr", 3, u"abc", SDS_TYPE_WSTRING);
  SdsAddListEntry(l.list, "short", 2, &s, SDS_TYPE_SHORT);
  SdsAddListEntry(l.list, "long", 4, &v, SDS_TYPE_LONG);
  SdsAddListEntry(l.list, "blob", 4, "\xFE\x00\x01\x02", 0x07);
  DWORD size = 0;
  void* buf = nullptr;
  ASSERT_EQ(SdsCreateBuffer(l.list, &size, &buf), 0u);
  ASSERT_EQ(SdsCheckBuffer(buf, size), 0u);

  // Appended entries read back the same way.
  ASSERT_EQ(SdsAppendBufferEntry("more", 2, "zz", SDS_TYPE_STRING, &buf, &size), 0u);
  ASSERT_EQ(SdsAppendBufferEntryW(u"wlong", 4, &v, SDS_TYPE_LONG, &buf, &size), 0u);
  ASSERT_EQ(SdsCheckBuffer(buf, size), 0u);

  struct Seen {
    std::string name;
    DWORD len;
    BYTE type;
  };
  std::vector<Seen> seen;
  void* cursor = nullptr;
  char name[SDS_MAX_NAME];
  DWORD len;
  BYTE type;
  void* data;
  for (;;) {
    DWORD rc = SdsGetBufferEntries(name, buf, &len, &type, &data, &cursor);
    if (rc == SDS_END) break;
    if (rc == SDS_OTHER_WIDTH) {
      seen.push_back({"(wide)", 0, 0});
      continue;
    }
    ASSERT_EQ(rc, 0u);
    seen.push_back({name, len, type});
  }
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[0].name, "str");
  EXPECT_EQ(seen[0].len, 5u);
  EXPECT_EQ(seen[1].name, "(wide)");
  EXPECT_EQ(seen[2].len, 2u);
  EXPECT_EQ(seen[4].type, 0x07);
  EXPECT_EQ(seen[5].name, "more");

  WORD s2 = 0;
  DWORD v2 = 0;
  EXPECT_EQ(SdsGetShortBufferEntry("short", buf, &s2), 0u);
  EXPECT_EQ(s2, 0xBEEF);
  EXPECT_EQ(SdsGetLongBufferEntryW(u"WLONG", buf, &v2), 0u);
  EXPECT_EQ(v2, 0xDEADBEEFu);
  EXPECT_EQ(SdsGetShortBufferEntryW(u"wlong", buf, &s2), SDS_WRONG_TYPE);
  EXPECT_EQ(SdsGetLongBufferEntry("wlong", buf, &v2), SDS_NOT_FOUND);
  EXPECT_EQ(SdsGetBufferEntryW(u"wstr", buf, &len, &data), 0u);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(std::memcmp(data, u"abc", 8), 0);
  char16_t wname[SDS_MAX_NAME];
  cursor = nullptr;
  EXPECT_EQ(SdsGetBufferEntriesW(wname, buf, &len, &type, &data, &cursor), SDS_OTHER_WIDTH);
  EXPECT_EQ(SdsGetBufferEntriesW(wname, buf, &len, &type, &data, &cursor), 0u);
  EXPECT_EQ(std::u16string(wname), u"wstr");

  // A copy reads back the same (already converted) values.
  void* copy = nullptr;
  ASSERT_EQ(SdsCopyBuffer(buf, &copy), 0u);
  EXPECT_EQ(BufferBytes(copy), BufferBytes(buf));
  EXPECT_EQ(SdsGetLongBufferEntry("long", copy, &v2), 0u);
  EXPECT_EQ(v2, 0xDEADBEEFu);
  SdsFreeBuffer(copy);
  SdsFreeBuffer(buf);
}

TEST(SdsBuffer, NamedWalkAndMerge) {
  void* a = MakeBuffer({});
  void* b = MakeBuffer({});
  DWORD size = 0;
  for (const char* v : {"1", "2"}) SdsAppendBufferEntry("k", 1, v, SDS_TYPE_STRING, &a, &size);
  SdsAppendBufferEntry("other", 1, "x", SDS_TYPE_STRING, &b, &size);
  SdsAppendBufferEntryW(u"k", 1, "w", SDS_TYPE_STRING, &b, &size);
  SdsAppendBufferEntry("K", 1, "3", SDS_TYPE_STRING, &b, &size);
  DWORD size_a = 0, size_b = 0, merged_size = 0;
  SdsHowBigIsBuffer(&size_a, a);
  SdsHowBigIsBuffer(&size_b, b);
  void* merged = nullptr;
  ASSERT_EQ(SdsMergeBuffers(a, b, &merged_size, &merged), 0u);
  EXPECT_EQ(merged_size, size_a + size_b - 20);
  ASSERT_EQ(SdsCheckBuffer(merged, merged_size), 0u);
  std::string values;
  void* cursor = nullptr;
  DWORD len;
  BYTE type;
  void* data;
  while (SdsGetNamedBufferEntries("k", merged, &len, &type, &data, &cursor) == 0)
    values += static_cast<char*>(data);
  EXPECT_EQ(values, "123");
  cursor = nullptr;
  ASSERT_EQ(SdsGetNamedBufferEntriesW(u"K", merged, &len, &type, &data, &cursor), 0u);
  EXPECT_STREQ(static_cast<char*>(data), "w");
  EXPECT_EQ(SdsGetNamedBufferEntriesW(u"K", merged, &len, &type, &data, &cursor), SDS_NOT_FOUND);

  // An empty buffer merged with an empty buffer is an empty buffer.
  void* e1 = MakeBuffer({});
  void* e2 = nullptr;
  ASSERT_EQ(SdsMergeBuffers(e1, e1, &merged_size, &e2), 0u);
  EXPECT_EQ(merged_size, 20u);
  for (void* p : {a, b, merged, e1, e2}) SdsFreeBuffer(p);
}

TEST(SdsBuffer, HeaderCodes) {
  void* buf = MakeBuffer({});
  DWORD size = 0, version = 0;
  void* out = nullptr;
  EXPECT_EQ(SdsHowBigIsBuffer(nullptr, buf), SDS_NULL_ARG);
  EXPECT_EQ(SdsHowBigIsBuffer(&size, nullptr), SDS_NULL_ARG);
  EXPECT_EQ(SdsFreeBuffer(nullptr), SDS_NULL_ARG);
  static_cast<uint8_t*>(buf)[11] ^= 1;  // version
  EXPECT_EQ(SdsGetBufferVersion(&version, buf), SDS_BAD_VERSION);
  EXPECT_EQ(version, 0x0F1A0C0Fu);
  EXPECT_EQ(SdsHowBigIsBuffer(&size, buf), SDS_BAD_VERSION);
  EXPECT_EQ(SdsCopyBuffer(buf, &out), SDS_BAD_VERSION);
  EXPECT_EQ(SdsGetBufferEntry("x", buf, &size, nullptr), SDS_BAD_VERSION);
  static_cast<uint8_t*>(buf)[11] ^= 1;
  static_cast<uint8_t*>(buf)[0] ^= 1;  // magic
  DWORD len;
  BYTE type;
  void* data;
  void* cursor = nullptr;
  EXPECT_EQ(SdsGetBufferVersion(&version, buf), SDS_NOT_SDS);
  EXPECT_EQ(SdsHowBigIsBuffer(&size, buf), SDS_NOT_SDS);
  EXPECT_EQ(SdsCopyBuffer(buf, &out), SDS_NOT_SDS);
  EXPECT_EQ(SdsGetBufferEntry("x", buf, &len, &data), SDS_NOT_SDS);
  EXPECT_EQ(SdsGetBufferEntries(nullptr, buf, &len, &type, &data, &cursor), SDS_NOT_SDS);
  EXPECT_EQ(SdsGetNamedBufferEntries("x", buf, &len, &type, &data, &cursor), SDS_NOT_SDS);
  EXPECT_EQ(SdsGetLongBufferEntry("x", buf, &len), SDS_NOT_SDS);
  EXPECT_EQ(SdsMergeBuffers(buf, buf, &size, &out), SDS_NOT_SDS);
  EXPECT_EQ(SdsAppendBufferEntry("x", 1, "x", 0x40, &buf, &size), SDS_NOT_SDS);
  EXPECT_EQ(SdsCheckBuffer(buf, 20), SDS_NOT_SDS);
  EXPECT_EQ(SdsFreeBuffer(buf), SDS_NOT_SDS);
  static_cast<uint8_t*>(buf)[0] ^= 1;
  // A failed append leaves the buffer as it was.
  void* before = buf;
  size = 77;
  EXPECT_EQ(SdsAppendBufferEntry("x", 0, &size, SDS_TYPE_SHORT, &buf, &size), SDS_BAD_LENGTH);
  EXPECT_EQ(buf, before);
  EXPECT_EQ(size, 77u);
  EXPECT_EQ(SdsGetBufferEntry("x", buf, &len, &data), SDS_NOT_FOUND);
  cursor = nullptr;
  EXPECT_EQ(SdsGetBufferEntries(nullptr, buf, &len, &type, &data, &cursor), SDS_END);
  EXPECT_EQ(SdsFreeBuffer(buf), 0u);
}

TEST(SdsBuffer, DamagedEntriesAreRefused) {
  struct Case {
    const char* what;
    Bytes entries;
  } cases[] = {
      {"length below the fixed part", {0, 0, 0, 5, 0x40, 0, 'a', 0}},
      {"length past the total", {0, 0, 0, 40, 0x40, 0, 'a', 0, 'b', 0}},
      {"name without terminator", {0, 0, 0, 8, 0x40, 0, 'a', 'b'}},
      {"wide name without terminator", {0, 0, 0, 10, 0x01, 0x40, 'a', 0, 'b', 0}},
      {"string without terminator", {0, 0, 0, 9, 0x40, 0, 'a', 0, 'b'}},
      {"long shorter than its width", {0, 0, 0, 10, 0x20, 0, 'a', 0, 1, 2}},
      {"short shorter than its width", {0, 0, 0, 9, 0x10, 0, 'a', 0, 1}},
      {"odd wide string", {0, 0, 0, 11, 0x01, 0, 'a', 0, 'b', 0, 0}},
      {"little-endian length past the total", {200, 0, 0, 0, 0x40, 0x04, 'a', 0, 'b', 0}},
  };
  for (const auto& c : cases) {
    void* buf = MakeBuffer(c.entries);
    DWORD size = 0;
    SdsHowBigIsBuffer(&size, buf);
    EXPECT_EQ(SdsCheckBuffer(buf, size), SDS_NOT_SDS) << c.what;
    DWORD len = 0, v = 0;
    BYTE type;
    void* data;
    void* cursor = nullptr;
    EXPECT_EQ(SdsGetBufferEntry("a", buf, &len, &data), SDS_NOT_SDS) << c.what;
    EXPECT_EQ(SdsGetBufferEntries(nullptr, buf, &len, &type, &data, &cursor), SDS_NOT_SDS)
        << c.what;
    EXPECT_EQ(cursor, nullptr);
    if (c.entries[4] == 0x20) {
      EXPECT_EQ(SdsGetLongBufferEntry("a", buf, &v), SDS_NOT_SDS);
    }
    SdsFreeBuffer(buf);
  }
  // A total larger than what arrived, a bad end marker and a cursor outside the
  // entries are refused too.
  void* buf = MakeBuffer({0, 0, 0, 9, 0x40, 0, 'a', 0, 0});
  EXPECT_EQ(SdsCheckBuffer(buf, 28), SDS_NOT_SDS);
  EXPECT_EQ(SdsCheckBuffer(buf, 29), 0u);
  DWORD len;
  BYTE type;
  void* data;
  void* cursor = static_cast<uint8_t*>(buf) + 4;
  EXPECT_EQ(SdsGetBufferEntries(nullptr, buf, &len, &type, &data, &cursor), SDS_NOT_SDS);
  static_cast<uint8_t*>(buf)[28] = 1;
  EXPECT_EQ(SdsCheckBuffer(buf, 29), SDS_NOT_SDS);
  EXPECT_EQ(SdsGetBufferEntry("a", buf, &len, &data), SDS_NOT_SDS);
  std::free(buf);
}

TEST(SdsBuffer, SizesBeyondThirtyTwoBitsAreRefused) {
  // The sizes are refused before any data is read: the data pointer stands for
  // nothing that large.
  ListGuard l;
  EXPECT_EQ(SdsAddListEntry(l.list, "x", 0xFFFFFFF0u, "x", 0x07), SDS_NO_MEMORY);
  EXPECT_EQ(SdsAddListEntryW(l.list, u"x", 0x80000000u, u"x", SDS_TYPE_WSTRING), SDS_NO_MEMORY);
  EXPECT_EQ(l.list->pFirst, nullptr);
  void* buf = MakeBuffer({});
  void* before = buf;
  DWORD size = 5;
  EXPECT_EQ(SdsAppendBufferEntry("x", 0xFFFFFFF0u, "x", 0x07, &buf, &size), SDS_NO_MEMORY);
  EXPECT_EQ(buf, before);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(SdsCheckBuffer(buf, 20), 0u);
  EXPECT_EQ(SdsCreateBuffer(nullptr, &size, &buf), SDS_NULL_LIST);
  EXPECT_EQ(SdsCreateBuffer(l.list, nullptr, &buf), SDS_NULL_ARG);
  EXPECT_EQ(SdsCopyBuffer(buf, nullptr), SDS_NULL_ARG);
  EXPECT_EQ(SdsMergeBuffers(buf, nullptr, &size, &before), SDS_NULL_ARG);
  SdsFreeBuffer(buf);
}

TEST(SdsBuffer, ByteOrderHelpers) {
  EXPECT_EQ(Sds_ulHost2Net(0x01020304u), 0x04030201u);
  EXPECT_EQ(Sds_ulNet2Host(Sds_ulHost2Net(0xCAFEBABEu)), 0xCAFEBABEu);
  EXPECT_EQ(Sds_usHost2Net(0x0102), 0x0201);
  EXPECT_EQ(Sds_usNet2Host(0x0201), 0x0102);
  char text[] = "plain";
  EXPECT_STREQ(Sds_szHost2Net(text), "plain");
}

}  // namespace
