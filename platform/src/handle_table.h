// The process-wide handle table and the wait protocol every waitable object follows.
//
// Objects are reference counted: each handle holds one reference, and a wait in
// progress holds another, so CloseHandle during a wait is safe. The hot calls on
// mutexes, events and semaphores (a wait that succeeds at once, a release) skip
// the count: they read the table inside a ReadSection, and the table destroys an
// object of those kinds only after every section that could have read it ended.
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

// The kinds whose objects a ReadSection may use: their takes and releases are a
// few atomic operations on their block.
constexpr bool IsSyncKind(uint32_t kind) {
  return kind == uint32_t(ObjectKind::kEvent) || kind == uint32_t(ObjectKind::kMutex) ||
         kind == uint32_t(ObjectKind::kSemaphore);
}

// A handle encodes slot index and generation so that a stale handle (closed and
// its slot reused) is refused instead of reaching the new object. The low two bits
// are kept clear, as Windows does, and the value is never NULL or -1.
inline constexpr uint32_t kMaxHandleSlots = 1u << 24;
inline constexpr uint32_t kGenerationMask = 0xFFFFFF;

inline bool DecodeHandle(HANDLE handle, uint32_t* index, uint32_t* generation) {
  uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  if (v == 0 || (v & 3) != 0) return false;  // also refuses INVALID_HANDLE_VALUE
  v = (v >> 2) - 1;
  if ((v >> 24) > kGenerationMask) return false;
  *index = uint32_t(v & (kMaxHandleSlots - 1));
  *generation = uint32_t(v >> 24);
  return true;
}

// A thread's mark for the table's deferred destruction. The low half of state is
// the depth of the thread's open ReadSections (more than one when a signal
// handler makes a call while its thread was inside another); the high half counts
// the thread's exits from its outermost section. A remover that saw a depth
// waits until the depth is 0 or the count moved: every section open when it
// looked has ended then. Records are never freed (a remover may read one at any
// time); a record whose thread ended is cleared and reused by a new thread. Each
// fills a cache line of its own, so that threads marking their records do not
// slow one another down.
struct alignas(64) Reader {
  static constexpr uint64_t kOutermostExit = uint64_t(1) << 32;
  static constexpr uint32_t Depth(uint64_t state) { return uint32_t(state); }
  static constexpr uint32_t Exits(uint64_t state) { return uint32_t(state >> 32); }

  std::atomic<uint64_t> state{0};
  std::atomic<bool> in_use{false};
  Reader* next = nullptr;
};

// The calling thread's record, null until its first section (initial-exec: read
// with one instruction, no call).
extern __thread Reader* t_reader __attribute__((tls_model("initial-exec")));
Reader* RegisterReader();

// While a ReadSection is open, raw pointers from HandleTable::PeekSync stay valid.
// A section must be short and must not block. Sections nest: a signal handler may
// open one while its thread is inside another, and the outer one stays protected.
// A section must be left by its end, not by a jump out of a signal handler that
// interrupted it: removals would then wait for that thread until it ends (its
// record is cleared then). The calls that use sections are no more
// async-signal-safe than on Windows (a thread's first section allocates its
// record), and CloseHandle must not run inside one (from a handler that
// interrupted its own thread's call): it does not wait for its own thread.
//
// Entering costs a store and a fence: the fence orders the mark before the reads
// of the table, so that a removing thread (which fences between clearing a slot
// and looking at the marks) either sees the mark or is not seen clearing the
// slot. Only this thread writes its record, with a plain load and store: a
// handler that runs between the two leaves the depth as it found it; at worst the
// store takes back the count of the handler's outermost exits, which only makes a
// remover that saw the handler's section wait for the interrupted one as well.
class ReadSection {
 public:
  ReadSection() {
    Reader* r = t_reader;
    if (r == nullptr) r = RegisterReader();
    r->state.store(r->state.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
  // t_reader stays set inside a section: nothing needs keeping across it.
  ~ReadSection() {
    Reader* r = t_reader;
    uint64_t state = r->state.load(std::memory_order_relaxed) - 1;
    if (Reader::Depth(state) == 0) state += Reader::kOutermostExit;
    r->state.store(state, std::memory_order_release);
  }
  ReadSection(const ReadSection&) = delete;
  ReadSection& operator=(const ReadSection&) = delete;
};

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

  // REQUIRES: an open ReadSection. The mutex, event or semaphore behind a handle
  // (of kind kind, or of any of the three when kind is kOther), valid until the
  // section ends; null, with no last error set, for anything else.
  static KernelObject* PeekSync(HANDLE handle, ObjectKind kind = ObjectKind::kOther);

  // Typed lookup: null, with ERROR_INVALID_HANDLE, when the handle is unknown or
  // of another kind.
  template <typename T>
  std::shared_ptr<T> LookupAs(HANDLE handle, ObjectKind kind);

 private:
  // A slot's "live" word is the handle's generation (low 24 bits) and the
  // object's kind (high 8 bits) while the handle is open, 0 when it is free: one
  // load tells a reader whether a handle is current and of a kind it may touch.
  struct Slot {
    std::atomic<uint32_t> live{0};
    std::atomic<KernelObject*> raw{nullptr};
    ObjectRef object;         // guarded by mutex_
    uint32_t generation = 0;  // guarded by mutex_
  };
  // Slots sit in chunks that never move or go away, so that a reader without the
  // lock can reach one. Chunk c holds kFirstChunk << c slots.
  static constexpr uint32_t kFirstChunk = 256;
  static constexpr int kChunks = 17;  // enough for the 2^24 slots a handle can name
  static Slot* SlotAt(uint32_t index) {
    if (index < kFirstChunk) {
      Slot* chunk = chunks_[0].load(std::memory_order_acquire);
      return chunk ? &chunk[index] : nullptr;
    }
    if (index >= kMaxHandleSlots) return nullptr;
    int c = 31 - __builtin_clz(index / kFirstChunk + 1);
    Slot* chunk = chunks_[c].load(std::memory_order_acquire);
    return chunk ? &chunk[index - kFirstChunk * ((1u << c) - 1)] : nullptr;
  }
  // REQUIRES: mutex_ held. The slot of an open handle (and its index), or null.
  Slot* LockedSlot(HANDLE handle, uint32_t* index);

  std::mutex mutex_;
  // Static, so that a reader reaches a slot without finding the table first.
  static std::atomic<Slot*> chunks_[kChunks];
  uint32_t size_ = 0;  // slots handed out so far, guarded by mutex_
  std::vector<uint32_t> free_;
};

inline KernelObject* HandleTable::PeekSync(HANDLE handle, ObjectKind kind) {
  // DecodeHandle's checks, folded into the comparison with the slot: NULL, and
  // any value whose generation bits are out of range, never match a live slot.
  uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  if ((v & 3) != 0) return nullptr;
  v = (v >> 2) - 1;
  const Slot* slot = SlotAt(uint32_t(v) & (kMaxHandleSlots - 1));
  if (slot == nullptr) return nullptr;
  uint32_t live = slot->live.load(std::memory_order_acquire);
  if ((live & kGenerationMask) != (v >> 24)) return nullptr;
  if (kind == ObjectKind::kOther ? !IsSyncKind(live >> 24) : live >> 24 != uint32_t(kind))
    return nullptr;
  // A slot freed and given to another object after the first look changes its
  // live word before its pointer (both published with release), so a second look
  // tells whether the pointer belongs to the handle.
  KernelObject* object = slot->raw.load(std::memory_order_acquire);
  if (slot->live.load(std::memory_order_relaxed) != live) return nullptr;
  return object;
}

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
