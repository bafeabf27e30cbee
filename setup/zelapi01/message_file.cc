// The saved-message file: a message area written to a file and read back.
//
// Layout (ZEL_MSG_FILE_BYTES bytes, 32-bit fields little-endian):
//   0     message module   (handles mean nothing in another process: written 0)
//   4     last module      (0)
//   8     text[4096]
//   4104  copy[4096]
//   8200  message id
//   8204  error id
//   8208  previous link    (0)
//   8212  next link        (0)
//   8216  path of the message module, NUL-padded [260]
//   8476  path of the last module, NUL-padded [260]
#include <qxplatform/environment.h>
#include <qxplatform/modules.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "message_area.h"

namespace qx::zel {
namespace {

constexpr size_t kTextOffset = 8;
constexpr size_t kCopyOffset = kTextOffset + ZEL_MSG_TEXT_SIZE;
constexpr size_t kMsgIdOffset = kCopyOffset + ZEL_MSG_TEXT_SIZE;
constexpr size_t kErrorIdOffset = kMsgIdOffset + 4;
constexpr size_t kModulePathOffset = ZEL_MSG_AREA_FILE_BYTES;
constexpr size_t kLastModulePathOffset = kModulePathOffset + MAX_PATH;
static_assert(kErrorIdOffset + 12 == ZEL_MSG_AREA_FILE_BYTES);
static_assert(kLastModulePathOffset + MAX_PATH == ZEL_MSG_FILE_BYTES);

using Image = std::array<unsigned char, ZEL_MSG_FILE_BYTES>;

void PutU32(Image& image, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t GetU32(const Image& image, size_t offset) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(image[offset + i]) << (8 * i);
  return v;
}

// Copies a field of the image as a string, forcing its terminator.
void GetText(const Image& image, size_t offset, size_t size, char* out) {
  std::memcpy(out, image.data() + offset, size);
  out[size - 1] = '\0';
}

void PutModulePath(Image& image, size_t offset, HMODULE module) {
  if (module == nullptr) return;
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(module, path, sizeof path);
  if (n == 0 || n >= sizeof path) return;  // a path that does not fit is left out
  std::memcpy(image.data() + offset, path, n);
}

std::string RealFolder(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return "";
  std::string r = real;
  std::free(real);
  auto slash = r.rfind('/');
  return slash == std::string::npos ? "" : r.substr(0, slash);
}

// Loads a module named in a saved-message file. Loading runs a library's code,
// so a path from a file is trusted only when the module is already loaded or lies
// in a folder the library loads from anyway (its own folder, QX_LIB_PATH).
HMODULE ReloadModule(const char* path) {
  if (path[0] == '\0') return nullptr;
  if (HMODULE h = GetModuleHandleA(path)) return h;
  std::string folder = RealFolder(path);
  if (folder.empty()) return nullptr;
  std::string trusted = platform::ModuleFolder(reinterpret_cast<const void*>(&CurrentArea));
  auto lib_path = platform::GetEnv("QX_LIB_PATH");
  if (lib_path) trusted += ":" + *lib_path;
  size_t start = 0;
  while (start <= trusted.size()) {
    size_t end = trusted.find(':', start);
    if (end == std::string::npos) end = trusted.size();
    std::string candidate = trusted.substr(start, end - start);
    if (!candidate.empty() && RealFolder(candidate + "/.") == folder) return LoadLibraryA(path);
    start = end + 1;
  }
  return nullptr;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace
}  // namespace qx::zel

using namespace qx::zel;

extern "C" {

BOOL ExportMsg(HZELMSG area, LPCSTR path) {
  if (path == nullptr) return MissingArgument("ExportMsg");
  if (area == nullptr) area = CurrentArea();
  if (area == nullptr) return FALSE;
  auto image = std::make_unique<Image>();
  image->fill(0);
  std::memcpy(image->data() + kTextOffset, area->text, ZEL_MSG_TEXT_SIZE);
  std::memcpy(image->data() + kCopyOffset, area->copy, ZEL_MSG_TEXT_SIZE);
  PutU32(*image, kMsgIdOffset, area->msg_id);
  PutU32(*image, kErrorIdOffset, area->error_id);
  PutModulePath(*image, kModulePathOffset, area->module);
  PutModulePath(*image, kLastModulePathOffset, area->last_module);
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "w+b"));
  if (!f) {
    SetMsgString(nullptr, ZEL_MSG_FILE_WRITE, path);
    return FALSE;
  }
  bool ok = std::fwrite(image->data(), 1, image->size(), f.get()) == image->size();
  ok = std::fflush(f.get()) == 0 && ok;
  if (!ok) {
    SetMsgString(nullptr, ZEL_MSG_FILE_WRITE, path);
    return FALSE;
  }
  return TRUE;
}

BOOL ImportMsg(HZELMSG area, LPCSTR path) {
  if (path == nullptr) return MissingArgument("ImportMsg");
  if (area == nullptr) area = CurrentArea();
  if (area == nullptr) return FALSE;
  auto image = std::make_unique<Image>();
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "rb"));
  // Exactly one image: a shorter or longer file is not a saved-message file.
  char extra;
  if (!f || std::fread(image->data(), 1, image->size(), f.get()) != image->size() ||
      std::fread(&extra, 1, 1, f.get()) != 0) {
    SetMsgString(nullptr, ZEL_MSG_FILE_READ, path);
    return FALSE;
  }
  char module_path[MAX_PATH], last_path[MAX_PATH];
  GetText(*image, kModulePathOffset, MAX_PATH, module_path);
  GetText(*image, kLastModulePathOffset, MAX_PATH, last_path);
  // Only the content fields reach the area; its links stay as they are.
  area->module = ReloadModule(module_path);
  area->last_module = ReloadModule(last_path);
  GetText(*image, kTextOffset, ZEL_MSG_TEXT_SIZE, area->text);
  GetText(*image, kCopyOffset, ZEL_MSG_TEXT_SIZE, area->copy);
  area->msg_id = GetU32(*image, kMsgIdOffset);
  area->error_id = GetU32(*image, kErrorIdOffset);
  return TRUE;
}

}  // extern "C"
