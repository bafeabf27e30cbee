// FormatMessage on any template: every insert a string or a number from an array
// of valid values, narrow and wide, with and without the width mask.
#include <qxplatform/message.h>
#include <stdint.h>
#include <string.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char kText[16] = "insert";  // zero-padded: also a valid wide text
  static const char16_t kWide[] = u"insert";
  DWORD flags = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                FORMAT_MESSAGE_ALLOCATE_BUFFER |
                (data[0] & 0x0F ? 0 : FORMAT_MESSAGE_IGNORE_INSERTS) |
                (data[0] & 0x80 ? FORMAT_MESSAGE_MAX_WIDTH_MASK : (data[0] & 0x70));
  std::string tmpl(reinterpret_cast<const char*>(data + 1), size - 1);
  // %99!*.*s! reads inserts 99 to 101: room for every number a template can name.
  DWORD_PTR narrow_args[128], wide_args[128];
  for (int i = 0; i < 128; ++i) {
    narrow_args[i] = reinterpret_cast<DWORD_PTR>(kText);
    wide_args[i] = reinterpret_cast<DWORD_PTR>(kWide);
  }
  char* out = nullptr;
  if (FormatMessageA(flags, tmpl.c_str(), 0, 0, reinterpret_cast<LPSTR>(&out), 0,
                     reinterpret_cast<va_list*>(narrow_args)))
    LocalFree(out);
  std::u16string wide;
  for (size_t i = 0; i + 1 < tmpl.size(); i += 2)
    wide.push_back(char16_t(uint8_t(tmpl[i]) | (uint8_t(tmpl[i + 1]) << 8)));
  char16_t* wout = nullptr;
  if (FormatMessageW(flags, wide.c_str(), 0, 0, reinterpret_cast<LPWSTR>(&wout), 0,
                     reinterpret_cast<va_list*>(wide_args)))
    LocalFree(wout);
  return 0;
}
