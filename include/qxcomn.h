/* libqxcomn: the product's message facility, debug trace files and common data
 * utilities. Every export is a plain C function.
 *
 * The header is kept in sections, one per area; each area's functions state their
 * own thread-safety. */
#ifndef QXCOMN_H
#define QXCOMN_H

#include <qxdefs.h>
#include <stdarg.h>

/* ==== Language resource libraries ==== */

/* ==== Message catalog and QXmsgf ==== */

/* ==== Debug trace writer ==== */

/* ==== SDS self-describing buffers ==== */

/* An SDS buffer carries named, typed values in one block that can travel to any
 * host: a 16-byte header (magic, version, total size, big-endian), the entries
 * back to back and a 32-bit zero end marker. Each entry carries flag bits that
 * record which of its parts a reader has already converted in place, so a buffer
 * may be read any number of times on any host.
 *
 * Every operation returns one of the SDS_* result codes. Lists and buffers belong
 * to the caller; reading a buffer converts it in place, so two threads must not read
 * the same buffer at once. Buffers and lists are allocated with malloc and freed
 * only through SdsFreeBuffer and SdsFreeList. */

#define SDS_OK 0
#define SDS_NOT_FOUND 1     /* no entry of that name, or the node is not in the list */
#define SDS_NO_MEMORY 2     /* out of memory (or a size beyond 32 bits) */
#define SDS_EMPTY_NAME 4    /* empty name */
#define SDS_NULL_LIST 5     /* null list, or null cursor for list walks */
#define SDS_NULL_ARG 6      /* null argument */
#define SDS_BAD_LENGTH 7    /* integer data length zero or shorter than its width */
#define SDS_NOT_SDS 8       /* not an SDS buffer: magic differs, or the buffer is damaged */
#define SDS_BAD_VERSION 9   /* version differs */
#define SDS_END 10          /* end of list or buffer reached */
#define SDS_WRONG_TYPE 11   /* the named entry is not of the requested integer type */
#define SDS_BAD_NODE 12     /* the node given does not match the current node, or none */
#define SDS_OTHER_WIDTH 13  /* the entry's name is of the other width */

/* Entry types. Any other value is opaque data, kept as it is. */
#define SDS_TYPE_WSTRING 0x01
#define SDS_TYPE_SHORT 0x10
#define SDS_TYPE_LONG 0x20
#define SDS_TYPE_STRING 0x40

/* Entry flags: each records a conversion some reader did in place. */
#define SDS_FLAG_LENGTH_LE 0x04
#define SDS_FLAG_INT_LE 0x08
#define SDS_FLAG_NAME_EBCDIC 0x10
#define SDS_FLAG_VALUE_EBCDIC 0x20
#define SDS_FLAG_WIDE_NAME 0x40

#define SDS_VERSION 0x0F1A0C0Eu
#define SDS_HEADER_SIZE 16u
#define SDS_EMPTY_SIZE 20u

/* The walk operations copy a name into the caller's buffer: they never write more
 * than SDS_MAX_NAME characters, terminator included (a longer name is cut). */
#define SDS_MAX_NAME 256

/* One node of an SDS list: the entry exactly as it stands in a buffer (length and
 * integers in network order), preceded by its length in host order. */
typedef struct SDSLISTENTRY {
  struct SDSLISTENTRY* pNext;
  DWORD ulLength;
  BYTE abEntry[];
} SDSLISTENTRY, *PSDSLISTENTRY;

typedef struct SDSLIST {
  PSDSLISTENTRY pFirst;
  PSDSLISTENTRY pCurrent;
} SDSLIST, *PSDSLIST;

/* Lists. The data length counts characters for SDS_TYPE_WSTRING, bytes otherwise. */
QX_EXPORT PSDSLIST SdsInitList(void);
QX_EXPORT DWORD SdsFreeList(PSDSLIST pList);
QX_EXPORT DWORD SdsAddListEntry(PSDSLIST pList, LPCSTR pszName, DWORD ulLength, LPCVOID pData,
                                BYTE bType);
QX_EXPORT DWORD SdsAddListEntryW(PSDSLIST pList, LPCWSTR pwszName, DWORD ulLength,
                                 LPCVOID pData, BYTE bType);
