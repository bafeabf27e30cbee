// A small program the kernel-object tests start as "the other process". Each
// command does one thing with named objects and reports on stdout, one line per
// step, so the test can follow it:
//   mutex-hold NAME           wait for the mutex, print "owned" or "abandoned", sleep
//   mutex-take NAME           like mutex-hold but print "waiting" first
//   event-wait NAME MS        print "ready", wait, print "signaled" or "timeout"
//   event-hold NAME           create a manual event set, print "ready", sleep
//   sem-release NAME N        release 1 N times, print "<ok> <fails> <bad errors>"
//   sem-guard SEM MAP N       N times: wait SEM, count up in the mapping's first
//                             int (shared guard), note the peak, count down, release
//   wait-any MS NAME...       open events, print "ready", wait any, print the result
//   wait-all MS NAME...       open semaphores or events, wait all, print the result
//   fork-close N              close a semaphore in its own fork handler (registered
//                             first thing) in each of N forked children while a
//                             thread sets an event over and over; print "done", or
//                             "hung <i>" for a child that did not end
//   map-write NAME TEXT       create a page-file mapping of 524 bytes, write TEXT,
//                             print "ready", sleep
//   map-read NAME             open the mapping, print its text
//   exit CODE                 exit with CODE
//   sleep MS                  sleep, then exit 0
//   echo-env NAME             print the variable's value and the working folder
//   pipe-serve NAME TYPE      serve one client of a byte or message pipe: print
//                             "listening", "connected uid=<uid>", "message <len>"
//                             per message (echoed back), "end <error>"
//   pipe-hold NAME            serve a message pipe, print "connected", sleep
//   pipe-partial NAME N       connect, write N bytes of a frame, die by SIGKILL
#include <pthread.h>
#include <qxplatform/errors.h>
#include <qxplatform/mapping.h>
#include <qxplatform/pipe.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

[[noreturn]] void SleepForever() {
  for (;;) ::pause();
}

std::string Result(DWORD r) {
  if (r == WAIT_TIMEOUT) return "timeout";
  if (r == WAIT_FAILED) return "failed " + std::to_string(GetLastError());
  if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + MAXIMUM_WAIT_OBJECTS)
    return "abandoned " + std::to_string(r - WAIT_ABANDONED_0);
  return "object " + std::to_string(r - WAIT_OBJECT_0);
}

int MutexHold(const char* name, bool announce) {
  HANDLE m = CreateMutexA(nullptr, FALSE, name);
  if (m == nullptr) return Say("failed " + std::to_string(GetLastError())), 2;
  if (announce) Say("waiting");
  DWORD r = WaitForSingleObject(m, INFINITE);
  Say(r == WAIT_ABANDONED ? "abandoned" : r == WAIT_OBJECT_0 ? "owned" : Result(r));
  SleepForever();
}

int SemRelease(const char* name, int n) {
  HANDLE s = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name);
  if (s == nullptr) return 2;
  int ok = 0, fails = 0, bad = 0;
  for (int i = 0; i < n; ++i) {
    if (ReleaseSemaphore(s, 1, nullptr)) {
      ++ok;
    } else {
      ++fails;
      if (GetLastError() != ERROR_TOO_MANY_POSTS) ++bad;
    }
  }
  Say(std::to_string(ok) + " " + std::to_string(fails) + " " + std::to_string(bad));
  return 0;
}

int SemGuard(const char* sem_name, const char* map_name, int n) {
  HANDLE s = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, sem_name);
  HANDLE m = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, map_name);
  if (s == nullptr || m == nullptr) return 2;
  auto* cells = static_cast<std::atomic<int>*>(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (cells == nullptr) return 3;
  for (int i = 0; i < n; ++i) {
    if (WaitForSingleObject(s, 10000) != WAIT_OBJECT_0) return 4;
    int inside = cells[0].fetch_add(1) + 1;
    int peak = cells[1].load();
    while (inside > peak && !cells[1].compare_exchange_weak(peak, inside)) {
    }
    ::usleep(200);
    cells[0].fetch_sub(1);
    if (!ReleaseSemaphore(s, 1, nullptr)) return 5;
  }
  Say("done");
  return 0;
}

int WaitOn(bool all, DWORD ms, std::vector<const char*> names) {
  std::vector<HANDLE> handles;
  for (const char* n : names) {
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, n);
    if (h == nullptr) h = OpenSemaphoreA(SYNCHRONIZE, FALSE, n);
    if (h == nullptr) h = OpenMutexA(SYNCHRONIZE, FALSE, n);
    if (h == nullptr) return Say("open failed " + std::string(n)), 2;
    handles.push_back(h);
  }
  Say("ready");
  Say(Result(WaitForMultipleObjects(DWORD(handles.size()), handles.data(), all, ms)));
  return 0;
}

HANDLE g_doomed = nullptr;

