// The environment store as qxcomn sees it: libqxenv, loaded by name at first use.
//
// qxcomn does not link libqxenv; it binds QXgetenv and QXgetopt from
// "QXENV.DLL" (libqxenv.so) through zelapi01's LoadDLLProcs2 the first time it
// needs a variable. When the library cannot be loaded every lookup is empty and
// nothing fails.
// Thread-safety: both functions may be called from any thread.
#ifndef QXCOMN_CATALOG_ENV_H
#define QXCOMN_CATALOG_ENV_H

namespace qx::comn {

// The store's value of an environment variable, or nullptr. The text lives for
// the life of the process.
const char* StoreGetEnv(const char* name);

// The store's value of an option, or nullptr.
const char* StoreGetOpt(const char* name);

}  // namespace qx::comn

#endif
