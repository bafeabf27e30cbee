// What thread handles have in common: threads made here and the primary thread of
// a process started here. Thread-safety: implementations are thread-safe.
#ifndef QXPLATFORM_SRC_THREAD_OBJECT_H
#define QXPLATFORM_SRC_THREAD_OBJECT_H

#include "handle_table.h"

namespace qx::platform {

class ThreadObject : public KernelObject {
 public:
  ObjectKind kind() const override { return ObjectKind::kThread; }
  bool waitable() const override { return true; }
  // STILL_ACTIVE while running.
  virtual DWORD ExitCode() = 0;
  virtual DWORD Id() const = 0;
  // SuspendThread/ResumeThread: the previous count, or (DWORD)-1 with the last
  // error set.
  virtual DWORD Suspend() = 0;
  virtual DWORD Resume() = 0;
  // TerminateThread: false with the last error set when the thread cannot be ended.
  virtual bool Terminate(DWORD code) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
};

// A thread object for the calling thread (made on first use, shared by every
// handle to it); DuplicateHandle of GetCurrentThread() hands it out.
ObjectRef CurrentThreadObject();

}  // namespace qx::platform

#endif
