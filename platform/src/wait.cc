// WaitForSingleObject and WaitForMultipleObjects over every waitable kind.
#include <qxplatform/errors.h>
#include <qxplatform/sync.h>

#include <vector>

#include "handle_table.h"

namespace qx::platform {
namespace {

// How often a wait re-checks objects whose state can change without their word
// changing (a mutex whose owner died, a process that ended). Short enough for a
// prompt recovery, long enough to cost nothing measurable.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

DWORD Result(Take t, size_t index) {
  return (t == Take::kAbandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + DWORD(index);
}

// One attempt to satisfy the wait. Returns true with *result set when satisfied.
bool TryOnce(const std::vector<ObjectRef>& objects, bool wait_all, DWORD* result) {
  if (!wait_all) {
    for (size_t i = 0; i < objects.size(); ++i) {
      Take t = objects[i]->TryTake();
      if (t != Take::kNo) {
        *result = Result(t, i);
        return true;
      }
    }
    return false;
  }
  // Wait-all: look first without taking, so that a failed attempt leaves no trace;
  // then take all, giving back what was taken when another waiter won a race.
  for (const auto& o : objects)
    if (!o->Peek()) return false;
  std::vector<Take> taken;
  taken.reserve(objects.size());
  for (const auto& o : objects) {
    Take t = o->TryTake();
    if (t == Take::kNo) {
      for (size_t j = taken.size(); j-- > 0;) objects[j]->Undo(taken[j]);
      return false;
    }
    taken.push_back(t);
  }
  *result = WAIT_OBJECT_0;
  for (size_t i = 0; i < taken.size(); ++i)
    if (taken[i] == Take::kAbandoned) {
      *result = WAIT_ABANDONED_0 + DWORD(i);
      break;
    }
  return true;
}

DWORD WaitObjects(const std::vector<ObjectRef>& objects, bool wait_all, DWORD timeout_ms) {
  const bool forever = timeout_ms == INFINITE;
  const auto deadline = WaitClock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
  DWORD result;
  if (objects.size() == 1 && objects[0]->WaitAlone(forever ? nullptr : &deadline, &result))
    return result;

  std::vector<WaitWord> words;
  std::vector<uint32_t> seen(objects.size());
  for (const auto& o : objects) words.push_back(o->Word());
  for (;;) {
    // Read the words before looking at the states: a change after the look bumps
    // a word and ends the sleep below at once.
    for (size_t i = 0; i < words.size(); ++i)
      seen[i] = words[i].word->load(std::memory_order_acquire);
    bool raced = false;
    if (wait_all) {
      // A wait-all that saw everything signalled but lost a race retries at once.
      bool all = true;
      for (const auto& o : objects) all = all && o->Peek();
      if (all) {
        if (TryOnce(objects, true, &result)) return result;
        raced = true;
      }
    } else if (TryOnce(objects, false, &result)) {
      return result;
    }
    auto now = WaitClock::now();
    if (!forever && now >= deadline) return WAIT_TIMEOUT;
    if (raced) continue;
    WaitClock::time_point wake = forever ? WaitClock::time_point::max() : deadline;
    for (const auto& o : objects) {
      WaitClock::time_point due;
      if (o->Due(&due) && due < wake) wake = due;
      if (o->NeedsPolling() && now + kPollInterval < wake) wake = now + kPollInterval;
    }
    FutexWaitAny(words, seen, wake == WaitClock::time_point::max() ? nullptr : &wake);
  }
}

// A wait on one object that the fast path could not satisfy; holds a reference
// while it sleeps.
__attribute__((noinline)) DWORD WaitOne(HANDLE handle, DWORD timeout_ms) {
  ObjectRef o = HandleTable::Get().Lookup(handle);
  if (!o || !o->waitable()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  Take t = o->TryTake();
  if (t != Take::kNo) return t == Take::kAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  if (timeout_ms == 0) return WAIT_TIMEOUT;
  return WaitObjects({std::move(o)}, false, timeout_ms);
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
        if (seen->Identity() == o->Identity()) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
    objects.push_back(std::move(o));
  }
  return WaitObjects(objects, bWaitAll != FALSE, dwMilliseconds);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  // The common case first, without a reference: a mutex, event or semaphore that
  // is free.
  {
    ReadSection section;
    if (KernelObject* sync = HandleTable::PeekSync(hHandle)) {
      Take t = sync->TryTake();
      if (t != Take::kNo) return t == Take::kAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
      if (dwMilliseconds == 0) return WAIT_TIMEOUT;
    }
  }
  return WaitOne(hHandle, dwMilliseconds);
}

}  // extern "C"
