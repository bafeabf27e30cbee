/* Handles, events and waits.
 *
 * Every kernel object the platform offers lives in one process-wide handle table;
 * a HANDLE is an opaque pointer-sized value that never equals NULL or
 * INVALID_HANDLE_VALUE. CloseHandle, DuplicateHandle and the wait functions work on
 * every waitable kind.
 * Thread-safety: all functions may be called from any thread. */
#ifndef QXPLATFORM_SYNC_H
#define QXPLATFORM_SYNC_H

#include <qxplatform/types.h>

#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x1F0003

/* Windows CloseHandle: FALSE with ERROR_INVALID_HANDLE for an unknown handle. The
 * object is destroyed when its last handle closes. */
QXP_API BOOL CloseHandle(HANDLE hObject);

/* Windows DuplicateHandle, within the current process only (both process handles
 * must be GetCurrentProcess() or NULL); otherwise ERROR_NOT_SUPPORTED. */
QXP_API BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                             HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle,
                             DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);

/* Windows GetCurrentProcess: a pseudo handle ((HANDLE)-1). */
QXP_API HANDLE GetCurrentProcess(void);

/* Windows CreateEventA/W. Unnamed events are process-local. Named events are not
 * yet offered and fail with ERROR_NOT_SUPPORTED. */
QXP_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                            BOOL bInitialState, LPCSTR lpName);
QXP_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                            BOOL bInitialState, LPCWSTR lpName);
QXP_API BOOL SetEvent(HANDLE hEvent);
QXP_API BOOL ResetEvent(HANDLE hEvent);

/* Windows WaitForSingleObject/WaitForMultipleObjects: WAIT_OBJECT_0 + i,
 * WAIT_ABANDONED_0 + i, WAIT_TIMEOUT, or WAIT_FAILED with the last error set
 * (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER for a count of 0 or above
 * MAXIMUM_WAIT_OBJECTS). With bWaitAll FALSE the lowest signalled index wins;
 * with TRUE the objects are acquired together or not at all. */
QXP_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
QXP_API DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                     DWORD dwMilliseconds);

#endif
