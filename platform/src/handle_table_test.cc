// The handle table: stale handles, growth, and the uncounted reads of the wait and
// release paths racing CloseHandle (a fault here is a use after free, which the
// sanitizer build reports and a named object's unmapped page turns into a crash).
#include <gtest/gtest.h>
#include <pthread.h>
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

TEST(HandleTable, WaitsAndReleasesRacingCloseSeeTheObjectOrAnInvalidHandle) {
  struct sigaction action = {}, previous;
  action.sa_handler = Stall;
  action.sa_flags = SA_RESTART;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  std::atomic<HANDLE> current{nullptr};
  std::atomic<bool> stop{false};
  std::atomic<int> taken{0}, wrong{0};
  std::thread user([&] {
    while (!stop.load()) {
      HANDLE h = current.load();
      SetLastError(0);
      DWORD r = WaitForSingleObject(h, 0);
      if (r == WAIT_OBJECT_0) {
        ++taken;
        // Closed in between: refused, and the ownership goes with the object.
        if (!ReleaseMutex(h) && GetLastError() != ERROR_INVALID_HANDLE) ++wrong;
      } else if (r != WAIT_FAILED || GetLastError() != ERROR_INVALID_HANDLE) {
        ++wrong;
      }
    }
  });
  // Named, so that the state of a closed mutex is unmapped at once. The user is
  // mostly inside a wait or a release; a stall that lands there overlaps the close.
  for (int round = 0; round < 30; ++round) {
    HANDLE h = CreateMutexA(nullptr, FALSE, ("QX.UNIT.RACE." + std::to_string(round)).c_str());
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
  EXPECT_GT(taken.load(), 0);
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
