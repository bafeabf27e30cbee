// Mutexes, events, semaphores and waits shared by real processes.
#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/mapping.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "test_env.h"

using qx::testing::Child;
using qx::testing::RuntimeLeftovers;

namespace {

// Reads one line from each child that has not spoken yet, giving each the time:
// the number of children that spoke now, and what they said. done marks who has.
int CountLines(std::vector<std::unique_ptr<Child>>& children, std::vector<bool>& done,
               int timeout_ms, std::vector<std::string>* lines) {
  int spoke = 0;
  done.resize(children.size());
  for (size_t i = 0; i < children.size(); ++i) {
    if (done[i]) continue;
    std::string line = children[i]->ReadLine(timeout_ms);
    if (line == "<timeout>") continue;
    ++spoke;
    done[i] = true;
    if (lines) lines->push_back(line);
  }
  return spoke;
}

TEST(ProcessMutex, OwnerKilledAHundredTimesNextWaiterGetsAbandonedAndOwns) {
  const char* name = "Global\\QX.TEST.ABANDON";
  HANDLE mine = CreateMutexA(nullptr, FALSE, name);
  ASSERT_NE(mine, nullptr);
  // A chain of processes: each waits while the one before owns the mutex, and is
  // the next to be killed.
  auto owner = std::make_unique<Child>(std::vector<std::string>{"mutex-hold", name});
  ASSERT_EQ(owner->ReadLine(), "owned");
  int recoveries = 0;
  for (int i = 0; i < 100; ++i) {
    auto next = std::make_unique<Child>(std::vector<std::string>{"mutex-take", name});
    ASSERT_EQ(next->ReadLine(), "waiting");
    owner->Kill();
    std::string got = next->ReadLine();
    ASSERT_EQ(got, "abandoned") << "kill " << i;
    ++recoveries;
    owner = std::move(next);
  }
  EXPECT_EQ(recoveries, 100);
  owner->Kill();
  // This process is the next waiter now, and the mutex works normally afterwards.
  EXPECT_EQ(WaitForSingleObject(mine, 5000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mine));
  EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mine));
  EXPECT_FALSE(ReleaseMutex(mine));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
  EXPECT_TRUE(CloseHandle(mine));
  EXPECT_TRUE(RuntimeLeftovers().empty());
}

TEST(ProcessMutex, AbandonmentSeenByAWaitOnSeveralObjects) {
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, "QX.TEST.AB.EV");
  HANDLE m = CreateMutexA(nullptr, FALSE, "QX.TEST.AB.MX");
  Child owner({"mutex-hold", "QX.TEST.AB.MX"});
  ASSERT_EQ(owner.ReadLine(), "owned");
  HANDLE both[2] = {ev, m};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 50), WAIT_TIMEOUT);
  owner.Kill();
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(m));

  // The owner is killed while another process's wait on both sleeps: the wait
  // ends long before its time-out (the event is set only as a last resort, so
  // that a missed wake-up shows as the wrong answer instead of a slow test).
  Child holder({"mutex-hold", "QX.TEST.AB.MX"});
  ASSERT_EQ(holder.ReadLine(), "owned");
  Child waiter({"wait-any", "60000", "QX.TEST.AB.EV", "QX.TEST.AB.MX"});
  ASSERT_EQ(waiter.ReadLine(), "ready");
  EXPECT_EQ(waiter.ReadLine(100), "<timeout>");  // asleep
  holder.Kill();
  std::string got = waiter.ReadLine(10000);
  if (got == "<timeout>") {
    SetEvent(ev);
    got = waiter.ReadLine();
  }
  EXPECT_EQ(got, "abandoned 1");
  CloseHandle(ev);
  CloseHandle(m);
}

TEST(ProcessFork, AProgramsForkHandlerMayCloseHandlesInTheChild) {
  // The program registers its handler before its first call on an event; the
  // library's own handler, which forgets the parent's other threads, must still
  // run first in the child.
  Child program({"fork-close", "40"});
  EXPECT_EQ(program.ReadLine(60000), "done");
  EXPECT_EQ(program.Wait(), 0);
}

