/* libzelapi01: the installation and system-services library.
 *
 * Every operation returns 1 for success and 0 for failure unless it says
 * otherwise, and leaves the reason for a failure in the calling thread's message
 * area: a numbered message text, the message number and, where one applies, the
 * system error code. Message numbers and their inserts are listed with each
 * operation; the English texts live in the language resource library qxcmn_rc
 * (libqxcmn_rc.enu.so), which the library loads in the user's language.
 *
 * Thread-safety: every function may be called from any thread. Message areas,
 * trace call stacks and search states are per thread; process-wide settings are
 * made once and then only read. */
#ifndef ZELAPI01_H
#define ZELAPI01_H

#include <qxdefs.h>
#include <stdarg.h>

/* ==== Message strings and message stack ==== */

/* Sizes of the message area and of the saved-message file. */
#define ZEL_MSG_TEXT_SIZE 4096
#define ZEL_MSG_AREA_FILE_BYTES 8216 /* the area as written to a file */
#define ZEL_MSG_FILE_BYTES 8736      /* the whole saved-message file */

/* Message numbers the library's own operations leave. */
#define ZEL_MSG_LOAD_LIBRARY 1     /* %1 library */
#define ZEL_MSG_ENTRY_POINT 2      /* %1 entry point, %2 library */
#define ZEL_MSG_THREAD_START 3     /* %1 thread name */
#define ZEL_MSG_MISSING_ARGUMENT 6 /* %1 operation */
#define ZEL_MSG_FILE_WRITE 13      /* %1 path */
#define ZEL_MSG_FILE_READ 48       /* %1 path */
#define ZEL_MSG_SYSTEM_ERROR 285   /* the system's text */
#define ZEL_MSG_FOLDER_UNKNOWN 316 /* no inserts */
#define ZEL_MSG_NO_ERROR_TEXT 374  /* %1!d! error number */

/* A snapshot of a message area (OpenMsgHandle) or, given as NULL to ExportMsg and
 * ImportMsg, the calling thread's current area. */
typedef struct ZELMSGAREA* HZELMSG;

/* Loads template msg_id from hModule (0: the area's message module, else the
 * library's default, qxcmn_rc), formats it with the inserts (Windows insert
 * syntax, values read by the kinds the template asks for) and stores the text,
 * the id and the module in the current area. 1 when the template was found; when
 * it is missing the text says so and the result is 0. Id 0 clears the area's
 * module, id and text and returns 1. */
QX_EXPORT BOOL SetMsgString(HMODULE hModule, DWORD msg_id, ...);
QX_EXPORT BOOL SetMsgStringA(HMODULE hModule, DWORD msg_id, ...);
QX_EXPORT BOOL vSetMsgString(HMODULE hModule, DWORD msg_id, va_list args);
/* SetMsgString, then GetMsgString. */
QX_EXPORT LPSTR SetAndGetMsgString(HMODULE hModule, DWORD msg_id, ...);
QX_EXPORT LPSTR SetAndGetMsgStringA(HMODULE hModule, DWORD msg_id, ...);

/* The current text, copied into the area's copy field (valid until the thread's
 * next GetMsgString); "" when the thread has no area. */
QX_EXPORT LPSTR GetMsgString(void);
QX_EXPORT LPSTR GetMsgStringA(void);
/* The current message id and system error code (0 without an area). */
QX_EXPORT DWORD GetMsgID(void);
QX_EXPORT DWORD GetErrorMsgID(void);

/* Formats message msg_id into buffer (at most *size - 1 bytes and a NUL, cut on a
 * character boundary; nothing is written when *size is 0 or buffer is NULL) and
 * sets *size to the full length + 1. The area is not changed, except that a NULL
 * size gives message 6. 1 when the template was found. */
QX_EXPORT BOOL FormatMsgString(HMODULE hModule, LPSTR buffer, LPDWORD size, DWORD msg_id, ...);
QX_EXPORT BOOL vFormatMsgString(HMODULE hModule, LPSTR buffer, LPDWORD size, DWORD msg_id,
                                va_list args);
/* FormatMsgString; the buffer, or NULL on failure. */
QX_EXPORT LPSTR FormatAndGetMsgString(HMODULE hModule, LPSTR buffer, LPDWORD size, DWORD msg_id,
                                      ...);

/* Puts the text of the thread's last system error (message 285) into the current
 * area and stores the code as its error id. A last error of 0xFFFFFFFF only stores
 * the id. Without a text for the code, message 374 with the number and result 0. */
