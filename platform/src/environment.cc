// The process environment through the Windows calls.
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/text.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "address_sanitizer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// Memory is mapped in whole pages: bytes that share a page with a readable byte
// are readable too.
constexpr uintptr_t kPage = 4096;

[[maybe_unused]] bool InOnePage(const void* p, size_t size) {
  return (reinterpret_cast<uintptr_t>(p) & (kPage - 1)) <= kPage - size;
}

// True when the NUL-terminated text differs from expected (whose size is known).
// Like strcmp, but in line: blocks of the text may be read past its NUL inside
// one page.
bool TextDiffers(const char* text, const std::string& expected) {
  const char* want = expected.c_str();
  size_t size = expected.size() + 1;  // the NUL must match too
  size_t i = 0;
#if defined(__SSE2__) && !defined(QXP_ADDRESS_SANITIZER)
  constexpr size_t kBlock = 16;
  auto block_differs = [&](size_t at) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(want + at));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(a, b)) != 0xFFFF;
  };
  for (; i + kBlock <= size && InOnePage(text + i, kBlock); i += kBlock)
    if (block_differs(i)) return true;
  // Fewer bytes than a block left: one block ending with expected's NUL,
  // overlapping bytes already compared. (A block that would cross a page is
  // left to the bytewise compare below.)
  if (i < size && size - i < kBlock && size >= kBlock && InOnePage(text + size - kBlock, kBlock))
    return block_differs(size - kBlock);
#endif
  // The rest byte by byte, stopping at the first difference: the text's NUL
  // differs from any byte of expected before expected's own NUL.
  for (; i < size; ++i)
    if (text[i] != want[i]) return true;
  return false;
}

// True when list[0..count) differs from recorded[0..count), where recorded ends
// with its only null. The compare stops at the first difference, which a
// shorter list has at or before its own null: list's entries are read no
// further than that, except that a block of entries read at once may run past
// its null inside the same memory page, which is mapped as a whole (the way the
// C library's string functions read). Blocks keep the compare to a few
// instructions per entry: environments hold dozens of entries and a watching
// caller compares them at every call.
bool ListsDiffer(char* const* list, char* const* recorded, size_t count) {
  size_t i = 0;
#if defined(__SSE2__) && !defined(QXP_ADDRESS_SANITIZER)
  constexpr size_t kBlock = 8;  // entries, 64 bytes
  while (i + kBlock <= count) {
    if (!InOnePage(list + i, kBlock * sizeof(char*))) {
      // A block across a page's end: entry by entry.
      for (size_t end = i + kBlock; i < end; ++i)
        if (list[i] != recorded[i]) return true;
      continue;
    }
    auto load = [](char* const* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    __m128i same01 = _mm_and_si128(_mm_cmpeq_epi32(load(list + i), load(recorded + i)),
                                   _mm_cmpeq_epi32(load(list + i + 2), load(recorded + i + 2)));
    __m128i same23 = _mm_and_si128(_mm_cmpeq_epi32(load(list + i + 4), load(recorded + i + 4)),
                                   _mm_cmpeq_epi32(load(list + i + 6), load(recorded + i + 6)));
    if (_mm_movemask_epi8(_mm_and_si128(same01, same23)) != 0xFFFF) return true;
    i += kBlock;
  }
  // Fewer entries than a block left: one block ending with the recorded null,
  // overlapping entries already compared.
  if (i < count && count >= kBlock && InOnePage(list + count - kBlock, kBlock * sizeof(char*)))
    return ListsDiffer(list + count - kBlock, recorded + count - kBlock, kBlock);
#endif
  for (; i < count; ++i)
    if (list[i] != recorded[i]) return true;
  return false;
}

}  // namespace

bool EnvironmentWatch::Changed() const {
  char** env = environ;
  if (!recorded_ || env != array_) return true;
  if (ListsDiffer(env, entries_.data(), entries_.size())) return true;
  for (const auto& [entry, text] : watched_)
    if (TextDiffers(entry, text)) return true;
  return false;
}

void EnvironmentWatch::Record() {
  char** env = environ;
  array_ = env;
  entries_.clear();
  watched_.clear();
  for (size_t i = 0; env != nullptr && env[i] != nullptr; ++i) entries_.push_back(env[i]);
  if (env != nullptr) entries_.push_back(nullptr);
  for (const std::string& name : names_) {
    for (size_t i = 0; env != nullptr && env[i] != nullptr; ++i) {
      // The first entry of a name is the one getenv answers with.
      if (std::strncmp(env[i], name.c_str(), name.size()) == 0 && env[i][name.size()] == '=') {
        watched_.emplace_back(env[i], env[i]);
        break;
      }
    }
  }
  recorded_ = true;
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
