/* Conversion between narrow text (UTF-8, the "ANSI code page" on this platform) and
 * wide text (UTF-16 in char16_t). Conversions are strict: malformed UTF-8, an
 * unpaired surrogate or an over-long form fails with ERROR_NO_UNICODE_TRANSLATION
 * and writes nothing, whatever the flags ask.
 * Thread-safety: all functions are reentrant. */
#ifndef QXPLATFORM_TEXT_H
#define QXPLATFORM_TEXT_H

#include <qxplatform/types.h>

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

/* Windows MultiByteToWideChar. CodePage: CP_ACP, CP_OEMCP, CP_THREAD_ACP and CP_UTF8
 * all mean UTF-8 here; others fail with ERROR_INVALID_PARAMETER. cbMultiByte -1
 * means "NUL-terminated, convert the NUL too". cchWideChar 0 asks for the size.
 * Returns the number of wide characters written (or needed), 0 on failure with the
 * last error set (ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION,
 * ERROR_INVALID_PARAMETER). Kept: sizes, the -1 convention. Not kept: replacement
 * of invalid input by U+FFFD (it always fails instead). */
QXP_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);

/* Windows WideCharToMultiByte, with the same conventions. lpDefaultChar and
 * lpUsedDefaultChar are accepted and ignored (UTF-8 represents every character;
 * *lpUsedDefaultChar is set to FALSE). */
QXP_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

/* Length of a NUL-terminated wide string, in characters. */
QXP_API size_t qx_wcslen(LPCWSTR s);

#ifdef __cplusplus
#include <optional>
#include <string>
#include <string_view>

namespace qx::platform {

// Strict UTF-8 to UTF-16; nullopt on malformed input.
QXP_CXX_API std::optional<std::u16string> Utf8ToUtf16(
    std::string_view text);

// Strict UTF-16 to UTF-8; nullopt on an unpaired surrogate.
QXP_CXX_API std::optional<std::string> Utf16ToUtf8(
    std::u16string_view text);

// ASCII-only case folding, as the product compares names "without regard to case".
inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
inline char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }
inline char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
inline char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

template <typename Ch>
bool EqualsNoCase(std::basic_string_view<Ch> a, std::basic_string_view<Ch> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

}  // namespace qx::platform
#endif

#endif
