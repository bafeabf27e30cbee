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

/* Programs keep their texts in one resource library per language, named after a
 * base name and a three-letter language code ("base.enu" is libbase.enu.so).
 * loadLocaleA finds the best one for the user: the caller's language, the user
 * language code (QueryUserLanguage of zelapi01), the thread's, the user's and the
 * system's locale, then "enu"; each as given, as its first two letters and as
 * every known locale of the same two letters; "base.dll" last. A name that failed
 * is tried once per load. Each try is traced (SetTraceStringA, "QXLOCALE").
 * Thread-safety: the search is per thread; the process default pair (used when a
 * call gets no pair) is shared and unguarded. */

/* A loaded language library and the code page its texts are converted with. */
typedef struct QXLOCALE {
  HMODULE hModule;
  UINT uCodePage;
} QXLOCALE, *LPQXLOCALE;

/* 0 when a library (or, for a NULL base, the program's own module) was found, 1
 * otherwise; the pair, or the process default (whose library is dropped first),
 * receives the module and the ANSI code page. */
QX_EXPORT int loadLocaleA(LPCSTR base, LPCSTR language, QXLOCALE* locale);
QX_EXPORT int loadLocaleW(LPCWSTR base, LPCWSTR language, QXLOCALE* locale);
/* String id into buffer (1024 bytes / 512 wide characters); "<id=%d,no locale
 * lib>" without a library, "<id=%d,rc=%d,lib=%.15s>" when the string is missing;
 * a NULL buffer gives the fixed text "???". Returns the buffer. */
QX_EXPORT LPSTR loadStrA(LPSTR buffer, UINT id, QXLOCALE* locale);
QX_EXPORT LPWSTR loadStrW(LPWSTR buffer, UINT id, QXLOCALE* locale);
/* Drops the pair's (or the default's) library: 0. */
QX_EXPORT int freeLocale(QXLOCALE* locale);
/* The process default module (a NULL pointer is ignored): 0. */
QX_EXPORT int getLocaleLib(HMODULE* module);
/* Sets the process default code page; returns the previous one. */
QX_EXPORT UINT setLocaleCP(UINT code_page);
/* The first known locale (LCID) with the abbreviation, ASCII case ignored; 0. */
QX_EXPORT DWORD convLocaleA(LPCSTR abbreviation);
QX_EXPORT DWORD convLocaleW(LPCWSTR abbreviation);

/* ==== Message catalog and QXmsgf ==== */

/* Message texts live in compiled message files ("FAC<n>.dat", one per facility
 * number range; facilities 1 to 99 share "FAC001.dat"), found in the folders of
 * the environment variable "DPATH" (separated by ":" or ";"; without it, the
 * share/qx/msg folder of the installation). A message is named by a message
 * identifier (QX_MSGID in qxdefs.h): facility, message number and severity.
 * Catalog texts are formatted only by the product's typed formatter: a text's
 * conversions decide how each value is read, and a "%n" writes nothing.
 * Thread-safety: every function here may be called from any thread. */

/* Substitution values: up to QX_MSG_VALUES per message. */
#define QX_MSG_VALUES 12

/* One substitution value of the value array: an integer, or a pointer to a
 * string (a narrow string; in QX_MSGMODE_WIDE a UTF-16 string), as the message
 * text's conversion at that value's position takes it. */
typedef uintptr_t QXMSGVALUE;

/* The message descriptor that qximsgv fills. */
#define QX_MSG_TEXT_WIDTH 2048
typedef struct QXMSGDESC {
  DWORD dwReserved;               /* not read */
  DWORD dwMsgId;                  /* the message identifier to look up */
  char szText[QX_MSG_TEXT_WIDTH]; /* the text; 80 characters suffice in mode 1 */
} QXMSGDESC;

/* qximsgv modes. */
#define QX_MSGMODE_SHORT 1 /* text width 80 */
#define QX_MSGMODE_LONG 2  /* text width 2048 */
#define QX_MSGMODE_WIDE 3  /* text width 2048; string values are UTF-16 strings */

