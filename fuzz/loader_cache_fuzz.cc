// The loader's cache reader: any bytes are read without a fault, and a name that a
// well-formed cache lists is found. The input's first line is the name asked for,
// the rest the cache's bytes; each input is also tried as the strings of a cache
// with a correct header whose last entry points at the name.
#include <qxplatform/modules.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

void Put32(std::string* out, size_t at, uint32_t v) {
  std::memcpy(out->data() + at, &v, 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t line = input.find('\n');
  std::string file(input.substr(0, line == std::string_view::npos ? 0 : line));
  std::string_view rest = line == std::string_view::npos ? input : input.substr(line + 1);
  (void)qx::platform::LoaderCacheLists(rest, file);

  // A cache of a few entries whose keys point into the input, the last at the name.
  constexpr size_t kHeader = 48, kEntry = 24, kEntries = 4;
  std::string cache(kHeader + kEntry * kEntries, '\0');
  std::memcpy(cache.data(), "glibc-ld.so.cache1.1", 20);
  Put32(&cache, 20, kEntries);
  const size_t strings = cache.size();
  cache.append(rest);
  cache.push_back('\0');
  const size_t name_at = cache.size();
  cache.append(file);
  cache.push_back('\0');
  for (size_t i = 0; i + 1 < kEntries; ++i) {
    uint32_t key = 0;
    if (rest.size() >= 4 * (i + 1)) std::memcpy(&key, rest.data() + 4 * i, 4);
    Put32(&cache, kHeader + kEntry * i + 4, uint32_t(strings + key % (rest.size() + 1)));
  }
  Put32(&cache, kHeader + kEntry * (kEntries - 1) + 4, uint32_t(name_at));
  if (file.find('\0') == std::string::npos && !qx::platform::LoaderCacheLists(cache, file))
    std::abort();
  return 0;
}
