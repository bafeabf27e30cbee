// Binding of the environment store's lookups.
#include "catalog_env.h"

#include <qxplatform/modules.h>

#include <mutex>

namespace qx::comn {
namespace {

using LookupProc = const char* (*)(const char*);

struct StoreProcs {
  LookupProc getenv = nullptr;
  LookupProc getopt = nullptr;
};

// Bound once per process: the store is part of the installation, so a library
// that is missing at the first lookup stays missing.
const StoreProcs& Procs() {
  static const StoreProcs procs = [] {
    StoreProcs p;
    HMODULE lib = platform::LoadLibraryFrom(reinterpret_cast<const void*>(&Procs), "QXENV.DLL");
    if (lib == nullptr) return p;
    p.getenv = reinterpret_cast<LookupProc>(GetProcAddress(lib, "QXgetenv"));
    p.getopt = reinterpret_cast<LookupProc>(GetProcAddress(lib, "QXgetopt"));
    return p;
  }();
  return procs;
}

}  // namespace

const char* StoreGetEnv(const char* name) {
  LookupProc f = Procs().getenv;
  return f ? f(name) : nullptr;
}

const char* StoreGetOpt(const char* name) {
  LookupProc f = Procs().getopt;
  return f ? f(name) : nullptr;
}

}  // namespace qx::comn
