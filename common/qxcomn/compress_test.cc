#include <gtest/gtest.h>
#include <qxcomn.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Codes into a second buffer; the coded bytes, or empty when the result is not a
// length.
Bytes Compress(const Bytes& in, DWORD* result) {
  Bytes out(in.size());
  *result = qxcompress(const_cast<uint8_t*>(in.data()), out.data(), DWORD(in.size()));
  if (*result <= QXCOMPRESS_CLEANED) return {};
  out.resize(*result);
  return out;
}

Bytes Expand(const Bytes& coded) {
  void* p = nullptr;
  DWORD n = qxdecompressm(coded.data(), &p, DWORD(coded.size()));
  EXPECT_NE(p, nullptr);
  Bytes out(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + n);
  std::free(p);
  return out;
}

TEST(Compress, KnownVectors) {
  DWORD rc;
  EXPECT_EQ(Compress(Bytes(5, 0x41), &rc), (Bytes{0xFE, 0x41, 0x05, 0x00}));
  EXPECT_EQ(Compress(Bytes(70000, 0), &rc),
            (Bytes{0xFE, 0x00, 0xFF, 0xFF, 0xFE, 0x00, 0x71, 0x11}));
  // Runs of four stay literal: the coded form equals the input.
  EXPECT_EQ(Compress(Bytes(4, 0x41), &rc), Bytes(4, 0x41));
  EXPECT_EQ(rc, 4u);
  Bytes ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(Compress(ten, &rc), ten);
  // A lone FE becomes a token of value FE.
  Bytes with_fe(20, 0x20);
  with_fe[10] = 0xFE;
  Bytes coded = Compress(with_fe, &rc);
  EXPECT_EQ(coded, (Bytes{0xFE, 0x20, 10, 0, 0xFE, 0xFE, 1, 0, 0xFE, 0x20, 9, 0}));
  EXPECT_EQ(Expand(coded), with_fe);
}

TEST(Compress, ResultCodes) {
  Bytes in{1, 2, 3};
  Bytes out(3);
  EXPECT_EQ(qxcompress(in.data(), out.data(), 3), QXCOMPRESS_TOO_SHORT);
  Bytes fe{1, 2, 0xFE, 4, 5, 6, 7, 8};
  out.resize(8);
  EXPECT_EQ(qxcompress(fe.data(), out.data(), 8), QXCOMPRESS_NO_GAIN);
  // Four FE bytes would code to exactly four, but the token's room check asks for a
  // whole token past the literal: the block is reported as not worth coding.
  Bytes four_fe(4, 0xFE);
  EXPECT_EQ(qxcompress(four_fe.data(), out.data(), 4), QXCOMPRESS_NO_GAIN);
  EXPECT_EQ(qxcompress(nullptr, nullptr, 0), QXCOMPRESS_CLEANED);
}

TEST(Compress, InPlaceAndAfterCleanup) {
  Bytes record(80, ' ');
  std::memcpy(record.data(), "JOB0001 ACCOUNTS", 16);
  Bytes original = record;
  for (int round = 0; round < 2; ++round) {
    Bytes work = original;
    DWORD n = qxcompress(work.data(), work.data(), DWORD(work.size()));
    ASSERT_GT(n, QXCOMPRESS_CLEANED);
    work.resize(n);
    EXPECT_EQ(Expand(work), original);
    EXPECT_EQ(qxcompress(nullptr, nullptr, 0), QXCOMPRESS_CLEANED);
  }
  // A block that does not gain is left as it was when coded in place.
  Bytes fe{1, 2, 0xFE, 4, 5, 6, 7, 8};
  Bytes copy = fe;
  EXPECT_EQ(qxcompress(fe.data(), fe.data(), 8), QXCOMPRESS_NO_GAIN);
  EXPECT_EQ(fe, copy);
}

TEST(Compress, InPlaceOnManyThreads) {
  // Each thread has its own scratch buffer: concurrent in-place coding is safe.
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &ok] {
      for (int i = 0; i < 200; ++i) {
        Bytes rec(100 + 50 * t + i, uint8_t('a' + t));
        rec[3] = uint8_t(i);
        Bytes orig = rec;
        DWORD n = qxcompress(rec.data(), rec.data(), DWORD(rec.size()));
        rec.resize(n);
        Bytes back(orig.size());
        DWORD got = 0;
        if (qxdecompressn(rec.data(), n, back.data(), DWORD(back.size()), &got) != 0) return;
        if (back != orig) return;
      }
      ok[t] = 1;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok, std::vector<int>(4, 1));
}

