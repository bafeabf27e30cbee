// Mutexes, unnamed or named, built on robust recursive pthread mutexes.
//
// A robust mutex is what Windows' abandonment needs: when the owning thread ends,
// or its process dies (even by SIGKILL), the kernel marks the mutex and the next
// locker gets EOWNERDEAD and owns it; that becomes WAIT_ABANDONED. The recursive
// type gives the owner-thread recursion and refuses an unlock by another thread,
// so the lock alone says who owns the mutex and how deeply: an uncontended wait
// and release are one C library call each on the lock, with no owner or depth to
// keep beside it (a release also announces the change through the word). Besides
// the lock the SyncBlock keeps an "abandoned" flag for an abandonment learnt by a
// wait that did not keep the mutex (a wait-all that looked, or that could not
// take everything). An owner's end is the one change that does not bump the
// word: a wait on several objects re-checks a mutex whose lock is not free.
#include <linux/futex.h>
#include <pthread.h>
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "handle_table.h"
#include "named_object.h"
#include "self.h"

namespace qx::platform {
namespace {

bool InitLock(SyncBlock* b, bool shared) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (shared) pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  int rc = pthread_mutex_init(&b->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) SetLastErrorFromErrno(rc);
  return rc == 0;
}

// The lock's futex word, where the kernel's robust-futex protocol keeps the
// owner's thread id (which is how the kernel finds the mutexes of a thread that
// ends): 0 while the mutex is free; the owner's id, with FUTEX_WAITERS while
// someone sleeps in a lock call; FUTEX_OWNER_DIED (and perhaps FUTEX_WAITERS)
// once the owner ended, until the next locker takes it.
uint32_t LockWord(const SyncBlock* b) {
  return __atomic_load_n(&b->lock.__data.__lock, __ATOMIC_ACQUIRE);
}

// The owning thread's id, 0 when the mutex is free or its owner died.
pid_t OwnerTid(const SyncBlock* b) {
  return LockWord(b) & FUTEX_TID_MASK;
}

class Mutex final : public KernelObject {
 public:
  explicit Mutex(std::unique_ptr<SyncHome> home)
      : home_(std::move(home)), b_(home_->block()), word_(home_->word()) {}
  ~Mutex() override {
    // A thread of ours still owns the mutex: the C library's list of owned robust
    // mutexes points into the block, so it must stay mapped (and, unnamed, stay
    // allocated) until the process ends.
    pid_t owner = OwnerTid(b_);
    if (owner != 0 && ::syscall(SYS_tgkill, SelfPid(), owner, 0) == 0) {
      if (home_->section())
        home_->section()->KeepMapped();
      else
        (void)home_.release();
    }
  }
  ObjectKind kind() const override { return ObjectKind::kMutex; }
  bool waitable() const override { return true; }
  WaitWord Word() override { return word_; }
  const void* Identity() const override { return b_; }

  Take TryTake() override { return Owned(pthread_mutex_trylock(&b_->lock)); }

  // Reads the lock rather than trying it: a look that held the lock for a moment
  // would make another thread's TryTake fail with no change of the word to
  // follow, and that thread could sleep on a free mutex.
  bool Peek() override {
    uint32_t word = LockWord(b_);
    if ((word & FUTEX_OWNER_DIED) == 0)
      return word == 0 || pid_t(word & FUTEX_TID_MASK) == SelfTid();
    // Abandoned: learnt here and told to whoever takes it next, so that the lock
    // is plainly free again and waits need not re-check it. Taking and dropping
    // the lock may have failed another thread's TryTake meanwhile, and a mutex
    // turned free is a change: both announced through the word.
    int rc = pthread_mutex_trylock(&b_->lock);
    if (rc != 0 && rc != EOWNERDEAD) return false;
    if (rc == EOWNERDEAD) {
      pthread_mutex_consistent(&b_->lock);
      b_->abandoned = 1;
    }
    pthread_mutex_unlock(&b_->lock);
    Changed(word_);
    return true;
  }

