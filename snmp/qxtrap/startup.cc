// The start-up hook: PATH update and the optional prologue library.
#include "startup.h"

#include <qxplatform/environment.h>
#include <qxplatform/modules.h>
#include <qxplatform/registry.h>
#include <qxplatform/text.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <vector>

namespace qx::qxtrap {
namespace {

// Sizes of the value buffers: the system value as read, in bytes, and expanded
// values, in characters.
constexpr DWORD kSystemPathBytes = 8192;
constexpr DWORD kExpandedChars = 4096;

char g_local_system = 0;  // 'Y' or 'N' once known

// The system "Path" value, expanded; nullopt when the key or the value cannot be
// read.
std::optional<std::u16string> SystemPath() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemEnvironmentKey, 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS)
    return std::nullopt;
  std::vector<BYTE> data(kSystemPathBytes + sizeof(char16_t), 0);
  DWORD size = kSystemPathBytes;
  DWORD type = 0;
  LSTATUS rc = RegQueryValueExW(key, u"Path", nullptr, &type, data.data(), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string raw(reinterpret_cast<const char16_t*>(data.data()), size / sizeof(char16_t));
  while (!raw.empty() && raw.back() == u'\0') raw.pop_back();
  std::vector<char16_t> expanded(kExpandedChars, 0);
  DWORD n = ExpandEnvironmentStringsW(raw.c_str(), expanded.data(), kExpandedChars);
  if (n == 0 || n > kExpandedChars) return std::nullopt;
  return std::u16string(expanded.data());
}

// The process PATH, expanded; "" when unset, nullopt when it does not fit the
// buffers (then it is left alone rather than cut).
std::optional<std::u16string> ProcessPath() {
  std::vector<char16_t> value(kExpandedChars, 0);
  DWORD n = GetEnvironmentVariableW(u"PATH", value.data(), kExpandedChars);
  if (n == 0) return std::u16string();
  if (n >= kExpandedChars) return std::nullopt;
  std::vector<char16_t> expanded(kExpandedChars, 0);
  DWORD m = ExpandEnvironmentStringsW(value.data(), expanded.data(), kExpandedChars);
  if (m == 0 || m > kExpandedChars) return std::nullopt;
  return std::u16string(expanded.data());
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string DropMissingFolders(const std::string& path) {
  std::string kept;
  bool dropped = false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string entry = path.substr(start, end - start);
    if (!entry.empty()) {
      if (IsFolder(entry)) {
        if (!kept.empty()) kept += ':';
        kept += entry;
      } else {
        dropped = true;
      }
    }
    start = end + 1;
  }
  return dropped ? kept : path;
}

std::string PathAfterUpdate(const std::string& process_path, const std::string& system_path,
                            bool local_system) {
  std::string value;
  if (process_path.find(system_path) == std::string::npos)
    value = process_path.empty() ? system_path : process_path + ":" + system_path;
  else
    value = system_path;
  if (value.empty() || !local_system) return value;
  return DropMissingFolders(value);
}

bool is_local_system(int* error) {
  (void)error;
  if (g_local_system == 0) g_local_system = geteuid() == 0 ? 'Y' : 'N';
  return g_local_system == 'Y';
}

void update_path() {
  std::optional<std::u16string> system = SystemPath();
  // An unreadable or empty system value leaves the process PATH as it is: it must
  // not remove it.
  if (!system || system->empty()) return;
  std::optional<std::u16string> process = ProcessPath();
  if (!process) return;
  std::optional<std::string> system_text = qx::platform::Utf16ToUtf8(*system);
  std::optional<std::string> process_text = qx::platform::Utf16ToUtf8(*process);
  if (!system_text || !process_text) return;
  int error = 0;
  std::string value = PathAfterUpdate(*process_text, *system_text, is_local_system(&error));
  SetEnvironmentVariableA("PATH", value.empty() ? nullptr : value.c_str());
}

int start_prologue(void* arg1, void* arg2, void* arg3) {
  update_path();
  HMODULE library =
      qx::platform::LoadLibraryFrom(reinterpret_cast<const void*>(&start_prologue), "PROLOGUE");
  if (library == nullptr) return 0;
  using PrologueProc = void (*)(void*, void*, void*);
  auto proc = reinterpret_cast<PrologueProc>(GetProcAddress(library, "QXStartGlobalPrologueDLL"));
  if (proc == nullptr) return 0;
  proc(arg1, arg2, arg3);
  return 1;
}

}  // namespace qx::qxtrap