TEST(Compress, RoundTripsRandomAndRecordData) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 300; ++iter) {
    size_t n = 4 + rng() % 3000;
    Bytes data(n);
    int mode = iter % 3;
    for (size_t i = 0; i < n;) {
      if (mode == 0) {
        data[i++] = uint8_t(rng());  // noise, with FE bytes
      } else {
        // Runs of random length from a small alphabet that includes FE.
        uint8_t v = "\x20\x00\xFE\x41"[rng() % 4];
        size_t run = 1 + rng() % (mode == 1 ? 12 : 70000);
        for (size_t k = 0; k < run && i < n; ++k) data[i++] = v;
      }
    }
    DWORD rc;
    Bytes coded = Compress(data, &rc);
    if (rc == QXCOMPRESS_NO_GAIN) continue;
    ASSERT_GT(rc, QXCOMPRESS_CLEANED);
    ASSERT_LE(coded.size(), data.size());
    ASSERT_EQ(Expand(coded), data) << "iteration " << iter;
    Bytes out(data.size());
    ASSERT_EQ(qxdecompress(coded.data(), out.data(), DWORD(coded.size())), data.size());
    ASSERT_EQ(out, data);
  }
}

TEST(Decompress, BoundsInputAndOutput) {
  // FE 41 00 00 stands for nothing.
  Bytes empty_run{0xFE, 0x41, 0x00, 0x00};
  void* p = nullptr;
  EXPECT_EQ(qxdecompressm(empty_run.data(), &p, 4), 0u);
  EXPECT_NE(p, nullptr);
  std::free(p);

  // A token cut short is never read past the input.
  for (size_t cut = 1; cut < 4; ++cut) {
    Bytes coded{'x', 0xFE, 0x41, 0x05, 0x00};
    Bytes truncated(coded.begin(), coded.begin() + 1 + cut);
    Bytes out(16, 0xAA);
    DWORD got = 99;
    EXPECT_EQ(qxdecompressn(truncated.data(), DWORD(truncated.size()), out.data(), 16, &got),
              QXDECOMPRESS_TRUNCATED);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(qxdecompress(truncated.data(), out.data(), DWORD(truncated.size())), 1u);
    EXPECT_EQ(qxdecompressm(truncated.data(), &p, DWORD(truncated.size())), 0u);
    EXPECT_EQ(p, nullptr);
  }

  // The output is never written past its capacity; the size needed is reported.
  Bytes coded{'a', 'b', 0xFE, 0x20, 0x10, 0x00, 'c'};
  Bytes out(12, 0xAA);
  DWORD got = 0;
  EXPECT_EQ(qxdecompressn(coded.data(), DWORD(coded.size()), out.data(), 10, &got),
            QXDECOMPRESS_OVERFLOW);
  EXPECT_EQ(got, 19u);
  EXPECT_EQ(out[10], 0xAA);
  EXPECT_EQ(out[11], 0xAA);
  EXPECT_EQ(qxdecompressn(coded.data(), DWORD(coded.size()), nullptr, 0, &got),
            QXDECOMPRESS_OVERFLOW);
  EXPECT_EQ(qxdecompressn(coded.data(), DWORD(coded.size()), out.data(), 12, nullptr),
            QXDECOMPRESS_NULL_ARG);
}

TEST(Decompress, SizeSumDoesNotWrap) {
  // 65538 maximal tokens expand to just over 4 GiB: a 32-bit sum would wrap to a
  // small number and the decoder would write far past the buffer.
  Bytes coded;
  for (int i = 0; i < 65538; ++i) coded.insert(coded.end(), {0xFE, 0x00, 0xFF, 0xFF});
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(qxdecompressm(coded.data(), &p, DWORD(coded.size())), 0u);
  EXPECT_EQ(p, nullptr);
  Bytes out(64);
  DWORD got = 0;
  EXPECT_EQ(qxdecompressn(coded.data(), DWORD(coded.size()), out.data(), 64, &got),
            QXDECOMPRESS_OVERFLOW);
  EXPECT_EQ(got, 0xFFFFFFFFu);
}

}  // namespace
