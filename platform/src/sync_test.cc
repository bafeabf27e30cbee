// Mutexes, semaphores, timers, names and security within one process (the
// cross-process behaviour is tested with real processes in tests/kobj).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <pthread.h>
#include <qxplatform/errors.h>
#include <qxplatform/security.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "named_object.h"
#include "test_env.h"

namespace {

std::string ObjectFile(const std::string& ns, const std::string& file) {
  return std::string(getenv("QX_RUNTIME_DIR")) + "/kobj/" + ns + "/" + file;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

TEST(Mutex, RecursiveForTheOwnerRefusedToOthersAbandonedByAnEndingThread) {
  HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // depth 2
  DWORD other = 0, other_release = 0, err = 0;
  std::thread([&] {
    other = WaitForSingleObject(m, 20);
    other_release = ReleaseMutex(m);
    err = GetLastError();
  }).join();
  EXPECT_EQ(other, WAIT_TIMEOUT);
  EXPECT_FALSE(other_release);
  EXPECT_EQ(err, DWORD(ERROR_NOT_OWNER));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));  // depth 0 now
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));

  // A thread that ends owning the mutex abandons it, once.
  std::thread([&] { other = WaitForSingleObject(m, 1000); }).join();
  EXPECT_EQ(other, WAIT_OBJECT_0);
  HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE pair[2] = {ev, m};
  EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 1000), WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(ev);
  CloseHandle(m);
}

// A thread that takes a mutex and ends, abandoning it, when told.
class DoomedOwner {
 public:
  explicit DoomedOwner(HANDLE mutex) : go_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    std::atomic<bool> owned{false};
    thread_ = std::thread([&] {
      DWORD r = WaitForSingleObject(mutex, 0);
      EXPECT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) << r;
      owned = true;
      WaitForSingleObject(go_, INFINITE);
    });
    while (!owned) std::this_thread::yield();
  }
  ~DoomedOwner() {
    End();
    CloseHandle(go_);
  }
  // Returns once the thread ended and the kernel marked the mutex abandoned.
  void End() {
    if (!thread_.joinable()) return;
    SetEvent(go_);
    thread_.join();
  }

 private:
  HANDLE go_;
  std::thread thread_;
};

// Holds the guard lock of a named timer, as a timer call in another process may
// for a moment, so that a wait-any reaching the timer stops there until Open():
// after it tried the objects before the timer and before it chooses how to sleep.
class TimerGate {
 public:
  TimerGate() {
    timer_ = CreateWaitableTimerA(nullptr, TRUE, "QX.UNIT.GATE");
    int fd = ::open(ObjectFile("global", "QX.UNIT.GATE").c_str(), O_RDWR | O_CLOEXEC);
    page_ = ::mmap(nullptr, qx::platform::kObjectPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    EXPECT_NE(page_, MAP_FAILED);
    guard_ = &reinterpret_cast<qx::platform::SyncBlock*>(static_cast<char*>(page_) +
                                                         qx::platform::kSyncOffset)
                  ->lock;
    EXPECT_EQ(pthread_mutex_lock(guard_), 0);
  }
  ~TimerGate() {
    Open();
    ::munmap(page_, qx::platform::kObjectPage);
    CloseHandle(timer_);
  }
  HANDLE handle() const { return timer_; }
  // Returns once a thread blocks on the guard.
  void AwaitArrival() {
    while ((__atomic_load_n(&guard_->__data.__lock, __ATOMIC_ACQUIRE) & FUTEX_WAITERS) == 0)
      usleep(100);
  }
  void Open() {
    if (!open_) pthread_mutex_unlock(guard_);
    open_ = true;
  }

 private:
  HANDLE timer_;
  void* page_;
  pthread_mutex_t* guard_;
  bool open_ = false;
};

// A wait-any on handles (the mutex among them), in a thread, while step runs
// here. A wait still asleep 10 s after the step is woken by setting rescue (an
// event among the handles), so that a missed wake-up fails as a wrong result
// instead of hanging the test. The waiting thread gives the mutex back.
DWORD WaitAcross(std::vector<HANDLE> handles, HANDLE mutex, HANDLE rescue,
                 const std::function<void()>& step) {
  std::atomic<DWORD> result{WAIT_FAILED};
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    DWORD r = WaitForMultipleObjects(DWORD(handles.size()), handles.data(), FALSE, 60000);
    if (r != WAIT_TIMEOUT && r != WAIT_FAILED && handles[r & 0x7F] == mutex) ReleaseMutex(mutex);
    result = r;
    done = true;
  });
  step();
  for (int i = 0; i < 1000 && !done; ++i) usleep(10000);
  if (!done) SetEvent(rescue);
  waiter.join();
  ResetEvent(rescue);
  return result;
}

