// The handle table: stale handles, growth, and the uncounted reads of the wait and
// release paths racing CloseHandle (a fault here is a use after free, which the
// sanitizer build reports and a named object's unmapped page turns into a crash).
#include <gtest/gtest.h>
#include <pthread.h>
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_env.h"

namespace {

TEST(HandleTable, ClosedAndReusedHandlesAreRefused) {
  HANDLE old_handle = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(old_handle, nullptr);
  ASSERT_TRUE(CloseHandle(old_handle));
  // The new object takes the freed slot; the old value must not reach it.
  HANDLE fresh = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, old_handle);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(old_handle, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(old_handle));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(old_handle));
  // Nothing was taken through the stale value: another thread finds it free.
  DWORD other = 0;
  std::thread([&] {
    other = WaitForSingleObject(fresh, 0);
    ReleaseMutex(fresh);
  }).join();
  EXPECT_EQ(other, WAIT_OBJECT_0);
  // A handle of another kind is not a mutex to ReleaseMutex.
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_FALSE(ReleaseMutex(event));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  for (HANDLE bad : {HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(uintptr_t(event) + 1),
                     HANDLE(uintptr_t(event) | (uintptr_t(1) << 60))}) {
    EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  }
  CloseHandle(event);
  CloseHandle(fresh);
}

TEST(HandleTable, HandlesPastTheFirstChunks) {
  // More handles than the first few chunks hold, each reaching its own object.
  std::vector<HANDLE> events(1500);
  for (size_t i = 0; i < events.size(); ++i) {
    events[i] = CreateEventA(nullptr, TRUE, i % 3 == 0, nullptr);
    ASSERT_NE(events[i], nullptr) << i;
  }
  for (size_t i = 0; i < events.size(); ++i)
    ASSERT_EQ(WaitForSingleObject(events[i], 0), i % 3 == 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT) << i;
  for (size_t i = 1; i < events.size(); i += 2) ASSERT_TRUE(CloseHandle(events[i]));
  for (size_t i = 0; i < events.size(); ++i) {
    DWORD want = i % 2 ? WAIT_FAILED : i % 3 == 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    ASSERT_EQ(WaitForSingleObject(events[i], 0), want) << i;
  }
  for (size_t i = 0; i < events.size(); i += 2) ASSERT_TRUE(CloseHandle(events[i]));
}

// Holds the thread it lands on for a while, wherever it was: inside a wait or a
// release, the handle may be closed meanwhile.
std::atomic<int> g_stalls{0};
void Stall(int) {
  usleep(10000);
  ++g_stalls;
}

// One call on a handle that another thread may close meanwhile; false when it
// answered anything but success or ERROR_INVALID_HANDLE. *used tells a success.
using RacingCall = std::function<bool(HANDLE, bool* used)>;

// A thread makes call on the current object over and over while this one stalls
// it (mostly inside a call) and closes the object. Named objects, so that the
// state of a closed object is unmapped at once.
void RaceCallsWithClose(const std::function<HANDLE(const std::string&)>& create,
                        const RacingCall& call) {
  struct sigaction action = {}, previous;
  action.sa_handler = Stall;
  action.sa_flags = SA_RESTART;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  std::atomic<HANDLE> current{nullptr};
  std::atomic<bool> stop{false};
  std::atomic<int> used{0}, wrong{0};
  std::thread user([&] {
    while (!stop.load()) {
      bool did = false;
      if (!call(current.load(), &did)) ++wrong;
      if (did) ++used;
    }
  });
  for (int round = 0; round < 20; ++round) {
    HANDLE h = create("QX.UNIT.RACE." + std::to_string(round));
    ASSERT_NE(h, nullptr);
    current = h;
    usleep(2000);
    const int stalls = g_stalls.load();
    pthread_kill(user.native_handle(), SIGUSR1);
    usleep(3000);
    EXPECT_TRUE(CloseHandle(h));
    // The user goes on where it stopped before the next object can take the
    // place of this one's state.
    while (g_stalls.load() == stalls) usleep(1000);
  }
  stop = true;
  user.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(used.load(), 0);
}

