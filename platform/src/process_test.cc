// Command-line splitting and threads (processes are tested in tests/kobj).
#include <gtest/gtest.h>
#include <qxplatform/errors.h>
#include <qxplatform/pipe.h>
#include <qxplatform/process.h>
#include <qxplatform/sync.h>
#include <qxplatform/system.h>

#include <atomic>

using qx::platform::QuoteArgument;
using qx::platform::SplitCommandLine;
using Args = std::vector<std::string>;

namespace {

TEST(CommandLine, WindowsSplittingRules) {
  EXPECT_EQ(SplitCommandLine(R"(prog a b)"), (Args{"prog", "a", "b"}));
  EXPECT_EQ(SplitCommandLine("  \tprog\t  a  "), (Args{"prog", "a"}));
  EXPECT_EQ(SplitCommandLine(R"("C:\Program Files\x.exe" "a b" c)"),
            (Args{R"(C:\Program Files\x.exe)", "a b", "c"}));
  // The program name keeps its backslashes and ends at the closing quote.
  EXPECT_EQ(SplitCommandLine(R"(C:\dir\\x\" y)"), (Args{R"(C:\dir\\x\")", "y"}));
  EXPECT_EQ(SplitCommandLine(R"(p a\\\"b)"), (Args{"p", R"(a\"b)"}));     // 2n+1: literal quote
  EXPECT_EQ(SplitCommandLine(R"(p a\\"b c")"), (Args{"p", R"(a\b c)"}));  // 2n: quote groups
  EXPECT_EQ(SplitCommandLine(R"(p a\b\\c)"), (Args{"p", R"(a\b\\c)"}));   // no quote: literal
  EXPECT_EQ(SplitCommandLine(R"(p "a""b" "")"), (Args{"p", R"(a"b)", ""}));
  EXPECT_EQ(SplitCommandLine(R"(p "unterminated arg)"), (Args{"p", "unterminated arg"}));
  EXPECT_EQ(SplitCommandLine(""), Args{});
  for (std::string a :
       {"", "plain", "with space", R"(q"uote)", R"(tail\)", R"(a\\"b)", R"(\\server\share\)"}) {
    EXPECT_EQ(SplitCommandLine("p " + QuoteArgument(a)), (Args{"p", a})) << a;
  }
}

DWORD WINAPI_Return(LPVOID p) {
  return DWORD(reinterpret_cast<uintptr_t>(p));
}
DWORD WINAPI_Exit(LPVOID) {
  ExitThread(77);
  return 1;  // never reached
}

TEST(Threads, ExitCodesWaitsAndSuspension) {
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, WINAPI_Return, reinterpret_cast<LPVOID>(42), 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(GetThreadId(t), id);
  CloseHandle(t);

  t = CreateThread(nullptr, 128 * 1024, WINAPI_Exit, nullptr, CREATE_SUSPENDED, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);  // held
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 77u);
  EXPECT_EQ(ResumeThread(t), 0u);
  CloseHandle(t);

  // A thread suspends itself; another resumes it, retrying until it was suspended.
  HANDLE self = nullptr;
  std::atomic<int> stage{0};
  std::thread sleeper([&] {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    stage = 1;
    SuspendThread(GetCurrentThread());
    stage = 2;
  });
  while (stage == 0) Sleep(1);
  DWORD previous;
  while ((previous = ResumeThread(self)) == 0) Sleep(1);
  EXPECT_EQ(previous, 1u);
  sleeper.join();
  EXPECT_EQ(stage.load(), 2);
  // The duplicate of a thread not made here ends with it.
  EXPECT_EQ(WaitForSingleObject(self, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(SuspendThread(self), DWORD(-1));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
  CloseHandle(self);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

DWORD BlockedReader(LPVOID pipe) {
  char c;
  DWORD n;
  ReadFile(static_cast<HANDLE>(pipe), &c, 1, &n, nullptr);  // never answered
  return 1;
}

TEST(Threads, TerminateEndsABlockedThreadWithTheCode) {
  // A thread held by CREATE_SUSPENDED never runs its routine.
  HANDLE t = CreateThread(nullptr, 0, WINAPI_Return, reinterpret_cast<LPVOID>(5), CREATE_SUSPENDED,
                          nullptr);
  ASSERT_TRUE(TerminateThread(t, 9));
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 9u);
  CloseHandle(t);
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer aborts inside its own check while a cancelled thread unwinds
  // (a known limit of the sanitizer with pthread_cancel); the default build runs it.
  GTEST_SKIP() << "cancellation is not followed under AddressSanitizer";
#endif
  HANDLE r, w;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  t = CreateThread(nullptr, 0, BlockedReader, r, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
  ASSERT_TRUE(TerminateThread(t, 16));
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 16u);
  EXPECT_TRUE(TerminateThread(t, 17));  // already ended: keeps its code
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 16u);
  CloseHandle(t);
  CloseHandle(r);
  CloseHandle(w);
}

TEST(Processes, BarePidsAreRefused) {
  EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(-1)), nullptr);
  EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 0x80000000u), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  HANDLE me = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
  ASSERT_NE(me, nullptr);
  EXPECT_EQ(WaitForSingleObject(me, 0), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(me, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(GetProcessId(me), GetCurrentProcessId());
  CloseHandle(me);
}

}  // namespace
