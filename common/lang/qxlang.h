// Language resource libraries: finding and loading the best library of a set
// ("base.enu", "base.deu", ...) for the current user, and fetching its strings.
//
// A search tries, in order: the caller's language; the user language code of the
// installation library (QueryUserLanguage); the abbreviations of the thread's,
// the user's and the system's locale; "enu". Each candidate is tried as it is,
// then (three letters) as its first two letters, then as every known locale whose
// abbreviation begins with the same two letters. A name that failed is not tried
// again within the search; the last resort is "base.dll". Every try is traced
// through SetTraceStringA with the trace name "QXLOCALE".
//
// Thread-safety: the search state is per thread. The process default pair (used
// when a call is given no pair) is shared and unguarded: loading without a pair
// from two threads at once is not supported.
#ifndef QX_COMMON_LANG_QXLANG_H
#define QX_COMMON_LANG_QXLANG_H

#include <qxplatform/locale.h>
#include <qxplatform/types.h>

namespace qx::lang {

// A loaded library and the code page its texts are converted with. Same layout
// as the exported QXLOCALE record.
struct LocalePair {
  HMODULE module = nullptr;
  UINT code_page = 0;
};

// Sizes of the loadStr buffers.
constexpr size_t kStrBufferBytes = 1024;
constexpr size_t kStrBufferWide = 512;

// Loads the best library for base (nullptr: the program's own module) into pair
// (nullptr: the process default, whose previous library is dropped first).
// asker is an address inside the module that asks; its folder is searched first.
// 0 when a module was found, 1 otherwise.
int LoadLocale(const char* base, const char* language, LocalePair* pair, const void* asker);

// String id of the pair's library (nullptr: the process default) into buffer
// (kStrBufferBytes / kStrBufferWide); a placeholder text when there is no library
// or no such string. A null buffer gives the fixed text "???".
char* LoadStr(char* buffer, UINT id, const LocalePair* pair);
char16_t* LoadStrW(char16_t* buffer, UINT id, const LocalePair* pair);

// Drops the pair's (or the default's) library; 0.
int FreeLocale(LocalePair* pair);
// The process default module; 0.
int GetLocaleLib(HMODULE* module);
// Sets the process default code page, returns the previous one.
UINT SetLocaleCP(UINT code_page);
// The first known locale with the three-letter abbreviation (ASCII case ignored),
// or 0.
LCID ConvLocale(const char* abbreviation);

}  // namespace qx::lang

#endif