QX_EXPORT DWORD SdsReplaceListEntry(PSDSLIST pList, PSDSLISTENTRY pOld, LPCSTR pszName,
                                    DWORD ulLength, LPCVOID pData, BYTE bType);
QX_EXPORT DWORD SdsReplaceListEntryW(PSDSLIST pList, PSDSLISTENTRY pOld, LPCWSTR pwszName,
                                     DWORD ulLength, LPCVOID pData, BYTE bType);
/* Walks the list: *ppCursor null means before the first node. pszName (may be null)
 * receives at most SDS_MAX_NAME characters. For a wide string the length is in bytes,
 * without the terminator. */
QX_EXPORT DWORD SdsGetNextListEntry(PSDSLIST pList, PSDSLISTENTRY* ppCursor, LPSTR pszName,
                                    LPDWORD pulLength, LPVOID* ppData, LPBYTE pbType);
QX_EXPORT DWORD SdsGetNextListEntryW(PSDSLIST pList, PSDSLISTENTRY* ppCursor, LPWSTR pwszName,
                                     LPDWORD pulLength, LPVOID* ppData, LPBYTE pbType);
QX_EXPORT DWORD SdsGetListEntry(PSDSLIST pList, LPCSTR pszName, LPDWORD pulLength,
                                LPVOID* ppData);
QX_EXPORT DWORD SdsGetListEntryW(PSDSLIST pList, LPCWSTR pwszName, LPDWORD pulLength,
                                 LPVOID* ppData);
QX_EXPORT PSDSLISTENTRY SdsGetCurrentListEntry(PSDSLIST pList);
/* Makes a node of the list current: 5 null list, 12 null node, 1 node not in list. */
QX_EXPORT DWORD SdsSaveCurrentListEntry(PSDSLIST pList, PSDSLISTENTRY pNode);
QX_EXPORT DWORD SdsRemoveCurrentListEntry(PSDSLIST pList, PSDSLISTENTRY pPredecessor);

/* Buffers. A buffer's size is the total stored in its header; a buffer received from
 * outside should first pass SdsCheckBuffer with the number of bytes received. Every
 * operation still checks each entry against the total size before using it and
 * answers SDS_NOT_SDS for a damaged buffer. */
QX_EXPORT DWORD SdsCheckBuffer(LPCVOID pBuffer, DWORD ulAvailable);
QX_EXPORT DWORD SdsCreateBuffer(PSDSLIST pList, LPDWORD pulSize, LPVOID* ppBuffer);
QX_EXPORT DWORD SdsFreeBuffer(LPVOID pBuffer);
QX_EXPORT DWORD SdsCopyBuffer(LPCVOID pBuffer, LPVOID* ppNewBuffer);
QX_EXPORT DWORD SdsHowBigIsBuffer(LPDWORD pulSize, LPCVOID pBuffer);
QX_EXPORT DWORD SdsGetBufferVersion(LPDWORD pulVersion, LPCVOID pBuffer);
QX_EXPORT DWORD SdsMergeBuffers(LPCVOID pFirst, LPCVOID pSecond, LPDWORD pulSize,
                                LPVOID* ppNewBuffer);
/* Appends one entry; *ppBuffer may move. On any failure *ppBuffer and *pulNewSize are
 * left as they were. */
QX_EXPORT DWORD SdsAppendBufferEntry(LPCSTR pszName, DWORD ulLength, LPCVOID pData, BYTE bType,
                                     LPVOID* ppBuffer, LPDWORD pulNewSize);
QX_EXPORT DWORD SdsAppendBufferEntryW(LPCWSTR pwszName, DWORD ulLength, LPCVOID pData,
                                      BYTE bType, LPVOID* ppBuffer, LPDWORD pulNewSize);
QX_EXPORT DWORD SdsGetBufferEntry(LPCSTR pszName, LPVOID pBuffer, LPDWORD pulLength,
                                  LPVOID* ppData);
QX_EXPORT DWORD SdsGetBufferEntryW(LPCWSTR pwszName, LPVOID pBuffer, LPDWORD pulLength,
                                   LPVOID* ppData);