TEST(Mutex, AbandonmentWakesAWaitOnSeveralObjectsWheneverTheOwnerEnds) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  // The wait is asleep when the owner ends.
  {
    DoomedOwner owner(m);
    EXPECT_EQ(WaitAcross({e, m}, m, e,
                         [&] {
                           usleep(50000);
                           owner.End();
                         }),
              WAIT_ABANDONED_0 + 1);
  }
  // The owner ends after the wait found the mutex owned, before it chose how to
  // sleep: the lock then names no owner, but is not free either.
  {
    DoomedOwner owner(m);
    TimerGate gate;
    EXPECT_EQ(WaitAcross({e, m, gate.handle()}, m, e,
                         [&] {
                           gate.AwaitArrival();
                           owner.End();
                           gate.Open();
                         }),
              WAIT_ABANDONED_0 + 1);
  }
  // The same, and meanwhile a wait-all looks at the mutex (and finds the event of
  // its own unset): the look must not leave the mutex free behind the first wait's
  // back.
  {
    DoomedOwner owner(m);
    TimerGate gate;
    HANDLE unset = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[2] = {m, unset};
    EXPECT_EQ(WaitAcross({e, m, gate.handle()}, m, e,
                         [&] {
                           gate.AwaitArrival();
                           owner.End();
                           EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
                           gate.Open();
                         }),
              WAIT_ABANDONED_0 + 1);
    CloseHandle(unset);
  }
  // Told once: the mutex is plainly free now.
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
  CloseHandle(e);
}

