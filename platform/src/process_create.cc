// CreateProcessA/W: a command line, an environment block, a working folder and
// standard handles turned into a child started with clone3(CLONE_PIDFD).
//
// Everything the child needs is prepared before the clone: between clone and
// exec the child only makes system calls (no allocation, no locks), as a child of
// a multi-threaded process must. A close-on-exec pipe carries a failed chdir or
// exec back to the parent, so CreateProcess fails as Windows does instead of
// leaving a child that exits at once.
#include <fcntl.h>
#include <linux/sched.h>
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/file.h>
#include <qxplatform/process.h>
#include <qxplatform/text.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "process_object.h"

extern char** environ;

namespace qx::platform {
namespace {

struct Launch {
  std::string program;
  std::vector<std::string> args;
  std::optional<std::vector<std::string>> env;  // nullopt: this process's
  std::optional<std::string> cwd;
  int std_fds[3] = {-1, -1, -1};  // descriptors that become 0, 1, 2
  bool new_session = false;
  std::optional<int> nice;
};

bool EndsWithExe(const std::string& s) {
  if (s.size() < 4) return false;
  std::string tail = s.substr(s.size() - 4);
  for (auto& c : tail) c = AsciiLower(c);
  return tail == ".exe";
}

bool Executable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The file to run for a Windows-style program name; nullopt (ERROR_FILE_NOT_FOUND).
std::optional<std::string> FindProgram(const std::string& name) {
  std::vector<std::string> candidates{name};
  if (EndsWithExe(name)) candidates.push_back(name.substr(0, name.size() - 4));
  for (const auto& c : candidates) {
    if (c.empty()) continue;
    if (c.find('/') != std::string::npos) {
      if (!Executable(c)) continue;
      if (c[0] == '/') return c;
      char cwd[4096];
      if (::getcwd(cwd, sizeof cwd) == nullptr) return c;
      return std::string(cwd) + "/" + c;
    }
    auto path = GetEnv("PATH");
    std::string dirs = path ? *path : "/usr/local/bin:/usr/bin:/bin";
    size_t at = 0;
    for (;;) {
      size_t colon = dirs.find(':', at);
      std::string dir =
          dirs.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
      std::string full = (dir.empty() ? "." : dir) + "/" + c;
      if (Executable(full)) return full;
      if (colon == std::string::npos) break;
      at = colon + 1;
    }
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return std::nullopt;
}

std::vector<std::string> NarrowBlock(const char* p) {
  std::vector<std::string> out;
  while (*p) {
    std::string entry(p);
    p += entry.size() + 1;
    if (entry[0] != '=') out.push_back(std::move(entry));
  }
  return out;
}

std::optional<std::vector<std::string>> WideBlock(const char16_t* p) {
  std::vector<std::string> out;
  while (*p) {
    std::u16string_view entry(p);
    p += entry.size() + 1;
    auto narrow = Utf16ToUtf8(entry);
    if (!narrow) return std::nullopt;
    if ((*narrow)[0] != '=') out.push_back(std::move(*narrow));
  }
  return out;
}

std::optional<int> NiceFor(DWORD flags) {
  if (flags & IDLE_PRIORITY_CLASS) return 19;
  if (flags & BELOW_NORMAL_PRIORITY_CLASS) return 10;
  if (flags & REALTIME_PRIORITY_CLASS) return -20;
  if (flags & HIGH_PRIORITY_CLASS) return -10;
  if (flags & ABOVE_NORMAL_PRIORITY_CLASS) return -5;
  if (flags & NORMAL_PRIORITY_CLASS) return 0;
  return std::nullopt;
}

// The minimal kernel sigaction record, for resetting dispositions in the child
// with a raw system call.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)(void);
  uint64_t mask;
};

[[noreturn]] void ChildFail(int pipe_fd, int stage, int err) {
  int report[2] = {stage, err};
  if (::write(pipe_fd, report, sizeof report) < 0) {
    // The parent then sees a plain exit 127.
  }
  ::_exit(127);
}

// Runs in the child between clone and exec: system calls only.
[[noreturn]] void Child(const Launch& l, char* const* argv, char* const* envp, int report_fd,
                        int null_fd) {
  uint64_t empty = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty, nullptr, sizeof empty);
  KernelSigaction dfl{SIG_DFL, 0, nullptr, 0};
  for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP})
    ::syscall(SYS_rt_sigaction, sig, &dfl, nullptr, sizeof(uint64_t));
  if (l.new_session) ::setsid();
  for (int i = 0; i < 3; ++i) {
    int from = l.std_fds[i] >= 0 ? l.std_fds[i] : null_fd;
    if (from >= 0 && ::dup2(from, i) < 0) ChildFail(report_fd, 3, errno);
  }
  if (l.nice) ::setpriority(PRIO_PROCESS, 0, *l.nice);  // raising needs privilege
  if (l.cwd && ::chdir(l.cwd->c_str()) != 0) ChildFail(report_fd, 1, errno);
  ::execve(l.program.c_str(), argv, envp);
  ChildFail(report_fd, 2, errno);
}

