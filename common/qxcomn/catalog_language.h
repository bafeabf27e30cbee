// The user's language code, as the catalog names its files with it.
//
// The code comes from zelapi01's QueryUserLanguage: the environment variable
// "UserLangCode" when it is set, else the machine store's value. The catalog
// asks only when it searches for a file. Reading the store costs an open of the
// store file, far more than a lookup, so an answer from the store is kept for
// the process like a search result: for kSearchLifetime, or until
// ForgetSearches. A process without any code therefore opens the store at most
// once in that time, however many threads and messages it has. The variable is
// read afresh at every search; the catalog's environment watch notices its
// changes at once.
// Thread-safety: may be called from any thread.
#ifndef QXCOMN_CATALOG_LANGUAGE_H
#define QXCOMN_CATALOG_LANGUAGE_H

#include <chrono>
#include <string>

namespace qx::comn {

// The environment variable that holds the user's language code.
inline constexpr const char* kLanguageVariable = "UserLangCode";

struct UserLanguage {
  // At most three characters; "" when there is none (neither source has one,
  // or the code is empty or begins with a blank).
  std::string code;
  // When the sources were read for this answer: it holds no longer than
  // read + kSearchLifetime.
  std::chrono::steady_clock::time_point read;
};

// The code as it is now, or as the store gave it less than kSearchLifetime ago.
UserLanguage CatalogLanguage();

}  // namespace qx::comn

#endif
