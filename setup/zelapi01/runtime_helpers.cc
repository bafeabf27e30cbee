// Binding libraries at run time, text conversion with bulk release, mutex
// ownership and the user's language code.
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/registry.h>
#include <qxplatform/sync.h>
#include <qxplatform/text.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "message_area.h"
#include "stored_values.h"
#include "trace.h"

// The blocks a caller's conversions allocated, freed together.
struct ZELMEMHANDLE {
  std::vector<void*> blocks;
};

namespace qx::zel {
namespace {

// The list of blocks grows by this many entries at a time.
constexpr size_t kBlockListStep = 10;

enum class BindResult { kBound, kNoLibrary, kNoEntry };

// Binding is serialised process-wide; recursive, because a library's bound
// notification may bind another.
std::recursive_mutex& BindMutex() {
  static std::recursive_mutex* mu = new std::recursive_mutex;
  return *mu;
}

BindResult Bind(ZELDLLLOAD* load, const void* asker, const char** missing) {
  std::lock_guard<std::recursive_mutex> lock(BindMutex());
  if (load->hModule != nullptr) return BindResult::kBound;
  if (load->lpszLibName == nullptr) return BindResult::kNoLibrary;
  HMODULE module = platform::LoadLibraryFrom(asker, load->lpszLibName);
  if (module == nullptr) return BindResult::kNoLibrary;
  for (ZELDLLPROC* p = load->lpProcs; p != nullptr && p->lpszProcName != nullptr; ++p) {
    FARPROC proc = GetProcAddress(module, p->lpszProcName);
    if (proc == nullptr) {
      // The library stays loaded (libraries are never unloaded), the descriptor
      // unbound: a later call tries again.
      *missing = p->lpszProcName;
      return BindResult::kNoEntry;
    }
    if (p->lppfnProc != nullptr) *p->lppfnProc = proc;
  }
  // The handle is written only once every entry point is stored, so a bound
  // descriptor is always complete.
  __atomic_store_n(&load->hModule, module, __ATOMIC_RELEASE);
  if (load->lpfnBound != nullptr) load->lpfnBound(load);
  return BindResult::kBound;
}

bool IsBound(ZELDLLLOAD* load) {
  return __atomic_load_n(&load->hModule, __ATOMIC_ACQUIRE) != nullptr;
}

// Records a block with the handle; a block that cannot be recorded is still
// handed out (the caller then frees it itself).
void Record(HZELMEM handle, void* block) {
  if (handle == nullptr) return;
  try {
    if (handle->blocks.size() == handle->blocks.capacity())
      handle->blocks.reserve(handle->blocks.size() + kBlockListStep);
    handle->blocks.push_back(block);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace
}  // namespace qx::zel

using namespace qx::zel;

extern "C" {

BOOL LoadDLLProcs2(ZELDLLLOAD* load, LPVOID reserved) {
  if (load == nullptr) return FALSE;
  if (IsBound(load)) return TRUE;
  const char* missing = nullptr;
  return Bind(load, __builtin_return_address(0), &missing) == BindResult::kBound;
}

BOOL LoadDLLProcs(ZELDLLLOAD* load) {
  if (load == nullptr) return MissingArgument("LoadDLLProcs");
  if (IsBound(load)) return TRUE;
  const char* missing = nullptr;
  DWORD saved = 0;
  switch (Bind(load, __builtin_return_address(0), &missing)) {
    case BindResult::kBound: {
      char path[4096];
      if (TraceLevel() >= 2 && GetModuleFileNameA(load->hModule, path, sizeof path) > 0)
        ZEL_TRACE(2, "LoadDLLProcs: %s\n", path);
      return TRUE;
    }
    case BindResult::kNoLibrary:
      saved = GetLastError();
      SetMsgString(nullptr, ZEL_MSG_LOAD_LIBRARY, load->lpszLibName ? load->lpszLibName : "");
      break;
    case BindResult::kNoEntry:
      saved = GetLastError();
      SetMsgString(nullptr, ZEL_MSG_ENTRY_POINT, missing, load->lpszLibName);
      break;
  }
  if (ZELMSGAREA* area = CurrentArea()) area->error_id = saved;
  SetLastError(saved);
  return FALSE;
}

BOOL FreeDLL(HMODULE hModule) {
  if (hModule != nullptr) FreeLibrary(hModule);
  return TRUE;
}

BOOL FreeDLL2(HMODULE hModule) {
  return FreeDLL(hModule);
}

BOOL FreeDLLList(HMODULE* modules) {
  for (HMODULE* m = modules; m != nullptr && *m != nullptr; ++m) FreeDLL(*m);
  return TRUE;
}

BOOL FreeDLLList2(HMODULE* modules) {
  return FreeDLLList(modules);
}

HZELMEM OpenMemHandle(void) {
  auto* handle = new (std::nothrow) ZELMEMHANDLE;
  if (handle == nullptr) return nullptr;
  try {
    handle->blocks.reserve(kBlockListStep);
  } catch (const std::bad_alloc&) {
    delete handle;
    return nullptr;
  }
  return handle;
}

BOOL CloseMemHandle(HZELMEM handle) {
  if (handle == nullptr) return FALSE;
  for (void* block : handle->blocks) std::free(block);
  delete handle;
  return TRUE;
}

LPSTR UnicodeToAnsi(HZELMEM handle, LPSTR buffer, LPCWSTR text, int size) {
  if (text == nullptr) return nullptr;
  // The size comes from the conversion itself: a UTF-8 character may take up to
  // three bytes per UTF-16 unit.
  int need = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (need == 0) return nullptr;
  if (buffer != nullptr) {
    if (size < need) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return nullptr;
    }
    return WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, size, nullptr, nullptr) ? buffer
                                                                                    : nullptr;
  }
  auto* block = static_cast<char*>(std::malloc(size_t(need)));
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (WideCharToMultiByte(CP_ACP, 0, text, -1, block, need, nullptr, nullptr) == 0) {
    std::free(block);
    return nullptr;
  }
  Record(handle, block);
  return block;
}

LPWSTR AnsiToUnicode(HZELMEM handle, LPWSTR buffer, LPCSTR text, int size) {
  if (text == nullptr) return nullptr;
  int need = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (need == 0) return nullptr;
  if (buffer != nullptr) {
    if (size < need) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return nullptr;
    }
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, buffer, size) ? buffer
                                                                                     : nullptr;
  }
  auto* block = static_cast<char16_t*>(std::malloc(size_t(need) * sizeof(char16_t)));
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, block, need) == 0) {
    std::free(block);
    return nullptr;
  }
  Record(handle, block);
  return block;
}

BOOL GetMutexOwnership(HANDLE mutex) {
  if (mutex == nullptr) return TRUE;
  DWORD r = WaitForSingleObject(mutex, INFINITE);
  return (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ? TRUE : FALSE;
}

BOOL ReleaseMutexOwnership(HANDLE mutex) {
  if (mutex == nullptr) return TRUE;
  return ReleaseMutex(mutex);
}

BOOL QueryUserLanguage(LPSTR code) {
  if (code == nullptr) return MissingArgument("QueryUserLanguage");
  auto value = qx::platform::GetEnv("UserLangCode");
  if (!value) {
    LSTATUS error = ERROR_SUCCESS;
    value = ReadStoredText(HKEY_LOCAL_MACHINE, "Software\\Morvane\\Tessary ZEL", "UserLangCode",
                           nullptr, &error);
  }
  if (!value) {
    code[0] = '\0';
    return FALSE;
  }
  // The code is at most three characters: the buffer holds four bytes.
  size_t n = std::min<size_t>(value->size(), 3);
  std::memcpy(code, value->data(), n);
  code[n] = '\0';
  return TRUE;
}

}  // extern "C"
