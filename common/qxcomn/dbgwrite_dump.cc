// DbgHexDump: a block of memory as offset, hex and character lines.
#include <qxcomn.h>
#include <qxplatform/format.h>

#include <cstdio>
#include <cstring>

#include "dbgwrite.h"

namespace qx::comn {
namespace {

constexpr size_t kBytesPerLine = 16;
constexpr size_t kLineWidth = 67;
constexpr size_t kHexColumn = 8;
constexpr size_t kCharColumn = 48;

}  // namespace

// One dump line: offset in six upper-case hex digits, the bytes in hex in four
// groups of four, the bytes as characters; missing bytes of a last line blank.
std::string DumpLine(size_t offset, const uint8_t* bytes, size_t count) {
  std::string line(kLineWidth, ' ');
  char hex[16];
  std::snprintf(hex, sizeof hex, "%06X", unsigned(offset & 0xFFFFFF));
  line.replace(0, 6, hex);
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t j = 0; j < count && j < kBytesPerLine; ++j) {
    size_t col = kHexColumn + 2 * j + j / 4;
    line[col] = kDigits[bytes[j] >> 4];
    line[col + 1] = kDigits[bytes[j] & 15];
    line[kCharColumn + j] = bytes[j] >= 0x20 && bytes[j] < 0x7F ? char(bytes[j]) : '.';
  }
  return line;
}

}  // namespace qx::comn

using namespace qx::comn;

int DbgHexDump(const char* title, const void* block, int length) {
  TraceName();
  int result = 0;
  if (title != nullptr)
    result = SendTraceLine(qx::platform::SafeReadString(title, kDbgWriteBuffer));
  if (block == nullptr || length <= 0) return result;
  const uint8_t* p = static_cast<const uint8_t*>(block);
  for (size_t offset = 0; offset < size_t(length); offset += kBytesPerLine) {
    uint8_t bytes[kBytesPerLine];
    size_t want = std::min(kBytesPerLine, size_t(length) - offset);
    // An unreadable block ends the dump with the fault text.
    if (qx::platform::SafeReadBytes(p + offset, want, bytes) != want)
      return SendTraceLine(kDbgWriteFault);
    result = SendTraceLine(DumpLine(offset, bytes, want));
  }
  return result;
}