/* Walks a buffer: *ppCursor null means the first entry; the cursor moves past the
 * entry returned. For a wide string the length counts characters. */
QX_EXPORT DWORD SdsGetBufferEntries(LPSTR pszName, LPVOID pBuffer, LPDWORD pulLength,
                                    LPBYTE pbType, LPVOID* ppData, LPVOID* ppCursor);
QX_EXPORT DWORD SdsGetBufferEntriesW(LPWSTR pwszName, LPVOID pBuffer, LPDWORD pulLength,
                                     LPBYTE pbType, LPVOID* ppData, LPVOID* ppCursor);
QX_EXPORT DWORD SdsGetNamedBufferEntries(LPCSTR pszName, LPVOID pBuffer, LPDWORD pulLength,
                                         LPBYTE pbType, LPVOID* ppData, LPVOID* ppCursor);
QX_EXPORT DWORD SdsGetNamedBufferEntriesW(LPCWSTR pwszName, LPVOID pBuffer, LPDWORD pulLength,
                                          LPBYTE pbType, LPVOID* ppData, LPVOID* ppCursor);
QX_EXPORT DWORD SdsGetLongBufferEntry(LPCSTR pszName, LPVOID pBuffer, LPVOID pValue);
QX_EXPORT DWORD SdsGetShortBufferEntry(LPCSTR pszName, LPVOID pBuffer, LPVOID pValue);
QX_EXPORT DWORD SdsGetLongBufferEntryW(LPCWSTR pwszName, LPVOID pBuffer, LPVOID pValue);
QX_EXPORT DWORD SdsGetShortBufferEntryW(LPCWSTR pwszName, LPVOID pBuffer, LPVOID pValue);

/* Conversions between host and network order and character set, for callers that
 * build their own messages. The string forms translate in place and return the
 * string (nothing to do on an ASCII host). */
QX_EXPORT DWORD Sds_ulHost2Net(DWORD ulValue);
QX_EXPORT DWORD Sds_ulNet2Host(DWORD ulValue);
QX_EXPORT WORD Sds_usHost2Net(WORD usValue);
QX_EXPORT WORD Sds_usNet2Host(WORD usValue);
QX_EXPORT LPSTR Sds_szHost2Net(LPSTR pszText);
QX_EXPORT LPSTR Sds_szNet2Host(LPSTR pszText);
QX_EXPORT LPVOID Sds_Host2Net(LPVOID pData, DWORD ulLength);
QX_EXPORT LPVOID Sds_Net2Host(LPVOID pData, DWORD ulLength);

/* ==== Wildcard patterns ==== */

/* Whole-name patterns: literals, "?" and "*", sets "[a-z]" ("[~...]" negated),
 * classes "%A" ... "%X", marks "%0" ... "%9", repeat counts "{min-max>}", no-ops
 * ",", quoting with "`", several alternatives separated by "^" (flag 2), negated
 * alternatives starting with "~", and a path-depth rule (flag 4). A pattern is
 * compiled once and matched any number of times; matching time is bounded by
 * (pattern elements x name length), whatever the pattern.
 * Thread-safety: a compiled pattern is read-only while matching and may be shared
 * by threads; the mark array is the caller's. */

#define QXREG_EXACT_CASE 1u
#define QXREG_ALTERNATIVES 2u
#define QXREG_PATH_DEPTH 4u

/* Results of compiling: QXREG_OK, QXREG_SYNTAX (the handle is set to null) or
 * QXREG_NO_MEMORY. Results of matching: QXREG_MATCH, QXREG_NO_MATCH,
 * QXREG_EMPTY_ALTERNATIVE. A null handle matches every name. */
#define QXREG_OK 0
#define QXREG_SYNTAX 2
#define QXREG_NO_MEMORY 3
#define QXREG_MATCH 0
#define QXREG_NO_MATCH 1
#define QXREG_EMPTY_ALTERNATIVE 2

typedef struct QXREGPATTERN* QXREGHANDLE;

/* Compiles a pattern; a null pattern, or narrow text that is not valid UTF-8, is a
 * syntax error. */
