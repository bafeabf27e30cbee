// Futex waits and wake-ups on one or several words (futex_waitv, Linux 5.16+).
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "handle_table.h"

namespace qx::platform {
namespace {

timespec ToMonotonic(WaitClock::time_point t) {
  // steady_clock is CLOCK_MONOTONIC on Linux.
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  if (ns < 0) ns = 0;
  return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

}  // namespace

void FutexWake(const WaitWord& w) {
  int op = FUTEX_WAKE | (w.shared ? 0 : FUTEX_PRIVATE_FLAG);
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(w.word), op, INT32_MAX, nullptr, nullptr, 0);
}

void FutexWaitAny(const std::vector<WaitWord>& words, const std::vector<uint32_t>& expected,
                  const WaitClock::time_point* deadline) {
  timespec ts{};
  if (deadline) ts = ToMonotonic(*deadline);
  for (const auto& w : words) w.sleepers->fetch_add(1, std::memory_order_seq_cst);
  struct Leave {
    const std::vector<WaitWord>& words;
    ~Leave() {
      for (const auto& w : words) w.sleepers->fetch_sub(1, std::memory_order_seq_cst);
    }
  } leave{words};
  if (words.size() == 1) {
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline.
    int op = FUTEX_WAIT_BITSET | (words[0].shared ? 0 : FUTEX_PRIVATE_FLAG);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(words[0].word), op, expected[0],
              deadline ? &ts : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
    return;
  }
  futex_waitv v[128] = {};
  size_t n = words.size() < 128 ? words.size() : 128;
  for (size_t i = 0; i < n; ++i) {
    v[i].val = expected[i];
    v[i].uaddr = reinterpret_cast<uintptr_t>(words[i].word);
    v[i].flags = FUTEX_32 | (words[i].shared ? 0 : FUTEX_PRIVATE_FLAG);
  }
  ::syscall(SYS_futex_waitv, v, unsigned(n), 0, deadline ? &ts : nullptr, CLOCK_MONOTONIC);
}

}  // namespace qx::platform