/* Looks up pDesc->dwMsgId and fills pDesc->szText: "%<FACILITY>" followed by the
 * stored text formatted with the values (taken in the order the message's
 * argument-order bytes give; without a value array the stored text is copied
 * unformatted), at most width - 1 characters. The width is 80 in mode 1 and 2048
 * otherwise. The text is NUL-terminated and the rest of the width is blanks, the
 * last character of the width a NUL. Returns QX_STATUS_SUCCESS, or
 * QX_STATUS_FAILURE with a failure text in its place ("... NOT FOUND", "...
 * cannot open the data"). pReserved and nReserved are not read. */
QX_EXPORT DWORD qximsgv(void* pReserved, int nReserved, QXMSGDESC* pDesc,
                        const QXMSGVALUE* pValues, int nMode);

/* Returns QX_STATUS_SUCCESS, and makes the next lookups search the folders again
 * instead of trusting the search results of the last second. */
QX_EXPORT DWORD QX_init_file(void);

/* The facility record of `facility` in the file the calling thread looked up
 * last, or NULL (also when there is none). The record stays readable while that
 * file is the thread's last. */
QX_EXPORT const void* QX_get_facility(int facility);

/* The 20-byte message entry of message `msgnum` in a record from QX_get_facility
 * of the same thread's current file, or NULL. */
QX_EXPORT const void* QX_get_msg_ptr(const void* pFacility, int msgnum);

/* Copies the text at `offset` of the thread's current file (at most 2047
 * characters) into the thread's text buffer (QX_msg_text). QX_STATUS_SUCCESS, or
 * QX_STATUS_FAILURE when there is no current file or the offset does not point
 * into its texts. pDesc and nReserved are not read. */
QX_EXPORT DWORD QX_get_msg(QXMSGDESC* pDesc, int nReserved, DWORD offset);

/* The calling thread's text buffer that QX_get_msg fills. */
QX_EXPORT const char* QX_msg_text(void);

/* 0 when the second character of `text` is the first letter of the name of
 * `severity` (0-7: WARNING, SUCCESS, ERROR, INFORMATIONAL, FATAL, 5, 6, 7), or
 * when that name does not begin with a letter; 1 otherwise (also for a text
 * shorter than two characters, or NULL). */
QX_EXPORT int QX_severity_not_equal(const char* text, int severity);

/* Writes message-tool error `index` (0-11) into pDesc->szText, filled with
 * "%QXIMSGV" and `value`; returns QX_STATUS_FAILURE. The two are the same. */
QX_EXPORT DWORD QX_IO_error(QXMSGDESC* pDesc, int index, const char* value);
QX_EXPORT DWORD QX_msg_error(QXMSGDESC* pDesc, int index, const char* value);

/* QXmsgf flags (the fifth argument). */
#define QXMSGF_COUNT_MASK 0x00FFu   /* number of substitution values (above 12: 12) */
#define QXMSGF_EXTRA_VALUE 0x0010u  /* a 32-bit value precedes the values (QXmsgf) */
#define QXMSGF_PREFORMATTED 0x0100u /* the first value is the finished text */
#define QXMSGF_NO_EVENT 0x1000u     /* never forward to the event console */
#define QXMSGF_ERRNO 0x2000u        /* append the text of errno on entry */
#define QXMSGF_EVENT 0x4000u        /* forward to the event console */
#define QXMSGF_LOCAL 0x8000u        /* print a time-stamped local line */

/* The record handed to the event-console library's "HvEvt_wto" (zero-filled
 * except for the fields set). The fields keep the console's order; pointers
 * are 64-bit. */
typedef struct QXEVTRECORD {
  DWORD dwReserved0;
  DWORD dwMsgNumber;          /* bits 3-14 of the identifier */
  BYTE abReserved1[36];
  char chSeverity;            /* W, S, E, I, F, or ? for 5-7 */
  BYTE abReserved2[3];
  const char* pszText;        /* the finished narrow text */
  BYTE abReserved3[8];
  const char* pszWorkload;    /* the workload tag, for facilities named QXSH... */
  const char* pszFacility;    /* the facility name, when the facility was found */
  BYTE abReserved4[20];
  DWORD dwExtra;              /* the extra value of QXMSGF_EXTRA_VALUE */
  BYTE abReserved5[20];
} QXEVTRECORD;

/* Entry points of the event-console library "QXEVT.DLL" and the operator
 * library "QXOPRC.DLL". */
typedef int (*QXEVT_WTO_PROC)(int reserved, QXEVTRECORD* pRecord);
typedef int (*QXOPRC_OPRMSG_PROC)(const char* text);

