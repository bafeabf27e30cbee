// Semaphores, unnamed or named. The count lives in one atomic word and every
// change is a compare-and-swap, so the count never passes the maximum and never
// drops below zero, whatever the processes sharing it do or suffer.
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>

#include "handle_table.h"
#include "named_object.h"

namespace qx::platform {
namespace {

class Semaphore final : public KernelObject {
 public:
  explicit Semaphore(std::unique_ptr<SyncHome> home) : home_(std::move(home)), b_(home_->block()) {}
  ObjectKind kind() const override { return ObjectKind::kSemaphore; }
  bool waitable() const override { return true; }
  WaitWord Word() override { return home_->word(); }
  const void* Identity() const override { return b_; }

  Take TryTake() override {
    int32_t c = b_->count.load(std::memory_order_acquire);
    while (c > 0)
      if (b_->count.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel)) return Take::kYes;
    return Take::kNo;
  }
  bool Peek() override { return b_->count.load(std::memory_order_acquire) > 0; }
  void Undo(Take) override { Release(1, nullptr); }

  // False (ERROR_TOO_MANY_POSTS) when the count would pass the maximum.
  bool Release(int32_t n, int32_t* previous) {
    int32_t c = b_->count.load(std::memory_order_acquire);
    do {
      if (n > b_->maximum - c) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return false;
      }
    } while (!b_->count.compare_exchange_weak(c, c + n, std::memory_order_acq_rel));
    if (previous) *previous = c;
    Changed(home_->word());
    return true;
  }

 private:
  std::unique_ptr<SyncHome> home_;
  SyncBlock* b_;
};

HANDLE OpenOrCreate(const char* name, bool create, const SECURITY_ATTRIBUTES* sa, LONG initial,
                    LONG maximum) {
  if (create && (maximum <= 0 || initial < 0 || initial > maximum)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool existed = false;
  auto home = OpenSyncHome(
      ObjectKind::kSemaphore, name, create, sa,
      [&](SyncBlock* b, bool) {
        b->count = initial;
        b->maximum = maximum;
        return true;
      },
      &existed);
  if (!home) return nullptr;
  return InsertCreated(std::make_shared<Semaphore>(std::move(home)), existed);
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                        LONG lMaximumCount, LPCSTR lpName) {
  return OpenOrCreate(lpName, true, lpSemaphoreAttributes, lInitialCount, lMaximumCount);
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount,
                        LONG lMaximumCount, LPCWSTR lpName) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return nullptr;
  return OpenOrCreate(null_name ? nullptr : name->c_str(), true, lpSemaphoreAttributes,
                      lInitialCount, lMaximumCount);
}

HANDLE OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  HANDLE h = OpenOrCreate(lpName, false, nullptr, 0, 0);
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE OpenSemaphoreW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
  bool null_name;
  auto name = NarrowName(lpName, &null_name);
  if (!name) return nullptr;
  return OpenSemaphoreA(dwDesiredAccess, bInheritHandle, null_name ? nullptr : name->c_str());
}

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  ReadSection section;
  auto* s = static_cast<Semaphore*>(HandleTable::PeekSync(hSemaphore, ObjectKind::kSemaphore));
  if (s == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lReleaseCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int32_t previous = 0;
  if (!s->Release(lReleaseCount, &previous)) return FALSE;
  if (lpPreviousCount) *lpPreviousCount = previous;
  return TRUE;
}

}  // extern "C"
