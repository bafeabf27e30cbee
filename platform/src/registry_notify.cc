// Change notification (being built).
#include <qxplatform/registry.h>

#include "registry_handles.h"

namespace qx::platform::reg {
void CancelWatches(HKEY) {}
void NotifyLocalCommit(const std::string&) {}
}  // namespace qx::platform::reg

extern "C" LSTATUS RegNotifyChangeKeyValue(HKEY, BOOL, DWORD, HANDLE, BOOL) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}
