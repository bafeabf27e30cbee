// Language resource libraries.
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/resources.h>
#include <qxplatform/text.h>
#include <zelapi01.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qxlang.h"

namespace qx::lang {
namespace {

constexpr const char* kTraceName = "QXLOCALE";

LocalePair g_default;  // the process default pair

// The state of one search: the names that failed to load. A nested load on the
// same thread (a trace hook loading a library, say) joins the search in progress.
struct Search {
  std::string base;
  const void* asker = nullptr;
  std::vector<std::string> failed;  // lower-case names
};
thread_local Search* t_search = nullptr;

std::string Lower(std::string s) {
  for (char& c : s) c = platform::AsciiLower(c);
  return s;
}

HMODULE Try(Search& s, const std::string& code) {
  std::string name = s.base + "." + code;
  std::string key = Lower(name);
  for (const auto& f : s.failed)
    if (f == key) return nullptr;
  HMODULE h = platform::LoadLibraryFrom(s.asker, name);
  if (h != nullptr) {
    SetTraceStringA(kTraceName, "loadLocale: successfully loaded library '%s'\n", name.c_str());
  } else {
    int rc = int(GetLastError());
    SetTraceStringA(kTraceName, "loadLocale: cannot load library '%s', rc=%d\n", name.c_str(), rc);
    s.failed.push_back(key);
  }
  return h;
}

// One candidate: as it is, as its first two letters, then every known locale
// whose abbreviation begins with the same two letters.
HMODULE TryCandidate(Search& s, const std::string& code) {
  if (code.empty()) return nullptr;
  if (HMODULE h = Try(s, code)) return h;
  if (code.size() < 2) return nullptr;
  std::string two = code.substr(0, 2);
  if (code.size() == 3)
    if (HMODULE h = Try(s, two)) return h;
  for (const auto& l : platform::KnownLocales()) {
    std::string_view abbrev(l.abbreviation);
    if (platform::EqualsNoCase(abbrev.substr(0, 2), std::string_view(two)))
      if (HMODULE h = Try(s, l.abbreviation)) return h;
  }
  return nullptr;
}

std::string Abbreviation(LCID lcid) {
  char buf[16];
  return GetLocaleInfoA(lcid, LOCALE_SABBREVLANGNAME, buf, sizeof buf) ? buf : "";
}

HMODULE SearchAll(Search& s, const char* language) {
  std::vector<std::string> candidates;
  if (language && *language) candidates.emplace_back(language);
  char user[4] = {};
  if (QueryUserLanguage(user) && user[0] != '\0' && user[0] != ' ') candidates.emplace_back(user);
  candidates.push_back(Abbreviation(GetThreadLocale()));
  candidates.push_back(Abbreviation(GetUserDefaultLCID()));
  candidates.push_back(Abbreviation(GetSystemDefaultLCID()));
  candidates.emplace_back("enu");
  for (const auto& c : candidates)
    if (HMODULE h = TryCandidate(s, c)) return h;
  return nullptr;
}

// The module's file name without its folder.
std::string ModuleBaseName(HMODULE module) {
  char path[4096];
  DWORD n = GetModuleFileNameA(module, path, sizeof path);
  if (n == 0 || n >= sizeof path) return "";
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// Length of the longest prefix of text within max bytes that ends on a UTF-8
// character boundary.
size_t Utf8Cut(const std::string& text, size_t max) {
  if (text.size() <= max) return text.size();
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

// The wide string (at most kStrBufferWide - 1 characters), or the placeholder.
std::u16string Fetch(UINT id, const LocalePair* pair) {
  HMODULE module = pair ? pair->module : g_default.module;
  char text[96];
  if (module == nullptr) {
    std::snprintf(text, sizeof text, "<id=%d,no locale lib>", int(id));
    return *platform::Utf8ToUtf16(text);
  }
  char16_t buf[kStrBufferWide];
  SetLastError(0);
  if (LoadStringW(module, id, buf, int(kStrBufferWide)) > 0) return buf;
  DWORD rc = GetLastError();
  if (rc == 0) return u"";  // the string exists and is empty
  std::string lib = ModuleBaseName(module);
  std::snprintf(text, sizeof text, "<id=%d,rc=%d,lib=%.15s>", int(id), int(rc), lib.c_str());
  auto wide = platform::Utf8ToUtf16(text);
  return wide ? *wide : u"";
}

}  // namespace

int LoadLocale(const char* base, const char* language, LocalePair* pair, const void* asker) {
  if (pair == nullptr) FreeLocale(nullptr);
  HMODULE module = nullptr;
  if (base != nullptr) {
    Search own;
    bool made = t_search == nullptr;
    if (made) t_search = &own;
    Search& s = *t_search;
    std::string saved_base = s.base;
    const void* saved_asker = s.asker;
    s.base = base;
    s.asker = asker;
    if (language && *language) module = Try(s, language);
    if (module == nullptr) module = SearchAll(s, language);
    if (module == nullptr) module = Try(s, "dll");
    s.base = saved_base;
    s.asker = saved_asker;
    if (made) t_search = nullptr;
  } else {
    module = GetModuleHandleA(nullptr);
  }
  LocalePair& target = pair ? *pair : g_default;
  target.module = module;
  target.code_page = GetACP();
  return module ? 0 : 1;
}

char* LoadStr(char* buffer, UINT id, const LocalePair* pair) {
  static char unknown[] = "???";
  if (buffer == nullptr) return unknown;
  std::u16string wide = Fetch(id, pair);
  // The code page is UTF-8 whatever the pair says; the conversion cannot fail for
  // text that came out of LoadStringW.
  auto narrow = platform::Utf16ToUtf8(wide);
  std::string text = narrow ? *narrow : std::string();
  size_t n = Utf8Cut(text, kStrBufferBytes - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return buffer;
}

char16_t* LoadStrW(char16_t* buffer, UINT id, const LocalePair* pair) {
  static char16_t unknown[] = u"???";
  if (buffer == nullptr) return unknown;
  std::u16string wide = Fetch(id, pair);
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  return buffer;
}

int FreeLocale(LocalePair* pair) {
  LocalePair& target = pair ? *pair : g_default;
  if (target.module != nullptr) FreeLibrary(target.module);
  target.module = nullptr;
  return 0;
}

int GetLocaleLib(HMODULE* module) {
  if (module != nullptr) *module = g_default.module;
  return 0;
}

UINT SetLocaleCP(UINT code_page) {
  UINT previous = g_default.code_page;
  g_default.code_page = code_page;
  return previous;
}

LCID ConvLocale(const char* abbreviation) {
  if (abbreviation == nullptr) return 0;
  for (const auto& l : platform::KnownLocales())
    if (platform::EqualsNoCase(std::string_view(l.abbreviation), std::string_view(abbreviation)))
      return l.lcid;
  return 0;
}

}  // namespace qx::lang