bool Refused(BOOL ok, bool* used) {
  *used = ok != FALSE;
  return ok || GetLastError() == ERROR_INVALID_HANDLE;
}

TEST(HandleTable, CallsRacingCloseSeeTheObjectOrAnInvalidHandle) {
  auto mutex = [](const std::string& name) { return CreateMutexA(nullptr, FALSE, name.c_str()); };
  auto event = [](const std::string& name) {
    return CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  };
  auto semaphore = [](const std::string& name) {
    return CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, name.c_str());
  };
  RaceCallsWithClose(mutex, [](HANDLE h, bool* used) {
    SetLastError(0);
    DWORD r = WaitForSingleObject(h, 0);
    if (r != WAIT_OBJECT_0) return r == WAIT_FAILED && GetLastError() == ERROR_INVALID_HANDLE;
    // Closed in between: refused, and the ownership goes with the object.
    return Refused(ReleaseMutex(h), used);
  });
  RaceCallsWithClose(event, [](HANDLE h, bool* used) { return Refused(SetEvent(h), used); });
  RaceCallsWithClose(event, [](HANDLE h, bool* used) { return Refused(ResetEvent(h), used); });
  RaceCallsWithClose(event, [](HANDLE h, bool* used) { return Refused(PulseEvent(h), used); });
  RaceCallsWithClose(semaphore, [](HANDLE h, bool* used) {
    return Refused(ReleaseSemaphore(h, 1, nullptr), used);
  });
}

// Stops a thread inside a call on a named event, at the call's first touch of the
// event's shared state: the page is made inaccessible, and the fault's handler
// runs action on that thread, within the call, before the call goes on.
char* g_trapped = nullptr;
std::function<void()> g_trap_action;

void OnTrap(int, siginfo_t* info, void*) {
  char* at = static_cast<char*>(info->si_addr);
  if (g_trapped == nullptr || at < g_trapped || at >= g_trapped + 4096) {
    signal(SIGSEGV, SIG_DFL);  // a real fault: crash on return
    return;
  }
  g_trap_action();
  mprotect(g_trapped, 4096, PROT_READ | PROT_WRITE);
  g_trapped = nullptr;
}

// The first page of a named object's file as this process maps it (found by the
// file's inode: the file was mapped before it was linked under its name).
char* MappedPage(const std::string& name) {
  struct stat st;
  std::string path = std::string(getenv("QX_RUNTIME_DIR")) + "/kobj/global/" + name;
  if (stat(path.c_str(), &st) != 0) return nullptr;
  FILE* maps = fopen("/proc/self/maps", "r");
  char line[4096];
  char* page = nullptr;
  while (page == nullptr && fgets(line, sizeof line, maps)) {
    unsigned long long start = 0, inode = 0;
    if (sscanf(line, "%llx-%*x %*s %*s %*s %llu", &start, &inode) == 2 && inode == st.st_ino)
      page = reinterpret_cast<char*>(start);
  }
  fclose(maps);
  return page;
}

void Trap(const std::string& name, std::function<void()> action) {
  struct sigaction on_fault = {};
  on_fault.sa_sigaction = OnTrap;
  on_fault.sa_flags = SA_SIGINFO;
  sigaction(SIGSEGV, &on_fault, nullptr);
  g_trap_action = std::move(action);
  g_trapped = MappedPage(name);
  if (g_trapped == nullptr || mprotect(g_trapped, 4096, PROT_NONE) != 0) _exit(90);
}

// Runs body in a forked child that ends with body's result, or by SIGALRM after
// the given seconds; returns "exit N" or "signal N".
std::string InChild(unsigned seconds, const std::function<int()>& body) {
  pid_t child = fork();
  if (child == 0) {
    alarm(seconds);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status));
}

// What the children report.
constexpr int kClosedUnderACall = 10;  // CloseHandle returned while a call used the object
constexpr int kSpun = 11;              // CloseHandle burnt its core while it waited

