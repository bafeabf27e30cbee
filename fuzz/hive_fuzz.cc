// The hive file reader: any bytes are refused or read; what is read encodes back
// to exactly the same bytes (a hive file has one form).
#include <qxplatform/registry.h>

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  qx::platform::RegistryKeyTree tree;
  LSTATUS rc = qx::platform::DecodeHive(bytes, &tree);
  if (rc != ERROR_SUCCESS) {
    if (rc != ERROR_NOT_REGISTRY_FILE) std::abort();
    return 0;
  }
  if (qx::platform::EncodeHive(tree) != bytes) std::abort();
  return 0;
}
