// The exported wildcard calls of both families, narrow and wide.
#include <qxcomn.h>
#include <qxplatform/text.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "wildcard.h"

// The handle is the compiled pattern itself.
struct QXREGPATTERN {
  qx::comn::wildcard::Pattern pattern;
};

namespace qx::comn::wildcard {
namespace {

int CompileInto(QXREGHANDLE* handle, const char16_t* text, DWORD flags, Dialect dialect) {
  if (handle == nullptr) return kSyntaxError;
  *handle = nullptr;
  if (text == nullptr) return kSyntaxError;
  std::unique_ptr<Pattern> pattern;
  int rc = Compile(text, flags, dialect, &pattern);
  if (rc != kCompiled) return rc;
  try {
    auto owned = std::make_unique<QXREGPATTERN>();
    owned->pattern = std::move(*pattern);
    *handle = owned.release();  // freed by QXRegFree / QXWRegFree
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  return kCompiled;
}

int ExecWide(QXREGHANDLE handle, LPCWSTR name, LPCWSTR* marks, size_t length = SIZE_MAX) {
  if (handle == nullptr) return kMatch;
  if (name == nullptr) return kNoMatch;
  std::u16string_view text =
      length == SIZE_MAX ? std::u16string_view(name) : std::u16string_view(name, length);
  Marks found;
  int rc;
  try {
    rc = Match(handle->pattern, text, marks ? &found : nullptr);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  if (rc == kMatch && marks)
    for (int i = 0; i < kMarkSlots; ++i)
      if (found[i] >= 0) marks[i] = name + found[i];
  return rc;
}

// Whether n bytes are all below 0x80, eight at a time.
bool IsAscii(const char* s, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, s + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < n; ++i)
    if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
  return true;
}

bool IsRegular(std::u16string_view text) {
  return text.find_first_of(u"`?*[],{}%") != text.npos;
}

}  // namespace
}  // namespace qx::comn::wildcard

using namespace qx::comn::wildcard;

QX_EXPORT int QXRegCompileW(QXREGHANDLE* phReg, LPCWSTR pwszPattern, DWORD dwFlags) {
  return CompileInto(phReg, pwszPattern, dwFlags, Dialect::kCurrent);
}

QX_EXPORT int QXRegCompile(QXREGHANDLE* phReg, LPCSTR pszPattern, DWORD dwFlags) {
  if (phReg) *phReg = nullptr;
  if (pszPattern == nullptr) return kSyntaxError;
  auto wide = qx::platform::Utf8ToUtf16(pszPattern);
  if (!wide) return kSyntaxError;
  return CompileInto(phReg, wide->c_str(), dwFlags, Dialect::kCurrent);
}

QX_EXPORT int QXRegExecW(QXREGHANDLE hReg, LPCWSTR pwszName, LPCWSTR* apMarks) {
  return ExecWide(hReg, pwszName, apMarks);
}

QX_EXPORT int QXRegExec(QXREGHANDLE hReg, LPCSTR pszName, LPCSTR* apMarks) {
  if (hReg == nullptr) return kMatch;
  if (pszName == nullptr) return kNoMatch;
  // Plain ASCII names, the common case, are matched as they are; a mark's place
  // is then its byte offset too.
  size_t n = std::strlen(pszName);
  if (IsAscii(pszName, n)) {
    Marks found;
    int rc;
    try {
      rc = Match(hReg->pattern, std::string_view(pszName, n), apMarks ? &found : nullptr);
    } catch (const std::bad_alloc&) {
      return kNoMemory;
    }
    if (rc == kMatch && apMarks)
      for (int i = 0; i < kMarkSlots; ++i)
        if (found[i] >= 0) apMarks[i] = pszName + found[i];
    return rc;
  }
  auto wide = qx::platform::Utf8ToUtf16(pszName);
  if (!wide) return kNoMatch;
  if (apMarks == nullptr) return ExecWide(hReg, wide->c_str(), nullptr);
  LPCWSTR wmarks[kMarkSlots] = {};
  int rc = ExecWide(hReg, wide->c_str(), wmarks);
  if (rc != kMatch) return rc;
  // Map each mark from its place in the wide name to the byte where that
  // character begins in the caller's narrow name.
  std::vector<size_t> byte_at(wide->size() + 1);
  size_t unit = 0, b = 0;
  std::string_view s(pszName);
  while (b < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[b]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    byte_at[unit++] = b;
    if (len == 4) byte_at[unit++] = b;  // a surrogate pair: two wide units
    b += len;
  }
  byte_at[unit] = s.size();
  for (int i = 0; i < kMarkSlots; ++i)
    if (wmarks[i]) apMarks[i] = pszName + byte_at[size_t(wmarks[i] - wide->c_str())];
  return rc;
}

QX_EXPORT void QXRegFree(QXREGHANDLE hReg) {
  std::unique_ptr<QXREGPATTERN> owned(hReg);
}

QX_EXPORT int QXIsRegular(LPCSTR pszText) {
  return pszText && std::string_view(pszText).find_first_of("`?*[],{}%") != std::string_view::npos;
}

QX_EXPORT int QXIsRegularW(LPCWSTR pwszText) {
  return pwszText && IsRegular(pwszText);
}

QX_EXPORT int QXWRegCompile(QXREGHANDLE* phReg, LPCWSTR pwszPattern, DWORD dwFlags) {
  return CompileInto(phReg, pwszPattern, dwFlags, Dialect::kLegacy);
}

QX_EXPORT int QXWRegExec(QXREGHANDLE hReg, LPCWSTR pwszName, LPCWSTR* apMarks) {
  return ExecWide(hReg, pwszName, apMarks);
}

QX_EXPORT void QXWRegFree(QXREGHANDLE hReg) {
  QXRegFree(hReg);
}

QX_EXPORT int QXWIsRegular(LPCWSTR pwszText) {
  return pwszText && IsRegular(pwszText);
}