TEST(ProcessEvent, AutoResetWakesExactlyOneManualResetAll) {
  HANDLE autoev = CreateEventA(nullptr, FALSE, FALSE, "QX.TEST.AUTO");
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, "QX.TEST.MANUAL");
  ASSERT_NE(autoev, nullptr);
  ASSERT_NE(manual, nullptr);

  std::vector<std::unique_ptr<Child>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(
        std::make_unique<Child>(std::vector<std::string>{"event-wait", "QX.TEST.AUTO", "20000"}));
    ASSERT_EQ(waiters.back()->ReadLine(), "ready");
  }
  Sleep(100);  // let them reach the wait
  std::vector<bool> done;
  for (int round = 1; round <= 4; ++round) {
    ASSERT_TRUE(SetEvent(autoev));
    std::vector<std::string> lines;
    // Exactly one more waiter comes out per SetEvent: the first look waits long
    // enough for one, the second finds nobody else.
    int spoke = 0;
    for (int tries = 0; tries < 20 && spoke == 0; ++tries)
      spoke = CountLines(waiters, done, 100, &lines);
    spoke += CountLines(waiters, done, 200, &lines);
    EXPECT_EQ(spoke, 1) << "round " << round;
    for (auto& l : lines) EXPECT_EQ(l, "signaled");
  }
  EXPECT_EQ(WaitForSingleObject(autoev, 0), WAIT_TIMEOUT);  // consumed, not left set
  for (auto& w : waiters) EXPECT_EQ(w->Wait(), 0);

  waiters.clear();
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(
        std::make_unique<Child>(std::vector<std::string>{"event-wait", "QX.TEST.MANUAL", "20000"}));
    ASSERT_EQ(waiters.back()->ReadLine(), "ready");
  }
  Sleep(100);
  ASSERT_TRUE(SetEvent(manual));
  std::vector<std::string> lines;
  done.clear();
  EXPECT_EQ(CountLines(waiters, done, 5000, &lines), 4);
  for (auto& l : lines) EXPECT_EQ(l, "signaled");
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // stays set
  CloseHandle(autoev);
  CloseHandle(manual);
}

TEST(ProcessSemaphore, NeverExceedsItsMaximum) {
  HANDLE s = CreateSemaphoreA(nullptr, 0, 3, "QX.TEST.SEM");
  ASSERT_NE(s, nullptr);
  // Four processes release 50 times each at once: only three releases can succeed,
  // and every other one fails with error 298.
  std::vector<std::unique_ptr<Child>> releasers;
  for (int i = 0; i < 4; ++i)
    releasers.push_back(
        std::make_unique<Child>(std::vector<std::string>{"sem-release", "QX.TEST.SEM", "50"}));
  int ok_total = 0;
  for (auto& r : releasers) {
    int ok = -1, fails = -1, bad = -1;
    ASSERT_EQ(std::sscanf(r->ReadLine().c_str(), "%d %d %d", &ok, &fails, &bad), 3);
    EXPECT_EQ(ok + fails, 50);
    EXPECT_EQ(bad, 0);
    ok_total += ok;
  }
  EXPECT_EQ(ok_total, 3);
  LONG previous = -1;
  EXPECT_FALSE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_POSTS));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);

  // As a guard: at most two processes inside at once, never more.
  HANDLE guard = CreateSemaphoreA(nullptr, 2, 2, "QX.TEST.GUARD");
  HANDLE cells =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64, "QX.TEST.CELLS");
  ASSERT_NE(cells, nullptr);
  auto* counters = static_cast<std::atomic<int>*>(MapViewOfFile(cells, FILE_MAP_READ, 0, 0, 0));
  std::vector<std::unique_ptr<Child>> workers;
  for (int i = 0; i < 5; ++i)
    workers.push_back(std::make_unique<Child>(
        std::vector<std::string>{"sem-guard", "QX.TEST.GUARD", "QX.TEST.CELLS", "200"}));
  for (auto& w : workers) {
    EXPECT_EQ(w->ReadLine(30000), "done");
    EXPECT_EQ(w->Wait(), 0);
  }
  EXPECT_EQ(counters[0].load(), 0);
  EXPECT_GE(counters[1].load(), 1);
  EXPECT_LE(counters[1].load(), 2);
  UnmapViewOfFile(counters);
  CloseHandle(cells);
  CloseHandle(guard);
  CloseHandle(s);
}

