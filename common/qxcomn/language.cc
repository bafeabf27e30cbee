// Language resource libraries: the exported face of the shared language code.
#include <qxcomn.h>
#include <qxlang.h>
#include <qxplatform/text.h>

#include <cstddef>
#include <optional>
#include <string>

static_assert(sizeof(QXLOCALE) == sizeof(qx::lang::LocalePair));
static_assert(offsetof(QXLOCALE, hModule) == offsetof(qx::lang::LocalePair, module));
static_assert(offsetof(QXLOCALE, uCodePage) == offsetof(qx::lang::LocalePair, code_page));

namespace {

qx::lang::LocalePair* Pair(QXLOCALE* locale) {
  return reinterpret_cast<qx::lang::LocalePair*>(locale);
}

// A wide argument as UTF-8; nullopt for a NULL text, "" for one that does not
// convert (it then matches no library).
std::optional<std::string> Narrow(LPCWSTR text) {
  if (text == nullptr) return std::nullopt;
  auto n = qx::platform::Utf16ToUtf8(text);
  return n ? *n : std::string();
}

}  // namespace

extern "C" {

int loadLocaleA(LPCSTR base, LPCSTR language, QXLOCALE* locale) {
  return qx::lang::LoadLocale(base, language, Pair(locale), __builtin_return_address(0));
}

int loadLocaleW(LPCWSTR base, LPCWSTR language, QXLOCALE* locale) {
  auto b = Narrow(base), l = Narrow(language);
  return qx::lang::LoadLocale(b ? b->c_str() : nullptr, l ? l->c_str() : nullptr, Pair(locale),
                              __builtin_return_address(0));
}

LPSTR loadStrA(LPSTR buffer, UINT id, QXLOCALE* locale) {
  return qx::lang::LoadStr(buffer, id, Pair(locale));
}

LPWSTR loadStrW(LPWSTR buffer, UINT id, QXLOCALE* locale) {
  return qx::lang::LoadStrW(buffer, id, Pair(locale));
}

int freeLocale(QXLOCALE* locale) {
  return qx::lang::FreeLocale(Pair(locale));
}

int getLocaleLib(HMODULE* module) {
  return qx::lang::GetLocaleLib(module);
}

UINT setLocaleCP(UINT code_page) {
  return qx::lang::SetLocaleCP(code_page);
}

DWORD convLocaleA(LPCSTR abbreviation) {
  return qx::lang::ConvLocale(abbreviation);
}

DWORD convLocaleW(LPCWSTR abbreviation) {
  auto a = Narrow(abbreviation);
  return a ? qx::lang::ConvLocale(a->c_str()) : 0;
}

}  // extern "C"
