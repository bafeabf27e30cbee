// Hive files: a key tree saved to a standalone file, and restored from one.
//
// The format (all numbers little-endian; docs/registry.md has the full text):
//   header, 32 bytes: magic "QXHIVE\r\n", u32 version (1), u32 flags (0),
//                     u64 body size, u32 CRC-32 of the body, u32 zero
//   body: one key record, the saved key:
//     u32 name length, name (UTF-8)       ignored for the saved key itself
//     u32 class length, class (UTF-8)
//     u32 value count, then per value: u32 name length, name, u32 type,
//                                      u32 data length, data
//     u32 subkey count, then the subkeys' key records
// The reader trusts nothing: every length is checked against what is left,
// every name against the registry's limits, names are unique per key (without
// regard to case), the depth is bounded, and the body must end exactly.
#include <fcntl.h>
#include <qxplatform/errors.h>
#include <qxplatform/registry.h>
#include <qxplatform/text.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <set>

#include "registry_handles.h"
#include "registry_names.h"

namespace qx::platform {
namespace {

constexpr char kMagic[8] = {'Q', 'X', 'H', 'I', 'V', 'E', '\r', '\n'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 32;
// Deepest tree a hive may hold (Windows allows 512 levels of keys).
constexpr int kMaxDepth = 512;
// Largest hive file restored: far above any real tree, small enough to read whole.
constexpr size_t kMaxHiveFile = size_t(512) << 20;
// Smallest encoded key and value records, to bound counts before reserving.
constexpr size_t kMinKeyRecord = 16;
constexpr size_t kMinValueRecord = 12;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr auto kCrcTable = MakeCrcTable();

uint32_t Crc32(std::string_view data) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data) c = kCrcTable[(c ^ b) & 0xff] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void Put32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(char((v >> (8 * i)) & 0xff));
}

void PutBytes(std::string* out, std::string_view bytes) {
  Put32(out, uint32_t(bytes.size()));
  out->append(bytes);
}

void EncodeKey(std::string* out, const RegistryKeyTree& key) {
  PutBytes(out, key.name);
  PutBytes(out, key.cls);
  Put32(out, uint32_t(key.values.size()));
  for (const auto& v : key.values) {
    PutBytes(out, v.name);
    Put32(out, v.type);
    PutBytes(out, v.data);
  }
  Put32(out, uint32_t(key.subkeys.size()));
  for (const auto& sub : key.subkeys) EncodeKey(out, sub);
}

// A bounds-checked reader over the body.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  bool U32(uint32_t* v) {
    if (data_.size() - pos_ < 4) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) *v |= uint32_t(uint8_t(data_[pos_ + i])) << (8 * i);
    pos_ += 4;
    return true;
  }
  bool Bytes(std::string* out) {
    uint32_t n;
    if (!U32(&n) || data_.size() - pos_ < n) return false;
    out->assign(data_.substr(pos_, n));
    pos_ += n;
    return true;
  }
  size_t left() const { return data_.size() - pos_; }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

bool DecodeKey(Reader* r, int depth, bool top, RegistryKeyTree* key) {
  if (depth > kMaxDepth) return false;
  if (!r->Bytes(&key->name) || !r->Bytes(&key->cls)) return false;
  if (!(top && key->name.empty()) && reg::CheckKeyName(key->name) != ERROR_SUCCESS) return false;
  if (reg::CheckValueName(key->cls) != ERROR_SUCCESS) return false;
  uint32_t count;
  if (!r->U32(&count) || count > r->left() / kMinValueRecord) return false;
  std::set<std::string> seen;
  key->values.resize(count);
  for (auto& v : key->values) {
    if (!r->Bytes(&v.name) || !r->U32(&v.type) || !r->Bytes(&v.data)) return false;
    if (reg::CheckValueName(v.name) != ERROR_SUCCESS) return false;
    if (!seen.insert(reg::Fold(v.name)).second) return false;
  }
  if (!r->U32(&count) || count > r->left() / kMinKeyRecord) return false;
  seen.clear();
  key->subkeys.resize(count);
  for (auto& sub : key->subkeys) {
    if (!DecodeKey(r, depth + 1, false, &sub)) return false;
    if (!seen.insert(reg::Fold(sub.name)).second) return false;
  }
  return true;
}

uint32_t Get32(std::string_view b, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(b[at + i])) << (8 * i);
  return v;
}