/* A verify procedure: called with each local line before it is printed; a
 * nonzero result means the line is not printed. */
typedef int (*QXMSGF_VERIFY_PROC)(const char* line);

/* Reports message `msgid`: produces its text from the catalog with the values
 * that follow (as many as the flags' count; with QXMSGF_EXTRA_VALUE first one
 * 32-bit extra value; with QXMSGF_PREFORMATTED the finished text instead), then
 * routes it as the flags ask: a time-stamped line on standard error (standard
 * output after ToggleSTDOUTOption(1)), a record for the event console. Each value
 * is read as the conversion of the message text that takes it: pass int for
 * %d/%u/%x, long for %ld, a char* for %s.
 * Returns the finished text (with "\n" after each message line; with the debug
 * suffix " | <path>_<line>" when QX_QXIDEBUG is set), in one of 25 buffers used
 * in turn: valid until 25 further calls; never freed by the caller. errno is kept,
 * except that QXMSGF_ERRNO sets it to 0. May be called again from a verify
 * procedure or the event console. */
QX_EXPORT char* QXmsgf(DWORD dwReserved, int line, const char* path, DWORD msgid,
                       DWORD flags, ...);

/* QXmsgf for wide callers: the path, a pre-formatted text and string values are
 * UTF-16 strings; the result is in a ring of 25 wide buffers. QXMSGF_EXTRA_VALUE
 * is not read. */
QX_EXPORT char16_t* QXmsgfw(DWORD dwReserved, int line, const char16_t* path, DWORD msgid,
                            DWORD flags, ...);

/* The C library's text for an error number (in a per-thread buffer). */
QX_EXPORT const char* QXmsgf_errno(int error);

/* Sets the stdout switch (nonzero: local lines go to standard output);
 * returns its argument. */
QX_EXPORT int ToggleSTDOUTOption(int on);
/* Sets the suppress-console switch (nonzero: nothing goes to the event console);
 * returns its argument. */
QX_EXPORT int ToggleSuppressConsole(int on);
/* Sets the verify procedure (NULL: none); returns its argument. */
QX_EXPORT QXMSGF_VERIFY_PROC QXmsgfSetVerifyProc(QXMSGF_VERIFY_PROC proc);

/* The older entry: the identifier in parts (facility already shifted into bits 16
 * and up), the count as its own argument. Copies the text (NUL-terminated, cut to
 * bufsize - 1) into buffer when both are given; QXMSGF_LOCAL prints it on
 * standard error without date; QXMSGF_EVENT (without QXMSGF_NO_EVENT) hands it to
 * the operator library "QXOPRC.DLL". Returns 0. */
QX_EXPORT int messagef(DWORD dwReserved, int line, const char* path, char* buffer, int bufsize,
                       DWORD facility_bits, int msgnum, int severity, DWORD flags, int count,
                       ...);

/* Compatibility entries that do nothing (not exported as openlog, syslog and
 * closelog, which would replace the C library's syslog(3) functions). */
QX_EXPORT void QXopenlog(void);
QX_EXPORT void QXsyslog(void);
QX_EXPORT void QXcloselog(void);

/* ==== Debug trace writer ==== */

/* A printf-style front end to the product's trace facility (TesTrace of
 * zelapi01, which decides whether and where a line is written). The text is
 * formatted by the product's typed formatter (at most 2048 characters), carriage
 * returns and tabs are removed, and each non-empty line (up to 99 cuts at
 * newlines; the rest then goes whole) is traced with the program's name (its
 * file name without folder, cut at the first "."). A line is passed as plain
 * text, never formatted again. A NULL format traces
 * "ERROR-->DbgWrite has produced an exception, DbgWrite suppressed".
 * Always 0. Thread-safety: may be called from any thread. */
QX_EXPORT int DbgWrite(const char* format, ...);
QX_EXPORT int vDbgWrite(const char* format, va_list ap);
/* The same with a wide format and wide string values; lines are converted to
 * UTF-8 before they are traced. */
QX_EXPORT int DbgWriteW(const char16_t* format, ...);
QX_EXPORT int vDbgWriteW(const char16_t* format, va_list ap);

/* Traces the title (when not NULL), then `length` bytes at `block` as lines of 67
 * characters: the offset ("%06X"), two blanks, the 16 bytes in hex in four groups
 * of four, five blanks, the bytes as characters (others as "."), three blanks.
 * An unreadable block ends the dump with the fault text. Returns the last trace
 * call's result. */
