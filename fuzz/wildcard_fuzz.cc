// Fuzzes the wildcard compiler of both families with any pattern text, and the
// matcher with any name: no crash, marks only inside the name.
#include <qxcomn.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  DWORD flags = data[0] & 7;
  bool legacy = data[0] & 8;
  ++data;
  --size;
  // Pattern and name are separated by the first 0xFF byte pair; both are read as
  // 16-bit characters.
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) text.push_back(char16_t(data[i] | data[i + 1] << 8));
  size_t cut = text.find(u'\xFFFF');
  std::u16string pattern = text.substr(0, cut);
  std::u16string name = cut == text.npos ? u"" : text.substr(cut + 1);
  for (auto* s : {&pattern, &name})
    for (auto& c : *s)
      if (c == 0) c = u'a';

  QXREGHANDLE h = nullptr;
  int rc = legacy ? QXWRegCompile(&h, pattern.c_str(), flags)
                  : QXRegCompileW(&h, pattern.c_str(), flags);
  if (rc != 0) {
    if (h != nullptr) std::abort();
    return 0;
  }
  LPCWSTR marks[10] = {};
  int m = legacy ? QXWRegExec(h, name.c_str(), marks) : QXRegExecW(h, name.c_str(), marks);
  if (m < 0 || m > 2) std::abort();
  for (auto* p : marks)
    if (p && (p < name.c_str() || p > name.c_str() + name.size())) std::abort();
  // Without marks the answer is the same.
  int again = legacy ? QXWRegExec(h, name.c_str(), nullptr) : QXRegExecW(h, name.c_str(), nullptr);
  if (again != m) std::abort();
  // The narrow entry point agrees on ASCII names, marks included.
  std::string ascii;
  for (char16_t c : name) ascii.push_back(c < 0x80 ? char(c) : '?');
  std::u16string widened(ascii.begin(), ascii.end());
  if (!legacy) {
    LPCSTR nmarks[10] = {};
    LPCWSTR wmarks[10] = {};
    int narrow = QXRegExec(h, ascii.c_str(), nmarks);
    int wide = QXRegExecW(h, widened.c_str(), wmarks);
    if (narrow != wide) std::abort();
    for (int i = 0; i < 10; ++i)
      if ((nmarks[i] ? nmarks[i] - ascii.c_str() : -1) !=
          (wmarks[i] ? wmarks[i] - widened.c_str() : -1))
        std::abort();
  }
  QXRegFree(h);
  return 0;
}
