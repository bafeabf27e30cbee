#include "handle_table.h"

#include <qxplatform/errors.h>
#include <qxplatform/process.h>
#include <qxplatform/sync.h>

#include "thread_object.h"

namespace qx::platform {
namespace {

// A handle encodes slot index and generation so that a stale handle (closed and
// its slot reused) is refused instead of reaching the new object. The low two bits
// are kept clear, as Windows does, and the value is never NULL or -1.
constexpr uint32_t kMaxSlots = 1u << 24;

uintptr_t Encode(uint32_t index, uint32_t generation) {
  return ((uintptr_t(generation) << 24 | index) + 1) << 2;
}

bool Decode(HANDLE handle, uint32_t* index, uint32_t* generation) {
  uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  if (v == 0 || (v & 3) != 0 || handle == INVALID_HANDLE_VALUE) return false;
  v = (v >> 2) - 1;
  *index = uint32_t(v & (kMaxSlots - 1));
  *generation = uint32_t(v >> 24);
  return true;
}

}  // namespace

HandleTable& HandleTable::Get() {
  static HandleTable* table = new HandleTable;  // never destroyed: waits may run during exit
  return *table;
}

HANDLE InsertCreated(ObjectRef object, bool existed) {
  HANDLE h = HandleTable::Get().Insert(std::move(object));
  if (h != nullptr) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

HANDLE HandleTable::Insert(ObjectRef object) {
  std::lock_guard lock(mutex_);
  uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (slots_.size() >= kMaxSlots) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    index = uint32_t(slots_.size());
    slots_.emplace_back();
  }
  Slot& slot = slots_[index];
  slot.object = std::move(object);
  slot.generation = (slot.generation + 1) & 0xFFFFFF;
  return reinterpret_cast<HANDLE>(Encode(index, slot.generation));
}

ObjectRef HandleTable::Lookup(HANDLE handle) {
  uint32_t index, generation;
  if (Decode(handle, &index, &generation)) {
    std::lock_guard lock(mutex_);
    if (index < slots_.size() && slots_[index].object && slots_[index].generation == generation)
      return slots_[index].object;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

bool HandleTable::Remove(HANDLE handle) {
  uint32_t index, generation;
  ObjectRef doomed;  // released outside the lock: destructors may take other locks
  {
    std::lock_guard lock(mutex_);
    if (!Decode(handle, &index, &generation) || index >= slots_.size() || !slots_[index].object ||
        slots_[index].generation != generation)
      return false;
    doomed = std::move(slots_[index].object);
    free_.push_back(index);
  }
  return true;
}

}  // namespace qx::platform

using qx::platform::HandleTable;

extern "C" {

BOOL CloseHandle(HANDLE hObject) {
  if (!HandleTable::Get().Remove(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE GetCurrentProcess(void) {
  return INVALID_HANDLE_VALUE;
}

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle,
                     DWORD dwOptions) {
  auto is_self = [](HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; };
  if (!is_self(hSourceProcessHandle) || !is_self(hTargetProcessHandle)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (lpTargetHandle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // GetCurrentThread() stands for the caller; its duplicate is a real handle.
  auto object = hSourceHandle == GetCurrentThread() ? qx::platform::CurrentThreadObject()
                                                    : HandleTable::Get().Lookup(hSourceHandle);
  if (!object) return FALSE;
  HANDLE copy = HandleTable::Get().Insert(object);
  if (copy == nullptr) return FALSE;
  if (dwOptions & DUPLICATE_CLOSE_SOURCE) HandleTable::Get().Remove(hSourceHandle);
  *lpTargetHandle = copy;
  return TRUE;
}

}  // extern "C"
