// Run-length compression of records: the coder, the unbounded and the bounded
// decoders. The coded stream is a run of literals (any byte but 0xFE) and tokens
// FE <value> <count, 16-bit little-endian>; a 0xFE in the data always travels as a
// token so the decoder can read every 0xFE as the start of one.
#include <qxcomn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace qx::comn {
namespace {

constexpr uint8_t kToken = 0xFE;
// A run of this many equal bytes or more is coded as a token (4 bytes).
constexpr size_t kMinRun = 5;
// The longest run one token can carry (its count is 16 bits).
constexpr size_t kMaxTokenRun = 65535;
constexpr size_t kTokenSize = 4;

// Scratch space for coding in place, one per thread so threads never share it.
thread_local std::vector<uint8_t> scratch;

// Length of the run of `c` starting at in[i], at most `limit` bytes.
size_t RunLength(const uint8_t* in, size_t i, size_t end, uint8_t c, size_t limit) {
  size_t stop = (end - i < limit) ? end : i + limit;
  size_t j = i;
  uint64_t pattern = 0x0101010101010101ull * c;
  while (j + 8 <= stop) {
    uint64_t word;
    std::memcpy(&word, in + j, 8);
    uint64_t diff = word ^ pattern;
    if (diff != 0) return j - i + static_cast<size_t>(__builtin_ctzll(diff) / 8);
    j += 8;
  }
  while (j < stop && in[j] == c) ++j;
  return j - i;
}

void PutToken(uint8_t* out, size_t o, uint8_t value, size_t count) {
  out[o] = kToken;
  out[o + 1] = value;
  out[o + 2] = static_cast<uint8_t>(count & 0xFF);
  out[o + 3] = static_cast<uint8_t>(count >> 8);
}

// Codes `len` bytes of `in` into `out` (room for `len` bytes). Returns the coded
// length, or QXCOMPRESS_NO_GAIN when the coded form does not fit.
DWORD Encode(const uint8_t* in, uint8_t* out, size_t len) {
  size_t i = 0, o = 0;
  while (i < len) {
    uint8_t c = in[i];
    if (i + kMinRun <= len && in[i + 1] == c && in[i + 2] == c && in[i + 3] == c &&
        in[i + 4] == c) {
      size_t count = RunLength(in, i, len, c, kMaxTokenRun);
      if (o + kTokenSize > len) return QXCOMPRESS_NO_GAIN;
      PutToken(out, o, c, count);
      o += kTokenSize;
      i += count;
      continue;
    }
    if (c != kToken) {
      // A stretch of literals: up to the next 0xFE or the next run of five.
      size_t j = i + 1;
      while (j < len && in[j] != kToken &&
             !(j + kMinRun <= len && in[j + 1] == in[j] && in[j + 2] == in[j] &&
               in[j + 3] == in[j] && in[j + 4] == in[j]))
        ++j;
      if (o + (j - i) > len) return QXCOMPRESS_NO_GAIN;
      std::memcpy(out + o, in + i, j - i);
      o += j - i;
      i = j;
      continue;
    }
    // A lone 0xFE (or a run of fewer than five): written as a literal first, then
    // turned into a token of value 0xFE. The room check after the literal asks for
    // a whole token beyond it, as the format has always done.
    if (o >= len) return QXCOMPRESS_NO_GAIN;
    out[o++] = kToken;
    ++i;
    if (o + kTokenSize > len) return QXCOMPRESS_NO_GAIN;
    size_t count = 1 + RunLength(in, i, len, kToken, kMaxTokenRun - 1);
    i += count - 1;
    out[o++] = kToken;
    out[o++] = static_cast<uint8_t>(count & 0xFF);
    out[o++] = static_cast<uint8_t>(count >> 8);
  }
  return static_cast<DWORD>(o);
}

// Walks a coded stream. For each literal stretch calls lit(ptr, n); for each token
// run(value, count). Returns false when the input ends inside a token.
template <typename Lit, typename Run>
bool Walk(const uint8_t* in, size_t len, Lit&& lit, Run&& run) {
  size_t i = 0;
  while (i < len) {
    const void* hit = std::memchr(in + i, kToken, len - i);
    size_t stop = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - in) : len;
    if (stop > i) {
      if (!lit(in + i, stop - i)) return true;
      i = stop;
    }
    if (i >= len) break;
    if (len - i < kTokenSize) return false;
    size_t count = in[i + 2] | (static_cast<size_t>(in[i + 3]) << 8);
    if (!run(in[i + 1], count)) return true;
    i += kTokenSize;
  }
  return true;
}