LSTATUS WriteNewFile(const std::string& path, const std::string& bytes) {
  // Write a temporary file beside the target, then link it into place: the
  // target appears whole or not at all, and an existing file is never replaced.
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) return ErrorFromErrno(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      return ErrorFromErrno(e);
    }
    done += size_t(n);
  }
  int sync_err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  if (sync_err == 0 && ::link(tmp.c_str(), path.c_str()) != 0) sync_err = errno;
  ::unlink(tmp.c_str());
  if (sync_err == EEXIST) return ERROR_ALREADY_EXISTS;
  return sync_err ? ErrorFromErrno(sync_err) : ERROR_SUCCESS;
}

LSTATUS ReadWholeFile(const std::string& path, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return ERROR_NOT_REGISTRY_FILE;
  }
  if (size_t(st.st_size) > kMaxHiveFile) {
    ::close(fd);
    return ERROR_NOT_REGISTRY_FILE;
  }
  out->resize(size_t(st.st_size));
  size_t done = 0;
  while (done < out->size()) {
    ssize_t n = ::read(fd, out->data() + done, out->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(fd);
  out->resize(done);
  return ERROR_SUCCESS;
}

LSTATUS SaveKey(HKEY hKey, const std::string& file) {
  std::shared_ptr<reg::KeyObject> key;
  LSTATUS rc = reg::ResolveKey(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  RegistryKeyTree tree;
  if ((rc = key->store->ReadTree(key->ref.id, &tree)) != ERROR_SUCCESS) return rc;
  tree.name.clear();
  return WriteNewFile(file, EncodeHive(tree));
}

LSTATUS RestoreKey(HKEY hKey, const std::string& file, DWORD flags) {
  if (flags & ~DWORD(REG_WHOLE_HIVE_VOLATILE | REG_FORCE_RESTORE | 0x2 | 0x4))
    return ERROR_INVALID_PARAMETER;
  std::shared_ptr<reg::KeyObject> key;
  LSTATUS rc = reg::ResolveKey(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  std::string bytes;
  if ((rc = ReadWholeFile(file, &bytes)) != ERROR_SUCCESS) return rc;
  RegistryKeyTree tree;
  if ((rc = DecodeHive(bytes, &tree)) != ERROR_SUCCESS) return rc;
  return key->store->ReplaceTree(key->ref, tree, (flags & REG_WHOLE_HIVE_VOLATILE) != 0);
}

}  // namespace

std::string EncodeHive(const RegistryKeyTree& tree) {
  std::string body;
  EncodeKey(&body, tree);
  std::string out(kMagic, sizeof kMagic);
  Put32(&out, kVersion);
  Put32(&out, 0);
  Put32(&out, uint32_t(body.size() & 0xffffffffu));
  Put32(&out, uint32_t(uint64_t(body.size()) >> 32));
  Put32(&out, Crc32(body));
  Put32(&out, 0);
  return out + body;
}

LSTATUS DecodeHive(std::string_view bytes, RegistryKeyTree* out) {
  if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return ERROR_NOT_REGISTRY_FILE;
  const uint64_t body_size = Get32(bytes, 16) | (uint64_t(Get32(bytes, 20)) << 32);
  std::string_view body = bytes.substr(kHeaderSize);
  if (Get32(bytes, 8) != kVersion || Get32(bytes, 12) != 0 || Get32(bytes, 28) != 0 ||
      body_size != body.size() || Get32(bytes, 24) != Crc32(body))
    return ERROR_NOT_REGISTRY_FILE;
  Reader r(body);
  RegistryKeyTree tree;
  if (!DecodeKey(&r, 0, true, &tree) || r.left() != 0) return ERROR_NOT_REGISTRY_FILE;
  *out = std::move(tree);
  return ERROR_SUCCESS;
}

}  // namespace qx::platform

using namespace qx::platform;

extern "C" {

LSTATUS RegSaveKeyA(HKEY hKey, LPCSTR lpFile, const LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  return SaveKey(hKey, lpFile);
}

LSTATUS RegSaveKeyW(HKEY hKey, LPCWSTR lpFile, const LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  auto file = Utf16ToUtf8(lpFile);
  if (!file) return ERROR_NO_UNICODE_TRANSLATION;
  return SaveKey(hKey, *file);
}

LSTATUS RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags) {
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  return RestoreKey(hKey, lpFile, dwFlags);
}

LSTATUS RegRestoreKeyW(HKEY hKey, LPCWSTR lpFile, DWORD dwFlags) {
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  auto file = Utf16ToUtf8(lpFile);
  if (!file) return ERROR_NO_UNICODE_TRANSLATION;
  return RestoreKey(hKey, *file, dwFlags);
}

}  // extern "C"
