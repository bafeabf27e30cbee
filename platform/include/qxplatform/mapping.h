/* File mappings and their views: shared memory between processes, backed by the
 * "page file" (memory) or by a file.
 *
 * A named mapping lives under $QX_RUNTIME_DIR like the other named objects (see
 * sync.h for names, namespaces, kinds, lifetime and security attributes); its
 * page-file data is kept in the object's own file after a header page. A view keeps
 * its mapping alive: the name stays taken while a view of it is mapped, also after
 * the last handle closed, as on Windows.
 * Kept: sizes from the high and low halves, size 0 meaning "the whole file" for a
 * file-backed mapping, views at multiples of 65,536 bytes, ERROR_ALREADY_EXISTS for
 * an existing name (its size wins), read-only mappings refusing write views
 * (ERROR_ACCESS_DENIED), copy-on-write views (FILE_MAP_COPY).
 * Not kept: SEC_* attribute flags beyond SEC_COMMIT (accepted and ignored),
 * executable protections (mapped without execute), large pages.
 * Thread-safety: all functions may be called from any thread. */
#ifndef QXPLATFORM_MAPPING_H
#define QXPLATFORM_MAPPING_H

#include <qxplatform/types.h>

#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_EXECUTE 0x10
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_EXECUTE_WRITECOPY 0x80
#define SEC_COMMIT 0x08000000
#define SEC_RESERVE 0x04000000

#define FILE_MAP_COPY 0x0001
#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FILE_MAP_EXECUTE 0x0020
#define FILE_MAP_ALL_ACCESS 0x000F001F

#define ERROR_FILE_INVALID 1006L
#define ERROR_MAPPED_ALIGNMENT 1132L

/* Windows CreateFileMappingA/W. hFile INVALID_HANDLE_VALUE gives a page-file
 * mapping (a size is then required: 0 fails with ERROR_INVALID_PARAMETER);
 * otherwise hFile is a file handle from CreateFile, opened for reading (and writing
 * for PAGE_READWRITE), and a size above the file's grows the file. */
QXP_API HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                                  DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                                  LPCSTR lpName);
QXP_API HANDLE CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                                  DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                                  LPCWSTR lpName);

/* Windows OpenFileMappingA/W: ERROR_FILE_NOT_FOUND when the name is free. */
QXP_API HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
QXP_API HANDLE OpenFileMappingW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);

/* Windows MapViewOfFile: dwNumberOfBytesToMap 0 maps to the end of the mapping.
 * The offset must be a multiple of 65,536 (else ERROR_MAPPED_ALIGNMENT); a range
 * beyond the mapping fails with ERROR_ACCESS_DENIED. */
QXP_API LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                             DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                             SIZE_T dwNumberOfBytesToMap);

/* Windows UnmapViewOfFile: the address MapViewOfFile returned; anything else fails
 * with ERROR_INVALID_ADDRESS. */
QXP_API BOOL UnmapViewOfFile(LPCVOID lpBaseAddress);

/* Windows FlushViewOfFile: writes the view's pages in the range to its file. */
QXP_API BOOL FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush);

#endif