TEST(ProcessWait, AnyGivesTheLowestSignalledIndexAllTakesAllOrNothing) {
  HANDLE e[3];
  const char* names[3] = {"QX.TEST.W0", "QX.TEST.W1", "QX.TEST.W2"};
  for (int i = 0; i < 3; ++i) e[i] = CreateEventA(nullptr, TRUE, FALSE, names[i]);
  SetEvent(e[2]);
  SetEvent(e[1]);
  {
    Child c({"wait-any", "5000", names[0], names[1], names[2]});
    EXPECT_EQ(c.ReadLine(), "ready");
    EXPECT_EQ(c.ReadLine(), "object 1");
  }
  ResetEvent(e[1]);
  ResetEvent(e[2]);
  {
    // Nothing set yet: the wait sleeps until another process signals index 2.
    Child c({"wait-any", "10000", names[0], names[1], names[2]});
    EXPECT_EQ(c.ReadLine(), "ready");
    Sleep(50);
    SetEvent(e[2]);
    EXPECT_EQ(c.ReadLine(), "object 2");
  }

  // Wait-all over a semaphore and an unset event: the semaphore must not be taken.
  HANDLE s = CreateSemaphoreA(nullptr, 1, 1, "QX.TEST.WS");
  ResetEvent(e[0]);
  {
    Child c({"wait-all", "300", "QX.TEST.WS", names[0]});
    EXPECT_EQ(c.ReadLine(), "ready");
    EXPECT_EQ(c.ReadLine(), "timeout");
  }
  LONG previous = -1;
  EXPECT_FALSE(ReleaseSemaphore(s, 1, &previous));  // still at its maximum of 1
  {
    Child c({"wait-all", "10000", "QX.TEST.WS", names[0]});
    EXPECT_EQ(c.ReadLine(), "ready");
    Sleep(50);
    SetEvent(e[0]);
    EXPECT_EQ(c.ReadLine(), "object 0");
  }
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);  // taken with the event
  for (HANDLE h : e) CloseHandle(h);
  CloseHandle(s);
}

TEST(ProcessLifetime, ObjectOutlivesItsKilledCreatorAndNameFreesWithLastHandle) {
  Child creator({"event-hold", "Global\\QX.TEST.LIFE"});
  ASSERT_EQ(creator.ReadLine(), "ready");
  HANDLE h = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Global\\QX.TEST.LIFE");
  ASSERT_NE(h, nullptr);
  creator.Kill();
  // Still there, with its state, for this holder and for anyone opening it again.
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  HANDLE again = OpenEventA(EVENT_ALL_ACCESS, FALSE, "QX.TEST.LIFE");  // session 0 = global
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
  // Another kind under the name fails with error 6.
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Global\\QX.TEST.LIFE"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenSemaphoreA(SYNCHRONIZE, FALSE, "Global\\QX.TEST.LIFE"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  CloseHandle(h);
  CloseHandle(again);
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Global\\QX.TEST.LIFE"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(RuntimeLeftovers().empty());
}

TEST(ProcessLifetime, StaleObjectOfDeadProcessesIsMadeAfresh) {
  {
    Child creator({"event-hold", "QX.TEST.STALE"});
    ASSERT_EQ(creator.ReadLine(), "ready");
  }  // killed: nobody holds the object, but its file is still there
  EXPECT_FALSE(RuntimeLeftovers().empty());
  HANDLE h = CreateEventA(nullptr, FALSE, FALSE, "QX.TEST.STALE");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));     // a new object, not the dead one
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);  // its own initial state
  CloseHandle(h);
  // An Open finds nothing where only a stale file is left.
  {
    Child creator({"event-hold", "QX.TEST.STALE"});
    ASSERT_EQ(creator.ReadLine(), "ready");
  }
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "QX.TEST.STALE"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(RuntimeLeftovers().empty());
}

TEST(ProcessMapping, PageFileMappingOf524BytesWrittenByOneReadByAnother) {
  Child writer({"map-write", "Global\\QX_SP_COMMON_STORAGE", "written by the writer"});
  ASSERT_EQ(writer.ReadLine(), "ready");
  Child reader({"map-read", "Global\\QX_SP_COMMON_STORAGE"});
  EXPECT_EQ(reader.ReadLine(), "written by the writer");
  EXPECT_EQ(reader.Wait(), 0);
  // The size is the creator's.
  HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 9999,
                                "Global\\QX_SP_COMMON_STORAGE");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 525), nullptr);
  char* view = static_cast<char*>(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 524));
  ASSERT_NE(view, nullptr);
  writer.Kill();
  CloseHandle(m);
  // The view keeps the mapping, and its name, alive.
  Child late({"map-read", "Global\\QX_SP_COMMON_STORAGE"});
  EXPECT_EQ(late.ReadLine(), "written by the writer");
  EXPECT_EQ(late.Wait(), 0);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\QX_SP_COMMON_STORAGE"), nullptr);
  EXPECT_TRUE(RuntimeLeftovers().empty());
}

}  // namespace
