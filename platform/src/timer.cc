// Waitable timers, unnamed or named.
//
// A timer keeps its expiry as CLOCK_REALTIME nanoseconds (an absolute due time is
// wall-clock time, and processes sharing a named timer agree on that clock) and
// its period. Nothing runs when it expires: whoever looks at the timer (a waiter,
// or SetWaitableTimer) first moves the expiry into the signalled state, and a
// waiter sleeps no longer than the next expiry.
#include <pthread.h>
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>
#include <time.h>

#include <cerrno>

#include "handle_table.h"
#include "named_object.h"

namespace qx::platform {
namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeEpoch = 116444736000000000LL;

int64_t RealtimeNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class Timer final : public KernelObject {
 public:
  explicit Timer(std::unique_ptr<SyncHome> home) : home_(std::move(home)), b_(home_->block()) {}
  ObjectKind kind() const override { return ObjectKind::kTimer; }
  bool waitable() const override { return true; }
  WaitWord Word() override { return home_->word(); }
  const void* Identity() const override { return b_; }

  Take TryTake() override {
    Guard g(b_);
    Expire();
    if (!b_->signaled) return Take::kNo;
    if (!b_->manual) b_->signaled = 0;
    return Take::kYes;
  }
  bool Peek() override {
    Guard g(b_);
    Expire();
    return b_->signaled != 0;
  }
  void Undo(Take) override {
    if (b_->manual) return;
    {
      Guard g(b_);
      b_->signaled = 1;
    }
    Changed(home_->word());
  }
  bool Due(WaitClock::time_point* when) override {
    int64_t due = b_->due_ns.load(std::memory_order_acquire);
    if (due == 0) return false;
    *when = WaitClock::now() + std::chrono::nanoseconds(due - RealtimeNs());
    return true;
  }

  void Set(int64_t due_ns, int64_t period_ns) {
    {
      Guard g(b_);
      b_->signaled = 0;
      b_->period_ns = period_ns;
      b_->due_ns = due_ns;
    }
    Changed(home_->word());  // waiters pick up the new expiry
  }
  void Cancel() {
    Guard g(b_);
    b_->due_ns = 0;
  }

 private:
  // The guard lock is robust: a process killed while holding it leaves the few
  // fields consistent enough (each is written whole), so the next one just goes on.
  class Guard {
   public:
    explicit Guard(SyncBlock* b) : b_(b) {
      if (pthread_mutex_lock(&b_->lock) == EOWNERDEAD) pthread_mutex_consistent(&b_->lock);
    }
    ~Guard() { pthread_mutex_unlock(&b_->lock); }

   private:
    SyncBlock* b_;
  };

  // Called with the guard held.
  void Expire() {
    int64_t due = b_->due_ns;
    if (due == 0) return;
    int64_t now = RealtimeNs();
    if (now < due) return;
    b_->signaled = 1;
    if (b_->period_ns > 0) {
      int64_t missed = (now - due) / b_->period_ns + 1;
      b_->due_ns = due + missed * b_->period_ns;
    } else {
      b_->due_ns = 0;
    }
  }

  std::unique_ptr<SyncHome> home_;
  SyncBlock* b_;
};

bool InitGuard(SyncBlock* b, bool shared) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (shared) pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  int rc = pthread_mutex_init(&b->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) SetLastErrorFromErrno(rc);
  return rc == 0;
}

HANDLE OpenOrCreate(const char* name, bool create, const SECURITY_ATTRIBUTES* sa, bool manual) {
  bool existed = false;
  auto home = OpenSyncHome(
      ObjectKind::kTimer, name, create, sa,
      [&](SyncBlock* b, bool shared) {
        b->manual = manual;
        return InitGuard(b, shared);
      },
      &existed);
  if (!home) return nullptr;
  return InsertCreated(std::make_shared<Timer>(std::move(home)), existed);
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES lpTimerAttributes, BOOL bManualReset,
                            LPCSTR lpTimerName) {
  return OpenOrCreate(lpTimerName, true, lpTimerAttributes, bManualReset);
}

HANDLE CreateWaitableTimerW(LPSECURITY_ATTRIBUTES lpTimerAttributes, BOOL bManualReset,
                            LPCWSTR lpTimerName) {
  bool null_name;
  auto name = NarrowName(lpTimerName, &null_name);
  if (!name) return nullptr;
  return OpenOrCreate(null_name ? nullptr : name->c_str(), true, lpTimerAttributes, bManualReset);
}

HANDLE OpenWaitableTimerA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpTimerName) {
  HANDLE h = OpenOrCreate(lpTimerName, false, nullptr, false);
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE OpenWaitableTimerW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpTimerName) {
  bool null_name;
  auto name = NarrowName(lpTimerName, &null_name);
  if (!name) return nullptr;
  return OpenWaitableTimerA(dwDesiredAccess, bInheritHandle, null_name ? nullptr : name->c_str());
}

BOOL SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime, LONG lPeriod,
                      PTIMERAPCROUTINE pfnCompletionRoutine, LPVOID lpArgToCompletionRoutine,
                      BOOL fResume) {
  auto t = HandleTable::Get().LookupAs<Timer>(hTimer, ObjectKind::kTimer);
  if (!t) return FALSE;
  if (lpDueTime == nullptr || lPeriod < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (pfnCompletionRoutine != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // Relative times count from now; absolute ones before 1970 have passed (they
  // expire at once). Both are kept within what nanoseconds in 64 bits can hold.
  constexpr int64_t kMaxUnits = INT64_MAX / 100 / 2;
  int64_t due = lpDueTime->QuadPart;
  int64_t due_ns;
  if (due < 0)
    due_ns = RealtimeNs() + (due < -kMaxUnits ? kMaxUnits : -due) * 100;
  else if (due <= kFileTimeEpoch)
    due_ns = 1;
  else
    due_ns = (due - kFileTimeEpoch > kMaxUnits ? kMaxUnits : due - kFileTimeEpoch) * 100;
  t->Set(due_ns, int64_t(lPeriod) * 1000000);
  return TRUE;
}

BOOL CancelWaitableTimer(HANDLE hTimer) {
  auto t = HandleTable::Get().LookupAs<Timer>(hTimer, ObjectKind::kTimer);
  if (!t) return FALSE;
  t->Cancel();
  return TRUE;
}

}  // extern "C"
