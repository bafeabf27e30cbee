// Threads with exit codes, waits and self-suspension (see process.h).
#include <pthread.h>
#include <qxplatform/errors.h>
#include <qxplatform/process.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "thread_object.h"

namespace qx::platform {
namespace {

// The state of one thread, shared by its handles and by the thread itself.
struct ThreadState {
  std::atomic<uint32_t> word{0};  // futex word: bumped when the thread ends
  std::atomic<uint32_t> sleepers{0};
  std::atomic<bool> finishing{false};
  std::atomic<bool> done{false};
  std::atomic<DWORD> exit_code{STILL_ACTIVE};
  std::atomic<pid_t> tid{0};
  std::atomic<int64_t> kill_code{-1};  // TerminateThread's code, when asked
  pthread_t thread{};                  // valid once tid is set
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  std::mutex mutex;  // guards suspended and started
  std::condition_variable resumed;
  DWORD suspended = 0;
  bool started = false;

  void Finish(DWORD code) {
    bool was = false;
    if (!finishing.compare_exchange_strong(was, true)) return;
    exit_code = code;  // before done: whoever sees done sees the code
    done = true;
    Changed(WaitWord{&word, &sleepers, false});
  }
};

// The calling thread's state: made when the thread starts here, or on first use
// for other threads; it marks the thread ended when the thread exits.
struct Self {
  std::shared_ptr<ThreadState> state;
  ~Self() {
    if (!state) return;
    int64_t killed = state->kill_code.load();
    DWORD code = state->exit_code.load();
    state->Finish(killed >= 0 ? DWORD(killed) : code == STILL_ACTIVE ? 0 : code);
  }
};
thread_local Self t_self;

std::shared_ptr<ThreadState> SelfState() {
  if (!t_self.state) {
    t_self.state = std::make_shared<ThreadState>();
    t_self.state->thread = pthread_self();
    t_self.state->tid = ::gettid();
    t_self.state->started = true;
  }
  return t_self.state;
}

class Thread final : public ThreadObject {
 public:
  explicit Thread(std::shared_ptr<ThreadState> s) : s_(std::move(s)) {}
  WaitWord Word() override { return {&s_->word, &s_->sleepers, false}; }
  Take TryTake() override { return s_->done ? Take::kYes : Take::kNo; }
  bool Peek() override { return s_->done; }
  const void* Identity() const override { return s_.get(); }
  DWORD ExitCode() override { return s_->done ? s_->exit_code.load() : STILL_ACTIVE; }
  DWORD Id() const override { return DWORD(s_->tid.load()); }

  DWORD Suspend() override {
    std::unique_lock lock(s_->mutex);
    if (s_->tid != ::gettid()) {
      // Only a thread that has not started yet can be held from outside.
      if (s_->started) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return DWORD(-1);
      }
      return s_->suspended++;
    }
    DWORD previous = s_->suspended++;
    s_->resumed.wait(lock, [&] { return s_->suspended == 0; });
    return previous;
  }
  DWORD Resume() override {
    std::lock_guard lock(s_->mutex);
    DWORD previous = s_->suspended;
    if (previous > 0 && --s_->suspended == 0) s_->resumed.notify_all();
    return previous;
  }
  bool Terminate(DWORD code) override {
    if (s_->done) return true;
    if (s_->tid == ::gettid()) ExitThread(code);
    int64_t none = -1;
    s_->kill_code.compare_exchange_strong(none, int64_t(code));
    {
      // Not started yet (or held by CREATE_SUSPENDED): it ends before its routine.
      std::lock_guard lock(s_->mutex);
      if (!s_->started) {
        s_->suspended = 0;
        s_->resumed.notify_all();
        return true;
      }
    }
    int rc = pthread_cancel(s_->thread);
    if (rc != 0 && rc != ESRCH) return SetLastErrorFromErrno(rc), false;
    return true;
  }

 private:
  std::shared_ptr<ThreadState> s_;
};

void* Run(void* arg) {
  // The thread owns one reference to its state, taken over from its creator.
  std::shared_ptr<ThreadState> state(*static_cast<std::shared_ptr<ThreadState>*>(arg));
  delete static_cast<std::shared_ptr<ThreadState>*>(arg);
  state->thread = pthread_self();
  state->tid = ::gettid();
  t_self.state = state;
  {
    std::unique_lock lock(state->mutex);
    state->resumed.wait(lock, [&] { return state->suspended == 0; });
    state->started = true;
  }
  if (int64_t killed = state->kill_code.load(); killed >= 0) {
    state->Finish(DWORD(killed));
    return nullptr;
  }
  DWORD code = state->start(state->parameter);
  state->Finish(code);
  return nullptr;
}

std::shared_ptr<ThreadObject> LookupThread(HANDLE h) {
  if (h == GetCurrentThread()) return std::static_pointer_cast<ThreadObject>(CurrentThreadObject());
  return HandleTable::Get().LookupAs<ThreadObject>(h, ObjectKind::kThread);
}

}  // namespace

ObjectRef CurrentThreadObject() {
  return std::make_shared<Thread>(SelfState());
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto state = std::make_shared<ThreadState>();
  state->start = lpStartAddress;
  state->parameter = lpParameter;
  state->suspended = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
  HANDLE h = HandleTable::Get().Insert(std::make_shared<Thread>(state));
  if (h == nullptr) return nullptr;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (dwStackSize > 0) pthread_attr_setstacksize(&attr, dwStackSize < 65536 ? 65536 : dwStackSize);
  auto* arg = new std::shared_ptr<ThreadState>(state);
  pthread_t id;
  int rc = pthread_create(&id, &attr, Run, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    HandleTable::Get().Remove(h);
    SetLastErrorFromErrno(rc);
    return nullptr;
  }
  if (lpThreadId) {
    // The id is the kernel's thread id, known once the thread runs.
    while (state->tid == 0) sched_yield();
    *lpThreadId = DWORD(state->tid.load());
  }
  SetLastError(ERROR_SUCCESS);
  return h;
}

void ExitThread(DWORD dwExitCode) {
  SelfState()->Finish(dwExitCode);
  pthread_exit(nullptr);
}

HANDLE GetCurrentThread(void) {
  return reinterpret_cast<HANDLE>(intptr_t(-2));
}

DWORD GetThreadId(HANDLE Thread) {
  auto t = LookupThread(Thread);
  return t ? t->Id() : 0;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto t = LookupThread(hThread);
  if (!t) return FALSE;
  if (lpExitCode == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  *lpExitCode = t->ExitCode();
  return TRUE;
}

DWORD SuspendThread(HANDLE hThread) {
  auto t = LookupThread(hThread);
  return t ? t->Suspend() : DWORD(-1);
}

BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  auto t = LookupThread(hThread);
  return t && t->Terminate(dwExitCode) ? TRUE : FALSE;
}

DWORD ResumeThread(HANDLE hThread) {
  auto t = LookupThread(hThread);
  return t ? t->Resume() : DWORD(-1);
}

}  // extern "C"
