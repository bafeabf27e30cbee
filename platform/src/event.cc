// Events: manual-reset and auto-reset, process-local.
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>

#include "handle_table.h"

namespace qx::platform {
namespace {

class Event final : public KernelObject {
 public:
  Event(bool manual, bool initial) : manual_(manual), signaled_(initial) {}
  ObjectKind kind() const override { return ObjectKind::kEvent; }
  bool waitable() const override { return true; }
  bool IsSignaled() override { return signaled_; }
  bool Acquire() override {
    if (!manual_) signaled_ = false;
    return false;
  }
  // Called with WaitHub::mutex held.
  void Set(bool on) { signaled_ = on; }

 private:
  const bool manual_;
  bool signaled_;
};

std::shared_ptr<Event> LookupEvent(HANDLE h) {
  return HandleTable::Get().LookupAs<Event>(h, ObjectKind::kEvent);
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
  if (lpName != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  HANDLE h = HandleTable::Get().Insert(std::make_shared<Event>(bManualReset, bInitialState));
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName) {
  if (lpName != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return CreateEventA(lpEventAttributes, bManualReset, bInitialState, nullptr);
}

BOOL SetEvent(HANDLE hEvent) {
  auto e = LookupEvent(hEvent);
  if (!e) return FALSE;
  {
    std::lock_guard lock(WaitHub::Get().mutex);
    e->Set(true);
  }
  WaitHub::Get().Notify();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  auto e = LookupEvent(hEvent);
  if (!e) return FALSE;
  std::lock_guard lock(WaitHub::Get().mutex);
  e->Set(false);
  return TRUE;
}

}  // extern "C"
