// The known locales and the user, system and thread locales.
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/locale.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace qx::platform {
namespace {

// The locales this platform knows, in ascending number order. The abbreviations
// are Windows' own, since the product names its language libraries after them.
constexpr KnownLocale kLocales[] = {
    {0x0401, "ARA", "ar_SA", "Arabic (Saudi Arabia)"},
    {0x0402, "BGR", "bg_BG", "Bulgarian (Bulgaria)"},
    {0x0403, "CAT", "ca_ES", "Catalan (Catalan)"},
    {0x0404, "CHT", "zh_TW", "Chinese (Taiwan)"},
    {0x0405, "CSY", "cs_CZ", "Czech (Czech Republic)"},
    {0x0406, "DAN", "da_DK", "Danish (Denmark)"},
    {0x0407, "DEU", "de_DE", "German (Germany)"},
    {0x0408, "ELL", "el_GR", "Greek (Greece)"},
    {0x0409, "ENU", "en_US", "English (United States)"},
    {0x040A, "ESP", "es_ES", "Spanish (Spain, Traditional Sort)"},
    {0x040B, "FIN", "fi_FI", "Finnish (Finland)"},
    {0x040C, "FRA", "fr_FR", "French (France)"},
    {0x040D, "HEB", "he_IL", "Hebrew (Israel)"},
    {0x040E, "HUN", "hu_HU", "Hungarian (Hungary)"},
    {0x040F, "ISL", "is_IS", "Icelandic (Iceland)"},
    {0x0410, "ITA", "it_IT", "Italian (Italy)"},
    {0x0411, "JPN", "ja_JP", "Japanese (Japan)"},
    {0x0412, "KOR", "ko_KR", "Korean (Korea)"},
    {0x0413, "NLD", "nl_NL", "Dutch (Netherlands)"},
    {0x0414, "NOR", "nb_NO", "Norwegian, Bokmal (Norway)"},
    {0x0415, "PLK", "pl_PL", "Polish (Poland)"},
    {0x0416, "PTB", "pt_BR", "Portuguese (Brazil)"},
    {0x0418, "ROM", "ro_RO", "Romanian (Romania)"},
    {0x0419, "RUS", "ru_RU", "Russian (Russia)"},
    {0x041A, "HRV", "hr_HR", "Croatian (Croatia)"},
    {0x041B, "SKY", "sk_SK", "Slovak (Slovakia)"},
    {0x041D, "SVE", "sv_SE", "Swedish (Sweden)"},
    {0x041E, "THA", "th_TH", "Thai (Thailand)"},
    {0x041F, "TRK", "tr_TR", "Turkish (Turkey)"},
    {0x0422, "UKR", "uk_UA", "Ukrainian (Ukraine)"},
    {0x0424, "SLV", "sl_SI", "Slovenian (Slovenia)"},
    {0x0804, "CHS", "zh_CN", "Chinese (People's Republic of China)"},
    {0x0807, "DES", "de_CH", "German (Switzerland)"},
    {0x0809, "ENG", "en_GB", "English (United Kingdom)"},
    {0x080A, "ESM", "es_MX", "Spanish (Mexico)"},
    {0x080C, "FRB", "fr_BE", "French (Belgium)"},
    {0x0810, "ITS", "it_CH", "Italian (Switzerland)"},
    {0x0813, "NLB", "nl_BE", "Dutch (Belgium)"},
    {0x0816, "PTG", "pt_PT", "Portuguese (Portugal)"},
    {0x0C07, "DEA", "de_AT", "German (Austria)"},
    {0x0C09, "ENA", "en_AU", "English (Australia)"},
    {0x0C0A, "ESN", "es_ES", "Spanish (Spain, International Sort)"},
    {0x0C0C, "FRC", "fr_CA", "French (Canada)"},
    {0x1009, "ENC", "en_CA", "English (Canada)"},
    {0x100C, "FRS", "fr_CH", "French (Switzerland)"},
    {0x1409, "ENZ", "en_NZ", "English (New Zealand)"},
    {0x1809, "ENI", "en_IE", "English (Ireland)"},
};

constexpr LCID kFallbackLocale = 0x0409;

thread_local LCID t_thread_locale = 0;  // 0: follow the user default

LCID FromName(const std::string& name) {
  auto lcid = LocaleFromPosixName(name);
  return lcid ? *lcid : kFallbackLocale;
}

// LANG from /etc/default/locale (Debian's system-wide setting), "" when absent.
std::string SystemLocaleName() {
  if (auto v = GetEnv("QX_SYSTEM_LOCALE"); v && !v->empty()) return *v;
  const std::string text = ReadSmallFile("/etc/default/locale");
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string line(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.compare(0, 5, "LANG=") != 0) continue;
    std::string v = line.substr(5);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    return v;
  }
  return "";
}

LCID Resolve(LCID lcid) {
  switch (lcid) {
    case LOCALE_NEUTRAL:
    case LOCALE_USER_DEFAULT:
      return GetUserDefaultLCID();
    case LOCALE_SYSTEM_DEFAULT:
      return GetSystemDefaultLCID();
    default:
      return lcid;
  }
}

// The text of one piece of information, or nullopt for an unknown type.
std::optional<std::string> Info(const KnownLocale& l, LCTYPE type) {
  char buf[16];
  switch (type & 0xFFFF) {
    case LOCALE_ILANGUAGE:
      std::snprintf(buf, sizeof buf, "%04x", unsigned(LANGIDFROMLCID(l.lcid)));
      return buf;
    case LOCALE_SLANGUAGE:
    case LOCALE_SENGLANGUAGE:
      return std::string(l.english);
    case LOCALE_SABBREVLANGNAME:
      return std::string(l.abbreviation);
    case LOCALE_SISO639LANGNAME:
      return std::string(l.posix, std::strchr(l.posix, '_'));
    case LOCALE_SISO3166CTRYNAME:
      return std::string(std::strchr(l.posix, '_') + 1);
    case LOCALE_IDEFAULTCODEPAGE:
    case LOCALE_IDEFAULTANSICODEPAGE:
      return std::string("65001");
    default:
      return std::nullopt;
  }
}

template <typename Ch>
int CopyOut(const std::basic_string<Ch>& text, Ch* out, int cch) {
  int need = int(text.size()) + 1;
  if (cch == 0) return need;
  if (out == nullptr || cch < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, text.c_str(), need * sizeof(Ch));
  return need;
}

}  // namespace

