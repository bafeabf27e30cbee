#include "handle_table.h"

#include <pthread.h>
#include <qxplatform/errors.h>
#include <qxplatform/process.h>
#include <qxplatform/sync.h>
#include <sched.h>
#include <time.h>

#include <cstdlib>

#include "thread_object.h"

namespace qx::platform {

// --- Deferred destruction. ---

__thread Reader* t_reader __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

// Every reader record ever made, newest first; records are only added.
std::atomic<Reader*> g_readers{nullptr};

// Clears a record whose thread is gone (or never to run again) even if it was
// inside a section: its depth goes to 0 and its exits move, so that a remover
// waiting for it goes on, and the next thread starts clean.
void ClearReader(Reader* r) {
  uint64_t state = r->state.load(std::memory_order_relaxed);
  r->state.store((state & ~uint64_t(0xFFFFFFFF)) + Reader::kOutermostExit,
                 std::memory_order_release);
  r->in_use.store(false, std::memory_order_release);
}

// Ends the thread's use of its record.
void ReleaseReader(void* record) {
  ClearReader(static_cast<Reader*>(record));
  t_reader = nullptr;
}

// In a forked child only the forking thread lives on: the records of the others
// are free again, even one whose thread was inside a section at the fork.
void ClearReadersInChild() {
  for (Reader* r = g_readers.load(std::memory_order_acquire); r != nullptr; r = r->next)
    if (r != t_reader) ClearReader(r);
}

pthread_key_t ReaderKey() {
  static pthread_key_t key = [] {
    pthread_key_t k;
    if (pthread_key_create(&k, ReleaseReader) != 0 ||
        pthread_atfork(nullptr, nullptr, ClearReadersInChild) != 0)
      std::abort();
    return k;
  }();
  return key;
}

// The fork handler is registered when the library loads, before the program can
// register its own: child handlers run in the order of registration, and one of
// the program's that closes a handle in the child must find the records of the
// parent's other threads cleared already.
[[maybe_unused]] const pthread_key_t g_reader_key = ReaderKey();

// How a remover waits for a thread still inside a section. Sections are a few
// instructions long, so it spins first; a thread preempted inside one gets the
// processor by yielding; a stopped one (or one of lower real-time priority,
// which a yield would never let run) by sleeping, longer each time.
class Backoff {
 public:
  void Pause() {
    if (round_ < kSpins) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      asm volatile("yield");
#endif
    } else if (round_ < kSpins + kYields) {
      ::sched_yield();
    } else {
      timespec nap{0, sleep_ns_};
      ::nanosleep(&nap, nullptr);
      sleep_ns_ = sleep_ns_ * 2 < kLongestSleepNs ? sleep_ns_ * 2 : kLongestSleepNs;
    }
    ++round_;
  }

 private:
  static constexpr int kSpins = 100;                // a few microseconds at most
  static constexpr int kYields = 10;                // a preempted thread runs again
  static constexpr long kFirstSleepNs = 10000;      // then 10 µs, doubling,
  static constexpr long kLongestSleepNs = 1000000;  // up to 1 ms a look
  int round_ = 0;
  long sleep_ns_ = kFirstSleepNs;
};

// Returns once no thread is still in a ReadSection that may have read a slot
// cleared before the call.
void WaitForReaders() {
  std::atomic_thread_fence(std::memory_order_seq_cst);  // pairs with ReadSection's
  for (Reader* r = g_readers.load(std::memory_order_acquire); r != nullptr; r = r->next) {
    if (r == t_reader) continue;
    const uint64_t seen = r->state.load(std::memory_order_acquire);
    if (Reader::Depth(seen) == 0) continue;
    Backoff backoff;
    for (;;) {
      uint64_t now = r->state.load(std::memory_order_acquire);
      if (Reader::Depth(now) == 0 || Reader::Exits(now) != Reader::Exits(seen)) break;
      backoff.Pause();
    }
  }
}

}  // namespace

