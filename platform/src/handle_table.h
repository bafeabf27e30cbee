// The process-wide handle table and the wait protocol every waitable object follows.
//
// Objects are reference counted: each handle holds one reference, and a wait in
// progress holds another, so CloseHandle during a wait is safe.
//
// Waiting: every waitable object exposes a 32-bit futex word (its "sequence") that
// changes whenever its state may have become signalled; for named objects the word
// lives in shared memory, so a change made by another process wakes the waiter. A
// waiter reads the words, tries to take the objects, and when that fails sleeps on
// all words at once (futex_waitv) until one changes, a deadline an object reports
// (timers) passes, or, for objects whose state can change without a word change
// (the death of a mutex owner, the end of a process), a short re-check interval.
// Thread-safety: all members may be called from any thread.
#ifndef QXPLATFORM_SRC_HANDLE_TABLE_H
#define QXPLATFORM_SRC_HANDLE_TABLE_H

#include <qxplatform/errors.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace qx::platform {

enum class ObjectKind : uint32_t {
  kEvent = 1,
  kMutex = 2,
  kSemaphore = 3,
  kTimer = 4,
  kProcess = 5,
  kThread = 6,
  kFileMapping = 7,
  kPipe = 8,
  kFile = 9,
  kOther = 10
};

using WaitClock = std::chrono::steady_clock;

// The outcome of an attempt to take an object.
enum class Take { kNo, kYes, kAbandoned };

// A futex word, the count of threads sleeping on it (so that a state change
// makes the wake-up system call only when someone sleeps), and whether both live
// in memory shared with other processes.
struct WaitWord {
  std::atomic<uint32_t>* word = nullptr;
  std::atomic<uint32_t>* sleepers = nullptr;
  bool shared = false;
};

class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;

  virtual ObjectKind kind() const = 0;
  virtual bool waitable() const { return false; }

  // --- The wait protocol (waitable objects only). ---
  // The word that changes when the state may have become signalled.
  virtual WaitWord Word() { return {}; }
  // Takes what a satisfied wait takes (resets an auto-reset event, owns a mutex,
  // decrements a semaphore), when the object is signalled for the calling thread.
  virtual Take TryTake() { return Take::kNo; }
  // Whether TryTake would succeed now, without taking anything.
  virtual bool Peek() { return false; }
  // Gives back what TryTake took (a wait-all that could not take everything).
  virtual void Undo(Take taken) {}
  // True when the state can change without the word changing.
  virtual bool NeedsPolling() { return false; }
  // The next moment the object becomes signalled by itself (timers), if any.
  virtual bool Due(WaitClock::time_point* when) { return false; }
  // A wait on this object alone, when the kind has a better way than the generic
  // loop (a robust mutex lock, a poll on a pidfd). Returns false to use the loop.
  virtual bool WaitAlone(const WaitClock::time_point* deadline, DWORD* result) { return false; }
  // Two handles reach the same object when their identities are equal.
  virtual const void* Identity() const { return this; }
};

using ObjectRef = std::shared_ptr<KernelObject>;

class HandleTable {
 public:
  static HandleTable& Get();

  // Adds an object and returns its new handle (NULL on exhaustion, with
  // ERROR_NOT_ENOUGH_MEMORY set).
  HANDLE Insert(ObjectRef object);
  // The object behind a handle, or null (the last error is then
  // ERROR_INVALID_HANDLE).
  ObjectRef Lookup(HANDLE handle);
  // Removes a handle; false when it was not in the table.
  bool Remove(HANDLE handle);

  // Typed lookup: null, with ERROR_INVALID_HANDLE, when the handle is unknown or
  // of another kind.
  template <typename T>
  std::shared_ptr<T> LookupAs(HANDLE handle, ObjectKind kind);

 private:
  struct Slot {
    ObjectRef object;
    uint32_t generation = 0;
  };
  std::mutex mutex_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
};

template <typename T>
std::shared_ptr<T> HandleTable::LookupAs(HANDLE handle, ObjectKind kind) {
  ObjectRef ref = Lookup(handle);
  if (ref && ref->kind() == kind) return std::static_pointer_cast<T>(ref);
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// Inserts a new object and sets the last error for a Create call: ERROR_SUCCESS,
// or ERROR_ALREADY_EXISTS when existed is true. NULL when the table is full.
HANDLE InsertCreated(ObjectRef object, bool existed);

// Futex helpers (futex.cc). Wake wakes every waiter of the word.
void FutexWake(const WaitWord& w);
// Bumps the word and wakes its sleepers: the object's state changed. The bump and
// the sleeper count are ordered against a sleeper's count and its futex check
// (both sequentially consistent), so either the waker sees the sleeper or the
// sleeper's futex call sees the new value and returns at once.
inline void Changed(const WaitWord& w) {
  w.word->fetch_add(1, std::memory_order_seq_cst);
  if (w.sleepers->load(std::memory_order_seq_cst) != 0) FutexWake(w);
}
// Sleeps while every word still holds its expected value, until one changes, a
// wake-up, or the deadline (null: none), counted among each word's sleepers.
// Spurious returns are allowed.
void FutexWaitAny(const std::vector<WaitWord>& words, const std::vector<uint32_t>& expected,
                  const WaitClock::time_point* deadline);

}  // namespace qx::platform

#endif
