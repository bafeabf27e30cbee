// Fuzzes the run-length decoders with coded data from outside, and the coder with
// any data (what it codes must decode back to the input).
#include <qxcomn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  DWORD capacity = data[0] | (DWORD(data[1]) << 8);
  data += 2;
  size -= 2;

  // Bounded: exactly `capacity` bytes of room, nothing written beyond.
  std::vector<uint8_t> out(capacity);
  DWORD expanded = 0;
  int rc = qxdecompressn(data, DWORD(size), out.data(), capacity, &expanded);
  if (rc == QXDECOMPRESS_OK && expanded > capacity) std::abort();

  // Sized by the library itself.
  void* p = nullptr;
  DWORD n = qxdecompressm(data, &p, DWORD(size));
  if (rc == QXDECOMPRESS_OK && p && (n != expanded || (n && std::memcmp(p, out.data(), n) != 0)))
    std::abort();
  if (p) {
    // The unbounded decoder, given the room the walk said it needs.
    std::vector<uint8_t> again(n);
    if (qxdecompress(data, again.data(), DWORD(size)) != n) std::abort();
    if (n && std::memcmp(again.data(), p, n) != 0) std::abort();
  }
  std::free(p);

  // Coding any input and decoding it again gives the input.
  std::vector<uint8_t> in(data, data + size);
  std::vector<uint8_t> coded(size);
  DWORD c = qxcompress(in.data(), coded.data(), DWORD(size));
  if (c > QXCOMPRESS_CLEANED) {
    if (c > size) std::abort();
    std::vector<uint8_t> back(size);
    DWORD got = 0;
    if (qxdecompressn(coded.data(), c, back.data(), DWORD(size), &got) != QXDECOMPRESS_OK ||
        got != size || back != in)
      std::abort();
    // In place gives the same bytes.
    std::vector<uint8_t> work = in;
    if (qxcompress(work.data(), work.data(), DWORD(size)) != c ||
        std::memcmp(work.data(), coded.data(), c) != 0)
      std::abort();
  }
  return 0;
}
