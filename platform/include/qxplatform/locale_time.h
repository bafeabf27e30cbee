/* Dates and times in the user's locale.
 *
 * The user's locale is the one the C library picks from LC_ALL, LC_TIME and LANG
 * (looked at on every call, so a change of the environment takes effect at once); a
 * locale that is not installed falls back to "C". The texts come from the C
 * library's locale data:
 *   long date   the locale's date(1) form (_DATE_FMT) without its time fields,
 *               with full day and month names ("Monday 07 December 2026" in
 *               en_US, "Montag 7. Dezember 2026" in de_DE)
 *   short date  the locale's D_FMT ("12/07/2026" in en_US)
 *   time        the locale's T_FMT ("08:42:47 PM" in en_US, "20:42:47" in de_DE)
 * Thread-safety: all functions may be called from any thread. */
#ifndef QXPLATFORM_LOCALE_TIME_H
#define QXPLATFORM_LOCALE_TIME_H

#include <qxplatform/types.h>

#ifdef __cplusplus
#include <ctime>
#include <string>

namespace qx::platform {

enum class DateForm { kLong, kShort };

// The date of `when` (local time) in the user's locale, in the given form.
QXP_CXX_API std::string FormatUserDate(const std::tm& when, DateForm form);

// The time of day of `when` in the user's locale.
QXP_CXX_API std::string FormatUserTime(const std::tm& when);

// The strftime picture of the user's long date (exposed for tests and callers
// that format many dates).
QXP_CXX_API std::string UserLongDatePicture();

// The name of the user's time locale as the environment gives it. The reference
// stays valid for the life of the process and is the same object for as long as
// the locale is the same: callers that keep texts made in the user's locale
// compare its address to know they still hold.
QXP_CXX_API const std::string& UserTimeLocaleName();

}  // namespace qx::platform
#endif

#endif
