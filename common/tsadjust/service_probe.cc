// The terminal-service probe, through the service calls of the platform library.
//
// The calls and records below are the Windows service control interface's; the
// platform library offers them once its service layer is built, and they are
// bound by name at run time so this library needs no change then.
#include "service_probe.h"

#include <qxplatform/errors.h>
#include <qxplatform/modules.h>

#include <vector>

namespace qx::tsadjust {
namespace {

typedef void* SC_HANDLE;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

struct QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  char* lpBinaryPathName;
  char* lpLoadOrderGroup;
  DWORD dwTagId;
  char* lpDependencies;
  char* lpServiceStartName;
  char* lpDisplayName;
};

constexpr DWORD kScManagerAllAccess = 0xF003F;
constexpr DWORD kServiceQueryConfig = 0x0001;
constexpr DWORD kServiceQueryStatus = 0x0004;
constexpr DWORD kServiceDisabled = 4;
constexpr DWORD kStartPending = 2;
constexpr DWORD kRunning = 4;
constexpr DWORD kContinuePending = 5;

struct ServiceCalls {
  SC_HANDLE (*open_manager)(const char*, const char*, DWORD) = nullptr;
  SC_HANDLE (*open_service)(SC_HANDLE, const char*, DWORD) = nullptr;
  BOOL (*query_config)(SC_HANDLE, QUERY_SERVICE_CONFIGA*, DWORD, DWORD*) = nullptr;
  BOOL (*query_status)(SC_HANDLE, SERVICE_STATUS*) = nullptr;
  BOOL (*close)(SC_HANDLE) = nullptr;
  bool complete() const {
    return open_manager && open_service && query_config && query_status && close;
  }
};

template <typename Fn>
void Bind(HMODULE lib, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(GetProcAddress(lib, name));
}

ServiceCalls LookUp() {
  ServiceCalls calls;
  HMODULE lib = LoadLibraryA("qxplatform");
  if (lib == nullptr) return calls;
  Bind(lib, "OpenSCManagerA", &calls.open_manager);
  Bind(lib, "OpenServiceA", &calls.open_service);
  Bind(lib, "QueryServiceConfigA", &calls.query_config);
  Bind(lib, "QueryServiceStatus", &calls.query_status);
  Bind(lib, "CloseServiceHandle", &calls.close);
  return calls;
}

}  // namespace

int ProbeTerminalService() {
  ServiceCalls calls = LookUp();
  if (!calls.complete()) {
    Trace("tsadjust.dll--IsTerminalServiceRunning: In OpenScManager, RC=%d\n",
          int(ERROR_CALL_NOT_IMPLEMENTED));
    return 0;
  }
  SC_HANDLE manager = calls.open_manager(nullptr, nullptr, kScManagerAllAccess);
  if (manager == nullptr) {
    Trace("tsadjust.dll--IsTerminalServiceRunning: In OpenScManager, RC=%d\n", int(GetLastError()));
    return 0;
  }
  SC_HANDLE service =
      calls.open_service(manager, "TermService", kServiceQueryConfig | kServiceQueryStatus);
  if (service == nullptr) {
    Trace("tsadjust.dll--IsTerminalServiceRunning: OpenService, failed=%d\n", int(GetLastError()));
    calls.close(manager);
    return 0;
  }
  int answer = 0;
  std::vector<unsigned char> buffer(sizeof(QUERY_SERVICE_CONFIGA));
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  BOOL ok = calls.query_config(service, config, DWORD(buffer.size()), &needed);
  if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
    buffer.resize(needed);
    config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    ok = calls.query_config(service, config, DWORD(buffer.size()), &needed);
  }
  if (ok && config->dwStartType == kServiceDisabled) {
    Trace("tsadjust.dll--IsTerminalServiceRunning: Service \"%s\", is Not Activated\n",
          "TermService");
  } else {
    SERVICE_STATUS status{};
    if (!calls.query_status(service, &status)) {
      Trace("tsadjust.dll--IsTerminalServiceRunning: QueryServiceStatus failed, %d\n",
            int(GetLastError()));
    } else if (status.dwCurrentState == kRunning || status.dwCurrentState == kStartPending ||
               status.dwCurrentState == kContinuePending) {
      Trace("tsadjust.dll--IsTerminalServiceRunning: Terminal Service is running...\n");
      answer = 1;
    } else {
      Trace("tsadjust.dll--IsTerminalServiceRunning: Term Service is stopped\n");
    }
  }
  calls.close(service);
  calls.close(manager);
  return answer;
}

}  // namespace qx::tsadjust
