// Process objects: a pidfd with the process's exit code, and the reaper that
// collects children whose handles were all closed before they ended.
// Thread-safety: all members may be called from any thread.
#ifndef QXPLATFORM_SRC_PROCESS_OBJECT_H
#define QXPLATFORM_SRC_PROCESS_OBJECT_H

#include <sys/types.h>

#include <mutex>
#include <thread>
#include <vector>

#include "handle_table.h"
#include "thread_object.h"

namespace qx::platform {

class Process final : public KernelObject {
 public:
  // Takes over pidfd. child: the process is this process's child, to be reaped.
  Process(int pidfd, pid_t pid, bool child);
  ~Process() override;
  ObjectKind kind() const override { return ObjectKind::kProcess; }
  bool waitable() const override { return true; }
  WaitWord Word() override { return {&word_, &sleepers_, false}; }
  Take TryTake() override { return Ended() ? Take::kYes : Take::kNo; }
  bool Peek() override { return Ended(); }
  bool NeedsPolling() override { return !done_; }
  bool WaitAlone(const WaitClock::time_point* deadline, DWORD* result) override;

  // True once the process has ended (and, for a child, has been reaped).
  bool Ended();
  DWORD ExitCode();
  // SIGKILL through the pidfd; code becomes the exit code. False with the last
  // error set when the signal could not be sent.
  bool Terminate(DWORD code);
  pid_t pid() const { return pid_; }

 private:
  void Reap();

  const int pidfd_;
  const pid_t pid_;
  const bool child_;
  std::atomic<uint32_t> word_{0};
  std::atomic<uint32_t> sleepers_{0};
  std::atomic<bool> done_{false};
  std::atomic<DWORD> exit_code_{STILL_ACTIVE};
  std::mutex mutex_;  // guards the two below and reaping
  DWORD terminated_with_ = 0;
  bool terminated_ = false;
};

// The handle for a started process's primary thread: it ends with the process.
class PrimaryThread final : public ThreadObject {
 public:
  explicit PrimaryThread(std::shared_ptr<Process> p) : p_(std::move(p)) {}
  WaitWord Word() override { return p_->Word(); }
  Take TryTake() override { return p_->TryTake(); }
  bool Peek() override { return p_->Peek(); }
  bool NeedsPolling() override { return p_->NeedsPolling(); }
  bool WaitAlone(const WaitClock::time_point* deadline, DWORD* result) override {
    return p_->WaitAlone(deadline, result);
  }
  DWORD ExitCode() override { return p_->ExitCode(); }
  DWORD Id() const override { return DWORD(p_->pid()); }
  DWORD Suspend() override {
    SetLastError(ERROR_NOT_SUPPORTED);
    return DWORD(-1);
  }
  DWORD Resume() override { return 0; }  // never suspended
  const std::shared_ptr<Process>& process() const { return p_; }

 private:
  std::shared_ptr<Process> p_;
};

class Reaper {
 public:
  static Reaper& Get();
  // Takes over a child's pidfd and reaps the child when it ends.
  void Adopt(int pidfd);

 private:
  void Run();
  std::mutex mutex_;
  std::vector<int> pending_;
  pid_t owner_ = 0;  // the process whose thread serves pending_
  int wake_[2] = {-1, -1};
};

// The process behind a process handle or a primary-thread handle; null with
// ERROR_INVALID_HANDLE.
std::shared_ptr<Process> LookupProcess(HANDLE h);

}  // namespace qx::platform

#endif
