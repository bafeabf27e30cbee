// Strict UTF-8 <-> UTF-16 conversion.
#include <qxplatform/errors.h>
#include <qxplatform/text.h>

#include <climits>
#include <cstring>

namespace qx::platform {
namespace {

// Decodes one code point from UTF-8 at s[i..n). Returns false on a malformed,
// truncated, over-long or surrogate sequence, or one above U+10FFFF.
bool DecodeUtf8(const unsigned char* s, size_t n, size_t* i, char32_t* out) {
  unsigned char c = s[*i];
  if (c < 0x80) {
    *out = c;
    *i += 1;
    return true;
  }
  int len;
  char32_t cp, min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (n - *i < size_t(len)) return false;
  for (int k = 1; k < len; ++k) {
    unsigned char cc = s[*i + k];
    if ((cc & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  *out = cp;
  *i += len;
  return true;
}

// Calls sink(char16_t) for each UTF-16 unit; false on malformed input.
template <typename Sink>
bool WalkUtf8(const char* text, size_t n, Sink&& sink) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < n) {
    char32_t cp;
    if (!DecodeUtf8(s, n, &i, &cp)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      sink(char16_t(0xD800 + (cp >> 10)));
      sink(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      sink(char16_t(cp));
    }
  }
  return true;
}

// Calls sink(char) for each UTF-8 byte; false on an unpaired surrogate.
template <typename Sink>
bool WalkUtf16(const char16_t* s, size_t n, Sink&& sink) {
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= n || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) {
      sink(char(cp));
    } else if (cp < 0x800) {
      sink(char(0xC0 | (cp >> 6)));
      sink(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      sink(char(0xE0 | (cp >> 12)));
      sink(char(0x80 | ((cp >> 6) & 0x3F)));
      sink(char(0x80 | (cp & 0x3F)));
    } else {
      sink(char(0xF0 | (cp >> 18)));
      sink(char(0x80 | ((cp >> 12) & 0x3F)));
      sink(char(0x80 | ((cp >> 6) & 0x3F)));
      sink(char(0x80 | (cp & 0x3F)));
    }
  }
  return true;
}

bool KnownCodePage(UINT cp) {
  return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == CP_UTF8;
}

}  // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  if (!WalkUtf8(text.data(), text.size(), [&](char16_t c) { out.push_back(c); }))
    return std::nullopt;
  return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  if (!WalkUtf16(text.data(), text.size(), [&](char c) { out.push_back(c); })) return std::nullopt;
  return out;
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

size_t qx_wcslen(LPCWSTR s) { return s ? std::char_traits<char16_t>::length(s) : 0; }

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  if (!KnownCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
      cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
  size_t needed = 0;
  if (!WalkUtf8(lpMultiByteStr, n, [&](char16_t) { ++needed; })) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (needed > size_t(INT_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (cchWideChar == 0) return int(needed);
  if (needed > size_t(cchWideChar)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  size_t k = 0;
  WalkUtf8(lpMultiByteStr, n, [&](char16_t c) { lpWideCharStr[k++] = c; });
  return int(needed);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
  if (!KnownCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
      cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
  size_t n = cchWideChar == -1 ? qx_wcslen(lpWideCharStr) + 1 : size_t(cchWideChar);
  size_t needed = 0;
  if (!WalkUtf16(lpWideCharStr, n, [&](char) { ++needed; })) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (needed > size_t(INT_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (cbMultiByte == 0) return int(needed);
  if (needed > size_t(cbMultiByte)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  size_t k = 0;
  WalkUtf16(lpWideCharStr, n, [&](char c) { lpMultiByteStr[k++] = c; });
  return int(needed);
}

}  // extern "C"
