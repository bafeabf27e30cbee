// The hive file reader: any bytes are refused or read; what is read encodes back
// to exactly the same bytes (a hive file has one form). Each input is tried as a
// whole file and, so that mutations reach the key records behind the checksum,
// as a body under a correct header.
#include <qxplatform/registry.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

uint32_t Crc32(std::string_view data) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

void Put32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(char((v >> (8 * i)) & 0xff));
}

void Check(std::string_view bytes) {
  qx::platform::RegistryKeyTree tree;
  LSTATUS rc = qx::platform::DecodeHive(bytes, &tree);
  if (rc != ERROR_SUCCESS) {
    if (rc != ERROR_NOT_REGISTRY_FILE) std::abort();
    return;
  }
  if (qx::platform::EncodeHive(tree) != bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Check(input);
  std::string file("QXHIVE\r\n", 8);
  Put32(&file, 1);
  Put32(&file, 0);
  Put32(&file, uint32_t(size));
  Put32(&file, 0);
  Put32(&file, Crc32(input));
  Put32(&file, 0);
  Check(file + std::string(input));
  return 0;
}