// The expanded length, summed in 64 bits; sets *complete to false for a token cut
// short at the end.
uint64_t ExpandedLength(const uint8_t* in, size_t len, bool* complete) {
  uint64_t total = 0;
  *complete = Walk(
      in, len,
      [&](const uint8_t*, size_t n) {
        total += n;
        return true;
      },
      [&](uint8_t, size_t count) {
        total += count;
        return true;
      });
  return total;
}

}  // namespace
}  // namespace qx::comn

using namespace qx::comn;

QX_EXPORT DWORD qxcompress(LPVOID pInput, LPVOID pOutput, DWORD ulLength) {
  if (pInput == nullptr && pOutput == nullptr) {
    std::vector<uint8_t>().swap(scratch);
    return QXCOMPRESS_CLEANED;
  }
  if (ulLength < 4) return QXCOMPRESS_TOO_SHORT;
  if (pInput == nullptr || pOutput == nullptr) return QXCOMPRESS_NO_GAIN;
  auto* in = static_cast<const uint8_t*>(pInput);
  if (pOutput != pInput) return Encode(in, static_cast<uint8_t*>(pOutput), ulLength);
  if (scratch.size() < ulLength) {
    try {
      scratch.resize(ulLength);
    } catch (const std::bad_alloc&) {
      return QXCOMPRESS_NO_GAIN;  // the input stands as it is
    }
  }
  DWORD result = Encode(in, scratch.data(), ulLength);
  if (result > QXCOMPRESS_CLEANED) std::memcpy(pInput, scratch.data(), result);
  return result;
}

QX_EXPORT DWORD qxdecompress(LPCVOID pInput, LPVOID pOutput, DWORD ulLength) {
  if (pInput == nullptr || pOutput == nullptr) return 0;
  auto* out = static_cast<uint8_t*>(pOutput);
  size_t o = 0;
  Walk(
      static_cast<const uint8_t*>(pInput), ulLength,
      [&](const uint8_t* p, size_t n) {
        std::memcpy(out + o, p, n);
        o += n;
        return true;
      },
      [&](uint8_t value, size_t count) {
        if (count) std::memset(out + o, value, count);
        o += count;
        return true;
      });
  return static_cast<DWORD>(o);
}

QX_EXPORT int qxdecompressn(LPCVOID pInput, DWORD ulLength, LPVOID pOutput, DWORD ulCapacity,
                            LPDWORD pulExpanded) {
  if (pulExpanded == nullptr || (pInput == nullptr && ulLength != 0) ||
      (pOutput == nullptr && ulCapacity != 0))
    return QXDECOMPRESS_NULL_ARG;
  auto* in = static_cast<const uint8_t*>(pInput);
  auto* out = static_cast<uint8_t*>(pOutput);
  size_t o = 0;
  bool overflow = false;
  bool complete = Walk(
      in, ulLength,
      [&](const uint8_t* p, size_t n) {
        if (n > ulCapacity - o) return !(overflow = true);
        std::memcpy(out + o, p, n);
        o += n;
        return true;
      },
      [&](uint8_t value, size_t count) {
        if (count > ulCapacity - o) return !(overflow = true);
        if (count == 0) return true;  // a token for nothing; out may be null
        std::memset(out + o, value, count);
        o += count;
        return true;
      });
  if (overflow) {
    bool ignored;
    uint64_t needed = ExpandedLength(in, ulLength, &ignored);
    *pulExpanded = needed > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(needed);
    return QXDECOMPRESS_OVERFLOW;
  }
  *pulExpanded = static_cast<DWORD>(o);
  return complete ? QXDECOMPRESS_OK : QXDECOMPRESS_TRUNCATED;
}

QX_EXPORT DWORD qxdecompressm(LPCVOID pInput, LPVOID* ppOutput, DWORD ulLength) {
  if (ppOutput == nullptr) return 0;
  *ppOutput = nullptr;
  if (pInput == nullptr) return 0;
  auto* in = static_cast<const uint8_t*>(pInput);
  bool complete;
  uint64_t total = ExpandedLength(in, ulLength, &complete);
  if (!complete || total > 0xFFFFFFFFu) return 0;
  // One byte at least, so that an empty expansion still hands out a buffer.
  void* out = std::malloc(total ? total : 1);
  if (out == nullptr) return 0;
  DWORD written = 0;
  qxdecompressn(in, ulLength, out, static_cast<DWORD>(total), &written);
  *ppOutput = out;
  return written;
}