// Starts the child; its pidfd and pid, or false with the last error set.
bool Spawn(const Launch& l, bool detached_nulls, int* pidfd_out, pid_t* pid_out) {
  std::vector<char*> argv, envp;
  for (const auto& a : l.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (l.env) {
    for (const auto& e : *l.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }
  char* const* env = l.env ? envp.data() : environ;

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return SetLastErrorFromErrno(errno), false;
  int null_fd = detached_nulls ? ::open("/dev/null", O_RDWR | O_CLOEXEC) : -1;

  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_PIDFD;
  args.pidfd = reinterpret_cast<uintptr_t>(&pidfd);
  args.exit_signal = SIGCHLD;
  long pid = ::syscall(SYS_clone3, &args, sizeof args);
  if (pid == 0) Child(l, argv.data(), env, report[1], null_fd);
  int clone_errno = errno;
  ::close(report[1]);
  if (null_fd >= 0) ::close(null_fd);
  if (pid < 0) {
    ::close(report[0]);
    return SetLastErrorFromErrno(clone_errno), false;
  }
  int failure[2];
  ssize_t n;
  while ((n = ::read(report[0], failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n == ssize_t(sizeof failure)) {
    siginfo_t info;
    ::waitid(P_PID, id_t(pid), &info, WEXITED);
    ::close(pidfd);
    if (failure[0] == 1)
      SetLastError(ERROR_DIRECTORY);
    else if (failure[1] == ENOEXEC)
      SetLastError(ERROR_BAD_FORMAT);
    else
      SetLastErrorFromErrno(failure[1]);
    return false;
  }
  *pidfd_out = pidfd;
  *pid_out = pid_t(pid);
  return true;
}

BOOL Create(const char* application, const char* command_line, DWORD flags,
            std::optional<std::vector<std::string>> env, const char* cwd, DWORD startup_flags,
            const HANDLE std_handles[3], LPPROCESS_INFORMATION info) {
  if (info == nullptr || (application == nullptr && command_line == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (flags & (CREATE_SUSPENDED | DEBUG_PROCESS)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  Launch l;
  l.args = command_line ? SplitCommandLine(command_line) : std::vector<std::string>{application};
  if (l.args.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto program = FindProgram(application ? application : l.args[0]);
  if (!program) return FALSE;
  l.program = *program;
  l.env = std::move(env);
  if (cwd) l.cwd = cwd;
  l.new_session = flags & (DETACHED_PROCESS | CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP);
  l.nice = NiceFor(flags);

  // Standard handles are copied above 2 first, so that one handle's descriptor
  // being 0, 1 or 2 cannot be overwritten before it is used.
  std::vector<int> copies;
  if (startup_flags & STARTF_USESTDHANDLES) {
    for (int i = 0; i < 3; ++i) {
      if (std_handles[i] == nullptr || std_handles[i] == INVALID_HANDLE_VALUE) continue;
      int fd = FileDescriptor(std_handles[i]);
      if (fd < 0) {
        for (int c : copies) ::close(c);
        return FALSE;
      }
      l.std_fds[i] = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      copies.push_back(l.std_fds[i]);
    }
  }
  // A detached child gets /dev/null where no handle was given; others inherit
  // this process's descriptors 0, 1 and 2.
  bool nulls = (flags & DETACHED_PROCESS) != 0;
  int pidfd = -1;
  pid_t pid = 0;
  bool ok = Spawn(l, nulls, &pidfd, &pid);
  for (int c : copies)
    if (c >= 0) ::close(c);
  if (!ok) return FALSE;

  auto process = std::make_shared<Process>(pidfd, pid, true);
  info->hProcess = HandleTable::Get().Insert(process);
  info->hThread = HandleTable::Get().Insert(std::make_shared<PrimaryThread>(process));
  info->dwProcessId = DWORD(pid);
  info->dwThreadId = DWORD(pid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
  std::optional<std::vector<std::string>> env;
  if (lpEnvironment) {
    if (dwCreationFlags & CREATE_UNICODE_ENVIRONMENT)
      env = WideBlock(static_cast<const char16_t*>(lpEnvironment));
    else
      env = NarrowBlock(static_cast<const char*>(lpEnvironment));
    if (!env) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  }
  HANDLE std_handles[3] = {};
  DWORD startup_flags = 0;
  if (lpStartupInfo) {
    startup_flags = lpStartupInfo->dwFlags;
    std_handles[0] = lpStartupInfo->hStdInput;
    std_handles[1] = lpStartupInfo->hStdOutput;
    std_handles[2] = lpStartupInfo->hStdError;
  }
  return Create(lpApplicationName, lpCommandLine, dwCreationFlags, std::move(env),
                lpCurrentDirectory, startup_flags, std_handles, lpProcessInformation);
}

BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                    LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
  std::optional<std::string> app, cmd, cwd;
  for (auto [wide, out] :
       {std::pair{lpApplicationName, &app}, std::pair{static_cast<LPCWSTR>(lpCommandLine), &cmd},
        std::pair{lpCurrentDirectory, &cwd}}) {
    if (wide == nullptr) continue;
    *out = Utf16ToUtf8(wide);
    if (!*out) return SetLastError(ERROR_NO_UNICODE_TRANSLATION), FALSE;
  }
  STARTUPINFOA narrow{};
  if (lpStartupInfo) {
    narrow.cb = sizeof narrow;
    narrow.dwFlags = lpStartupInfo->dwFlags;
    narrow.hStdInput = lpStartupInfo->hStdInput;
    narrow.hStdOutput = lpStartupInfo->hStdOutput;
    narrow.hStdError = lpStartupInfo->hStdError;
  }
  return CreateProcessA(app ? app->c_str() : nullptr, cmd ? cmd->data() : nullptr,
                        lpProcessAttributes, lpThreadAttributes, bInheritHandles, dwCreationFlags,
                        lpEnvironment, cwd ? cwd->c_str() : nullptr,
                        lpStartupInfo ? &narrow : nullptr, lpProcessInformation);
}

}  // extern "C"
