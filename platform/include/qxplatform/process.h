/* Processes and threads.
 *
 * A process handle is a pidfd (pidfd_open, or clone3 with CLONE_PIDFD for the
 * processes started here), never a bare process id, so a handle can never reach a
 * process that reused an ended one's id. Process and thread handles are waitable:
 * they become signalled when the process or thread ends.
 * Exit codes are as Windows reports them: STILL_ACTIVE (259) while running; the
 * exit status (Linux passes 8 bits: exit(-2) is seen as 254); for a process ended
 * by TerminateProcess from this process, the code given there; for one ended by a
 * signal, 128 + the signal number. A child that ends is reaped by the first wait
 * or exit-code query that sees it end, or by a background reaper once its last
 * handle closes, so no zombie remains.
 * Command lines are split by the Windows rules (CommandLineToArgvW and the C
 * runtime's): blanks and tabs separate arguments; double quotes group; 2n
 * backslashes before a quote give n backslashes and the quote groups, 2n+1 give n
 * and a literal quote; "" inside quotes is a literal quote; the program name
 * (first argument) ends at its closing quote or first blank, with no backslash
 * processing.
 * Thread-safety: all functions may be called from any thread. */
#ifndef QXPLATFORM_PROCESS_H
#define QXPLATFORM_PROCESS_H

#include <qxplatform/types.h>

#define DEBUG_PROCESS 0x00000001
#define CREATE_SUSPENDED 0x00000004
#define DETACHED_PROCESS 0x00000008
#define CREATE_NEW_CONSOLE 0x00000010
#define NORMAL_PRIORITY_CLASS 0x00000020
#define IDLE_PRIORITY_CLASS 0x00000040
#define HIGH_PRIORITY_CLASS 0x00000080
#define REALTIME_PRIORITY_CLASS 0x00000100
#define CREATE_NEW_PROCESS_GROUP 0x00000200
#define CREATE_UNICODE_ENVIRONMENT 0x00000400
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000
#define CREATE_NO_WINDOW 0x08000000

#define STARTF_USESHOWWINDOW 0x00000001
#define STARTF_USESTDHANDLES 0x00000100

#define PROCESS_TERMINATE 0x0001
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#define PROCESS_ALL_ACCESS 0x001FFFFF
#define THREAD_ALL_ACCESS 0x001FFFFF

typedef struct _STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

/* Windows CreateProcessA/W.
 * - The program is lpApplicationName when given, else the command line's first
 *   argument. A name without "/" is looked for in PATH; a name ending in ".exe"
 *   that is not found is looked for without it. Not found: ERROR_FILE_NOT_FOUND.
 * - lpEnvironment: a block of "NAME=value" strings ended by an empty one (UTF-16
 *   with CREATE_UNICODE_ENVIRONMENT); NULL passes this process's environment.
 *   Entries starting with "=" (Windows' per-drive folders) are dropped.
 * - lpCurrentDirectory: the child's working folder; a missing one fails with
 *   ERROR_DIRECTORY.
 * - DETACHED_PROCESS, CREATE_NEW_CONSOLE and CREATE_NEW_PROCESS_GROUP start the
 *   child in a session of its own (setsid); DETACHED_PROCESS also gives it
 *   /dev/null for standard handles that STARTF_USESTDHANDLES does not set.
 * - STARTF_USESTDHANDLES: the three handles (files or pipes) become the child's
 *   descriptors 0, 1 and 2.
 * - Priority classes set the child's nice value (idle 19, below normal 10, normal
 *   0, above normal -5, high -10, real time -20; raising needs the privilege and
 *   is skipped without it).
 * - hThread is a handle for the primary thread: it is signalled when the process
 *   ends and reports the process's exit code.
 * Not kept: bInheritHandles for other handles (descriptors are close-on-exec),
 * CREATE_SUSPENDED (ERROR_NOT_SUPPORTED), DEBUG_PROCESS (ERROR_NOT_SUPPORTED),
 * window, desktop and console fields of the start-up information (ignored). */
QXP_API BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                            LPSECURITY_ATTRIBUTES lpProcessAttributes,
                            LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                            DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                            LPSTARTUPINFOA lpStartupInfo,
                            LPPROCESS_INFORMATION lpProcessInformation);
QXP_API BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                            LPSECURITY_ATTRIBUTES lpProcessAttributes,
                            LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                            DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                            LPSTARTUPINFOW lpStartupInfo,
                            LPPROCESS_INFORMATION lpProcessInformation);

/* Windows OpenProcess: a pidfd handle for a running process. A process id of 0,
 * or one that does not fit a Linux pid (above INT_MAX, "negative"), is refused with
 * ERROR_INVALID_PARAMETER, as is a process that does not exist. The exit code of a
 * process that is not this one's child is unknown: after it ends,
 * GetExitCodeProcess reports 0. */
QXP_API HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);

/* Windows GetExitCodeProcess/GetExitCodeThread: STILL_ACTIVE (259) while running. */
QXP_API BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
QXP_API BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

/* Windows TerminateProcess: ends the process (SIGKILL through its pidfd) and
 * records uExitCode as its exit code for this process's handles. A process that
 * already ended gives TRUE and keeps its code. GetCurrentProcess() ends this
 * process with uExitCode. */
QXP_API BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);

QXP_API DWORD GetProcessId(HANDLE Process);
QXP_API void ExitProcess(UINT uExitCode);

/* Windows CreateThread. The thread's exit code is the start routine's result, or
 * the code given to ExitThread. CREATE_SUSPENDED holds it until ResumeThread.
 * dwStackSize 0 takes the default size. */
QXP_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                            LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                            DWORD dwCreationFlags, LPDWORD lpThreadId);

/* Windows ExitThread: ends the calling thread with the code. */
QXP_API void ExitThread(DWORD dwExitCode);

/* Windows GetCurrentThread: a pseudo handle ((HANDLE)-2) that stands for the
 * calling thread; DuplicateHandle makes a real, waitable handle of it. */
QXP_API HANDLE GetCurrentThread(void);
QXP_API DWORD GetThreadId(HANDLE Thread);

/* Windows SuspendThread/ResumeThread: the previous suspend count, or (DWORD)-1
 * with the last error set. A thread may suspend only itself (it sleeps until
 * another thread resumes it); suspending another thread fails with
 * ERROR_NOT_SUPPORTED, as Linux cannot stop one thread of a process safely. */
QXP_API DWORD SuspendThread(HANDLE hThread);

/* Windows TerminateThread, for threads of this process. The code is the thread's
 * exit code. Linux cannot stop a thread at an arbitrary instruction safely: the
 * thread is cancelled (pthread_cancel) and ends at its next cancellation point (a
 * blocking read, write, accept, poll or sleep, as in ReadFile, WriteFile,
 * ConnectNamedPipe or Sleep), unwinding its stack so that locks held by scoped
 * guards are released; its handle is signalled when it has ended. A thread that
 * never reaches a cancellation point is not ended. The primary thread of another
 * process fails with ERROR_NOT_SUPPORTED (use TerminateProcess). */
QXP_API BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode);
QXP_API DWORD ResumeThread(HANDLE hThread);

#ifdef __cplusplus
#include <string>
#include <string_view>
#include <vector>

namespace qx::platform {

// Splits a command line by the Windows rules above.
QXP_CXX_API std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Quotes one argument so that SplitCommandLine gives it back unchanged.
QXP_CXX_API std::string QuoteArgument(std::string_view argument);

}  // namespace qx::platform
#endif

#endif
