/* The registry store: the Windows registry calls on SQLite.
 *
 * HKEY_LOCAL_MACHINE is $QX_STATE_DIR/registry/machine.db, HKEY_CURRENT_USER is
 * $QX_STATE_DIR/registry/user-<uid>.db; HKEY_USERS, HKEY_CLASSES_ROOT and
 * HKEY_CURRENT_CONFIG are not offered (ERROR_INVALID_HANDLE). Key paths use "\"
 * between keys; a key name may contain "/". Key and value names compare without
 * regard to ASCII case and keep the case they were created with. Subkeys enumerate
 * in a stable order, values in creation order. String data is stored as UTF-16LE
 * with its terminator, as Windows keeps it; the narrow (A) calls convert.
 * Limits as on Windows: key name 255 characters, value name 16,383 characters.
 * Every write is one transaction; concurrent writers in many processes lose
 * nothing, and a writer killed at any moment leaves a consistent store.
 * Results are Windows error numbers (LSTATUS); the calls do not set the last error.
 * A damaged store file gives ERROR_BADDB, ERROR_REGISTRY_CORRUPT or ERROR_CANTOPEN
 * and is never replaced. Access rights are checked per handle as on Windows.
 * Not kept: registry views (KEY_WOW64_* are ignored), links, security
 * descriptors, RegLoadKey. docs/registry.md gives the store's layout, formats
 * and every deviation.
 * Thread-safety: every call may be made from any thread; an HKEY may be shared
 * between threads. */
#ifndef QXPLATFORM_REGISTRY_H
#define QXPLATFORM_REGISTRY_H

#include <qxplatform/types.h>

typedef struct qx_hkey* HKEY;
typedef HKEY* PHKEY;

#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_USERS ((HKEY)(uintptr_t)0x80000003u)
#define HKEY_CURRENT_CONFIG ((HKEY)(uintptr_t)0x80000005u)

/* Value types. */
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

/* Access rights (accepted and checked for shape; the store's file mode decides who
 * may write). */
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

/* Create options and dispositions. */
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001
#define REG_OPTION_BACKUP_RESTORE 0x00000004
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

/* Notification filters. */
#define REG_NOTIFY_CHANGE_NAME 0x00000001
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x00000002
#define REG_NOTIFY_CHANGE_LAST_SET 0x00000004
#define REG_NOTIFY_CHANGE_SECURITY 0x00000008
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000

/* Save and restore. */
#define REG_LATEST_FORMAT 2
#define REG_FORCE_RESTORE 0x00000008
#define REG_WHOLE_HIVE_VOLATILE 0x00000001

/* RegGetValue flags. */
#define RRF_RT_REG_NONE 0x00000001
#define RRF_RT_REG_SZ 0x00000002
#define RRF_RT_REG_EXPAND_SZ 0x00000004
#define RRF_RT_REG_BINARY 0x00000008
#define RRF_RT_REG_DWORD 0x00000010
#define RRF_RT_REG_MULTI_SZ 0x00000020
#define RRF_RT_REG_QWORD 0x00000040
#define RRF_RT_ANY 0x0000FFFF
#define RRF_NOEXPAND 0x10000000

/* Error numbers of RegGetValue's type checks. */
#ifndef ERROR_DATATYPE_MISMATCH
#define ERROR_DATATYPE_MISMATCH 1629L
#endif
#ifndef ERROR_UNSUPPORTED_TYPE
#define ERROR_UNSUPPORTED_TYPE 1630L
#endif

/* Name limits, in characters without the terminator. */
#define QX_REG_MAX_KEY_NAME 255
#define QX_REG_MAX_VALUE_NAME 16383

QXP_API LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                              PHKEY phkResult);
QXP_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                              PHKEY phkResult);
QXP_API LSTATUS RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
QXP_API LSTATUS RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult);

/* Creates the missing keys of the path. REG_OPTION_VOLATILE applies to the last
 * key; keys made on the way are volatile only below a volatile key (Windows makes
 * them all volatile). A non-volatile key below a volatile one fails with
 * ERROR_CHILD_MUST_BE_VOLATILE. */
QXP_API LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                DWORD dwOptions, REGSAM samDesired,
                                const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                LPDWORD lpdwDisposition);
QXP_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                DWORD dwOptions, REGSAM samDesired,
                                const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                LPDWORD lpdwDisposition);
QXP_API LSTATUS RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
QXP_API LSTATUS RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult);

QXP_API LSTATUS RegCloseKey(HKEY hKey);
QXP_API LSTATUS RegFlushKey(HKEY hKey);

QXP_API LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData);
QXP_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData);
/* RegGetValue: reads hkey\lpSubKey's value; expands REG_EXPAND_SZ with the
 * process environment unless RRF_NOEXPAND (the result is then reported as
 * REG_SZ); checks RRF_RT_* (ERROR_UNSUPPORTED_TYPE) and DWORD/QWORD sizes
 * (ERROR_DATATYPE_MISMATCH); strings always come back terminated. */
