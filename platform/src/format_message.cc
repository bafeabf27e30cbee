// FormatMessage over the typed formatter, and the local heap.
#include <qxplatform/errors.h>
#include <qxplatform/format.h>
#include <qxplatform/locale.h>
#include <qxplatform/message.h>
#include <qxplatform/resources.h>
#include <qxplatform/text.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace qx::platform {
namespace {

using Kind = FormatArg::Kind;

bool SystemLanguageOk(DWORD lang) {
  LANGID id = LANGID(lang);
  if (id == 0 || id == LANG_USER_DEFAULT || id == LANG_SYSTEM_DEFAULT) return true;
  if (PRIMARYLANGID(id) == LANG_NEUTRAL || PRIMARYLANGID(id) == LANG_ENGLISH) return true;
  return false;
}

// The template as UTF-8, or nullopt with the last error set.
std::optional<std::string> NarrowTemplate(DWORD flags, LPCVOID source, DWORD id, DWORD lang,
                                          const char16_t* wide_source) {
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (source == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return std::nullopt;
    }
    if (wide_source) {
      auto t = Utf16ToUtf8(wide_source);
      if (!t) SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return t;
    }
    return std::string(static_cast<const char*>(source));
  }
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    if (auto text = FindString(const_cast<void*>(source), id)) return std::string(*text);
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return std::nullopt;
    }
  }
  if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    if (!SystemLanguageOk(lang)) {
      SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
      return std::nullopt;
    }
    if (const char* text = ErrorText(id)) return std::string(text) + "\n";
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return std::nullopt;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return std::nullopt;
}

// The values for the inserts the template uses.
template <typename View>
std::vector<FormatArg> Inserts(DWORD flags, View tmpl, va_list* args, bool wide) {
  std::vector<Kind> kinds = InsertKinds(tmpl, wide);
  if (kinds.empty() || args == nullptr) return {};
  if (!(flags & FORMAT_MESSAGE_ARGUMENT_ARRAY)) return ReadArgs(kinds, *args);
  const auto* array = reinterpret_cast<const DWORD_PTR*>(args);
  std::vector<FormatArg> out;
  for (size_t k = 0; k < kinds.size(); ++k) {
    DWORD_PTR v = array[k];
    switch (kinds[k]) {
      case Kind::kInt:
        out.push_back(FormatArg::Int(int32_t(uint32_t(v))));
        break;
      case Kind::kUInt:
        out.push_back(FormatArg::UInt(uint32_t(v)));
        break;
      case Kind::kDouble: {
        double d;
        static_assert(sizeof d == sizeof v);
        std::memcpy(&d, &v, sizeof d);
        out.push_back(FormatArg::Double(d));
        break;
      }
      case Kind::kString:
        out.push_back(FormatArg::Str(reinterpret_cast<const char*>(v)));
        break;
      case Kind::kWString:
        out.push_back(FormatArg::WStr(reinterpret_cast<const char16_t*>(v)));
        break;
      default:
        out.push_back(FormatArg::Ptr(reinterpret_cast<const void*>(v)));
        break;
    }
  }
  return out;
}

// A system text keeps its single closing line break unless the caller asked for
// no line breaks.
template <typename Str>
void TrimForWidth(DWORD flags, Str* tmpl) {
  if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK)
    while (!tmpl->empty() && (tmpl->back() == '\n' || tmpl->back() == '\r')) tmpl->pop_back();
}

template <typename Ch>
DWORD Deliver(DWORD flags, const std::basic_string<Ch>& text, Ch* buffer, DWORD size) {
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    if (buffer == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (text.empty()) {
      // A result of 0 characters reads as a failure to most callers, who would
      // never free a block: none is handed out, and the last error says success.
      *reinterpret_cast<Ch**>(buffer) = nullptr;
      SetLastError(ERROR_SUCCESS);
      return 0;
    }
    size_t n = std::max<size_t>(text.size() + 1, size);
    auto* block = static_cast<Ch*>(LocalAlloc(LPTR, n * sizeof(Ch)));
    if (block == nullptr) return 0;
    std::memcpy(block, text.c_str(), (text.size() + 1) * sizeof(Ch));
    *reinterpret_cast<Ch**>(buffer) = block;
    return DWORD(text.size());
  }
  if (buffer == nullptr || text.size() + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(Ch));
  if (text.empty()) SetLastError(ERROR_SUCCESS);
  return DWORD(text.size());
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HLOCAL LocalAlloc(UINT uFlags, size_t uBytes) {
  if (uFlags & ~UINT(LPTR)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1)
                                     : std::malloc(uBytes ? uBytes : 1);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list* Arguments) {
  auto tmpl = NarrowTemplate(dwFlags, lpSource, dwMessageId, dwLanguageId, nullptr);
  if (!tmpl) return 0;
  TrimForWidth(dwFlags, &*tmpl);
  bool ignore = dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS;
  std::vector<FormatArg> inserts;
  if (!ignore) inserts = Inserts(dwFlags, std::string_view(*tmpl), Arguments, false);
  std::string out;
  if (!FormatInserts(*tmpl, inserts, &out, ignore, dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Deliver(dwFlags, out, lpBuffer, nSize);
}

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) {
  auto narrow = NarrowTemplate(dwFlags, lpSource, dwMessageId, dwLanguageId,
                               static_cast<const char16_t*>(lpSource));
  if (!narrow) return 0;
  auto tmpl = Utf8ToUtf16(*narrow);
  if (!tmpl) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  TrimForWidth(dwFlags, &*tmpl);
  bool ignore = dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS;
  std::vector<FormatArg> inserts;
  if (!ignore) inserts = Inserts(dwFlags, std::u16string_view(*tmpl), Arguments, true);
  std::u16string out;
  if (!FormatInsertsW(*tmpl, inserts, &out, ignore, dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Deliver(dwFlags, out, lpBuffer, nSize);
}

}  // extern "C"
