// Processes as pidfd handles (see process.h).
#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/process.h>
#include <qxplatform/sync.h>
#include <qxplatform/text.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "process_object.h"

namespace qx::platform {
namespace {

// The status a reaped child reports as a Windows exit code.
DWORD CodeFromStatus(const siginfo_t& info, DWORD terminated_with, bool terminated) {
  if (info.si_code == CLD_EXITED) return DWORD(info.si_status);
  if (terminated && info.si_status == SIGKILL) return terminated_with;
  return DWORD(128 + info.si_status);
}

}  // namespace

Process::Process(int pidfd, pid_t pid, bool child) : pidfd_(pidfd), pid_(pid), child_(child) {}

Process::~Process() {
  if (child_ && !done_) {
    // Still running, or ended and not yet reaped: the reaper collects it.
    Reaper::Get().Adopt(pidfd_);
  } else {
    ::close(pidfd_);
  }
}

bool Process::Ended() {
  if (done_) return true;
  pollfd p{pidfd_, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP))) return false;
  Reap();
  return true;
}

void Process::Reap() {
  std::lock_guard lock(mutex_);
  if (done_) return;
  DWORD code = 0;
  if (child_) {
    siginfo_t info{};
    if (::waitid(P_PIDFD, id_t(pidfd_), &info, WEXITED | WNOHANG) == 0 && info.si_pid != 0)
      code = CodeFromStatus(info, terminated_with_, terminated_);
    else if (terminated_)
      code = terminated_with_;
  } else if (terminated_) {
    code = terminated_with_;
  }
  exit_code_ = code;
  done_ = true;
  Changed(WaitWord{&word_, &sleepers_, false});
}

bool Process::WaitAlone(const WaitClock::time_point* deadline, DWORD* result) {
  for (;;) {
    if (Ended()) {
      *result = WAIT_OBJECT_0;
      return true;
    }
    int timeout = -1;
    if (deadline) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - WaitClock::now())
              .count();
      if (left <= 0) {
        *result = WAIT_TIMEOUT;
        return true;
      }
      timeout = left > INT_MAX ? INT_MAX : int(left) + 1;
    }
    pollfd p{pidfd_, POLLIN, 0};
    if (::poll(&p, 1, timeout) < 0 && errno != EINTR) {
      SetLastErrorFromErrno(errno);
      *result = WAIT_FAILED;
      return true;
    }
  }
}

DWORD Process::ExitCode() {
  return Ended() ? exit_code_.load() : STILL_ACTIVE;
}

bool Process::Terminate(DWORD code) {
  if (Ended()) return true;
  {
    std::lock_guard lock(mutex_);
    terminated_with_ = code;
    terminated_ = true;
  }
  if (::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0) != 0 && errno != ESRCH) {
    SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    return false;
  }
  return true;
}

Reaper& Reaper::Get() {
  static Reaper* reaper = new Reaper;  // its thread runs until the process ends
  return *reaper;
}

void Reaper::Adopt(int pidfd) {
  std::lock_guard lock(mutex_);
  pending_.push_back(pidfd);
  if (owner_ != ::getpid()) {
    // First use in this process (a forked child does not inherit the thread).
    owner_ = ::getpid();
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    std::thread([this] { Run(); }).detach();
  }
  char one = 1;
  if (::write(wake_[1], &one, 1) < 0) {
    // The pipe is full: the thread is awake already.
  }
}

void Reaper::Run() {
  for (;;) {
    std::vector<pollfd> fds;
    {
      std::lock_guard lock(mutex_);
      fds.push_back({wake_[0], POLLIN, 0});
      for (int fd : pending_) fds.push_back({fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;
    char drain[64];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
    std::lock_guard lock(mutex_);
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      siginfo_t info{};
      ::waitid(P_PIDFD, id_t(fds[i].fd), &info, WEXITED | WNOHANG);
      ::close(fds[i].fd);
      std::erase(pending_, fds[i].fd);
    }
  }
}

std::shared_ptr<Process> LookupProcess(HANDLE h) {
  ObjectRef o = HandleTable::Get().Lookup(h);
  if (o && o->kind() == ObjectKind::kProcess) return std::static_pointer_cast<Process>(o);
  if (auto primary = std::dynamic_pointer_cast<PrimaryThread>(o)) return primary->process();
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
  // Never a pid of 0 or below: kill(0) and kill(-n) reach whole process groups.
  if (dwProcessId == 0 || dwProcessId > DWORD(INT_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int fd = int(::syscall(SYS_pidfd_open, pid_t(dwProcessId), 0));
  if (fd < 0) {
    SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : ErrorFromErrno(errno));
    return nullptr;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // Ours to reap when it is our child.
  siginfo_t info{};
  bool child = ::waitid(P_PIDFD, id_t(fd), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
  HANDLE h = HandleTable::Get().Insert(std::make_shared<Process>(fd, pid_t(dwProcessId), child));
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  auto p = LookupProcess(hProcess);
  if (!p) return FALSE;
  if (lpExitCode == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  *lpExitCode = p->ExitCode();
  return TRUE;
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (hProcess == GetCurrentProcess()) ::_exit(int(uExitCode));
  auto p = LookupProcess(hProcess);
  if (!p) return FALSE;
  return p->Terminate(uExitCode) ? TRUE : FALSE;
}

DWORD GetProcessId(HANDLE Process) {
  if (Process == GetCurrentProcess()) return DWORD(::getpid());
  auto p = LookupProcess(Process);
  return p ? DWORD(p->pid()) : 0;
}

void ExitProcess(UINT uExitCode) {
  std::exit(int(uExitCode));
}

}  // extern "C"
