/* The process environment through the Windows calls, and %NAME% expansion.
 * Names are case-sensitive as on Linux. Wide forms convert through UTF-8.
 * Thread-safety: the calls serialize on one process-wide lock; other code that
 * calls setenv() directly is not covered by it. */
#ifndef QXPLATFORM_ENVIRONMENT_H
#define QXPLATFORM_ENVIRONMENT_H

#include <qxplatform/types.h>

/* Windows GetEnvironmentVariableA/W: length copied (without NUL); when nSize is too
 * small, the size needed (with NUL) and nothing copied; 0 with
 * ERROR_ENVVAR_NOT_FOUND when unset. */
QXP_API DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
QXP_API DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);

/* Windows SetEnvironmentVariableA/W: a NULL value removes the variable. */
QXP_API BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);
QXP_API BOOL SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue);

/* Windows ExpandEnvironmentStringsA/W: replaces each %NAME% of a set variable by
 * its value; unset names and a lone "%" stay as they are. Returns the size needed
 * including the NUL; copies only when it fits (nSize in characters). 0 on failure. */
QXP_API DWORD ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize);
QXP_API DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize);

#ifdef __cplusplus
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qx::platform {

// The value of an environment variable, nullopt when unset.
QXP_CXX_API std::optional<std::string> GetEnv(const char* name);

// %NAME% expansion as ExpandEnvironmentStringsA does, without size limits.
QXP_CXX_API std::string ExpandEnvironment(std::string_view text);

// Notices cheaply that the process environment may have changed, for callers
// that keep answers worked out from it. A watch remembers the environment's entry
// list (the pointers of `environ`) and the texts of the entries of the names it
// watches. setenv, putenv, unsetenv and clearenv all change the list; a watched
// entry written over in place (a putenv string changed) changes its text. Not
// noticed: some other entry written over in place so that it gains a watched
// name.
// Thread-safety: a watch belongs to one thread (keep it thread_local). Reading the
// environment while another thread changes it is as safe as getenv.
class QXP_CXX_API EnvironmentWatch {
 public:
  explicit EnvironmentWatch(std::vector<std::string> names) : names_(std::move(names)) {}

  // True when the environment may differ from what Record saw; always true before
  // the first Record.
  bool Changed() const;

  // Remembers the environment as it is. Call it before working out the answers,
  // so that a change made meanwhile shows at the next Changed().
  void Record();

 private:
  std::vector<std::string> names_;
  bool recorded_ = false;
  char** array_ = nullptr;
  std::vector<char*> entries_;  // with the terminating null
  // The entries of the watched names that are set, with their texts as recorded.
  std::vector<std::pair<const char*, std::string>> watched_;
};

}  // namespace qx::platform
#endif

#endif