// Waits, inside the trapped call, until CloseHandle has run for a while, then
// fails the child if CloseHandle returned: the call still holds the object.
void HoldWhileClosing(std::atomic<int>& phase, const std::function<void()>& meanwhile) {
  phase = 1;
  while (phase < 2) usleep(1000);
  usleep(50000);
  meanwhile();
  for (int i = 0; i < 300; ++i, usleep(1000))
    if (phase == 3) _exit(kClosedUnderACall);
}

double ThreadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

TEST(HandleTable, ASectionNestedInACallDoesNotEndIt) {
  // A signal handler that sets another event while its thread is inside SetEvent:
  // closing the first event must still wait for the interrupted call, and the
  // waiting closer must not spin on its core.
  std::string ended = InChild(20, [] {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, "QX.UNIT.NEST");
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> phase{0};
    Trap("QX.UNIT.NEST", [&] { HoldWhileClosing(phase, [&] { SetEvent(other); }); });
    std::thread user([&] { SetEvent(h); });
    while (phase < 1) usleep(1000);
    phase = 2;
    auto start = std::chrono::steady_clock::now();
    double cpu = ThreadCpuMs();
    CloseHandle(h);
    cpu = ThreadCpuMs() - cpu;
    double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    phase = 3;
    user.join();
    if (cpu > wall / 4) {
      std::fprintf(stderr, "CloseHandle used %.1f ms of processor in %.1f ms\n", cpu, wall);
      return kSpun;
    }
    return WaitForSingleObject(other, 0) == WAIT_OBJECT_0 ? 0 : 1;
  });
  EXPECT_EQ(ended, "exit 0") << kClosedUnderACall << ": closed under the call; " << kSpun
                             << ": the closer spun; signal 14: a close hung";
}

sigjmp_buf g_escape;

TEST(HandleTable, AThreadThatLeftACallAbnormallyLeavesNothingBehindWhenItEnds) {
  // A thread leaves SetEvent from a signal handler, by a jump (and then ends) or
  // by pthread_exit. Its record goes to the next thread, whose calls a close must
  // still wait for; and no close waits for the ended thread.
  for (bool jump : {true, false}) {
    std::string ended = InChild(20, [jump] {
      HANDLE gone = CreateEventA(nullptr, TRUE, FALSE, "QX.UNIT.ENDED");
      Trap("QX.UNIT.ENDED", [jump] {
        if (jump) siglongjmp(g_escape, 1);
        pthread_exit(nullptr);
      });
      std::thread([&] {
        if (sigsetjmp(g_escape, 1) == 0) SetEvent(gone);
      }).join();
      mprotect(g_trapped, 4096, PROT_READ | PROT_WRITE);
      g_trapped = nullptr;

      HANDLE next = CreateEventA(nullptr, TRUE, FALSE, "QX.UNIT.NEXT");
      std::atomic<int> phase{0};
      Trap("QX.UNIT.NEXT", [&] { HoldWhileClosing(phase, [] {}); });
      std::thread user([&] { SetEvent(next); });
      while (phase < 1) usleep(1000);
      phase = 2;
      CloseHandle(next);
      phase = 3;
      user.join();
      CloseHandle(gone);
      return 0;
    });
    EXPECT_EQ(ended, "exit 0") << (jump ? "jump: " : "exit: ") << kClosedUnderACall
                               << ": closed under the call; signal 14: a close hung";
  }
}

TEST(HandleTable, AForkedChildIsNotHeldUpByThreadsLeftBehind) {
  // A thread of the parent inside a wait or release at the fork does not exist in
  // the child: closing a handle there must not wait for it.
  HANDLE busy = CreateMutexA(nullptr, FALSE, nullptr);
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop.load()) {
      WaitForSingleObject(busy, INFINITE);
      ReleaseMutex(busy);
    }
  });
  for (int i = 0; i < 40; ++i) {
    HANDLE doomed = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    pid_t child = fork();
    if (child == 0) _exit(CloseHandle(doomed) && CloseHandle(busy) ? 0 : 1);
    int status = -1;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < give_up)
      usleep(1000);
    if (!WIFEXITED(status)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "the child hung closing a handle, fork " << i;
      break;
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
    CloseHandle(doomed);
  }
  stop = true;
  worker.join();
  CloseHandle(busy);
}

}  // namespace
