// System information: family, version, platform, computer name, folders and the
// stored environments.
#include <elf.h>
#include <link.h>
#include <qxplatform/environment.h>
#include <qxplatform/errors.h>
#include <qxplatform/modules.h>
#include <qxplatform/resources.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "message_area.h"
#include "stored_values.h"

namespace qx::zel {
namespace {

// The computer name is cut to this many characters.
constexpr size_t kMaxComputerName = 64;

constexpr const char* kSystemEnvironmentKey =
    "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr const char* kUserEnvironmentKey = "Environment";
constexpr const char* kCurrentVersionKey = "Software\\Microsoft\\Windows\\CurrentVersion";

BOOL Fail(DWORD code) {
  SetLastErrorMsgEx(code);
  SetLastError(code);
  return FALSE;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder counts as read-only when this process may not write in it, when no one
// may (no write bit at all; root passes every access check, so the bits decide),
// or when its file system is mounted read-only.
bool IsWritableFolder(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  if (::access(path.c_str(), W_OK | X_OK) != 0) return false;
  struct statvfs vfs;
  if (::statvfs(path.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) return false;
  return true;
}

// Copies a folder into a MAX_PATH buffer with a closing "/"; false when it does
// not fit.
bool PutFolder(const std::string& folder, char* out) {
  std::string p = folder;
  if (p.empty() || p.back() != '/') p += '/';
  if (p.size() >= MAX_PATH) return false;
  std::memcpy(out, p.c_str(), p.size() + 1);
  return true;
}

std::optional<std::string> StoredVariable(HKEY root, const char* key, const char* name,
                                          LSTATUS* error) {
  DWORD type = REG_NONE;
  auto value = ReadStoredText(root, key, name, &type, error);
  if (!value) return std::nullopt;
  return platform::ExpandEnvironment(*value);
}

BOOL CopyStoredVariable(const char* operation, HKEY root, const char* key, LPCSTR name, LPSTR value,
                        LPDWORD size) {
  if (name == nullptr || value == nullptr || size == nullptr) return MissingArgument(operation);
  LSTATUS error = ERROR_SUCCESS;
  auto text = StoredVariable(root, key, name, &error);
  if (!text) return Fail(DWORD(error));
  DWORD need = DWORD(text->size() + 1);
  if (*size < need) {
    // Too small a buffer gets nothing; the caller learns the size it needs.
    *size = need;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(value, text->c_str(), need);
  *size = need;
  return TRUE;
}

BOOL ShellFolder(const char* operation, const char* env_name, const char* value_name, LPSTR path) {
  if (path == nullptr) return MissingArgument(operation);
  std::optional<std::string> folder = platform::GetEnv(env_name);
  if (!folder || !IsFolder(*folder)) {
    LSTATUS error = ERROR_SUCCESS;
    folder = ReadStoredText(HKEY_LOCAL_MACHINE, kCurrentVersionKey, value_name, nullptr, &error);
    if (folder) *folder = platform::ExpandEnvironment(*folder);
  }
  if (!folder || folder->empty() || folder->size() >= MAX_PATH) {
    SetMsgString(nullptr, ZEL_MSG_FOLDER_UNKNOWN);
    return FALSE;
  }
  std::memcpy(path, folder->c_str(), folder->size() + 1);
  return TRUE;
}

// The loaded object whose ELF header or module handle is module.
struct FindModule {
  const void* wanted;
  struct link_map* handle;
  const ElfW(Ehdr) * header = nullptr;
  const ElfW(Phdr) * phdr = nullptr;
  ElfW(Addr) bias = 0;
  int phnum = 0;
};

int MatchModule(struct dl_phdr_info* info, size_t, void* data) {
  auto* f = static_cast<FindModule*>(data);
  const ElfW(Ehdr)* header = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_offset == 0)
      header = reinterpret_cast<const ElfW(Ehdr)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
  bool by_handle = f->handle != nullptr && f->handle->l_addr == info->dlpi_addr &&
                   std::strcmp(f->handle->l_name ? f->handle->l_name : "",
                               info->dlpi_name ? info->dlpi_name : "") == 0;
  if (header == nullptr || (header != f->wanted && !by_handle)) return 0;
  f->header = header;
  f->phdr = info->dlpi_phdr;
  f->phnum = info->dlpi_phnum;
  f->bias = info->dlpi_addr;
  return 1;
}

// A position-independent program is ET_DYN like a library; the linker marks it
// with DF_1_PIE.
bool IsPie(const FindModule& f) {
  for (int i = 0; i < f.phnum; ++i) {
    if (f.phdr[i].p_type != PT_DYNAMIC) continue;
    for (auto* d = reinterpret_cast<const ElfW(Dyn)*>(f.bias + f.phdr[i].p_vaddr);
         d->d_tag != DT_NULL; ++d)
      if (d->d_tag == DT_FLAGS_1 && (d->d_un.d_val & DF_1_PIE)) return true;
  }
  return false;
}

}  // namespace
}  // namespace qx::zel

using namespace qx::zel;

extern "C" {

BOOL IsWindowsNT(void) {
  return TRUE;
}

BOOL GetWindowsVersion(LPSTR version) {
  if (version == nullptr) return MissingArgument("GetWindowsVersion");
  static const std::string text = [] {
    struct utsname u;
    int major = 0, minor = 0;
    if (::uname(&u) == 0) std::sscanf(u.release, "%d.%d", &major, &minor);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d.%d", major, minor);
    return std::string(buf);
  }();
  std::memcpy(version, text.c_str(), text.size() + 1);
  return TRUE;
}

BOOL GetWindowsType(int* type) {
  if (type == nullptr) return MissingArgument("GetWindowsType");
  *type = 256;
  return TRUE;
}

BOOL GetWindowsPlatform(int* bits) {
  if (bits == nullptr) return MissingArgument("GetWindowsPlatform");
  *bits = sizeof(void*) == 8 ? 64 : 32;
  return TRUE;
}

LPCSTR GetMyName(void) {
  static std::once_flag once;
  static char name[kMaxComputerName + 1];
  std::call_once(once, [] {
    char buf[256];
    DWORD size = sizeof buf;
    if (!GetComputerNameA(buf, &size)) return;
    size_t n = std::min<size_t>(size, kMaxComputerName);
    for (size_t i = 0; i < n; ++i) name[i] = qx::platform::AsciiUpper(buf[i]);
    name[n] = '\0';
  });
  return name;
}

BOOL GetProgramFilesDir(LPSTR path) {
  return ShellFolder("GetProgramFilesDir", "ProgramFiles", "ProgramFilesDir", path);
}

BOOL GetCommonFilesDir(LPSTR path) {
  return ShellFolder("GetCommonFilesDir", "CommonProgramFiles", "CommonFilesDir", path);
}

BOOL GetValidTempPath(LPSTR path) {
  if (path == nullptr) return MissingArgument("GetValidTempPath");
  auto env = [](const char* name) { return qx::platform::GetEnv(name).value_or(""); };
  auto stored = [](HKEY root, const char* key, const char* name) {
    LSTATUS error;
    return StoredVariable(root, key, name, &error).value_or("");
  };
  char cwd[4096];
  const std::string candidates[] = {
      qx::platform::TempDir(),
      env("TMP"),
      env("TEMP"),
      stored(HKEY_CURRENT_USER, kUserEnvironmentKey, "TMP"),
      stored(HKEY_CURRENT_USER, kUserEnvironmentKey, "TEMP"),
      stored(HKEY_LOCAL_MACHINE, kSystemEnvironmentKey, "TMP"),
      stored(HKEY_LOCAL_MACHINE, kSystemEnvironmentKey, "TEMP"),
      env("USERPROFILE"),
      env("HOME"),
      ::getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string(),
      qx::platform::SystemRoot(),
      "/tmp",
  };
  for (const auto& c : candidates)
    if (IsWritableFolder(c) && PutFolder(c, path)) return TRUE;
  path[0] = '\0';
  return Fail(ERROR_PATH_NOT_FOUND);
}

BOOL GetSystemEnvironmentVariable(LPCSTR name, LPSTR value, LPDWORD size) {
  return CopyStoredVariable("GetSystemEnvironmentVariable", HKEY_LOCAL_MACHINE,
                            kSystemEnvironmentKey, name, value, size);
}

BOOL GetUserEnvironmentVariable(LPCSTR name, LPSTR value, LPDWORD size) {
  return CopyStoredVariable("GetUserEnvironmentVariable", HKEY_CURRENT_USER, kUserEnvironmentKey,
                            name, value, size);
}

BOOL IsModuleDll(LPCVOID module, BOOL* is_dll) {
  if (module == nullptr || is_dll == nullptr) return MissingArgument("IsModuleDll");
  FindModule f{module, nullptr};
  if (qx::platform::IsLoadedModule(const_cast<void*>(module)))
    f.handle = static_cast<struct link_map*>(const_cast<void*>(module));
  if (::dl_iterate_phdr(MatchModule, &f) == 0 || f.header == nullptr)
    return Fail(ERROR_MOD_NOT_FOUND);
  *is_dll = (f.header->e_type == ET_DYN && !IsPie(f)) ? TRUE : FALSE;
  return TRUE;
}

}  // extern "C"
