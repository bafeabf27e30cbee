// Message strings and the per-thread message stack.
#include "message_area.h"

#include <qxlang.h>
#include <qxplatform/errors.h>
#include <qxplatform/message.h>
#include <qxplatform/modules.h>
#include <qxplatform/resources.h>
#include <qxplatform/text.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "trace.h"

namespace qx::zel {
namespace {

// A thread's chain of areas; destroyed, with its areas, when the thread ends.
struct Chain {
  std::vector<std::unique_ptr<ZELMSGAREA>> areas;
  ~Chain();
};
thread_local Chain t_chain;
// Set once the chain is destroyed: a call made later in the thread's exit (from
// another thread-local's destructor) works without an area.
thread_local bool t_chain_gone = false;

Chain::~Chain() {
  t_chain_gone = true;
}

std::unique_ptr<ZELMSGAREA> NewArea() {
  auto area = std::unique_ptr<ZELMSGAREA>(new (std::nothrow) ZELMSGAREA);
  if (area) std::memset(area.get(), 0, sizeof(ZELMSGAREA));
  return area;
}

std::mutex g_default_mu;
HMODULE g_default_module = nullptr;
bool g_default_tried = false;
thread_local bool t_loading_default = false;

// The default message module, loading qxcmn_rc at the first need. A nested
// attempt on the same thread (from within the load) fails at once.
HMODULE DefaultModule() {
  if (t_loading_default) return nullptr;
  std::lock_guard<std::mutex> lock(g_default_mu);
  if (!g_default_tried) {
    g_default_tried = true;
    t_loading_default = true;
    lang::LocalePair pair;
    if (lang::LoadLocale("qxcmn_rc", nullptr, &pair,
                         reinterpret_cast<const void*>(&DefaultModule)) == 0)
      g_default_module = pair.module;
    t_loading_default = false;
  }
  return g_default_module;
}

void CopyText(char* dest, const std::string& text) {
  size_t n = Utf8Cut(text.data(), text.size(), ZEL_MSG_TEXT_SIZE - 1);
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

std::string ModulePath(HMODULE module) {
  char path[4096];
  DWORD n = GetModuleFileNameA(module, path, sizeof path);
  return (n > 0 && n < sizeof path) ? std::string(path, n) : std::string();
}

// Loads template msg_id and formats it into *text. Sets the area's message id,
// module and last module as loading does. Returns whether the template was found.
bool Load(ZELMSGAREA* area, HMODULE module, DWORD msg_id, va_list args, std::string* text) {
  area->msg_id = msg_id;
  if (module == nullptr) module = area->module;
  if (module == nullptr) {
    module = DefaultModule();
    if (module == nullptr) {
      char buf[128];
      std::snprintf(buf, sizeof buf,
                    "String ID <%d> not found; could not load resource file QXCMN_RC.\n",
                    int(msg_id));
      *text = buf;
      return false;
    }
    area->module = module;
  }
  area->last_module = module;
  auto tmpl = platform::FindString(module, msg_id);
  if (!tmpl) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "String ID <%d> not found in %s; resource file may not be the most current; "
                  "handle=0x%" PRIxPTR ".\n",
                  int(msg_id), ModulePath(module).c_str(), reinterpret_cast<uintptr_t>(module));
    *text = buf;
    return false;
  }
  std::string t(tmpl->substr(0, ZEL_MSG_TEXT_SIZE));
  va_list copy;
  va_copy(copy, args);
  char* out = nullptr;
  // Setting a message leaves the thread's last error as the caller had it.
  DWORD saved_error = GetLastError();
  SetLastError(ERROR_SUCCESS);
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, t.c_str(),
                           0, 0, reinterpret_cast<LPSTR>(&out), 0, &copy);
  DWORD error = GetLastError();
  va_end(copy);
  if (n == 0 && error != ERROR_SUCCESS) {
    // A template the formatter refuses is shown as written rather than lost.
    *text = t;
  } else {
    *text = out ? std::string(out, n) : std::string();
  }
  SetLastError(saved_error);
  LocalFree(out);
  return true;
}

// The language id for system texts: the user's language code (default "enu"),
// determined once per process.
DWORD UserLanguageId() {
  static const DWORD id = [] {
    char code[4] = {};
    if (!QueryUserLanguage(code) || code[0] == '\0' || code[0] == ' ') std::strcpy(code, "enu");
    LCID lcid = lang::ConvLocale(code);
    return DWORD(LANGIDFROMLCID(lcid ? lcid : 0x0409));
  }();
  return id;
}

