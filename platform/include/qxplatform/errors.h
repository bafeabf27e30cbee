/* The per-thread last error, in Windows numbering, and the one table that maps
 * Linux errno values and resolver errors to it and gives each number its text.
 * Thread-safety: the last error is thread-local; the table is read-only. */
#ifndef QXPLATFORM_ERRORS_H
#define QXPLATFORM_ERRORS_H

#include <qxplatform/types.h>

/* Windows GetLastError/SetLastError: a per-thread value. Unlike Windows, no other
 * platform call clears it on success unless its own contract says so. */
QXP_API DWORD GetLastError(void);
QXP_API void SetLastError(DWORD dwErrCode);

#ifdef __cplusplus
#include <string>

namespace qx::platform {

// Maps an errno value to the Windows error number that stands for it (31,
// ERROR_GEN_FAILURE, when there is no closer one).
QXP_CXX_API DWORD ErrorFromErrno(int errno_value);

// Maps a getaddrinfo()/getnameinfo() result (EAI_*) to a Windows Sockets number.
QXP_CXX_API DWORD ErrorFromResolver(int eai_value);

// Sets the thread's last error from errno_value and returns the Windows number.
QXP_CXX_API DWORD SetLastErrorFromErrno(int errno_value);

// The English text of a Windows error number, without a trailing newline, or
// nullptr when the table has none. The pointer is to static storage.
QXP_CXX_API const char* ErrorText(DWORD code);

}  // namespace qx::platform
#endif

#endif
