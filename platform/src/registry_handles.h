// Open registry keys (HKEY values) of this process and the hooks between the key
// calls and change notification.
//
// An HKEY is a number from a process-wide table, never reused; the predefined
// roots HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER resolve at every call to the
// root key of the store file that $QX_STATE_DIR names at that moment.
// Thread-safety: all functions may be called from any thread.
#ifndef QXPLATFORM_SRC_REGISTRY_HANDLES_H
#define QXPLATFORM_SRC_REGISTRY_HANDLES_H

#include <memory>
#include <string>

#include "registry_store.h"

namespace qx::platform::reg {

struct KeyObject {
  std::shared_ptr<Store> store;
  KeyRef ref;
  REGSAM access = 0;
  bool predefined = false;
};

// The key behind an HKEY: ERROR_INVALID_HANDLE for an unknown handle or a root
// that is not offered; a store error when the root's file cannot be opened.
LSTATUS ResolveKey(HKEY handle, std::shared_ptr<KeyObject>* out);

// The store file of a predefined root ("" when the root is not offered).
std::string StorePathOf(HKEY root);

// Generic and maximum rights spelled out as key rights.
REGSAM NormalizeAccess(REGSAM sam);

// Defined by registry_notify.cc: ends the watches armed through a handle that is
// being closed (their events are signalled, as Windows does), and wakes this
// process's watcher of a store after a local commit.
void CancelWatches(HKEY handle);
void NotifyLocalCommit(const std::string& store_path);

}  // namespace qx::platform::reg

#endif