QXP_API LSTATUS RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags,
                             LPDWORD pdwType, LPVOID pvData, LPDWORD pcbData);
QXP_API LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags,
                             LPDWORD pdwType, LPVOID pvData, LPDWORD pcbData);

QXP_API LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE* lpData, DWORD cbData);
QXP_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE* lpData, DWORD cbData);

QXP_API LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
QXP_API LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
/* Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some). */
QXP_API LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
QXP_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
/* Deletes a key's whole tree; a NULL subkey deletes hKey's subkeys and values. */
QXP_API LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
QXP_API LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);

/* Enumeration: subkeys in the order of their names folded to upper case, values
 * in creation order. A small name buffer gives ERROR_MORE_DATA and the size
 * needed (with the terminator) in *lpcchName. */
QXP_API LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                              LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                              PFILETIME lpftLastWriteTime);
QXP_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                              LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                              PFILETIME lpftLastWriteTime);
QXP_API LSTATUS RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
QXP_API LSTATUS RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName);
QXP_API LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                              LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
QXP_API LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                              LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

/* The narrow form reports maxima in UTF-8 bytes and narrow data sizes, so that
 * buffers of those sizes suffice for the narrow calls; lpcbSecurityDescriptor
 * is always 0. */
QXP_API LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                 LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                 LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                 LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                 LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
QXP_API LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                 LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                 LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                 LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                 LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

/* Saves a key's tree to a standalone hive file (fails with ERROR_ALREADY_EXISTS
 * when the file exists), and restores one into a key, replacing its tree. */
QXP_API LSTATUS RegSaveKeyA(HKEY hKey, LPCSTR lpFile,
                            const LPSECURITY_ATTRIBUTES lpSecurityAttributes);
QXP_API LSTATUS RegSaveKeyW(HKEY hKey, LPCWSTR lpFile,
                            const LPSECURITY_ATTRIBUTES lpSecurityAttributes);
QXP_API LSTATUS RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags);
QXP_API LSTATUS RegRestoreKeyW(HKEY hKey, LPCWSTR lpFile, DWORD dwFlags);

/* Signals hEvent (an event from CreateEvent) once when the key (or, with
 * bWatchSubtree, its tree) changes as dwNotifyFilter says, in this process or
 * another. Only asynchronous notification (fAsynchronous TRUE) is offered with an
 * event; a synchronous call blocks until the change. The watch ends when it has
 * fired or the key is closed. */
QXP_API LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter,
                                        HANDLE hEvent, BOOL fAsynchronous);

#ifdef __cplusplus
#include <string>
#include <string_view>
#include <vector>

namespace qx::platform {

// One value as the wide calls see it: data is the raw bytes (string types as
// UTF-16LE, with their terminator when they were stored with one).
struct RegistryValue {
  std::string name;  // UTF-8; "" is the key's default value
  DWORD type = REG_NONE;
  std::string data;
};

// A key with its values (in creation order) and subkeys, as a hive file holds it.
struct RegistryKeyTree {
  std::string name;  // UTF-8; ignored for the top key of a hive
  std::string cls;
  std::vector<RegistryValue> values;
  std::vector<RegistryKeyTree> subkeys;
};

// The hive file format (docs/registry.md): EncodeHive writes a tree, DecodeHive
// reads and validates one completely (magic, version, lengths, checksum, names
// and their limits, no duplicate names, depth, no trailing bytes). DecodeHive
// returns ERROR_SUCCESS or ERROR_NOT_REGISTRY_FILE, and never reads outside bytes.
QXP_CXX_API std::string EncodeHive(const RegistryKeyTree& tree);
QXP_CXX_API LSTATUS DecodeHive(std::string_view bytes, RegistryKeyTree* out);

// One key of the text export format of qxreg (docs/registry.md): its root name
// ("HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER"), its path below the root and
// its values.
struct RegistryTextKey {
  std::string root;
  std::vector<std::string> path;
  std::vector<RegistryValue> values;
};

// Writes keys in the text export format; ParseRegistryText reads it back exactly.
// ParseRegistryText checks the whole text before it returns anything: on a fault
// it returns false and says where and what in *error ("line N: ...").
QXP_CXX_API std::string FormatRegistryText(const std::vector<RegistryTextKey>& keys);
QXP_CXX_API bool ParseRegistryText(std::string_view text, std::vector<RegistryTextKey>* out,
                                   std::string* error);

// The file that holds a root's store ("" for a root that is not offered).
QXP_CXX_API std::string RegistryStorePath(HKEY root);

// Runs SQLite's integrity check and the store's own structural checks on a
// root's store. ERROR_SUCCESS with *problems empty when sound; ERROR_SUCCESS with
// a description when damaged but readable; an error number when unreadable.
QXP_CXX_API LSTATUS CheckRegistryStore(HKEY root, std::string* problems);

// Lets go of the process's open store files (they close as their last HKEY
// closes); the next call opens them afresh, as a new process would.
QXP_CXX_API void CloseRegistryStores();

}  // namespace qx::platform
#endif

#endif
