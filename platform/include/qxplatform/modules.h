/* Loading libraries by their Windows-style names.
 *
 * A name like "QXEVT.DLL" or "PROLOGUE" is looked for as libqxevt.so / libprologue.so
 * (lower case, "lib" prefix, ".dll" dropped, ".so" added); "base.enu" becomes
 * libbase.enu.so. A name with a "/" is a path and is used as it is. The search order
 * is: the folder of the library or program that asks, then each folder of
 * QX_LIB_PATH (":"-separated), then the dynamic linker's own search.
 * Bound libraries are never unloaded while the process runs: FreeLibrary only drops
 * the count.
 * Thread-safety: all functions may be called from any thread. */
#ifndef QXPLATFORM_MODULES_H
#define QXPLATFORM_MODULES_H

#include <qxplatform/types.h>

/* Windows LoadLibraryA/W: a module handle, or NULL with ERROR_MOD_NOT_FOUND (or
 * ERROR_BAD_FORMAT when a file was found but is not a loadable library). */
QXP_API HMODULE LoadLibraryA(LPCSTR lpLibFileName);
QXP_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName);

/* Windows GetProcAddress by name; NULL with ERROR_PROC_NOT_FOUND. Ordinals are
 * not supported on this platform (a value below 65536 fails the same way). */
QXP_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

/* Windows FreeLibrary: always TRUE for a module this library loaded; the library
 * stays mapped. */
QXP_API BOOL FreeLibrary(HMODULE hLibModule);

/* Windows GetModuleHandleA: NULL name gives the program itself. A named module is
 * found only when it is already loaded. */
QXP_API HMODULE GetModuleHandleA(LPCSTR lpModuleName);

/* Windows GetModuleFileNameA/W: the full path of the module (NULL: the program).
 * Returns the length copied; on truncation copies nSize-1 characters plus NUL,
 * returns nSize and sets ERROR_INSUFFICIENT_BUFFER. */
QXP_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
QXP_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

#ifdef __cplusplus
#include <string>
#include <string_view>

namespace qx::platform {

// The file name a Windows-style library name stands for ("QXEVT.DLL" ->
// "libqxevt.so"). A name with "/" is returned unchanged.
QXP_CXX_API std::string LibraryFileName(std::string_view name);

// Loads a library as LoadLibraryA does, but searches first in the folder of the
// module that contains caller_address (pass an address inside the asking library).
QXP_CXX_API HMODULE LoadLibraryFrom(const void* caller_address,
                                                              std::string_view name);

// The path of the module (program or library) containing address, or "" when
// unknown.
QXP_CXX_API std::string ModulePath(const void* address);

// The folder of the module containing address, or "" when unknown.
QXP_CXX_API std::string ModuleFolder(const void* address);

// Whether the loader's own search for a bare library file name can find it (the
// last step of LoadLibraryFrom, taken only then).
QXP_CXX_API bool LoaderMayFind(const std::string& file);

// Whether the bytes of a loader cache file (/etc/ld.so.cache in the format that
// ldconfig has written since glibc 2.32: a header, fixed-size entries, then the
// strings, each offset counted from the start of the file) list the file name.
// Bytes of another format give true: the caller then asks the loader itself.
QXP_CXX_API bool LoaderCacheLists(std::string_view cache, const std::string& file);

}  // namespace qx::platform
#endif

#endif