// The library of network message texts, loaded once as a data file (absent on
// most systems; the system texts are used then).
HMODULE NetMessages() {
  static const HMODULE module = LoadLibraryExA("netmsg.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  return module;
}

bool SystemText(DWORD code, DWORD language, std::string* text) {
  DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  HMODULE source = nullptr;
  if (code >= 2100 && code <= 2999 && (source = NetMessages()) != nullptr)
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  char* out = nullptr;
  DWORD n =
      FormatMessageA(flags, source, code, language, reinterpret_cast<LPSTR>(&out), 0, nullptr);
  if (n == 0 || out == nullptr) return false;
  *text = std::string(out, n);
  LocalFree(out);
  return true;
}

BOOL SetLastErrorText() {
  DWORD code = GetLastError();
  ZELMSGAREA* area = CurrentArea();
  if (area == nullptr) return FALSE;
  area->error_id = code;
  if (code == 0xFFFFFFFFu) return TRUE;
  area->msg_id = ZEL_MSG_SYSTEM_ERROR;
  std::string text;
  if (!SystemText(code, UserLanguageId(), &text) && !SystemText(code, LANG_USER_DEFAULT, &text)) {
    SetMsgString(nullptr, ZEL_MSG_NO_ERROR_TEXT, int(code));
    area->error_id = code;
    return FALSE;
  }
  CopyText(area->text, text);
  ZEL_TRACE(2, "SetLastErrorMsg: (%d) %s", int(code), area->text);
  return TRUE;
}

LPSTR CopyOut(ZELMSGAREA* area) {
  static char empty[1] = "";
  if (area == nullptr) return empty;
  std::memcpy(area->copy, area->text, sizeof area->copy);
  return area->copy;
}

}  // namespace

size_t Utf8Cut(const char* text, size_t length, size_t max) {
  if (length <= max) return length;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

ZELMSGAREA* CurrentArea() {
  if (t_chain_gone) return nullptr;
  auto& areas = t_chain.areas;
  if (areas.empty()) {
    auto first = NewArea();
    if (!first) {
      std::fprintf(stderr, "%s: GetMsgVars: TLS storage could not be allocated\n", "QXMSGSTR");
      return nullptr;
    }
    areas.push_back(std::move(first));
  }
  return areas.back().get();
}

size_t ChainDepth() {
  return t_chain_gone ? 0 : t_chain.areas.size();
}

bool SetMessage(HMODULE module, DWORD msg_id, va_list args) {
  ZELMSGAREA* area = CurrentArea();
  if (area == nullptr) return false;
  if (msg_id == 0) {
    area->module = nullptr;
    area->msg_id = 0;
    area->text[0] = '\0';
    return true;
  }
  std::string text;
  bool found = Load(area, module, msg_id, args, &text);
  CopyText(area->text, text);
  ZEL_TRACE(2, "vSetMsgString: (%d) %s", int(msg_id), area->text);
  return found;
}

BOOL MissingArgument(const char* operation) {
  SetMsgString(nullptr, ZEL_MSG_MISSING_ARGUMENT, operation);
  return FALSE;
}

void SetDefaultMessageModule(HMODULE module, bool tried) {
  std::lock_guard<std::mutex> lock(g_default_mu);
  g_default_module = module;
  g_default_tried = tried;
}

}  // namespace qx::zel

using namespace qx::zel;