TEST(Mutex, ClosedWhileOwnedStaysMappedForTheThreadsOtherMutexes) {
  // The C library lists a thread's robust mutexes newest first, and the kernel
  // walks that list when the thread ends; a page unmapped under the list would
  // end the walk and leave the older mutex owned by a dead thread forever.
  HANDLE older = CreateMutexA(nullptr, FALSE, nullptr);
  std::thread([&] {
    HANDLE named = CreateMutexA(nullptr, FALSE, "QX.UNIT.OWNED.CLOSED");
    EXPECT_EQ(WaitForSingleObject(older, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(named, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(named));
  }).join();
  EXPECT_EQ(WaitForSingleObject(older, 2000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(older));
  // The name went with the last handle; a new mutex under it starts free.
  HANDLE again = CreateMutexA(nullptr, FALSE, "QX.UNIT.OWNED.CLOSED");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(again));
  CloseHandle(again);
  CloseHandle(older);
}

TEST(Mutex, NamedInitialOwnerOnlyForTheCreator) {
  HANDLE a = CreateMutexA(nullptr, TRUE, "QX.UNIT.MX");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  DWORD got = 0, existed = 0;
  std::thread([&] {
    HANDLE b = CreateMutexA(nullptr, TRUE, "QX.UNIT.MX");  // exists: no ownership
    existed = GetLastError();
    got = WaitForSingleObject(b, 0);
    CloseHandle(b);
  }).join();
  EXPECT_EQ(existed, DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(got, WAIT_TIMEOUT);
  HANDLE c = OpenMutexA(SYNCHRONIZE, FALSE, "QX.UNIT.MX");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  EXPECT_TRUE(ReleaseMutex(c));  // same object, same owner thread
  CloseHandle(c);
  CloseHandle(a);
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "QX.UNIT.MX"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(Names, AForkedChildClosingItsCopyLeavesTheObjectToItsParent) {
  HANDLE e = CreateEventA(nullptr, TRUE, TRUE, "QX.UNIT.FORK");
  pid_t child = fork();
  if (child == 0) {
    CloseHandle(e);  // the child shares the parent's hold; it must not free the name
    _exit(OpenEventA(SYNCHRONIZE, FALSE, "QX.UNIT.FORK") == nullptr ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  HANDLE again = OpenEventA(SYNCHRONIZE, FALSE, "QX.UNIT.FORK");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
  CloseHandle(again);
  CloseHandle(e);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "QX.UNIT.FORK"), nullptr);
}

TEST(Semaphore, CountsStayWithinZeroAndTheMaximum) {
  EXPECT_EQ(CreateSemaphoreA(nullptr, 3, 2, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateSemaphoreA(nullptr, 0, 0, nullptr), nullptr);
  EXPECT_EQ(CreateSemaphoreA(nullptr, -1, 2, nullptr), nullptr);
  HANDLE s = CreateSemaphoreW(nullptr, 1, 3, u"QX.UNIT.SEM");
  ASSERT_NE(s, nullptr);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(s, 2, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_POSTS));
  EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  HANDLE same = OpenSemaphoreA(SYNCHRONIZE, FALSE, "QX.UNIT.SEM");  // wide and narrow agree
  ASSERT_NE(same, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(same, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
  // A waiter sleeps until a release.
  std::thread t([&] {
    Sleep(30);
    ReleaseSemaphore(s, 1, nullptr);
  });
  EXPECT_EQ(WaitForSingleObject(same, 5000), WAIT_OBJECT_0);
  t.join();
  CloseHandle(s);
  CloseHandle(same);
}

TEST(Timer, RelativeAbsolutePeriodicAndCancelled) {
  HANDLE t = CreateWaitableTimerA(nullptr, TRUE, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);  // never set
  LARGE_INTEGER due;
  due.QuadPart = -50 * 10000;  // 50 ms from now
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(SetWaitableTimer(t, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // manual: stays signalled

  // Synchronization timer, periodic: one waiter per expiry.
  HANDLE p = CreateWaitableTimerA(nullptr, FALSE, "QX.UNIT.TIMER");
  due.QuadPart = -10 * 10000;
  ASSERT_TRUE(SetWaitableTimer(p, &due, 20, nullptr, nullptr, FALSE));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(p, 2000), WAIT_OBJECT_0);
  ASSERT_TRUE(CancelWaitableTimer(p));
  EXPECT_EQ(WaitForSingleObject(p, 60), WAIT_TIMEOUT);

  // An absolute time in the past (FILETIME 1) expires at once; completion routines
  // are refused.
  due.QuadPart = 1;
  ASSERT_TRUE(SetWaitableTimer(p, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_EQ(WaitForSingleObject(p, 1000), WAIT_OBJECT_0);
  EXPECT_FALSE(SetWaitableTimer(
      p, &due, 0, [](LPVOID, DWORD, DWORD) {}, nullptr, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
  CloseHandle(t);
  CloseHandle(p);
}

TEST(Names, NamespacesSessionsAndBadNames) {
  setenv("QX_SESSION_ID", "3", 1);
  HANDLE local = CreateEventA(nullptr, TRUE, FALSE, "QX.NS");
  EXPECT_TRUE(Exists(ObjectFile("session-3", "QX.NS")));
  HANDLE same = OpenEventA(SYNCHRONIZE, FALSE, "Local\\QX.NS");
  HANDLE also = OpenEventA(SYNCHRONIZE, FALSE, "session\\3\\QX.NS");  // prefixes ignore case
  EXPECT_NE(same, nullptr);
  EXPECT_NE(also, nullptr);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Global\\QX.NS"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "qx.ns"), nullptr);  // names keep their case
  unsetenv("QX_SESSION_ID");
  // Session 0's local namespace is the global one.
  HANDLE g = CreateEventA(nullptr, TRUE, FALSE, "Session\\0\\QX.G");
  EXPECT_TRUE(Exists(ObjectFile("global", "QX.G")));
  EXPECT_NE(OpenEventA(SYNCHRONIZE, FALSE, "Local\\QX.G"), nullptr);
  // Characters outside the plain set are encoded, so any name makes one file.
  HANDLE odd = CreateEventA(nullptr, TRUE, FALSE, "Global\\.a/b %\xc3\xa9");
  ASSERT_NE(odd, nullptr);
  EXPECT_TRUE(Exists(ObjectFile("global", "%2Ea%2Fb%20%25%C3%A9")));

  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Nowhere\\x"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Session\\x\\y"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, std::string(MAX_PATH + 1, 'n').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  const char16_t bad[] = {u'Q', 0xD800, 0};
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, bad), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
  // An empty name makes an unnamed object.
  HANDLE unnamed = CreateEventA(nullptr, TRUE, TRUE, "");
  EXPECT_EQ(WaitForSingleObject(unnamed, 0), WAIT_OBJECT_0);
  for (HANDLE h : {local, same, also, g, odd, unnamed}) CloseHandle(h);
}

TEST(Security, EveryoneDescriptorGivesMode0666AndNoneGives0600) {
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  SECURITY_ATTRIBUTES everyone{sizeof(SECURITY_ATTRIBUTES), &sd, FALSE};
  HANDLE open = CreateMutexA(&everyone, FALSE, "QX.OPEN");
  HANDLE closed = CreateSemaphoreA(nullptr, 0, 1, "QX.CLOSED");
  struct stat st;
  ASSERT_EQ(::stat(ObjectFile("global", "QX.OPEN").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  ASSERT_EQ(::stat(ObjectFile("global", "QX.CLOSED").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // A descriptor with a real (non-null) list is not "everyone".
  ACL acl{};
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE));
  HANDLE listed = CreateEventA(&everyone, FALSE, FALSE, "QX.LISTED");
  ASSERT_EQ(::stat(ObjectFile("global", "QX.LISTED").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  for (HANDLE h : {open, closed, listed}) CloseHandle(h);
  EXPECT_FALSE(Exists(std::string(getenv("QX_RUNTIME_DIR")) + "/kobj"));
}

TEST(Wait, MixedKindsTimeOutsAndBadArguments) {
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "QX.MIX.E");
  HANDLE s = CreateSemaphoreA(nullptr, 0, 5, "QX.MIX.S");
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  HANDLE all[3] = {e, s, m};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForMultipleObjects(3, all, TRUE, 40), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(35));
  // Wait-all took nothing: the mutex is still free for another thread.
  DWORD other = 0;
  std::thread([&] {
    other = WaitForSingleObject(m, 0);
    ReleaseMutex(m);
  }).join();
  EXPECT_EQ(other, WAIT_OBJECT_0);
  std::thread t([&] {
    Sleep(20);
    ReleaseSemaphore(s, 1, nullptr);
    Sleep(20);
    SetEvent(e);
  });
  EXPECT_EQ(WaitForMultipleObjects(3, all, TRUE, 5000), WAIT_OBJECT_0);
  t.join();
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  // The same named object through two handles counts as one in a wait-all.
  HANDLE e2 = OpenEventA(SYNCHRONIZE, FALSE, "QX.MIX.E");
  HANDLE twice[2] = {e, e2};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
  for (auto& h : many) h = e;
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0), WAIT_TIMEOUT);
  for (HANDLE h : {e, s, m, e2}) CloseHandle(h);
}

}  // namespace