Reader* RegisterReader() {
  pthread_key_t key = ReaderKey();
  Reader* r = nullptr;
  for (Reader* q = g_readers.load(std::memory_order_acquire); q != nullptr; q = q->next) {
    bool idle = false;
    if (!q->in_use.load(std::memory_order_relaxed) &&
        q->in_use.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
      r = q;
      break;
    }
  }
  if (r == nullptr) {
    r = new Reader;  // never freed: a remover may be reading it at any time
    r->in_use.store(true, std::memory_order_relaxed);
    Reader* head = g_readers.load(std::memory_order_relaxed);
    do {
      r->next = head;
    } while (!g_readers.compare_exchange_weak(head, r, std::memory_order_release,
                                              std::memory_order_relaxed));
  }
  // The thread's exit gives the record back; a thread whose key cannot be set
  // keeps its record to the end.
  (void)pthread_setspecific(key, r);
  t_reader = r;
  return r;
}

// --- The table. ---

constinit std::atomic<HandleTable::Slot*> HandleTable::chunks_[kChunks] = {};

HandleTable& HandleTable::Get() {
  static HandleTable* table = new HandleTable;  // never destroyed: waits may run during exit
  return *table;
}

HANDLE InsertCreated(ObjectRef object, bool existed) {
  HANDLE h = HandleTable::Get().Insert(std::move(object));
  if (h != nullptr) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

HANDLE HandleTable::Insert(ObjectRef object) {
  const uint32_t kind = uint32_t(object->kind());
  std::lock_guard lock(mutex_);
  uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (size_ >= kMaxHandleSlots) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    index = size_;
    if (SlotAt(index) == nullptr) {
      // The first slot of a new chunk.
      int c = 31 - __builtin_clz(index / kFirstChunk + 1);
      chunks_[c].store(new Slot[size_t(kFirstChunk) << c], std::memory_order_release);
    }
    ++size_;
  }
  Slot& slot = *SlotAt(index);
  slot.object = std::move(object);
  slot.generation = (slot.generation + 1) & kGenerationMask;
  if (slot.generation == 0) slot.generation = 1;  // 0 marks a free slot
  slot.raw.store(slot.object.get(), std::memory_order_release);
  slot.live.store(kind << 24 | slot.generation, std::memory_order_release);
  return reinterpret_cast<HANDLE>(((uintptr_t(slot.generation) << 24 | index) + 1) << 2);
}

HandleTable::Slot* HandleTable::LockedSlot(HANDLE handle, uint32_t* index) {
  uint32_t generation;
  if (!DecodeHandle(handle, index, &generation) || *index >= size_) return nullptr;
  Slot* slot = SlotAt(*index);
  return slot->object && slot->generation == generation ? slot : nullptr;
}

ObjectRef HandleTable::Lookup(HANDLE handle) {
  {
    std::lock_guard lock(mutex_);
    uint32_t index;
    if (Slot* slot = LockedSlot(handle, &index)) return slot->object;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

bool HandleTable::Remove(HANDLE handle) {
  ObjectRef doomed;  // released outside the lock: destructors may take other locks
  bool readable;
  {
    std::lock_guard lock(mutex_);
    uint32_t index;
    Slot* slot = LockedSlot(handle, &index);
    if (slot == nullptr) return false;
    readable = IsSyncKind(slot->live.load(std::memory_order_relaxed) >> 24);
    slot->live.store(0, std::memory_order_release);
    slot->raw.store(nullptr, std::memory_order_release);
    doomed = std::move(slot->object);
    free_.push_back(index);
  }
  // A reader may still hold the raw pointer; the last reference must wait for it.
  if (readable) WaitForReaders();
  return true;
}

}  // namespace qx::platform

using qx::platform::HandleTable;

extern "C" {

BOOL CloseHandle(HANDLE hObject) {
  if (!HandleTable::Get().Remove(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE GetCurrentProcess(void) {
  return INVALID_HANDLE_VALUE;
}

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle,
                     DWORD dwOptions) {
  auto is_self = [](HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; };
  if (!is_self(hSourceProcessHandle) || !is_self(hTargetProcessHandle)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (lpTargetHandle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // GetCurrentThread() stands for the caller; its duplicate is a real handle.
  auto object = hSourceHandle == GetCurrentThread() ? qx::platform::CurrentThreadObject()
                                                    : HandleTable::Get().Lookup(hSourceHandle);
  if (!object) return FALSE;
  HANDLE copy = HandleTable::Get().Insert(object);
  if (copy == nullptr) return FALSE;
  if (dwOptions & DUPLICATE_CLOSE_SOURCE) HandleTable::Get().Remove(hSourceHandle);
  *lpTargetHandle = copy;
  return TRUE;
}

}  // extern "C"
