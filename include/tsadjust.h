/* tsadjust: session-aware kernel object names.
 *
 * When the machine runs terminal services (decided once per process: the machine
 * store's "ProductSuite" lists "TerminalServer", or the terminal service is found
 * running), the names of kernel objects that the product's components create or
 * open get a namespace prefix chosen by the caller, so that services and user
 * sessions meet on the same objects. Each wrapper takes the platform call's own
 * arguments followed by the namespace choice:
 *   0 "Session\"   1 "Local\"   2 "Global\"   any other value: no prefix.
 * A null name stays null (unnamed objects pass through).
 * Trace lines go to the product trace (SetTraceStringA of zelapi01, loaded at the
 * first trace, component "WTSOBJCHG") when QXWTS_USEQXTRACE is set.
 * Thread-safety: every function may be called from any thread; the terminal-mode
 * decision is made once, under a lock. */
#ifndef TSADJUST_H
#define TSADJUST_H

#include <qxdefs.h>

/* Namespace choices. */
#define QXWTS_SESSION 0
#define QXWTS_LOCAL 1
#define QXWTS_GLOBAL 2

/* A new copy of name, with the choice's prefix when terminal mode is on and the
 * choice is 0, 1 or 2; freed by the caller with free(). NULL for a NULL name (or,
 * with ERROR_NOT_ENOUGH_MEMORY, when memory runs out). */
QX_EXPORT char* WTSAdjustNameA(const char* name, short choice);
QX_EXPORT WCHAR* WTSAdjustNameW(const WCHAR* name, short choice);

/* 1 when the REG_MULTI_SZ value "ProductSuite" of
 * HKLM\System\CurrentControlSet\Control\ProductOptions holds suite exactly
 * (case-sensitive), else 0. */
QX_EXPORT int ValidateProductSuite(const char* suite);

/* 1 when the terminal service "TermService" is configured and running (or
 * starting, or continuing), else 0. The service calls are looked up in the
 * platform library at run time; while it offers none, the answer is 0. */
QX_EXPORT int IsTerminalServiceRunning(void);

QX_EXPORT HANDLE QXWTS_CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, BOOL initial_state,
                                    LPCSTR name, short choice);
QX_EXPORT HANDLE QXWTS_CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, BOOL initial_state,
                                    LPCWSTR name, short choice);
QX_EXPORT HANDLE QXWTS_OpenEventA(DWORD access, BOOL inherit, LPCSTR name, short choice);
QX_EXPORT HANDLE QXWTS_OpenEventW(DWORD access, BOOL inherit, LPCWSTR name, short choice);
QX_EXPORT HANDLE QXWTS_CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL initial_owner, LPCSTR name,
                                    short choice);
QX_EXPORT HANDLE QXWTS_CreateMutexW(LPSECURITY_ATTRIBUTES sa, BOOL initial_owner, LPCWSTR name,
                                    short choice);
QX_EXPORT HANDLE QXWTS_OpenMutexA(DWORD access, BOOL inherit, LPCSTR name, short choice);
QX_EXPORT HANDLE QXWTS_OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name, short choice);
QX_EXPORT HANDLE QXWTS_CreateSemaphoreA(LPSECURITY_ATTRIBUTES sa, LONG initial_count,
                                        LONG maximum_count, LPCSTR name, short choice);
QX_EXPORT HANDLE QXWTS_CreateSemaphoreW(LPSECURITY_ATTRIBUTES sa, LONG initial_count,
                                        LONG maximum_count, LPCWSTR name, short choice);
QX_EXPORT HANDLE QXWTS_OpenSemaphoreA(DWORD access, BOOL inherit, LPCSTR name, short choice);
QX_EXPORT HANDLE QXWTS_OpenSemaphoreW(DWORD access, BOOL inherit, LPCWSTR name, short choice);
QX_EXPORT HANDLE QXWTS_CreateWaitableTimerA(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset,
                                            LPCSTR name, short choice);
QX_EXPORT HANDLE QXWTS_CreateWaitableTimerW(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset,
                                            LPCWSTR name, short choice);
QX_EXPORT HANDLE QXWTS_OpenWaitableTimerA(DWORD access, BOOL inherit, LPCSTR name, short choice);
QX_EXPORT HANDLE QXWTS_OpenWaitableTimerW(DWORD access, BOOL inherit, LPCWSTR name, short choice);
QX_EXPORT HANDLE QXWTS_CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect,
                                          DWORD size_high, DWORD size_low, LPCSTR name,
                                          short choice);
QX_EXPORT HANDLE QXWTS_CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect,
                                          DWORD size_high, DWORD size_low, LPCWSTR name,
                                          short choice);
QX_EXPORT HANDLE QXWTS_OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name, short choice);
QX_EXPORT HANDLE QXWTS_OpenFileMappingW(DWORD access, BOOL inherit, LPCWSTR name, short choice);

#endif
