/* Where things live, who and where we are, and the clocks.
 *
 * Folders (created on first use, with their parents):
 *   state     $QX_STATE_DIR, else /var/lib/qx when writable, else
 *             $XDG_STATE_HOME/qx (~/.local/state/qx)
 *   runtime   $QX_RUNTIME_DIR, else /run/qx for root, else $XDG_RUNTIME_DIR/qx,
 *             else /tmp/qx-<uid>
 *   temporary TMPDIR, then TMP, TEMP, then /tmp
 *   system    $QX_SYSTEM_ROOT, else <state>/system (the Windows folder)
 * The environment is read at every call, so a test may point a process at new
 * folders between calls.
 * Thread-safety: all functions are reentrant. */
#ifndef QXPLATFORM_SYSTEM_H
#define QXPLATFORM_SYSTEM_H

#include <qxplatform/types.h>

#define MAX_COMPUTERNAME_LENGTH 15

/* Windows GetComputerNameA/W: gethostname() cut at the first dot. *nSize is the
 * buffer size in characters on entry, the length without NUL on success. A small
 * buffer fails with ERROR_BUFFER_OVERFLOW and *nSize set to the size needed
 * (with NUL). Not kept: the 15-character NetBIOS limit (the whole host label is
 * returned). */
QXP_API BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);
QXP_API BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize);

/* Windows GetTickCount/GetTickCount64: milliseconds since the system started,
 * from CLOCK_BOOTTIME (so time spent suspended counts, as on Windows). */
QXP_API DWORD GetTickCount(void);
QXP_API ULONGLONG GetTickCount64(void);

/* Windows Sleep: milliseconds; INFINITE sleeps forever. */
QXP_API void Sleep(DWORD dwMilliseconds);

/* Windows GetCurrentProcessId/GetCurrentThreadId: the Linux pid and tid. */
QXP_API DWORD GetCurrentProcessId(void);
QXP_API DWORD GetCurrentThreadId(void);

/* Windows GetTempPathA/W: the temporary folder with a trailing "/". Returns the
 * length without NUL, or the size needed (with NUL) when nBufferLength is too
 * small; 0 on failure. */
QXP_API DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);
QXP_API DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);

/* Windows GetWindowsDirectoryA/GetSystemDirectoryA: the system folder (both the
 * same here), with the same size conventions as GetTempPathA but no trailing "/". */
QXP_API UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
QXP_API UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);

#ifdef __cplusplus
#include <time.h>

#include <chrono>
#include <string>

namespace qx::platform {

// std::chrono::steady_clock read cheaply but only as finely as the scheduler's
// tick: for deadlines of a second or so that are checked very often. Never ahead
// of steady_clock::now(), and behind it by CoarseClockLag() (one tick), or a
// little more while the system's ticks come late.
// CLOCK_MONOTONIC_COARSE is steady_clock's clock (CLOCK_MONOTONIC) as it stood at
// the last tick, read from memory the kernel shares without the processor's time
// counter. In line: its callers check it at every call.
inline std::chrono::steady_clock::time_point CoarseSteadyNow() {
  struct timespec ts;
  if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0) return std::chrono::steady_clock::now();
  return std::chrono::steady_clock::time_point(std::chrono::seconds(ts.tv_sec) +
                                               std::chrono::nanoseconds(ts.tv_nsec));
}
QXP_CXX_API std::chrono::nanoseconds CoarseClockLag();

// The folders above, created when missing; "" when one cannot be created (the
// last error says why).
QXP_CXX_API std::string StateDir();
QXP_CXX_API std::string RuntimeDir();
QXP_CXX_API std::string TempDir();
QXP_CXX_API std::string SystemRoot();

// The full path of the running program and the folder above its bin/ (the
// default install folder): for /opt/qx/bin/qxtrap, "/opt/qx".
QXP_CXX_API std::string ProgramPath();
QXP_CXX_API std::string DefaultInstallDir();

// Creates path and its missing parents with the given mode. True when it exists
// as a folder afterwards.
QXP_CXX_API bool MakeDirs(const std::string& path, unsigned mode);

// The kernel's boot id (/proc/sys/kernel/random/boot_id), "" when unreadable.
QXP_CXX_API std::string BootId();

// The first `limit` bytes of a small file (a setting or a /proc entry), "" when it
// cannot be read.
QXP_CXX_API std::string ReadSmallFile(const std::string& path, size_t limit = 65536);

}  // namespace qx::platform
#endif

#endif
