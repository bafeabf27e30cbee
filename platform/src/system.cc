// Folders, identity and clocks.
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>


namespace qx::platform {
namespace {

std::string NonEmptyEnv(const char* name) {
  auto v = GetEnv(name);
  return v ? *v : std::string();
}

std::string Ensure(const std::string& path, unsigned mode) {
  if (path.empty()) return path;
  return MakeDirs(path, mode) ? path : std::string();
}

std::string HomeStateDir() {
  std::string base = NonEmptyEnv("XDG_STATE_HOME");
  if (base.empty()) {
    std::string home = NonEmptyEnv("HOME");
    if (home.empty()) home = "/tmp";
    base = home + "/.local/state";
  }
  return base + "/qx";
}

// Copies text into a caller buffer with the GetTempPath size convention.
template <typename Ch>
DWORD CopyOut(const std::basic_string<Ch>& text, Ch* buffer, DWORD size) {
  if (size <= text.size() || buffer == nullptr) return DWORD(text.size() + 1);
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(Ch));
  return DWORD(text.size());
}

std::string HostLabel() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  std::string s = name;
  auto dot = s.find('.');
  if (dot != std::string::npos) s.resize(dot);
  return s;
}

}  // namespace

bool MakeDirs(const std::string& path, unsigned mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash), mode))
    return false;
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

std::string StateDir() {
  std::string dir = NonEmptyEnv("QX_STATE_DIR");
  if (dir.empty()) {
    // /var/lib/qx when this user may write there (or may create it), else the
    // user's own state folder.
    if (::access("/var/lib/qx", W_OK) == 0 ||
        (::access("/var/lib/qx", F_OK) != 0 && ::access("/var/lib", W_OK) == 0))
      dir = "/var/lib/qx";
    else
      dir = HomeStateDir();
  }
  return Ensure(dir, 0755);
}

std::string RuntimeDir() {
  std::string dir = NonEmptyEnv("QX_RUNTIME_DIR");
  if (dir.empty()) {
    if (::geteuid() == 0) {
      dir = "/run/qx";
    } else {
      std::string xdg = NonEmptyEnv("XDG_RUNTIME_DIR");
      dir = xdg.empty() ? "/tmp/qx-" + std::to_string(::geteuid()) : xdg + "/qx";
    }
  }
  return Ensure(dir, 0700);
}

std::string TempDir() {
  for (const char* name : {"TMPDIR", "TMP", "TEMP"}) {
    std::string v = NonEmptyEnv(name);
    if (!v.empty()) return v;
  }
  return "/tmp";
}

std::string SystemRoot() {
  std::string dir = NonEmptyEnv("QX_SYSTEM_ROOT");
  if (dir.empty()) {
    std::string state = StateDir();
    if (state.empty()) return "";
    dir = state + "/system";
  }
  return Ensure(dir, 0755);
}

std::string ProgramPath() {
  // Asked once: the module lookups, the library search and the trace name all
  // want it, and it is the path the program was started from, as Windows keeps
  // a module's file name (the kernel's link would follow a later rename). Never
  // destroyed: threads may still ask during exit.
  static const std::string* path = [] {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return new std::string(n <= 0 ? std::string() : std::string(buf, size_t(n)));
  }();
  return *path;
}

std::string DefaultInstallDir() {
  std::string exe = ProgramPath();
  auto slash = exe.rfind('/');
  if (slash == std::string::npos) return "";
  std::string folder = exe.substr(0, slash);  // .../bin
  slash = folder.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : folder.substr(0, slash);
}

std::string ReadSmallFile(const std::string& path, size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string text;
  char buf[4096];
  while (text.size() < limit) {
    ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, size_t(n));
  }
  ::close(fd);
  return text;
}

std::string BootId() {
  std::string id = ReadSmallFile("/proc/sys/kernel/random/boot_id", 64);
  return id.substr(0, id.find('\n'));
}

std::chrono::nanoseconds CoarseClockLag() {
  static const std::chrono::nanoseconds lag = [] {
    struct timespec res;
    // Unknown: a whole second, so that no deadline of a second or less is trusted
    // early.
    if (::clock_getres(CLOCK_MONOTONIC_COARSE, &res) != 0)
      return std::chrono::nanoseconds(std::chrono::seconds(1));
    return std::chrono::seconds(res.tv_sec) + std::chrono::nanoseconds(res.tv_nsec);
  }();
  return lag;
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
  if (nSize == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string name = HostLabel();
  if (name.empty()) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (lpBuffer == nullptr || *nSize <= name.size()) {
    *nSize = DWORD(name.size() + 1);
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  std::memcpy(lpBuffer, name.c_str(), name.size() + 1);
  *nSize = DWORD(name.size());
  return TRUE;
}

BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  if (nSize == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto name = Utf8ToUtf16(HostLabel());
  if (!name || name->empty()) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (lpBuffer == nullptr || *nSize <= name->size()) {
    *nSize = DWORD(name->size() + 1);
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  std::memcpy(lpBuffer, name->c_str(), (name->size() + 1) * sizeof(char16_t));
  *nSize = DWORD(name->size());
  return TRUE;
}

ULONGLONG GetTickCount64(void) {
  struct timespec ts;
  ::clock_gettime(CLOCK_BOOTTIME, &ts);
  return ULONGLONG(ts.tv_sec) * 1000u + ULONGLONG(ts.tv_nsec) / 1000000u;
}

DWORD GetTickCount(void) {
  return DWORD(GetTickCount64());
}

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == INFINITE) {
    for (;;) ::pause();
  }
  struct timespec ts = {time_t(dwMilliseconds / 1000), long(dwMilliseconds % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

DWORD GetCurrentProcessId(void) {
  return DWORD(::getpid());
}
DWORD GetCurrentThreadId(void) {
  return DWORD(::syscall(SYS_gettid));
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  std::string dir = TempDir();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return CopyOut(dir, lpBuffer, nBufferLength);
}

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  std::string dir = TempDir();
  if (dir.empty() || dir.back() != '/') dir += '/';
  auto wide = Utf8ToUtf16(dir);
  if (!wide) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return CopyOut(*wide, lpBuffer, nBufferLength);
}

UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  std::string dir = SystemRoot();
  if (dir.empty()) return 0;
  return CopyOut(dir, lpBuffer, uSize);
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return GetWindowsDirectoryA(lpBuffer, uSize);
}

}  // extern "C"
