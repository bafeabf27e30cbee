// Binding of the environment store's lookups.
#include "catalog_env.h"

#include <zelapi01.h>

#include <utility>

namespace qx::comn {
namespace {

using LookupProc = const char* (*)(const char*);

struct StoreProcs {
  FARPROC getenv = nullptr;
  FARPROC getopt = nullptr;
};

// Bound once per process through the system-services library's loader: the
// store is part of the installation, so a library that is missing at the first
// lookup stays missing.
const StoreProcs& Procs() {
  static const StoreProcs procs = [] {
    StoreProcs p;
    ZELDLLPROC table[] = {{"QXgetenv", &p.getenv}, {"QXgetopt", &p.getopt}, {nullptr, nullptr}};
    ZELDLLLOAD load = {"QXENV.DLL", nullptr, table, nullptr};
    if (!LoadDLLProcs2(&load, nullptr)) return StoreProcs{};
    return p;
  }();
  return procs;
}

}  // namespace

const char* StoreGetEnv(const char* name) {
  LookupProc f = reinterpret_cast<LookupProc>(Procs().getenv);
  return f ? f(name) : nullptr;
}

void CatalogEnvCache::Refresh() {
  watch_.Record();
  const char* dpath = StoreGetEnv("DPATH");
  // zelapi01 reads the language code from the process environment, not the store.
  std::optional<std::string> language = platform::GetEnv(kLanguageVariable);
  // The store hands out one text per value set, so another pointer is another
  // value (or the same one set again, which costs one search more).
  if (dpath != env_.dpath || language != language_) ++env_.version;
  env_.dpath = dpath;
  language_ = std::move(language);
  env_.debug = StoreGetEnv("QX_QXIDEBUG") != nullptr;
}

const char* StoreGetOpt(const char* name) {
  LookupProc f = reinterpret_cast<LookupProc>(Procs().getopt);
  return f ? f(name) : nullptr;
}

}  // namespace qx::comn
