// Run-time binding of the event-console and operator libraries.
#include "msgf_outside.h"

#include <qxplatform/modules.h>

#include <atomic>
#include <mutex>

namespace qx::comn {
namespace {

// One entry point of a library loaded by name.
class OutsideEntry {
 public:
  OutsideEntry(const char* library, const char* entry) : library_(library), entry_(entry) {}

  FARPROC Get() {
    FARPROC proc = proc_.load(std::memory_order_acquire);
    if (proc != nullptr) return proc;
    std::lock_guard lock(mutex_);
    proc = proc_.load(std::memory_order_relaxed);
    if (proc != nullptr) return proc;
    HMODULE lib =
        platform::LoadLibraryFrom(reinterpret_cast<const void*>(&BindEventConsole), library_);
    if (lib == nullptr) return nullptr;
    proc = GetProcAddress(lib, entry_);
    proc_.store(proc, std::memory_order_release);
    return proc;
  }

 private:
  const char* library_;
  const char* entry_;
  std::mutex mutex_;
  std::atomic<FARPROC> proc_{nullptr};
};

}  // namespace

QXEVT_WTO_PROC BindEventConsole() {
  static OutsideEntry* entry = new OutsideEntry("QXEVT.DLL", "HvEvt_wto");
  return reinterpret_cast<QXEVT_WTO_PROC>(entry->Get());
}

QXOPRC_OPRMSG_PROC BindOperatorLibrary() {
  static OutsideEntry* entry = new OutsideEntry("QXOPRC.DLL", "__oprmsg");
  return reinterpret_cast<QXOPRC_OPRMSG_PROC>(entry->Get());
}

}  // namespace qx::comn