QX_EXPORT int QXRegCompile(QXREGHANDLE* phReg, LPCSTR pszPattern, DWORD dwFlags);
QX_EXPORT int QXRegCompileW(QXREGHANDLE* phReg, LPCWSTR pwszPattern, DWORD dwFlags);
/* Matches a whole name. apMarks (may be null) is an array of 10 pointers: for each
 * mark the successful match passed, the slot of its number is set to point into
 * the caller's name where the mark stood; other slots are left as they were. A
 * narrow name that is not valid UTF-8 matches nothing. */
QX_EXPORT int QXRegExecW(QXREGHANDLE hReg, LPCWSTR pwszName, LPCWSTR* apMarks);
QX_EXPORT int QXRegExec(QXREGHANDLE hReg, LPCSTR pszName, LPCSTR* apMarks);
QX_EXPORT void QXRegFree(QXREGHANDLE hReg);
/* 1 if the text holds any of "`?*[],{}%" (it needs matching, not comparing). */
QX_EXPORT int QXIsRegular(LPCSTR pszText);
QX_EXPORT int QXIsRegularW(LPCWSTR pwszText);

/* The older family: the same syntax with only the %W class (tab, line feed,
 * vertical tab, form feed, carriage return, blank) and plain decimal counts. */
QX_EXPORT int QXWRegCompile(QXREGHANDLE* phReg, LPCWSTR pwszPattern, DWORD dwFlags);
QX_EXPORT int QXWRegExec(QXREGHANDLE hReg, LPCWSTR pwszName, LPCWSTR* apMarks);
QX_EXPORT void QXWRegFree(QXREGHANDLE hReg);
QX_EXPORT int QXWIsRegular(LPCWSTR pwszText);

/* ==== Run-length compression ==== */

/* A byte run-length code for records with long runs of one value: a byte other than
 * 0xFE stands for itself; FE v lo hi stands for v repeated (hi << 8 | lo) times.
 *
 * qxcompress results: the coded length (4 or more); QXCOMPRESS_TOO_SHORT when the
 * input is shorter than 4 bytes; QXCOMPRESS_NO_GAIN when the coded form would be
 * longer than the input (or, coding in place, when the scratch buffer cannot be had:
 * the input is then left as it is); QXCOMPRESS_CLEANED after the cleanup call
 * qxcompress(NULL, NULL, 0), which frees the calling thread's scratch buffer.
 * Coding in place uses a scratch buffer of the calling thread; everything else
 * touches no shared state. */
#define QXCOMPRESS_TOO_SHORT 1u
#define QXCOMPRESS_NO_GAIN 2u
#define QXCOMPRESS_CLEANED 3u

QX_EXPORT DWORD qxcompress(LPVOID pInput, LPVOID pOutput, DWORD ulLength);

/* Expands ulLength coded bytes into pOutput and returns the length expanded.
 * REQUIRES: pOutput holds the whole expansion (qxdecompressn checks it instead). A
 * token cut short at the end of the input is ignored. */
QX_EXPORT DWORD qxdecompress(LPCVOID pInput, LPVOID pOutput, DWORD ulLength);

/* Expands into a new buffer (release it with free()); returns its length, or 0 and
 * a null pointer when the input is damaged, the expansion exceeds 32 bits or memory
 * cannot be had. */
QX_EXPORT DWORD qxdecompressm(LPCVOID pInput, LPVOID* ppOutput, DWORD ulLength);

/* Bounded expansion: writes at most ulCapacity bytes. Returns QXDECOMPRESS_OK with
 * *pulExpanded the length written; QXDECOMPRESS_TRUNCATED when the input ends
 * inside a token (*pulExpanded: what was written before it); QXDECOMPRESS_OVERFLOW
 * when the output is too small (*pulExpanded: the full length needed, saturated at
 * 0xFFFFFFFF; nothing is written past ulCapacity); QXDECOMPRESS_NULL_ARG. */
#define QXDECOMPRESS_OK 0
#define QXDECOMPRESS_TRUNCATED 1
#define QXDECOMPRESS_OVERFLOW 2
#define QXDECOMPRESS_NULL_ARG 6
QX_EXPORT int qxdecompressn(LPCVOID pInput, DWORD ulLength, LPVOID pOutput, DWORD ulCapacity,
                            LPDWORD pulExpanded);

/* ==== Chains and character translation ==== */

#endif