QX_EXPORT BOOL SetLastErrorMsg(void);
/* Sets the thread's last error to code first. */
QX_EXPORT BOOL SetLastErrorMsgEx(DWORD code);
QX_EXPORT LPSTR SetAndGetLastErrorMsg(void);
QX_EXPORT LPSTR SetAndGetLastErrorMsgA(void);
QX_EXPORT LPSTR SetAndGetLastErrorMsgEx(DWORD code);
QX_EXPORT LPSTR SetAndGetLastErrorMsgExA(DWORD code);

/* The stack of areas: push a fresh area (same message module) above the current
 * one; pop the current one unless it is the thread's first (1 when one was
 * popped); clear back to the first (always 1). */
QX_EXPORT BOOL PushMsgStack(void);
QX_EXPORT BOOL PopMsgStack(void);
QX_EXPORT BOOL ClearMsgStack(void);

/* The current area's message module (where templates come from) and the module
 * the last template came from. */
QX_EXPORT BOOL SetMsgInstance(HMODULE hModule);
QX_EXPORT HMODULE GetMsgHandle(void);

/* Snapshots: a heap copy of the current area (message 6 "OpenMsgHandle" for a NULL
 * out pointer); copying a snapshot's module, last module, text, id and error id
 * back into the current area; freeing it (message 6 "CloseMsgHandle" for NULL). */
QX_EXPORT BOOL OpenMsgHandle(HZELMSG* handle);
QX_EXPORT BOOL CopyMsg(HZELMSG handle);
QX_EXPORT BOOL CloseMsgHandle(HZELMSG handle);

/* The saved-message file: ZEL_MSG_FILE_BYTES bytes, little-endian 32-bit fields:
 * 0 module (written 0), 4 last module (0), 8 text[4096], 4104 copy[4096], 8200
 * message id, 8204 error id, 8208 and 8212 links (0), 8216 path of the message
 * module[260], 8476 path of the last module[260] (NUL-padded).
 * ExportMsg: message 13 with the path when the file cannot be written.
 * ImportMsg: reloads both modules by path and copies the content fields into the
 * area (never its links); message 48 with the path when the file cannot be read or
 * is not a saved-message file. */
QX_EXPORT BOOL ExportMsg(HZELMSG area, LPCSTR path);
QX_EXPORT BOOL ImportMsg(HZELMSG area, LPCSTR path);

/* ==== Trace ==== */

/* Formats a printf-style text and hands it to the trace library's "TesTrace" when
 * the switch variable (UseTraceEnvironmentalA, default "QX_QXIDEBUG") is set and
 * the trace library "QXTESTRC.DLL" is present; 0 when tracing is off. */
QX_EXPORT int SetTraceStringA(LPCSTR module, LPCSTR format, ...);
QX_EXPORT int SetTraceStringW(LPCSTR module, LPCWSTR format, ...);
/* The same, but -1 when the trace library is missing; otherwise what the library's
 * "TesTrace" returns (0 when the switch variable is not set). Texts of any length
 * are delivered whole. */
QX_EXPORT int TesTrace(LPCSTR module, LPCSTR format, ...);
QX_EXPORT int TesTraceW(LPCWSTR module, LPCWSTR format, ...);
/* Names the switch variable (at most 31 characters; longer names fail). */
QX_EXPORT BOOL UseTraceEnvironmentalA(LPCSTR variable);
QX_EXPORT BOOL UseTraceEnvironmentalW(LPCWSTR variable);
/* Drops the trace library; the next trace call reads the switch and loads it
 * again. Always 1 here (libraries stay mapped). */
QX_EXPORT BOOL FreeQXTESRC(void);

/* ==== Shared runtime helpers ==== */

/* A table of entry points to bind: ended by a row with a NULL name. */
typedef struct ZELDLLPROC {
  LPCSTR lpszProcName;
  FARPROC* lppfnProc; /* receives the address */
} ZELDLLPROC;

/* A library to bind at run time. hModule stays NULL until every entry point is
 * stored; the descriptor then keeps it. lpfnBound, when set, is called once the
 * library is bound. */
typedef struct ZELDLLLOAD {
  LPCSTR lpszLibName; /* Windows-style name, e.g. "QXEVT.DLL" */
  HMODULE hModule;
  ZELDLLPROC* lpProcs;
  void (*lpfnBound)(struct ZELDLLLOAD* load);
} ZELDLLLOAD;

/* Binds the library (searched beside the caller first, see the platform's module
 * loading) and its entry points. 1 when bound, at once when hModule is set;
 * otherwise 0 with message 1 (library) or 2 (entry point, library), and a later
 * call tries again. Message 6 for NULL. LoadDLLProcs2 leaves no messages. */
