/* Locales: the list of known locales and the user, system and thread locales.
 *
 * Windows names a locale by a number (LCID, 0x0409 for English in the United
 * States) and gives each a three-letter abbreviation ("ENU") that the product uses
 * to name its language resource libraries. This platform keeps one fixed table of
 * known locales (number, abbreviation, POSIX name such as en_US); it stands for the
 * locales "installed" on the system and is enumerated in ascending number order.
 *
 * The user default locale comes from the first of LC_ALL, LC_MESSAGES and LANG that
 * is set and not empty ("de_DE.UTF-8" -> de_DE -> 0x0407; a language alone, "de",
 * takes the first table entry of that language). "C", "POSIX", an unset
 * environment or an unknown name give 0x0409. The system default locale comes from
 * QX_SYSTEM_LOCALE when set, else LANG in /etc/default/locale, else 0x0409. The
 * thread locale is the user default until SetThreadLocale changes it for the thread.
 * The ANSI and OEM code pages are both UTF-8 (65001).
 * Thread-safety: all calls are reentrant; the thread locale is per thread. */
#ifndef QXPLATFORM_LOCALE_H
#define QXPLATFORM_LOCALE_H

#include <qxplatform/types.h>

typedef DWORD LCID;
typedef WORD LANGID;
typedef DWORD LCTYPE;

#define MAKELANGID(p, s) ((WORD)((((WORD)(s)) << 10) | (WORD)(p)))
#define PRIMARYLANGID(lgid) ((WORD)(lgid)&0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)
#define MAKELCID(lgid, srtid) ((DWORD)((((DWORD)((WORD)(srtid))) << 16) | ((DWORD)((WORD)(lgid)))))
#define LANGIDFROMLCID(lcid) ((WORD)(lcid))

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SORT_DEFAULT 0x0

#define LANG_USER_DEFAULT 0x0400
#define LANG_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_NEUTRAL 0x0000
#define LOCALE_INVARIANT 0x007F

/* Information GetLocaleInfo answers. */
#define LOCALE_ILANGUAGE 0x00000001       /* the language id, 4 hex digits ("0409") */
#define LOCALE_SLANGUAGE 0x00000002       /* language name (English here) */
#define LOCALE_SABBREVLANGNAME 0x00000003 /* three-letter abbreviation ("ENU") */
#define LOCALE_IDEFAULTCODEPAGE 0x0000000B
#define LOCALE_SISO639LANGNAME 0x00000059  /* "en" */
#define LOCALE_SISO3166CTRYNAME 0x0000005A /* "US" */
#define LOCALE_SENGLANGUAGE 0x00001001
#define LOCALE_IDEFAULTANSICODEPAGE 0x00001004

/* Flags of EnumSystemLocales. */
#define LCID_INSTALLED 0x00000001
#define LCID_SUPPORTED 0x00000002

typedef BOOL (*LOCALE_ENUMPROCA)(LPSTR);
typedef BOOL (*LOCALE_ENUMPROCW)(LPWSTR);

/* Windows GetUserDefaultLCID, GetSystemDefaultLCID, GetThreadLocale and the LANGID
 * forms, from the environment as described above. */
QXP_API LCID GetUserDefaultLCID(void);
QXP_API LCID GetSystemDefaultLCID(void);
QXP_API LCID GetThreadLocale(void);
QXP_API LANGID GetUserDefaultLangID(void);
QXP_API LANGID GetSystemDefaultLangID(void);
QXP_API LANGID GetUserDefaultUILanguage(void);
QXP_API LANGID GetSystemDefaultUILanguage(void);

/* Windows SetThreadLocale: FALSE with ERROR_INVALID_PARAMETER for a locale that is
 * not in the table. */
QXP_API BOOL SetThreadLocale(LCID Locale);

/* Windows GetACP/GetOEMCP: 65001 (UTF-8). */
QXP_API UINT GetACP(void);
QXP_API UINT GetOEMCP(void);

/* Windows GetLocaleInfoA/W for the LCTYPEs above. Locale may be a table entry,
 * LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT or LOCALE_NEUTRAL (the user default).
 * Returns the characters written including the NUL; cchData 0 returns the size
 * needed. 0 with ERROR_INVALID_PARAMETER (unknown locale or type) or
 * ERROR_INSUFFICIENT_BUFFER. */
QXP_API int GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData, int cchData);
QXP_API int GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData);

/* Windows EnumSystemLocalesA/W: calls the procedure with each known locale as eight
 * hex digits ("00000409"), in ascending order, until it returns FALSE. */
QXP_API BOOL EnumSystemLocalesA(LOCALE_ENUMPROCA lpLocaleEnumProc, DWORD dwFlags);
QXP_API BOOL EnumSystemLocalesW(LOCALE_ENUMPROCW lpLocaleEnumProc, DWORD dwFlags);

/* Windows IsValidLocale: TRUE for a locale of the table. */
QXP_API BOOL IsValidLocale(LCID Locale, DWORD dwFlags);

#ifdef __cplusplus
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qx::platform {

// One known locale.
struct KnownLocale {
  LCID lcid;
  const char* abbreviation;  // "ENU"
  const char* posix;         // "en_US"
  const char* english;       // "English (United States)"
};

// The table of known locales, in ascending number order.
QXP_CXX_API std::span<const KnownLocale> KnownLocales();

// The entry for a locale number (the default locales resolved), or nullptr.
QXP_CXX_API const KnownLocale* FindLocale(LCID lcid);

// The locale for a POSIX locale name ("de_DE.UTF-8@euro", "de_DE", "de"), or
// nullopt when the table has none.
QXP_CXX_API std::optional<LCID> LocaleFromPosixName(std::string_view name);

}  // namespace qx::platform
#endif

#endif
