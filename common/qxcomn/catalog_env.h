// The environment store as qxcomn sees it: libqxenv, loaded by name at first use.
//
// qxcomn does not link libqxenv; it binds QXgetenv and QXgetopt from
// "QXENV.DLL" (libqxenv.so) through zelapi01's LoadDLLProcs2 the first time it
// needs a variable. When the library cannot be loaded every lookup is empty and
// nothing fails.
// Thread-safety: both functions may be called from any thread.
#ifndef QXCOMN_CATALOG_ENV_H
#define QXCOMN_CATALOG_ENV_H

#include <qxplatform/environment.h>

#include <cstdint>
#include <optional>
#include <string>

#include "catalog_language.h"

namespace qx::comn {

// The store's value of an environment variable, or nullptr. The text lives for
// the life of the process.
const char* StoreGetEnv(const char* name);

// The store's answers that every catalog lookup needs.
struct CatalogEnv {
  const char* dpath = nullptr;  // "DPATH", or nullptr
  bool debug = false;           // "QX_QXIDEBUG" is set
  // Changes (per thread) whenever dpath does or the process environment's
  // "UserLangCode" does: the language code names the files searched for.
  uint64_t version = 0;
};

// The answers, kept by one thread (the catalog keeps one per thread). They are
// asked of the store again only when the process environment changed, which is
// where the store's first form answers from; a store that also answers from
// elsewhere must make this notice its changes too.
class CatalogEnvCache {
 public:
  // The answers as they are now; valid until the next call.
  const CatalogEnv& Get() {
    if (watch_.Changed()) Refresh();
    return env_;
  }

 private:
  void Refresh();

  platform::EnvironmentWatch watch_{{"DPATH", "QX_QXIDEBUG", kLanguageVariable}};
  CatalogEnv env_;
  // "UserLangCode" as the process environment held it at the last refresh: it is
  // read from there (by zelapi01), not through the store.
  std::optional<std::string> language_;
};

// The store's value of an option, or nullptr.
const char* StoreGetOpt(const char* name);

}  // namespace qx::comn

#endif
