// WaitForSingleObject and WaitForMultipleObjects over every waitable kind.
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>

#include <chrono>
#include <vector>

#include "handle_table.h"

namespace qx::platform {
namespace {

// How often a wait re-checks objects whose state can change without notice from
// this process. Short enough for prompt cross-process wake-ups, long enough to
// cost nothing measurable.
constexpr auto kPollInterval = std::chrono::milliseconds(2);

DWORD WaitObjects(const std::vector<ObjectRef>& objects, bool wait_all, DWORD timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const bool forever = timeout_ms == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
  bool polling = false;
  for (const auto& o : objects) polling = polling || o->NeedsPolling();

  WaitHub& hub = WaitHub::Get();
  std::unique_lock lock(hub.mutex);
  for (;;) {
    if (wait_all) {
      bool all = true;
      for (const auto& o : objects) all = all && o->IsSignaled();
      if (all) {
        DWORD result = WAIT_OBJECT_0;
        for (size_t i = 0; i < objects.size(); ++i)
          if (objects[i]->Acquire() && result == WAIT_OBJECT_0) result = WAIT_ABANDONED_0 + DWORD(i);
        return result;
      }
    } else {
      for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->IsSignaled())
          return (objects[i]->Acquire() ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + DWORD(i);
      }
    }
    auto now = Clock::now();
    if (!forever && now >= deadline) return WAIT_TIMEOUT;
    auto until = forever ? now + std::chrono::hours(1) : deadline;
    if (polling && until > now + kPollInterval) until = now + kPollInterval;
    hub.changed.wait_until(lock, until);
  }
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<ObjectRef> objects;
  objects.reserve(nCount);
  for (DWORD i = 0; i < nCount; ++i) {
    ObjectRef o = HandleTable::Get().Lookup(lpHandles[i]);
    if (!o || !o->waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // Windows refuses the same object twice in a wait-all.
    if (bWaitAll)
      for (const auto& seen : objects)
        if (seen == o) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
    objects.push_back(std::move(o));
  }
  return WaitObjects(objects, bWaitAll != FALSE, dwMilliseconds);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

}  // extern "C"
