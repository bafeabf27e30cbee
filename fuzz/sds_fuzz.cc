// Fuzzes the SDS buffer readers over buffers from outside: the check, the finders,
// the walks, the integer readers, copies, merges and appends. Every reader must
// stay inside the buffer's total size whatever the entries claim.
#include <qxcomn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t kMagicAndVersion[12] = {0x02, 0x25, 0x0D, 0x1D, 0x11, 0x71,
                                      0x03, 0x13, 0x0F, 0x1A, 0x0C, 0x0E};

void Walk(void* buf) {
  char name[SDS_MAX_NAME];
  char16_t wname[SDS_MAX_NAME];
  DWORD len;
  BYTE type;
  void* data;
  void* cursor = nullptr;
  for (int i = 0; i < 4096; ++i) {
    DWORD rc = SdsGetBufferEntries(name, buf, &len, &type, &data, &cursor);
    if (rc != SDS_OK && rc != SDS_OTHER_WIDTH) break;
  }
  cursor = nullptr;
  for (int i = 0; i < 4096; ++i) {
    DWORD rc = SdsGetBufferEntriesW(wname, buf, &len, &type, &data, &cursor);
    if (rc != SDS_OK && rc != SDS_OTHER_WIDTH) break;
  }
  cursor = nullptr;
  while (SdsGetNamedBufferEntries("a", buf, &len, &type, &data, &cursor) == SDS_OK) {
  }
  cursor = nullptr;
  while (SdsGetNamedBufferEntriesW(u"a", buf, &len, &type, &data, &cursor) == SDS_OK) {
  }
  DWORD v;
  SdsGetBufferEntry("a", buf, &len, &data);
  SdsGetBufferEntryW(u"A", buf, &len, &data);
  SdsGetLongBufferEntry("a", buf, &v);
  SdsGetShortBufferEntry("a", buf, &v);
  SdsGetLongBufferEntryW(u"a", buf, &v);
  SdsGetShortBufferEntryW(u"a", buf, &v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte chooses whether the header is made valid, so that the fuzzer
  // spends its time on entries rather than on the magic.
  bool fix_header = data[0] & 1;
  ++data;
  --size;
  if (size > 0xFFFF) return 0;
  void* buf = std::malloc(size ? size : 1);
  if (size) std::memcpy(buf, data, size);
  if (fix_header && size >= SDS_EMPTY_SIZE) {
    auto* p = static_cast<uint8_t*>(buf);
    std::memcpy(p, kMagicAndVersion, sizeof kMagicAndVersion);
    p[12] = uint8_t(size >> 24);
    p[13] = uint8_t(size >> 16);
    p[14] = uint8_t(size >> 8);
    p[15] = uint8_t(size);
    std::memset(p + size - 4, 0, 4);
  }
  // Only a buffer that passes the check may be handed to the other readers (they
  // cannot know how much arrived); they must still refuse any entry that lies.
  if (size >= SDS_EMPTY_SIZE) {
    auto* p = static_cast<const uint8_t*>(buf);
    uint32_t total = uint32_t(p[12]) << 24 | uint32_t(p[13]) << 16 | uint32_t(p[14]) << 8 | p[15];
    DWORD rc = SdsCheckBuffer(buf, DWORD(size));
    bool header_ok = std::memcmp(p, kMagicAndVersion, 12) == 0 && total >= 20 && total <= size;
    if (header_ok) {
      Walk(buf);
      void* copy = nullptr;
      if (SdsCopyBuffer(buf, &copy) == SDS_OK) {
        void* merged = nullptr;
        DWORD msize = 0;
        if (SdsMergeBuffers(buf, copy, &msize, &merged) == SDS_OK) {
          Walk(merged);
          SdsFreeBuffer(merged);
        }
        DWORD nsize = 0;
        DWORD one = 1;
        if (SdsAppendBufferEntry("a", 4, &one, SDS_TYPE_LONG, &copy, &nsize) == SDS_OK) Walk(copy);
        SdsFreeBuffer(copy);
      }
      // A buffer that passed the check reads back without a damage report.
      if (rc == SDS_OK) {
        DWORD len;
        BYTE type;
        void* d;
        void* cursor = nullptr;
        DWORD r;
        do {
          r = SdsGetBufferEntries(nullptr, buf, &len, &type, &d, &cursor);
        } while (r == SDS_OK || r == SDS_OTHER_WIDTH);
        if (r != SDS_END) std::abort();
      }
    }
  }
  std::free(buf);
  return 0;
}
