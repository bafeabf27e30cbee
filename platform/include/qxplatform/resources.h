/* String resources: the string tables of language resource libraries.
 *
 * A language resource library ("base.enu" is libbase.enu.so, see modules.h) holds
 * one string table, exported under the symbol QX_STRING_TABLE_SYMBOL. Its texts are
 * written in a source file per language (UTF-8, Windows insert syntax where a text
 * takes inserts) and compiled into the library:
 *
 *   static const QX_STRING_ENTRY kTexts[] = {{1, "The library %1 ..."}, ...};
 *   QX_DEFINE_STRING_TABLE(kTexts)
 *
 * A program may carry its own table the same way; it must then be linked with
 * -Wl,--export-dynamic-symbol=qx_string_table so that a NULL module finds it.
 * Message-table lookups (FormatMessage with FORMAT_MESSAGE_FROM_HMODULE) read the
 * same table: this platform has one kind of string resource.
 * Thread-safety: all calls may be made from any thread; tables are read-only. */
#ifndef QXPLATFORM_RESOURCES_H
#define QXPLATFORM_RESOURCES_H

#include <qxplatform/types.h>

typedef struct QX_STRING_ENTRY {
  UINT id;
  const char* text; /* UTF-8 */
} QX_STRING_ENTRY;

typedef struct QX_STRING_TABLE {
  DWORD version; /* QX_STRING_TABLE_VERSION */
  DWORD count;
  const QX_STRING_ENTRY* entries;
} QX_STRING_TABLE;

#define QX_STRING_TABLE_SYMBOL "qx_string_table"
#define QX_STRING_TABLE_VERSION 1u

#define QX_DEFINE_STRING_TABLE(entries)                                                         \
  QXP_EXTERN_C __attribute__((visibility("default"))) const QX_STRING_TABLE qx_string_table = { \
      QX_STRING_TABLE_VERSION, (DWORD)(sizeof(entries) / sizeof((entries)[0])), (entries)};

/* Flags of LoadLibraryEx. A language library holds no code that runs at load, so
 * LOAD_LIBRARY_AS_DATAFILE loads it as LoadLibrary does. */
#define DONT_RESOLVE_DLL_REFERENCES 0x00000001
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040

/* Windows LoadLibraryExA/W: as LoadLibraryA/W (searching beside the asking module
 * first); hFile must be NULL (else ERROR_INVALID_PARAMETER). */
QXP_API HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
QXP_API HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);

/* Windows LoadStringA/W: copies string uID of the module's table (NULL: the
 * program's own) into the buffer, at most cchBufferMax - 1 characters and a NUL,
 * cut on a character boundary. Returns the characters copied without the NUL; 0
 * when the string is missing or empty, with the last error ERROR_INVALID_HANDLE
 * (not a loaded module), ERROR_RESOURCE_TYPE_NOT_FOUND (the module has no string
 * table), ERROR_RESOURCE_NAME_NOT_FOUND (no string uID) or ERROR_INVALID_PARAMETER
 * (no buffer). Not kept: LoadStringW with cchBufferMax 0 (a read-only pointer on
 * Windows) fails with ERROR_INVALID_PARAMETER. */
QXP_API int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
QXP_API int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

#ifdef __cplusplus
#include <optional>
#include <string_view>

namespace qx::platform {

// The UTF-8 text of string id in the module's table (nullptr: the program's own);
// nullopt with the last error set as LoadStringA sets it. The view stays valid
// while the process runs (libraries are never unmapped).
QXP_CXX_API std::optional<std::string_view> FindString(HMODULE module, UINT id);

// True when module is the handle of a loaded module (compared, never dereferenced).
QXP_CXX_API bool IsLoadedModule(HMODULE module);

}  // namespace qx::platform
#endif

#endif
