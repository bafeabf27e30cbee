// Session-aware kernel object names (see tsadjust.h).
#include "tsadjust.h"

#include <qxplatform/errors.h>
#include <qxplatform/mapping.h>
#include <qxplatform/modules.h>
#include <qxplatform/registry.h>
#include <qxplatform/sync.h>
#include <qxplatform/text.h>
#include <stdarg.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "service_probe.h"

namespace qx::tsadjust {
namespace {

const char* PrefixA(short choice) {
  switch (choice) {
    case QXWTS_SESSION:
      return "Session\\";
    case QXWTS_LOCAL:
      return "Local\\";
    case QXWTS_GLOBAL:
      return "Global\\";
    default:
      return nullptr;
  }
}

// --- Trace: the product trace, loaded at the first line. ---

using SetTraceStringFn = int (*)(const char* module, const char* format, ...);

SetTraceStringFn TraceEntry() {
  static std::once_flag once;
  static SetTraceStringFn entry = nullptr;
  std::call_once(once, [] {
    const char* on = ::getenv("QXWTS_USEQXTRACE");
    if (on == nullptr) return;
    HMODULE zel = LoadLibraryA("zelapi01");
    if (zel) entry = reinterpret_cast<SetTraceStringFn>(GetProcAddress(zel, "SetTraceStringA"));
  });
  return entry;
}

}  // namespace

void Trace(const char* format, ...) {
  SetTraceStringFn entry = TraceEntry();
  if (entry == nullptr) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  entry("WTSOBJCHG", "%s", line);
}

namespace {

// The terminal-mode flag, decided once per process. Unlike a bare flag computed
// by whichever threads race on the first call, every caller waits for the one
// decision.
bool TerminalMode() {
  static std::once_flag once;
  static bool on = false;
  std::call_once(once, [] {
    on = ValidateProductSuite("TerminalServer") != 0 || IsTerminalServiceRunning() != 0;
  });
  return on;
}

template <typename Ch>
Ch* CopyOut(const std::basic_string<Ch>& s) {
  auto* out = static_cast<Ch*>(::malloc((s.size() + 1) * sizeof(Ch)));
  if (out == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memcpy(out, s.c_str(), (s.size() + 1) * sizeof(Ch));
  return out;
}

// Owns an adjusted name for the length of one wrapped call.
template <typename Ch>
class Adjusted {
 public:
  Adjusted(const Ch* name, short choice);
  ~Adjusted() { ::free(name_); }
  Adjusted(const Adjusted&) = delete;
  Adjusted& operator=(const Adjusted&) = delete;
  // False when the name could not be copied (out of memory).
  bool ok() const { return name_ != nullptr || original_ == nullptr; }
  const Ch* get() const { return name_; }

 private:
  const Ch* original_;
  Ch* name_;
};

template <>
Adjusted<char>::Adjusted(const char* name, short choice)
    : original_(name), name_(WTSAdjustNameA(name, choice)) {}
template <>
Adjusted<WCHAR>::Adjusted(const WCHAR* name, short choice)
    : original_(name), name_(WTSAdjustNameW(name, choice)) {}

// Runs a platform call with the adjusted name; a failed copy fails the call the
// way the platform call reports failure.
template <typename Ch, typename Call>
HANDLE Wrapped(const Ch* name, short choice, Call call) {
  Adjusted<Ch> adjusted(name, choice);
  if (!adjusted.ok()) return nullptr;
  return call(adjusted.get());
}

}  // namespace
}  // namespace qx::tsadjust

using namespace qx::tsadjust;

extern "C" {

char* WTSAdjustNameA(const char* name, short choice) {
  if (name == nullptr) return nullptr;
  const char* prefix = PrefixA(choice);
  std::string out = (prefix && TerminalMode()) ? std::string(prefix) + name : std::string(name);
  return CopyOut(out);
}

WCHAR* WTSAdjustNameW(const WCHAR* name, short choice) {
  if (name == nullptr) return nullptr;
  const char* prefix = PrefixA(choice);
  std::u16string out;
  if (prefix && TerminalMode())
    for (const char* p = prefix; *p; ++p) out += char16_t(*p);
  out += name;
  return CopyOut(out);
}

int ValidateProductSuite(const char* suite) {
  if (suite == nullptr) return 0;
  HKEY key = nullptr;
  LSTATUS rc =
      RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ProductOptions", &key);
  if (rc != ERROR_SUCCESS) {
    Trace(
        "tsadjust.dll--ValidateProductSuite: RegOpenKey Control-ProductOptions failed, "
        "errno=%d\n",
        int(rc));
    return 0;
  }
  DWORD type = 0, size = 0;
  rc = RegQueryValueExA(key, "ProductSuite", nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) {
    Trace("tsadjust.dll--ValidateProductSuite: RegQueryValueEx ProductSuite failed, errno=%d\n",
          int(rc));
    RegCloseKey(key);
    return 0;
  }
  if (size == 0) {
    Trace("tsadjust.dll--ValidateProductSuite: RegQueryValueEx ProductSuite return 0 size\n");
    RegCloseKey(key);
    return 0;
  }
  std::string data(size, '\0');
  rc = RegQueryValueExA(key, "ProductSuite", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                        &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    Trace("tsadjust.dll--ValidateProductSuite: RegQueryValueEx ProductSuite failed, errno=%d\n",
          int(rc));
    return 0;
  }
  // Walk the strings within the size the store returned: a list without its final
  // empty string, or a last string without its terminator, ends at the data's end.
  bool found = false;
  if (type == REG_MULTI_SZ) {
    data.resize(size < data.size() ? size : data.size());
    size_t at = 0;
    while (at < data.size() && !found) {
      size_t end = data.find('\0', at);
      if (end == std::string::npos) end = data.size();
      if (end == at) break;  // the empty string that ends the list
      found = data.compare(at, end - at, suite) == 0;
      at = end + 1;
    }
  }
  Trace("tsadjust.dll--ValidateProductSuite: WTS System? %s\n", found ? "YES" : "NO");
  return found ? 1 : 0;
}

int IsTerminalServiceRunning(void) {
  return ProbeTerminalService();
}

HANDLE QXWTS_CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, BOOL initial_state,
                          LPCSTR name, short choice) {
  return Wrapped(name, choice,
                 [&](LPCSTR n) { return CreateEventA(sa, manual_reset, initial_state, n); });
}
HANDLE QXWTS_CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, BOOL initial_state,
                          LPCWSTR name, short choice) {
  return Wrapped(name, choice,
                 [&](LPCWSTR n) { return CreateEventW(sa, manual_reset, initial_state, n); });
}
HANDLE QXWTS_OpenEventA(DWORD access, BOOL inherit, LPCSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCSTR n) { return OpenEventA(access, inherit, n); });
}
HANDLE QXWTS_OpenEventW(DWORD access, BOOL inherit, LPCWSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCWSTR n) { return OpenEventW(access, inherit, n); });
}
HANDLE QXWTS_CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL initial_owner, LPCSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCSTR n) { return CreateMutexA(sa, initial_owner, n); });
}
HANDLE QXWTS_CreateMutexW(LPSECURITY_ATTRIBUTES sa, BOOL initial_owner, LPCWSTR name,
                          short choice) {
  return Wrapped(name, choice, [&](LPCWSTR n) { return CreateMutexW(sa, initial_owner, n); });
}
HANDLE QXWTS_OpenMutexA(DWORD access, BOOL inherit, LPCSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCSTR n) { return OpenMutexA(access, inherit, n); });
}
HANDLE QXWTS_OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCWSTR n) { return OpenMutexW(access, inherit, n); });
}
HANDLE QXWTS_CreateSemaphoreA(LPSECURITY_ATTRIBUTES sa, LONG initial_count, LONG maximum_count,
                              LPCSTR name, short choice) {
  return Wrapped(name, choice,
                 [&](LPCSTR n) { return CreateSemaphoreA(sa, initial_count, maximum_count, n); });
}
HANDLE QXWTS_CreateSemaphoreW(LPSECURITY_ATTRIBUTES sa, LONG initial_count, LONG maximum_count,
                              LPCWSTR name, short choice) {
  return Wrapped(name, choice,
                 [&](LPCWSTR n) { return CreateSemaphoreW(sa, initial_count, maximum_count, n); });
}
HANDLE QXWTS_OpenSemaphoreA(DWORD access, BOOL inherit, LPCSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCSTR n) { return OpenSemaphoreA(access, inherit, n); });
}
HANDLE QXWTS_OpenSemaphoreW(DWORD access, BOOL inherit, LPCWSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCWSTR n) { return OpenSemaphoreW(access, inherit, n); });
}
HANDLE QXWTS_CreateWaitableTimerA(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, LPCSTR name,
                                  short choice) {
  return Wrapped(name, choice, [&](LPCSTR n) { return CreateWaitableTimerA(sa, manual_reset, n); });
}
HANDLE QXWTS_CreateWaitableTimerW(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, LPCWSTR name,
                                  short choice) {
  return Wrapped(name, choice,
                 [&](LPCWSTR n) { return CreateWaitableTimerW(sa, manual_reset, n); });
}
HANDLE QXWTS_OpenWaitableTimerA(DWORD access, BOOL inherit, LPCSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCSTR n) { return OpenWaitableTimerA(access, inherit, n); });
}
HANDLE QXWTS_OpenWaitableTimerW(DWORD access, BOOL inherit, LPCWSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCWSTR n) { return OpenWaitableTimerW(access, inherit, n); });
}
HANDLE QXWTS_CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect,
                                DWORD size_high, DWORD size_low, LPCSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCSTR n) {
    return CreateFileMappingA(file, sa, protect, size_high, size_low, n);
  });
}
HANDLE QXWTS_CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect,
                                DWORD size_high, DWORD size_low, LPCWSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCWSTR n) {
    return CreateFileMappingW(file, sa, protect, size_high, size_low, n);
  });
}
HANDLE QXWTS_OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCSTR n) { return OpenFileMappingA(access, inherit, n); });
}
HANDLE QXWTS_OpenFileMappingW(DWORD access, BOOL inherit, LPCWSTR name, short choice) {
  return Wrapped(name, choice, [&](LPCWSTR n) { return OpenFileMappingW(access, inherit, n); });
}

}  // extern "C"