  void Undo(Take taken) override {
    if (taken == Take::kAbandoned) b_->abandoned = 1;
    Release();
  }

  // An owner's end changes the lock but not the word. The whole lock is tested,
  // not the owner's id: an owner that ended after this wait's TryTake failed
  // leaves FUTEX_OWNER_DIED and no id, and the wait must still look again.
  bool NeedsPolling() override { return LockWord(b_) != 0; }

  bool WaitAlone(const WaitClock::time_point* deadline, DWORD* result) override {
    int rc;
    if (deadline == nullptr) {
      rc = pthread_mutex_lock(&b_->lock);
    } else {
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch())
                    .count();
      timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
      rc = pthread_mutex_clocklock(&b_->lock, CLOCK_MONOTONIC, &ts);
    }
    Take t = Owned(rc);
    if (t != Take::kNo) {
      *result = t == Take::kAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    } else if (rc == ETIMEDOUT || rc == EBUSY) {
      *result = WAIT_TIMEOUT;
    } else {
      SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE);
      *result = WAIT_FAILED;
    }
    return true;
  }

  // False (ERROR_NOT_OWNER) when the calling thread does not own the mutex.
  bool Release() {
    if (pthread_mutex_unlock(&b_->lock) != 0) {
      SetLastError(ERROR_NOT_OWNER);
      return false;
    }
    // A recursive release bumps the word too: a waiter on several objects that
    // wakes for it finds the mutex still owned and sleeps again, a rare cost that
    // spares every release a look at the lock.
    Changed(word_);
    return true;
  }

 private:
  // What a lock call's result means for the wait.
  Take Owned(int rc) {
    if (rc == 0) {
      // The flag is only set by a thread about to free the mutex, so a recursive
      // acquisition finds it clear.
      if (b_->abandoned.load(std::memory_order_relaxed) == 0) return Take::kYes;
      return b_->abandoned.exchange(0) != 0 ? Take::kAbandoned : Take::kYes;
    }
    if (rc != EOWNERDEAD) return Take::kNo;
    pthread_mutex_consistent(&b_->lock);
    b_->abandoned.store(0, std::memory_order_relaxed);
    return Take::kAbandoned;
  }

  std::unique_ptr<SyncHome> home_;
  SyncBlock* b_;
  WaitWord word_;
};

HANDLE OpenOrCreate(const char* name, bool create, const SECURITY_ATTRIBUTES* sa, bool owner) {
  bool existed = false;
  // The initial owner takes the lock before the object is named, so nobody can
  // slip in between.
  auto init = [&](SyncBlock* b, bool shared) {
    if (!InitLock(b, shared)) return false;
    if (owner) pthread_mutex_lock(&b->lock);
    return true;
  };
  auto undo = [&](SyncBlock* b) {
    if (owner) pthread_mutex_unlock(&b->lock);
  };
  auto home = OpenSyncHome(ObjectKind::kMutex, name, create, sa, init, &existed, undo);
  if (!home) return nullptr;
  return InsertCreated(std::make_shared<Mutex>(std::move(home)), existed);
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
  return OpenOrCreate(lpName, true, lpMutexAttributes, bInitialOwner);
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return nullptr;
  return OpenOrCreate(null_name ? nullptr : name->c_str(), true, lpMutexAttributes, bInitialOwner);
}

HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  HANDLE h = OpenOrCreate(lpName, false, nullptr, false);
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return nullptr;
  return OpenMutexA(dwDesiredAccess, bInheritHandle, null_name ? nullptr : name->c_str());
}

BOOL ReleaseMutex(HANDLE hMutex) {
  ReadSection section;
  auto* m = static_cast<Mutex*>(HandleTable::PeekSync(hMutex, ObjectKind::kMutex));
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return m->Release() ? TRUE : FALSE;
}

}  // extern "C"