QX_EXPORT BOOL LoadDLLProcs(ZELDLLLOAD* load);
QX_EXPORT BOOL LoadDLLProcs2(ZELDLLLOAD* load, LPVOID reserved);
/* Bound libraries stay loaded for the life of the process: always 1. The lists are
 * ended by NULL. */
QX_EXPORT BOOL FreeDLL(HMODULE hModule);
QX_EXPORT BOOL FreeDLL2(HMODULE hModule);
QX_EXPORT BOOL FreeDLLList(HMODULE* modules);
QX_EXPORT BOOL FreeDLLList2(HMODULE* modules);

/* A set of blocks allocated by the conversions below for one caller, freed
 * together by CloseMemHandle. */
typedef struct ZELMEMHANDLE* HZELMEM;
QX_EXPORT HZELMEM OpenMemHandle(void);
QX_EXPORT BOOL CloseMemHandle(HZELMEM handle);

/* UTF-16 to the ANSI code page (UTF-8). With a buffer, size is its size in bytes
 * and a text that does not fit fails; without one the result is allocated to the
 * converted size (recorded in handle, else freed by the caller with free()). NULL
 * for a NULL text or a failed conversion (an unpaired surrogate). */
QX_EXPORT LPSTR UnicodeToAnsi(HZELMEM handle, LPSTR buffer, LPCWSTR text, int size);
/* The ANSI code page to UTF-16; size in characters. Invalid UTF-8 fails. */
QX_EXPORT LPWSTR AnsiToUnicode(HZELMEM handle, LPWSTR buffer, LPCSTR text, int size);

/* Waits without time limit for a mutex (1 also for NULL and for an abandoned
 * mutex, 0 when the wait fails) and releases it (1 for NULL). */
QX_EXPORT BOOL GetMutexOwnership(HANDLE mutex);
QX_EXPORT BOOL ReleaseMutexOwnership(HANDLE mutex);

/* The user's language code (at most 3 characters and a NUL, in a 4-byte buffer):
 * the environment variable "UserLangCode" when set, else the value "UserLangCode"
 * of HKEY_LOCAL_MACHINE "Software\Morvane\Tessary ZEL". 0 when neither exists. */
QX_EXPORT BOOL QueryUserLanguage(LPSTR code);

/* ==== System information ==== */

/* This platform answers as a 64-bit system of the NT family: IsWindowsNT 1,
 * GetWindowsType 256, GetWindowsPlatform 64; GetWindowsVersion gives the kernel's
 * "major.minor" (the buffer needs 16 bytes). */
QX_EXPORT BOOL IsWindowsNT(void);
QX_EXPORT BOOL GetWindowsVersion(LPSTR version);
QX_EXPORT BOOL GetWindowsType(int* type);
QX_EXPORT BOOL GetWindowsPlatform(int* bits);
/* The computer name in upper case (at most 64 characters), cached. */
QX_EXPORT LPCSTR GetMyName(void);
/* The program-files and common-files folders (MAX_PATH bytes): the environment
 * variable "ProgramFiles" / "CommonProgramFiles" when it names a folder, else the
 * value "ProgramFilesDir" / "CommonFilesDir" of HKEY_LOCAL_MACHINE
 * "Software\Microsoft\Windows\CurrentVersion"; else message 316. */
QX_EXPORT BOOL GetProgramFilesDir(LPSTR path);
QX_EXPORT BOOL GetCommonFilesDir(LPSTR path);
/* The first existing, writable folder of: the temporary folder, TMP, TEMP, the
 * stored user and then system TMP and TEMP, USERPROFILE, HOME, the current folder,
 * the system folder, "/tmp"; ending with "/" (MAX_PATH bytes). */
QX_EXPORT BOOL GetValidTempPath(LPSTR path);
/* A stored system (HKEY_LOCAL_MACHINE "System\CurrentControlSet\Control\Session
 * Manager\Environment") or user (HKEY_CURRENT_USER "Environment") variable with
 * %NAME% references expanded. *size is the buffer size on entry and the length + 1
 * on return; a buffer too small fails with ERROR_INSUFFICIENT_BUFFER's text and
 * copies nothing. */
QX_EXPORT BOOL GetSystemEnvironmentVariable(LPCSTR name, LPSTR value, LPDWORD size);
QX_EXPORT BOOL GetUserEnvironmentVariable(LPCSTR name, LPSTR value, LPDWORD size);
/* *is_dll is 1 when the loaded module (its base address, or its module handle) is
 * a shared library, 0 for a program. */
QX_EXPORT BOOL IsModuleDll(LPCVOID module, BOOL* is_dll);

#endif
