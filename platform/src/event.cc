// Events: manual-reset and auto-reset, unnamed or named.
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>

#include "handle_table.h"
#include "named_object.h"

namespace qx::platform {
namespace {

class Event final : public KernelObject {
 public:
  explicit Event(std::unique_ptr<SyncHome> home) : home_(std::move(home)), b_(home_->block()) {}
  ObjectKind kind() const override { return ObjectKind::kEvent; }
  bool waitable() const override { return true; }
  WaitWord Word() override { return home_->word(); }
  const void* Identity() const override { return b_; }

  Take TryTake() override {
    if (b_->manual) return b_->signaled.load(std::memory_order_acquire) ? Take::kYes : Take::kNo;
    uint32_t on = 1;
    return b_->signaled.compare_exchange_strong(on, 0, std::memory_order_acq_rel) ? Take::kYes
                                                                                  : Take::kNo;
  }
  bool Peek() override { return b_->signaled.load(std::memory_order_acquire) != 0; }
  void Undo(Take) override {
    if (!b_->manual) Set();
  }

  void Set() {
    b_->signaled.store(1, std::memory_order_release);
    Changed(home_->word());
  }
  void Reset() { b_->signaled.store(0, std::memory_order_release); }

 private:
  std::unique_ptr<SyncHome> home_;
  SyncBlock* b_;
};

// REQUIRES: an open ReadSection. Null, with ERROR_INVALID_HANDLE, for anything
// but an event.
Event* PeekEvent(HANDLE h) {
  auto* e = static_cast<Event*>(HandleTable::PeekSync(h, ObjectKind::kEvent));
  if (e == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return e;
}

HANDLE OpenOrCreate(const char* name, bool create, const SECURITY_ATTRIBUTES* sa, bool manual,
                    bool initial) {
  bool existed = false;
  auto home = OpenSyncHome(
      ObjectKind::kEvent, name, create, sa,
      [&](SyncBlock* b, bool) {
        b->manual = manual;
        b->signaled = initial ? 1 : 0;
        return true;
      },
      &existed);
  if (!home) return nullptr;
  return InsertCreated(std::make_shared<Event>(std::move(home)), existed);
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
  return OpenOrCreate(lpName, true, lpEventAttributes, bManualReset, bInitialState);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return nullptr;
  return OpenOrCreate(null_name ? nullptr : name->c_str(), true, lpEventAttributes, bManualReset,
                      bInitialState);
}

HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  HANDLE h = OpenOrCreate(lpName, false, nullptr, false, false);
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return nullptr;
  return OpenEventA(dwDesiredAccess, bInheritHandle, null_name ? nullptr : name->c_str());
}

BOOL SetEvent(HANDLE hEvent) {
  ReadSection section;
  Event* e = PeekEvent(hEvent);
  if (!e) return FALSE;
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  ReadSection section;
  Event* e = PeekEvent(hEvent);
  if (!e) return FALSE;
  e->Reset();
  return TRUE;
}

BOOL PulseEvent(HANDLE hEvent) {
  ReadSection section;
  Event* e = PeekEvent(hEvent);
  if (!e) return FALSE;
  e->Set();
  e->Reset();
  return TRUE;
}

}  // extern "C"
