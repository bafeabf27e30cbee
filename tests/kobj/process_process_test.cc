// Processes started with CreateProcess: exit codes, waits, termination, start-up
// arguments, and no zombies.
#include <dirent.h>
#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/file.h>
#include <qxplatform/process.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "test_env.h"

namespace {

using qx::testing::BuildBinDir;
using qx::testing::ReadFile;
using qx::testing::TestRoot;

std::string Helper() {
  return BuildBinDir() + "/kobj_helper";
}

// Starts the helper with a command line; the handles, or a failed test.
PROCESS_INFORMATION Start(const std::string& args, DWORD flags = 0, void* env = nullptr,
                          const char* cwd = nullptr, STARTUPINFOA* si = nullptr) {
  std::string line = qx::platform::QuoteArgument(Helper()) + " " + args;
  PROCESS_INFORMATION pi{};
  STARTUPINFOA plain{};
  plain.cb = sizeof plain;
  EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, flags, env, cwd,
                             si ? si : &plain, &pi))
      << GetLastError();
  return pi;
}

DWORD ExitCodeOf(PROCESS_INFORMATION& pi) {
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 12345;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return code;
}

// Children of this process that have ended and were not reaped.
int Zombies() {
  int count = 0;
  DIR* d = opendir("/proc");
  while (dirent* e = readdir(d)) {
    std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state;
    int ppid;
    if (std::sscanf(stat.c_str() + close + 2, "%c %d", &state, &ppid) == 2 && state == 'Z' &&
        ppid == getpid())
      ++count;
  }
  closedir(d);
  return count;
}

TEST(Process, ExitCodesTerminationAndTimedWaits) {
  auto pi = Start("exit 7");
  EXPECT_EQ(ExitCodeOf(pi), 7u);
  pi = Start("exit -2");
  EXPECT_EQ(ExitCodeOf(pi), 254u);  // Linux keeps the low 8 bits

  pi = Start("sleep 20000");
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 50), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_TRUE(GetExitCodeThread(pi.hThread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(GetProcessId(pi.hProcess), pi.dwProcessId);
  // Waiting on several: the thread handle and an event; the process ends first.
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE pair[2] = {ev, pi.hThread};
  EXPECT_TRUE(TerminateProcess(pi.hProcess, 42));
  EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 10000), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(TerminateProcess(pi.hProcess, 99));  // already ended: keeps its code
  EXPECT_EQ(ExitCodeOf(pi), 42u);
  CloseHandle(ev);

  // A process killed by someone else reports 128 + the signal.
  pi = Start("sleep 20000");
  kill(pid_t(pi.dwProcessId), SIGTERM);
  EXPECT_EQ(ExitCodeOf(pi), 128u + SIGTERM);
}

TEST(Process, EnvironmentBlockWorkingFolderAndStandardHandles) {
  std::string out_path = TestRoot() + "/out.txt";
  HANDLE out = CreateFileA(out_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  const char block[] = "=C:=C:\\\0QX_ONE=first value\0OTHER=2\0";
  auto pi =
      Start("echo-env QX_ONE", DETACHED_PROCESS, const_cast<char*>(block), TestRoot().c_str(), &si);
  EXPECT_EQ(ExitCodeOf(pi), 0u);
  CloseHandle(out);
  EXPECT_EQ(ReadFile(out_path), "first value " + TestRoot() + "\n");

  // Wide: a UTF-16 block and names.
  out = CreateFileA(out_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  si.hStdOutput = out;
  const char16_t wblock[] = u"QX_ONE=\u00e9t\u00e9\0";
  std::u16string line = u"\"" + qx::platform::Utf8ToUtf16(Helper()).value() + u"\" echo-env QX_ONE";
  STARTUPINFOW wsi{};
  wsi.cb = sizeof wsi;
  wsi.dwFlags = STARTF_USESTDHANDLES;
  wsi.hStdOutput = out;
  PROCESS_INFORMATION wpi{};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT, const_cast<char16_t*>(wblock), u"/", &wsi,
                             &wpi));
  EXPECT_EQ(ExitCodeOf(wpi), 0u);
  CloseHandle(out);
  EXPECT_EQ(ReadFile(out_path), "\xc3\xa9t\xc3\xa9 /\n");
}

TEST(Process, StartFailuresAreReportedNotHidden) {
  PROCESS_INFORMATION pi{};
  STARTUPINFOA si{};
  char missing[] = "qx-no-such-program.exe arg";
  EXPECT_FALSE(
      CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  std::string line = Helper() + " exit 0";
  EXPECT_FALSE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              "/no/such/folder", &si, &pi));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));
  std::string script = TestRoot() + "/not-a-program";
  qx::testing::WriteFile(script, "garbage");
  chmod(script.c_str(), 0755);
  EXPECT_FALSE(CreateProcessA(script.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &si, &pi));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_FORMAT));
  // A ".exe" name finds the program without it, and PATH is searched.
  char sh[] = "sh.exe -c \"exit 3\"";
  ASSERT_TRUE(CreateProcessA(nullptr, sh, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_EQ(ExitCodeOf(pi), 3u);
  EXPECT_EQ(Zombies(), 0);
}

TEST(Process, TwoHundredShortProcessesLeaveNoZombie) {
  for (int i = 0; i < 200; ++i) {
    auto pi = Start("exit " + std::to_string(i % 256));
    ASSERT_EQ(ExitCodeOf(pi), DWORD(i % 256));
  }
  EXPECT_EQ(Zombies(), 0);
  // Handles closed before the processes end: the reaper collects them.
  for (int i = 0; i < 20; ++i) {
    auto pi = Start("sleep 20");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int left;
  do {
    Sleep(50);
    left = Zombies();
  } while (left > 0 && std::chrono::steady_clock::now() < until);
  EXPECT_EQ(left, 0);
}

}  // namespace