QX_EXPORT int DbgHexDump(const char* title, const void* block, int length);

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

/* Chains: caller-owned blocks in a doubly linked list whose links (next, previous)
 * lie inside each block at the same offset; the caller passes the address of a
 * block's links (and, for key order, of its key), and the offsets follow from it.
 * QXchain adds (first, last, ascending or descending key order), inserts before or
 * after another block, deletes or replaces a block. Results: QXCHAIN_OK,
 * QXCHAIN_FAILED (not found, already in the chain, bad place or key),
 * QXCHAIN_BAD_FUNCTION. While the environment variable QX_QXIDEBUG is defined each
 * failure is also described on standard output.
 * Thread-safety: none; anchors and blocks belong to the caller. */

typedef struct QXCHAIN {
  void* pFirst;
  void* pLast;
} QXCHAIN, *PQXCHAIN;

typedef struct QXCHAINLINKS {
  void* pNext;
  void* pPrev;
} QXCHAINLINKS, *PQXCHAINLINKS;

/* A compound key: parts chained through pNext, each compared as bytes. */
typedef struct QXCHAINKEY {
  struct QXCHAINKEY* pNext;
  DWORD dwReserved;
  DWORD dwLength;
  const void* pKey;
} QXCHAINKEY, *PQXCHAINKEY;

#define QXCHAIN_REPLACE 0x00100000u
#define QXCHAIN_INSERT 0x00200000u
#define QXCHAIN_DELETE 0x00400000u
#define QXCHAIN_ADD 0x00800000u
#define QXCHAIN_DESCENDING 0x00001000u
#define QXCHAIN_ASCENDING 0x00002000u
#define QXCHAIN_FIRST 0x00004000u
#define QXCHAIN_LAST 0x00008000u
#define QXCHAIN_COMPOUND_KEY 0x00000008u
#define QXCHAIN_BEFORE 0x00000004u   /* INSERT before; compound keys: longer first */
#define QXCHAIN_FREE 0x00000002u     /* DELETE: free() the block after unlinking */

#define QXCHAIN_OK 0
#define QXCHAIN_FAILED 1
#define QXCHAIN_BAD_FUNCTION 16

/* pThird: the reference block (INSERT), the block to replace (REPLACE), the address
 * of the new block's key (ADD in key order). pLinks: the address of pBlock's links.
 * dwKeyLength: the key length in bytes (ADD in key order without a compound key). */
QX_EXPORT int QXchain(PQXCHAIN pAnchor, void* pBlock, void* pThird, void* pLinks,
                      DWORD dwCommand, DWORD dwKeyLength);
/* The same; its diagnostics are the same texts. */
QX_EXPORT int QXchain_w(PQXCHAIN pAnchor, void* pBlock, void* pThird, void* pLinks,
                        DWORD dwCommand, DWORD dwKeyLength);

/* Translation in place of the first dwLength characters of a string: with a "from"
 * list, each character found in it becomes the character at the same place in "to"
 * (the pad character when "to" is shorter; a later repeat in "from" wins); without
 * one, "to" names a conversion: "toascii", "toebcdic" (the product's EBCDIC
 * tables), "toupper", "tolower" (ASCII letters), "tograph" (characters other than
 * printable ASCII become the pad). Returns the string, or null (string unchanged)
 * when the string or "to" is null, the length is 0 or the name is unknown. Wide
 * characters above 255 have no table entry and are left unchanged, except by
 * "tograph" and by a "from" list that names them.
 * Thread-safety: reentrant. */
QX_EXPORT LPSTR QXtransn(LPSTR pszText, LPCSTR pszTo, LPCSTR pszFrom, CHAR cPad, DWORD dwLength);
QX_EXPORT LPSTR QXtrans(LPSTR pszText, LPCSTR pszTo, LPCSTR pszFrom, CHAR cPad);
QX_EXPORT LPWSTR QXtransn_w(LPWSTR pwszText, LPCWSTR pwszTo, LPCWSTR pwszFrom, WCHAR wcPad,
                            DWORD dwLength);
QX_EXPORT LPWSTR QXtrans_w(LPWSTR pwszText, LPCWSTR pwszTo, LPCWSTR pwszFrom, WCHAR wcPad);

#endif
