// The process environment through the Windows calls.
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/text.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qx::platform {
namespace {

// getenv/setenv are not safe against each other; every platform call that touches
// the environment takes this lock.
std::mutex& EnvLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::optional<std::string> WideArg(LPCWSTR s) {
  if (s == nullptr) return std::nullopt;
  return Utf16ToUtf8(std::u16string_view(s));
}

std::string ExpandLocked(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%') {
      size_t end = text.find('%', i + 1);
      if (end != std::string_view::npos && end > i + 1) {
        std::string name(text.substr(i + 1, end - i - 1));
        if (const char* v = std::getenv(name.c_str())) {
          out += v;
          i = end + 1;
          continue;
        }
        // An unknown name stays as written; its closing "%" may open the next one.
        out.append(text.substr(i, end - i));
        i = end;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

}  // namespace

std::optional<std::string> GetEnv(const char* name) {
  std::lock_guard lock(EnvLock());
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::string ExpandEnvironment(std::string_view text) {
  std::lock_guard lock(EnvLock());
  return ExpandLocked(text);
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
  if (lpName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto value = GetEnv(lpName);
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  if (lpBuffer == nullptr || nSize <= value->size()) return DWORD(value->size() + 1);
  std::memcpy(lpBuffer, value->c_str(), value->size() + 1);
  return DWORD(value->size());
}

DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  auto name = WideArg(lpName);
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto value = GetEnv(name->c_str());
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  auto wide = Utf8ToUtf16(*value);
  if (!wide) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (lpBuffer == nullptr || nSize <= wide->size()) return DWORD(wide->size() + 1);
  std::memcpy(lpBuffer, wide->c_str(), (wide->size() + 1) * sizeof(char16_t));
  return DWORD(wide->size());
}

BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
  if (lpName == nullptr || *lpName == '\0' || std::strchr(lpName, '=') != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(EnvLock());
  int rc = lpValue ? ::setenv(lpName, lpValue, 1) : ::unsetenv(lpName);
  if (rc != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

BOOL SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  auto name = WideArg(lpName);
  auto value = WideArg(lpValue);
  if (!name || (lpValue != nullptr && !value)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return FALSE;
  }
  return SetEnvironmentVariableA(name->c_str(), value ? value->c_str() : nullptr);
}

DWORD ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
  if (lpSrc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string out = ExpandEnvironment(lpSrc);
  if (lpDst != nullptr && nSize > out.size()) std::memcpy(lpDst, out.c_str(), out.size() + 1);
  return DWORD(out.size() + 1);
}

DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
  auto src = WideArg(lpSrc);
  if (!src) {
    SetLastError(lpSrc ? ERROR_NO_UNICODE_TRANSLATION : ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto out = Utf8ToUtf16(ExpandEnvironment(*src));
  if (!out) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (lpDst != nullptr && nSize > out->size())
    std::memcpy(lpDst, out->c_str(), (out->size() + 1) * sizeof(char16_t));
  return DWORD(out->size() + 1);
}

}  // extern "C"
