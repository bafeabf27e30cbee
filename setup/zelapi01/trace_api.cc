// The exported trace functions: texts of the other libraries to the trace library.
#include <qxplatform/errors.h>
#include <qxplatform/format.h>
#include <qxplatform/modules.h>
#include <qxplatform/text.h>
#include <zelapi01.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "trace.h"

namespace qx::zel {
namespace {

// The longest name of the switch variable.
constexpr size_t kMaxVariable = 31;

struct SwitchState {
  std::mutex mu;
  char variable[kMaxVariable + 1] = "QX_QXIDEBUG";
  bool read = false;
  bool on = false;
};

SwitchState& Switch() {
  static SwitchState* state = new SwitchState;
  return *state;
}

// Reads the switch variable at the first call after start or a change; when it is
// set, binds the trace library and tells it the variable's name.
bool SwitchOn() {
  SwitchState& sw = Switch();
  std::string variable;
  {
    std::lock_guard<std::mutex> lock(sw.mu);
    if (sw.read) return sw.on;
    sw.read = true;
    sw.on = std::getenv(sw.variable) != nullptr;
    if (!sw.on) return false;
    variable = sw.variable;
  }
  if (HMODULE lib = TraceLibraryModule()) {
    using UseProc = int (*)(const char*);
    if (auto use = reinterpret_cast<UseProc>(GetProcAddress(lib, "UseTraceEnvironmentalA")))
      use(variable.c_str());
  }
  return true;
}

int Deliver(const char* module, const std::string& text) {
  TesTraceProc proc = TraceLibraryEntry();
  if (proc == nullptr) return -1;
  return proc(module ? module : "", text.c_str());
}

std::string FormatNarrow(const char* format, va_list ap) {
  if (format == nullptr) return "";
  auto args = platform::ReadPrintfArgs(format, ap);
  return platform::FormatPrintf(format, args);
}

// A wide format, formatted in wide characters and converted; nullopt when the
// result is no valid UTF-16.
std::optional<std::string> FormatWide(const char16_t* format, va_list ap) {
  if (format == nullptr) return std::string();
  std::u16string_view fmt(format);
  auto kinds = platform::PrintfArgKinds(fmt, true);
  auto args = platform::ReadArgs(kinds, ap);
  return platform::Utf16ToUtf8(platform::FormatPrintfW(fmt, args));
}

}  // namespace
}  // namespace qx::zel

using namespace qx::zel;

extern "C" {

int SetTraceStringA(LPCSTR module, LPCSTR format, ...) {
  if (!SwitchOn() || TraceLibraryEntry() == nullptr) return 0;
  va_list ap;
  va_start(ap, format);
  std::string text = FormatNarrow(format, ap);
  va_end(ap);
  return Deliver(module, text);
}

int SetTraceStringW(LPCSTR module, LPCWSTR format, ...) {
  if (!SwitchOn() || TraceLibraryEntry() == nullptr) return 0;
  va_list ap;
  va_start(ap, format);
  auto text = FormatWide(format, ap);
  va_end(ap);
  if (!text) return 0;
  return Deliver(module, *text);
}

int TesTrace(LPCSTR module, LPCSTR format, ...) {
  if (TraceLibraryEntry() == nullptr) return -1;
  if (!SwitchOn()) return 0;
  va_list ap;
  va_start(ap, format);
  std::string text = FormatNarrow(format, ap);
  va_end(ap);
  return Deliver(module, text);
}

int TesTraceW(LPCWSTR module, LPCWSTR format, ...) {
  if (TraceLibraryEntry() == nullptr) return -1;
  if (!SwitchOn()) return 0;
  auto narrow_module = module ? qx::platform::Utf16ToUtf8(module) : std::string();
  va_list ap;
  va_start(ap, format);
  auto text = FormatWide(format, ap);
  va_end(ap);
  if (!text || !narrow_module) return 0;
  return Deliver(narrow_module->c_str(), *text);
}

BOOL UseTraceEnvironmentalA(LPCSTR variable) {
  if (variable == nullptr || variable[0] == '\0' || std::strlen(variable) > kMaxVariable) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SwitchState& sw = Switch();
  std::lock_guard<std::mutex> lock(sw.mu);
  std::strcpy(sw.variable, variable);
  sw.read = false;  // read the new variable at the next call
  return TRUE;
}

BOOL UseTraceEnvironmentalW(LPCWSTR variable) {
  if (variable == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto narrow = qx::platform::Utf16ToUtf8(variable);
  if (!narrow) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return FALSE;
  }
  return UseTraceEnvironmentalA(narrow->c_str());
}

BOOL FreeQXTESRC(void) {
  FreeTraceLibrary();
  SwitchState& sw = Switch();
  std::lock_guard<std::mutex> lock(sw.mu);
  sw.read = false;
  return TRUE;
}

}  // extern "C"