std::span<const KnownLocale> KnownLocales() {
  return kLocales;
}

const KnownLocale* FindLocale(LCID lcid) {
  lcid = Resolve(lcid);
  for (const auto& l : kLocales)
    if (l.lcid == (lcid & 0xFFFF)) return &l;
  return nullptr;
}

std::optional<LCID> LocaleFromPosixName(std::string_view name) {
  // Drop ".codeset" and "@modifier".
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty()) return std::nullopt;
  for (const auto& l : kLocales)
    if (name == l.posix) return l.lcid;
  if (name.find('_') == std::string_view::npos) {
    for (const auto& l : kLocales) {
      std::string_view p(l.posix);
      if (p.substr(0, p.find('_')) == name) return l.lcid;
    }
  }
  return std::nullopt;
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

LCID GetUserDefaultLCID(void) {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    auto v = GetEnv(var);
    if (v && !v->empty()) return FromName(*v);
  }
  return kFallbackLocale;
}

LCID GetSystemDefaultLCID(void) {
  return FromName(SystemLocaleName());
}

LCID GetThreadLocale(void) {
  return t_thread_locale ? t_thread_locale : GetUserDefaultLCID();
}

BOOL SetThreadLocale(LCID Locale) {
  const KnownLocale* l = FindLocale(Locale);
  if (l == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  t_thread_locale = l->lcid;
  return TRUE;
}

LANGID GetUserDefaultLangID(void) {
  return LANGIDFROMLCID(GetUserDefaultLCID());
}
LANGID GetSystemDefaultLangID(void) {
  return LANGIDFROMLCID(GetSystemDefaultLCID());
}
LANGID GetUserDefaultUILanguage(void) {
  return GetUserDefaultLangID();
}
LANGID GetSystemDefaultUILanguage(void) {
  return GetSystemDefaultLangID();
}

UINT GetACP(void) {
  return CP_UTF8;
}
UINT GetOEMCP(void) {
  return CP_UTF8;
}

int GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData, int cchData) {
  const KnownLocale* l = FindLocale(Locale);
  auto text = l ? Info(*l, LCType) : std::nullopt;
  if (!text || cchData < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return CopyOut(*text, lpLCData, cchData);
}

int GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData) {
  const KnownLocale* l = FindLocale(Locale);
  auto text = l ? Info(*l, LCType) : std::nullopt;
  if (!text || cchData < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto wide = Utf8ToUtf16(*text);
  return CopyOut(*wide, lpLCData, cchData);
}

BOOL EnumSystemLocalesA(LOCALE_ENUMPROCA lpLocaleEnumProc, DWORD dwFlags) {
  if (lpLocaleEnumProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (const auto& l : kLocales) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", unsigned(l.lcid));
    if (!lpLocaleEnumProc(buf)) break;
  }
  return TRUE;
}

BOOL EnumSystemLocalesW(LOCALE_ENUMPROCW lpLocaleEnumProc, DWORD dwFlags) {
  if (lpLocaleEnumProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (const auto& l : kLocales) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", unsigned(l.lcid));
    std::u16string wide(buf, buf + std::strlen(buf));
    if (!lpLocaleEnumProc(wide.data())) break;
  }
  return TRUE;
}

BOOL IsValidLocale(LCID Locale, DWORD dwFlags) {
  for (const auto& l : kLocales)
    if (l.lcid == Locale) return TRUE;
  return FALSE;
}

}  // extern "C"
