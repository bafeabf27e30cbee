/* Message formatting through the Windows FormatMessage call, and the local heap
 * calls its allocated results are freed with.
 *
 * Templates use the Windows insert syntax (%1 .. %99, %1!d!, %%, %n, %0; see
 * format.h, whose formatter does the work). Sources:
 *   FORMAT_MESSAGE_FROM_STRING   lpSource is the template
 *   FORMAT_MESSAGE_FROM_HMODULE  the string table of module lpSource (NULL: the
 *                                program's own; resources.h), any language
 *   FORMAT_MESSAGE_FROM_SYSTEM   the platform's error texts (errors.h), in English:
 *                                a language other than neutral, the user or system
 *                                default or an English one fails with
 *                                ERROR_RESOURCE_LANG_NOT_FOUND. Each text ends with
 *                                one line break, "\r\n" as on Windows (the formatter
 *                                turns a template's line breaks into "\r\n"; %n
 *                                gives a bare "\n").
 * Missing message numbers fail with ERROR_MR_MID_NOT_FOUND.
 * Arguments: a va_list* read by the kinds the template needs, or with
 * FORMAT_MESSAGE_ARGUMENT_ARRAY an array of DWORD_PTR values (a %1!d! insert takes
 * the low 32 bits, a string insert the pointer). A template that needs inserts but
 * has no arguments fails with ERROR_INVALID_PARAMETER.
 * Thread-safety: all calls are reentrant. */
#ifndef QXPLATFORM_MESSAGE_H
#define QXPLATFORM_MESSAGE_H

#include <qxplatform/types.h>
#include <stdarg.h>

typedef HANDLE HLOCAL;

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

/* Windows LocalAlloc (fixed memory only: LMEM_MOVEABLE fails with
 * ERROR_INVALID_PARAMETER) and LocalFree (NULL on success, as on Windows). */
QXP_API HLOCAL LocalAlloc(UINT uFlags, size_t uBytes);
QXP_API HLOCAL LocalFree(HLOCAL hMem);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

/* Windows FormatMessageA/W. Returns the characters stored without the NUL, 0 on
 * failure with the last error set (an empty result returns 0 with the last error
 * ERROR_SUCCESS, and with FORMAT_MESSAGE_ALLOCATE_BUFFER hands out no block). Without FORMAT_MESSAGE_ALLOCATE_BUFFER, nSize is
 * the buffer's size in characters and a result that does not fit fails with
 * ERROR_INSUFFICIENT_BUFFER (nothing is stored); with it, lpBuffer is really an
 * LPSTR* (LPWSTR*) that receives a LocalAlloc block of at least nSize characters. */
QXP_API DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                             LPSTR lpBuffer, DWORD nSize, va_list* Arguments);
QXP_API DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                             LPWSTR lpBuffer, DWORD nSize, va_list* Arguments);

#endif
