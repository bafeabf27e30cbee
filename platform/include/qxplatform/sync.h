/* Handles, waits and the synchronisation objects: events, mutexes, semaphores and
 * waitable timers, unnamed or named.
 *
 * Every kernel object the platform offers lives in one process-wide handle table;
 * a HANDLE is an opaque pointer-sized value that never equals NULL or
 * INVALID_HANDLE_VALUE. CloseHandle, DuplicateHandle and the wait functions work on
 * every waitable kind (event, mutex, semaphore, waitable timer, process, thread).
 *
 * Named objects are shared between processes. A name is "Global\<name>",
 * "Local\<name>", "Session\<n>\<name>" or a bare name (local to the caller's session,
 * QX_SESSION_ID, default 0; session 0's local namespace is the global one). Names are
 * case-sensitive, at most MAX_PATH characters, and contain no further "\". Events,
 * mutexes, semaphores, waitable timers and file mappings share one namespace:
 * creating or opening a name that holds another kind fails with
 * ERROR_INVALID_HANDLE (6). Create* of an existing name returns a handle to it and
 * sets ERROR_ALREADY_EXISTS (the creation arguments are then ignored); a new object
 * sets ERROR_SUCCESS. Open* of a missing name fails with ERROR_FILE_NOT_FOUND.
 * A named object lives while any process holds a handle to it, also after its
 * creator was killed; when the last handle closes, its name is free again.
 * Security attributes whose descriptor carries a present, null access list
 * (everyone, see security.h) make the object mode 0666; anything else 0600. The
 * access masks of Open* are accepted and not checked beyond the file mode.
 * docs/kernel-objects.md describes the layout under $QX_RUNTIME_DIR.
 * Thread-safety: all functions may be called from any thread. */
#ifndef QXPLATFORM_SYNC_H
#define QXPLATFORM_SYNC_H

#include <qxplatform/types.h>

#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x1F0003
#define MUTEX_MODIFY_STATE 0x0001
#define MUTEX_ALL_ACCESS 0x1F0001
#define SEMAPHORE_MODIFY_STATE 0x0002
#define SEMAPHORE_ALL_ACCESS 0x1F0003
#define TIMER_QUERY_STATE 0x0001
#define TIMER_MODIFY_STATE 0x0002
#define TIMER_ALL_ACCESS 0x1F0003

/* Windows CloseHandle: FALSE with ERROR_INVALID_HANDLE for an unknown handle. The
 * object is destroyed when its last handle (in every process) closes. */
QXP_API BOOL CloseHandle(HANDLE hObject);

/* Windows DuplicateHandle, within the current process only (both process handles
 * must be GetCurrentProcess() or NULL); otherwise ERROR_NOT_SUPPORTED. */
QXP_API BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                             HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle,
                             DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);

/* Windows GetCurrentProcess: a pseudo handle ((HANDLE)-1). */
QXP_API HANDLE GetCurrentProcess(void);

/* Windows CreateEventA/W and OpenEventA/W. SetEvent wakes every waiter of a
 * manual-reset event; an auto-reset event lets exactly one waiter through and resets.
 * PulseEvent sets and resets at once: waiters present at that moment may miss it, as
 * Microsoft documents for Windows too; prefer SetEvent. */
QXP_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                            BOOL bInitialState, LPCSTR lpName);
QXP_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                            BOOL bInitialState, LPCWSTR lpName);
QXP_API HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
QXP_API HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
QXP_API BOOL SetEvent(HANDLE hEvent);
QXP_API BOOL ResetEvent(HANDLE hEvent);
QXP_API BOOL PulseEvent(HANDLE hEvent);

/* Windows CreateMutexA/W and OpenMutexA/W. A mutex is owned by a thread and is
 * recursive for it: every successful wait by the owner counts, and as many
 * ReleaseMutex calls free it. ReleaseMutex by a thread that does not own it fails
 * with ERROR_NOT_OWNER (288). When the owner thread or its process ends while it
 * owns the mutex (also when killed), the mutex is abandoned: the next wait gets
 * WAIT_ABANDONED (WAIT_ABANDONED_0 + i) and owns it. bInitialOwner is ignored when
 * the named mutex already exists. */
QXP_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                            LPCSTR lpName);
QXP_API HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                            LPCWSTR lpName);
QXP_API HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
QXP_API HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
QXP_API BOOL ReleaseMutex(HANDLE hMutex);

/* Windows CreateSemaphoreA/W, OpenSemaphoreA/W and ReleaseSemaphore. The count never
 * exceeds the maximum: a release that would fails with ERROR_TOO_MANY_POSTS (298) and
 * changes nothing. lInitialCount must lie in 0..lMaximumCount and lMaximumCount be
 * positive (else ERROR_INVALID_PARAMETER). */
QXP_API HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                                LONG lMaximumCount, LPCSTR lpName);
QXP_API HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                                LONG lMaximumCount, LPCWSTR lpName);
QXP_API HANDLE OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
QXP_API HANDLE OpenSemaphoreW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
QXP_API BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);

/* Windows waitable timers. SetWaitableTimer takes a due time in 100-nanosecond units:
 * negative is relative to now, positive an absolute FILETIME (UTC); lPeriod in
 * milliseconds re-arms a periodic timer (0: once). A manual-reset timer stays
 * signalled until set again; a synchronization (auto-reset) timer lets one waiter
 * through per expiry. Not kept: completion routines (pfnCompletionRoutine must be
 * NULL, else ERROR_NOT_SUPPORTED) and resuming a suspended system (fResume is
 * ignored). */
typedef void (*PTIMERAPCROUTINE)(LPVOID lpArgToCompletionRoutine, DWORD dwTimerLowValue,
                                 DWORD dwTimerHighValue);
QXP_API HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES lpTimerAttributes, BOOL bManualReset,
                                    LPCSTR lpTimerName);
QXP_API HANDLE CreateWaitableTimerW(LPSECURITY_ATTRIBUTES lpTimerAttributes, BOOL bManualReset,
                                    LPCWSTR lpTimerName);
QXP_API HANDLE OpenWaitableTimerA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpTimerName);
QXP_API HANDLE OpenWaitableTimerW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpTimerName);
QXP_API BOOL SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime, LONG lPeriod,
                              PTIMERAPCROUTINE pfnCompletionRoutine,
                              LPVOID lpArgToCompletionRoutine, BOOL fResume);
QXP_API BOOL CancelWaitableTimer(HANDLE hTimer);

/* Windows WaitForSingleObject/WaitForMultipleObjects: WAIT_OBJECT_0 + i,
 * WAIT_ABANDONED_0 + i, WAIT_TIMEOUT, or WAIT_FAILED with the last error set
 * (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER for a count of 0 or above
 * MAXIMUM_WAIT_OBJECTS, or the same object twice in a wait-all). With bWaitAll FALSE
 * the lowest signalled index wins; with TRUE the objects are acquired together or
 * not at all. A change made in another process is seen at once; only the death of a
 * mutex owner, seen by a wait on several objects, and the end of a process, seen by
 * such a wait, are noticed by a re-check every few milliseconds. */
QXP_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
QXP_API DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                     DWORD dwMilliseconds);

#endif