// A program's own fork handler, registered before it made any call on an event,
// mutex or semaphore: the child closes a handle at once, while the threads of
// the parent that were inside such calls do not exist there.
int ForkClose(int n) {
  ::pthread_atfork(nullptr, nullptr, [] { CloseHandle(g_doomed); });
  HANDLE busy = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    while (!stop) SetEvent(busy);
  });
  int result = 0;
  for (int i = 0; i < n && result == 0; ++i) {
    g_doomed = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    CloseHandle(g_doomed);
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0)
      if (std::chrono::steady_clock::now() > give_up) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        Say("hung " + std::to_string(i));
        result = 1;
        break;
      } else {
        ::usleep(1000);
      }
  }
  stop = true;
  setter.join();
  if (result == 0) Say("done");
  return result;
}

int PipeServe(const char* name, bool message) {
  HANDLE p = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX,
                              message ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE : PIPE_TYPE_BYTE,
                              1, 4096, 4096, 0, nullptr);
  if (p == INVALID_HANDLE_VALUE) return Say("failed " + std::to_string(GetLastError())), 2;
  Say("listening");
  if (!ConnectNamedPipe(p, nullptr)) return Say("failed " + std::to_string(GetLastError())), 3;
  uint32_t pid = 0, uid = 0, gid = 0;
  qx::platform::PipePeerCredentials(p, &pid, &uid, &gid);
  Say("connected uid=" + std::to_string(uid));
  std::string msg;
  for (;;) {
    char buf[16];
    DWORD got = 0;
    BOOL ok = ReadFile(p, buf, sizeof buf, &got, nullptr);
    msg.append(buf, got);
    if (!ok && GetLastError() == ERROR_MORE_DATA) continue;
    if (!ok) return Say("end " + std::to_string(GetLastError())), 0;
    Say("message " + std::to_string(msg.size()));
    DWORD put;
    WriteFile(p, msg.data(), DWORD(msg.size()), &put, nullptr);
    msg.clear();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  std::string cmd = argv[1];
  if (cmd == "mutex-hold" && argc == 3) return MutexHold(argv[2], false);
  if (cmd == "mutex-take" && argc == 3) return MutexHold(argv[2], true);
  if (cmd == "event-wait" && argc == 4) {
    HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (e == nullptr) return Say("failed " + std::to_string(GetLastError())), 2;
    Say("ready");
    DWORD r = WaitForSingleObject(e, DWORD(std::atol(argv[3])));
    Say(r == WAIT_OBJECT_0 ? "signaled" : Result(r));
    return 0;
  }
  if (cmd == "event-hold" && argc == 3) {
    if (CreateEventA(nullptr, TRUE, TRUE, argv[2]) == nullptr) return 2;
    Say("ready");
    SleepForever();
  }
  if (cmd == "sem-release" && argc == 4) return SemRelease(argv[2], std::atoi(argv[3]));
  if (cmd == "sem-guard" && argc == 5) return SemGuard(argv[2], argv[3], std::atoi(argv[4]));
  if ((cmd == "wait-any" || cmd == "wait-all") && argc >= 4)
    return WaitOn(cmd == "wait-all", DWORD(std::atol(argv[2])),
                  std::vector<const char*>(argv + 3, argv + argc));
  if (cmd == "fork-close" && argc == 3) return ForkClose(std::atoi(argv[2]));
  if (cmd == "map-write" && argc == 4) {
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 524, argv[2]);
    if (m == nullptr) return 2;
    char* view = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    if (view == nullptr) return 3;
    std::snprintf(view, 524, "%s", argv[3]);
    Say("ready");
    SleepForever();
  }
  if (cmd == "map-read" && argc == 3) {
    HANDLE m = OpenFileMappingA(FILE_MAP_READ, FALSE, argv[2]);
    if (m == nullptr) return Say("failed " + std::to_string(GetLastError())), 2;
    const char* view = static_cast<const char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr) return 3;
    Say(std::string(view, strnlen(view, 524)));
    return 0;
  }
  if (cmd == "pipe-serve" && argc == 4)
    return PipeServe(argv[2], std::string(argv[3]) == "message");
  if (cmd == "pipe-hold" && argc == 3) {
    HANDLE p =
        CreateNamedPipeA(argv[2], PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 0, 0, 0, nullptr);
    if (p == INVALID_HANDLE_VALUE) return 2;
    Say("listening");
    if (!ConnectNamedPipe(p, nullptr)) return 3;
    Say("connected");
    SleepForever();
  }
  if (cmd == "pipe-partial" && argc == 4) {
    HANDLE p =
        CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (p == INVALID_HANDLE_VALUE) return 2;
    std::string half(size_t(std::atoi(argv[3])), 'h');
    DWORD put;
    WriteFile(p, half.data(), DWORD(half.size()), &put, nullptr);
    ::raise(SIGKILL);
  }
  if (cmd == "exit" && argc == 3) return std::atoi(argv[2]);
  if (cmd == "sleep" && argc == 3) {
    Sleep(DWORD(std::atol(argv[2])));
    return 0;
  }
  if (cmd == "echo-env" && argc == 3) {
    const char* v = std::getenv(argv[2]);
    char cwd[4096];
    Say(std::string(v ? v : "(unset)") + " " + (::getcwd(cwd, sizeof cwd) ? cwd : "?"));
    return 0;
  }
  return 64;
}
