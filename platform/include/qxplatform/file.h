/* Files through handles: CreateFile, ReadFile, WriteFile and their companions, for
 * the callers that need a file HANDLE (file-backed mappings, process standard
 * handles) and for the client end of named pipes ("\\.\pipe\<name>", see pipe.h).
 * Other code may use plain file I/O.
 * Kept: creation dispositions, FILE_FLAG_WRITE_THROUGH (O_DSYNC), the 64-bit
 * pointer split into two halves, ERROR_HANDLE_EOF-free end of file (a read at the
 * end returns TRUE with 0 bytes), ERROR_FILE_EXISTS for CREATE_NEW, ERROR_ALREADY_EXISTS
 * after CREATE_ALWAYS/OPEN_ALWAYS found the file.
 * Not kept: share modes (Linux does not lock files against other openers; they are
 * accepted and ignored), overlapped I/O (lpOverlapped must be NULL, else
 * ERROR_NOT_SUPPORTED), file attributes beyond "read-only" (mode 0444).
 * Thread-safety: all functions may be called from any thread; one handle's file
 * pointer is shared by its users, as on Windows. */
#ifndef QXPLATFORM_FILE_H
#define QXPLATFORM_FILE_H

#include <qxplatform/types.h>

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

/* Windows CreateFileA/W. A pipe name connects to a named pipe (pipe.h). */
QXP_API HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                           LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                           DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
QXP_API HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                           LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                           DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

/* Windows ReadFile/WriteFile on files and pipes. */
QXP_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                      LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
QXP_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                       LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);

QXP_API DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
QXP_API BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
QXP_API DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                             DWORD dwMoveMethod);
QXP_API BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                              PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
QXP_API BOOL SetEndOfFile(HANDLE hFile);
QXP_API BOOL FlushFileBuffers(HANDLE hFile);

/* Windows GetStdHandle: handles for descriptors 0, 1 and 2 (closing one closes
 * nothing underneath). */
QXP_API HANDLE GetStdHandle(DWORD nStdHandle);

#ifdef __cplusplus
namespace qx::platform {

// The descriptor behind a file or pipe handle, or -1 (ERROR_INVALID_HANDLE). The
// handle keeps owning it.
QXP_CXX_API int FileDescriptor(HANDLE handle);

}  // namespace qx::platform
#endif

#endif
