// The process-wide handle table and the wait machinery every waitable object
// shares.
//
// Objects are reference counted: each handle holds one reference, and a wait in
// progress holds another, so CloseHandle during a wait is safe.
//
// Waiting: one process-wide mutex (WaitHub::mutex) guards the signal state of every
// in-process object; a change of state notifies one condition variable. An object
// whose state lives elsewhere (another process, a kernel file descriptor) reports
// NeedsPolling() and the wait loop then re-checks it at a short interval.
// Thread-safety: all members may be called from any thread.
#ifndef QXPLATFORM_SRC_HANDLE_TABLE_H
#define QXPLATFORM_SRC_HANDLE_TABLE_H

#include <qxplatform/errors.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace qx::platform {

enum class ObjectKind { kEvent, kMutex, kSemaphore, kTimer, kProcess, kThread, kFileMapping,
                        kPipe, kFile, kOther };

class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;

  virtual ObjectKind kind() const = 0;
  virtual bool waitable() const { return false; }

  // The three calls below are made with WaitHub::mutex held.
  // True when a wait by the calling thread would be satisfied now.
  virtual bool IsSignaled() { return false; }
  // Takes what a satisfied wait takes (resets an auto-reset event, owns a mutex,
  // decrements a semaphore). Returns true when the object was abandoned.
  virtual bool Acquire() { return false; }
  // True when the state can change without a Notify() from this process.
  virtual bool NeedsPolling() const { return false; }
};

using ObjectRef = std::shared_ptr<KernelObject>;

class WaitHub {
 public:
  static WaitHub& Get();
  std::mutex mutex;
  std::condition_variable changed;
  // Call after changing an object's state, with or without the mutex held.
  void Notify() { changed.notify_all(); }
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

}  // namespace qx::platform

#endif