extern "C" {

BOOL vSetMsgString(HMODULE hModule, DWORD msg_id, va_list args) {
  return SetMessage(hModule, msg_id, args) ? TRUE : FALSE;
}

BOOL SetMsgString(HMODULE hModule, DWORD msg_id, ...) {
  va_list ap;
  va_start(ap, msg_id);
  bool found = SetMessage(hModule, msg_id, ap);
  va_end(ap);
  return found ? TRUE : FALSE;
}

BOOL SetMsgStringA(HMODULE hModule, DWORD msg_id, ...) {
  va_list ap;
  va_start(ap, msg_id);
  bool found = SetMessage(hModule, msg_id, ap);
  va_end(ap);
  return found ? TRUE : FALSE;
}

LPSTR SetAndGetMsgString(HMODULE hModule, DWORD msg_id, ...) {
  va_list ap;
  va_start(ap, msg_id);
  SetMessage(hModule, msg_id, ap);
  va_end(ap);
  return GetMsgString();
}

LPSTR SetAndGetMsgStringA(HMODULE hModule, DWORD msg_id, ...) {
  va_list ap;
  va_start(ap, msg_id);
  SetMessage(hModule, msg_id, ap);
  va_end(ap);
  return GetMsgString();
}

LPSTR GetMsgString(void) {
  return CopyOut(CurrentArea());
}
LPSTR GetMsgStringA(void) {
  return CopyOut(CurrentArea());
}

DWORD GetMsgID(void) {
  ZELMSGAREA* area = CurrentArea();
  return area ? area->msg_id : 0;
}

DWORD GetErrorMsgID(void) {
  ZELMSGAREA* area = CurrentArea();
  return area ? area->error_id : 0;
}

BOOL vFormatMsgString(HMODULE hModule, LPSTR buffer, LPDWORD size, DWORD msg_id, va_list args) {
  if (size == nullptr) return MissingArgument("FormatMsgString");
  ZELMSGAREA* current = CurrentArea();
  // Work on a scratch copy of the area's modules so that the area itself stays
  // as it was.
  ZELMSGAREA scratch;
  std::memset(&scratch, 0, sizeof scratch);
  if (current != nullptr) scratch.module = current->module;
  std::string text;
  bool found = msg_id != 0 && Load(&scratch, hModule, msg_id, args, &text);
  if (msg_id == 0) found = true;
  if (text.size() >= ZEL_MSG_TEXT_SIZE)
    text.resize(Utf8Cut(text.data(), text.size(), ZEL_MSG_TEXT_SIZE - 1));
  // The caller's buffer takes at most *size - 1 bytes and the NUL; a size of 0
  // takes nothing at all.
  if (buffer != nullptr && *size > 0) {
    size_t n = Utf8Cut(text.data(), text.size(), size_t(*size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  *size = DWORD(text.size() + 1);
  return found ? TRUE : FALSE;
}

BOOL FormatMsgString(HMODULE hModule, LPSTR buffer, LPDWORD size, DWORD msg_id, ...) {
  va_list ap;
  va_start(ap, msg_id);
  BOOL found = vFormatMsgString(hModule, buffer, size, msg_id, ap);
  va_end(ap);
  return found;
}

LPSTR FormatAndGetMsgString(HMODULE hModule, LPSTR buffer, LPDWORD size, DWORD msg_id, ...) {
  va_list ap;
  va_start(ap, msg_id);
  BOOL found = vFormatMsgString(hModule, buffer, size, msg_id, ap);
  va_end(ap);
  return (found && buffer != nullptr && size != nullptr && *size > 0) ? buffer : nullptr;
}

BOOL SetLastErrorMsg(void) {
  return SetLastErrorText();
}

BOOL SetLastErrorMsgEx(DWORD code) {
  SetLastError(code);
  return SetLastErrorText();
}

LPSTR SetAndGetLastErrorMsg(void) {
  SetLastErrorText();
  return GetMsgString();
}
LPSTR SetAndGetLastErrorMsgA(void) {
  return SetAndGetLastErrorMsg();
}

LPSTR SetAndGetLastErrorMsgEx(DWORD code) {
  SetLastError(code);
  SetLastErrorText();
  return GetMsgString();
}
LPSTR SetAndGetLastErrorMsgExA(DWORD code) {
  return SetAndGetLastErrorMsgEx(code);
}

BOOL PushMsgStack(void) {
  ZELMSGAREA* current = CurrentArea();
  if (current == nullptr) return FALSE;
  auto area = NewArea();
  if (!area) return FALSE;
  area->module = current->module;
  area->prev = current;
  current->next = area.get();
  ZEL_TRACE(2, "PushMsgStack: curr=%lx, prev=%lx\n", (unsigned long)(uintptr_t)area.get(),
            (unsigned long)(uintptr_t)current);
  t_chain.areas.push_back(std::move(area));
  return TRUE;
}

BOOL PopMsgStack(void) {
  if (CurrentArea() == nullptr || t_chain.areas.size() < 2) return FALSE;
  auto& areas = t_chain.areas;
  ZELMSGAREA* prev = areas[areas.size() - 2].get();
  ZEL_TRACE(2, "PopMsgStack: curr=%lx, prev=%lx\n", (unsigned long)(uintptr_t)areas.back().get(),
            (unsigned long)(uintptr_t)prev);
  prev->next = nullptr;
  areas.pop_back();
  return TRUE;
}

BOOL ClearMsgStack(void) {
  if (CurrentArea() == nullptr) return TRUE;
  ZEL_TRACE(2, "ClearMsgStack\n");
  auto& areas = t_chain.areas;
  areas.resize(1);
  areas.front()->next = nullptr;
  return TRUE;
}

BOOL SetMsgInstance(HMODULE hModule) {
  ZELMSGAREA* area = CurrentArea();
  if (area == nullptr) return FALSE;
  area->module = hModule;
  return TRUE;
}

HMODULE GetMsgHandle(void) {
  ZELMSGAREA* area = CurrentArea();
  return area ? area->last_module : nullptr;
}

BOOL OpenMsgHandle(HZELMSG* handle) {
  if (handle == nullptr) return MissingArgument("OpenMsgHandle");
  ZELMSGAREA* area = CurrentArea();
  if (area == nullptr) return FALSE;
  auto copy = NewArea();
  if (!copy) return FALSE;
  std::memcpy(copy.get(), area, sizeof(ZELMSGAREA));
  copy->prev = copy->next = nullptr;  // a snapshot belongs to no chain
  *handle = copy.release();
  return TRUE;
}

BOOL CopyMsg(HZELMSG handle) {
  if (handle == nullptr) return MissingArgument("CopyMsg");
  ZELMSGAREA* area = CurrentArea();
  if (area == nullptr) return FALSE;
  if (area == handle) return TRUE;
  area->module = handle->module;
  area->last_module = handle->last_module;
  std::memcpy(area->text, handle->text, sizeof area->text);
  area->text[sizeof area->text - 1] = '\0';
  area->msg_id = handle->msg_id;
  area->error_id = handle->error_id;
  return TRUE;
}

BOOL CloseMsgHandle(HZELMSG handle) {
  if (handle == nullptr) return MissingArgument("CloseMsgHandle");
  std::unique_ptr<ZELMSGAREA> owned(handle);
  return TRUE;
}

}  // extern "C"
