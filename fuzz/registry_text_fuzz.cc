// The qxreg text export reader: any text is refused with a message or read;
// what is read writes out and reads back to the same keys and values.
#include <qxplatform/registry.h>

#include <cstdlib>
#include <string>

namespace {

bool Same(const std::vector<qx::platform::RegistryTextKey>& a,
          const std::vector<qx::platform::RegistryTextKey>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].root != b[i].root || a[i].path != b[i].path) return false;
    if (a[i].values.size() != b[i].values.size()) return false;
    for (size_t j = 0; j < a[i].values.size(); ++j) {
      const auto& x = a[i].values[j];
      const auto& y = b[i].values[j];
      if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<qx::platform::RegistryTextKey> keys, again;
  std::string error;
  if (!qx::platform::ParseRegistryText(text, &keys, &error)) {
    if (error.rfind("line ", 0) != 0) std::abort();  // every fault names its line
    return 0;
  }
  std::string written = qx::platform::FormatRegistryText(keys);
  if (!qx::platform::ParseRegistryText(written, &again, &error) || !Same(keys, again)) std::abort();
  return 0;
}
