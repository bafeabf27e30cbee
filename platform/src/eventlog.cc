// The event log on the system log (see eventlog.h).
#include <fcntl.h>
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/eventlog.h>
#include <qxplatform/text.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "handle_table.h"

namespace qx::platform {
namespace {

constexpr int kFacilityUser = 1;
// Raw data shown in a record, in bytes; more is cut ("...").
constexpr DWORD kMaxRawShown = 256;
// A record's text is cut here: syslog daemons drop longer datagrams.
constexpr size_t kMaxRecord = 8000;

class EventSource final : public KernelObject {
 public:
  explicit EventSource(std::string name) : name_(std::move(name)) {}
  ObjectKind kind() const override { return ObjectKind::kOther; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

const char* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return "Error";
    case EVENTLOG_WARNING_TYPE:
      return "Warning";
    case EVENTLOG_AUDIT_SUCCESS:
      return "AuditSuccess";
    case EVENTLOG_AUDIT_FAILURE:
      return "AuditFailure";
    default:
      return "Information";
  }
}

int Severity(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return 3;
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_AUDIT_FAILURE:
      return 4;
    case EVENTLOG_AUDIT_SUCCESS:
      return 5;
    default:
      return 6;
  }
}

void AppendOneLine(std::string& out, const char* s) {
  for (; s && *s; ++s) out += (*s == '\n' || *s == '\r') ? ' ' : *s;
}

std::string RecordText(const std::string& source, WORD type, WORD category, DWORD id,
                       const std::vector<std::string>& strings, DWORD size, const void* raw) {
  std::string text = source + "[" + std::to_string(::getpid()) + "]: " + TypeName(type) +
                     " category=" + std::to_string(category) + " id=" + std::to_string(id) + ":";
  for (size_t i = 0; i < strings.size(); ++i) {
    text += i == 0 ? " " : " | ";
    AppendOneLine(text, strings[i].c_str());
  }
  if (raw != nullptr && size > 0) {
    static const char kHex[] = "0123456789abcdef";
    text += " | data=";
    auto* p = static_cast<const unsigned char*>(raw);
    for (DWORD i = 0; i < size && i < kMaxRawShown; ++i) {
      text += kHex[p[i] >> 4];
      text += kHex[p[i] & 15];
    }
    if (size > kMaxRawShown) text += "...";
  }
  if (text.size() > kMaxRecord) text.resize(kMaxRecord);
  return text;
}

// Sends one datagram to the system log; 0 or an errno value.
int SendToSyslog(int severity, const std::string& text) {
  auto path = GetEnv("QX_EVENTLOG_SOCKET");
  std::string socket_path = path && !path->empty() ? *path : "/dev/log";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  time_t now = ::time(nullptr);
  tm local;
  ::localtime_r(&now, &local);
  char stamp[32];
  ::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
  std::string datagram =
      "<" + std::to_string(kFacilityUser * 8 + severity) + ">" + stamp + " " + text;
  int err = 0;
  if (::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
               reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
    err = errno;
  ::close(fd);
  return err;
}

// Appends the record to QX_EVENTLOG_FILE: 0, an errno value, or -1 when unset.
int AppendToFile(const std::string& text) {
  auto path = GetEnv("QX_EVENTLOG_FILE");
  if (!path || path->empty()) return -1;
  time_t now = ::time(nullptr);
  tm utc;
  ::gmtime_r(&now, &utc);
  char stamp[32];
  ::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ ", &utc);
  std::string line = stamp + text + "\n";
  int fd = ::open(path->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  // One write with O_APPEND keeps lines of concurrent writers whole.
  ssize_t n = ::write(fd, line.data(), line.size());
  int err = n == ssize_t(line.size()) ? 0 : (n < 0 ? errno : EIO);
  ::close(fd);
  return err;
}

bool LocalServer(const char* server) {
  return server == nullptr || *server == '\0' || std::strcmp(server, ".") == 0;
}

BOOL Report(HANDLE h, WORD type, WORD category, DWORD id, const std::vector<std::string>& strings,
            DWORD size, const void* raw) {
  ObjectRef o = HandleTable::Get().Lookup(h);
  auto source = std::dynamic_pointer_cast<EventSource>(o);
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::string text = RecordText(source->name(), type, category, id, strings, size, raw);
  int sys = SendToSyslog(Severity(type), text);
  int file = AppendToFile(text);
  if (sys == 0 || file == 0) return TRUE;
  SetLastErrorFromErrno(file > 0 ? file : sys);
  return FALSE;
}

std::optional<std::string> Narrow(LPCWSTR s) {
  if (s == nullptr) return std::string();
  return Utf16ToUtf8(s);
}

}  // namespace
}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
  if (lpSourceName == nullptr || *lpSourceName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!LocalServer(lpUNCServerName)) {
    SetLastError(ERROR_BAD_NETPATH);
    return nullptr;
  }
  return HandleTable::Get().Insert(std::make_shared<EventSource>(lpSourceName));
}

HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  auto server = Narrow(lpUNCServerName);
  auto source = Narrow(lpSourceName);
  if (!server || !source) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return RegisterEventSourceA(lpUNCServerName ? server->c_str() : nullptr,
                              lpSourceName ? source->c_str() : nullptr);
}

BOOL DeregisterEventSource(HANDLE hEventLog) {
  ObjectRef o = HandleTable::Get().Lookup(hEventLog);
  if (!std::dynamic_pointer_cast<EventSource>(o)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HandleTable::Get().Remove(hEventLog);
  return TRUE;
}

BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                  WORD wNumStrings, DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData) {
  if (wNumStrings > 0 && lpStrings == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> strings;
  for (WORD i = 0; i < wNumStrings; ++i) strings.emplace_back(lpStrings[i] ? lpStrings[i] : "");
  return Report(hEventLog, wType, wCategory, dwEventID, strings, dwDataSize, lpRawData);
}

BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                  WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
  if (wNumStrings > 0 && lpStrings == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> strings;
  for (WORD i = 0; i < wNumStrings; ++i) {
    auto s = Narrow(lpStrings[i]);
    if (!s) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return FALSE;
    }
    strings.push_back(*s);
  }
  return Report(hEventLog, wType, wCategory, dwEventID, strings, dwDataSize, lpRawData);
}

}  // extern "C"
