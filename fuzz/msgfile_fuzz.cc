// Random compiled message files read through qximsgv: each input becomes the
// catalog file of facility 357 and is looked up with several identifiers, modes
// and values. No input may crash, read outside the file or raise a sanitizer
// report; a damaged file gives a failure text.
#include <fcntl.h>
#include <qxcomn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::string g_dir;

void WriteCatalog(const uint8_t* data, size_t size) {
  // A new file each time, renamed into place, as the message compiler does.
  std::string tmp = g_dir + "/next.tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) abort();
    done += size_t(n);
  }
  ::close(fd);
  if (::rename(tmp.c_str(), (g_dir + "/FAC357.dat").c_str()) != 0) abort();
}

uint32_t Read32(const uint8_t* data, size_t size, size_t at) {
  if (at + 4 > size) return 0;
  return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 |
         uint32_t(data[at + 3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp ? tmp : "/tmp") + "/msgfile_fuzz.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) abort();
  g_dir = tmpl;
  setenv("DPATH", g_dir.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteCatalog(data, size);
  QX_init_file();
  static const char kString[] = "value";
  static const char16_t kWide[] = u"wide";
  // The message numbers the input's first entries claim, and a few fixed ones.
  uint32_t numbers[] = {Read32(data, size, 180), Read32(data, size, 220), 0, 1, 61};
  for (uint32_t number : numbers) {
    for (int mode = 1; mode <= 3; ++mode) {
      QXMSGVALUE values[12];
      for (int i = 0; i < 12; ++i)
        values[i] = mode == 3 ? reinterpret_cast<QXMSGVALUE>(kWide)
                              : (i % 2 ? QXMSGVALUE(i) : reinterpret_cast<QXMSGVALUE>(kString));
      QXMSGDESC desc;
      desc.dwMsgId = QX_MSGID(357, number & 0xFFF, number >> 12);
      DWORD st = qximsgv(nullptr, 0, &desc, mode == 2 ? nullptr : values, mode);
      size_t width = mode == 1 ? 80 : 2048;
      if (desc.szText[width - 1] != '\0' || strlen(desc.szText) >= width) abort();
      if (st != QX_STATUS_SUCCESS && st != QX_STATUS_FAILURE) abort();
    }
  }
  // The lower-level entries on the same file.
  if (const void* record = QX_get_facility(357)) {
    if (const uint8_t* entry =
            static_cast<const uint8_t*>(QX_get_msg_ptr(record, int(numbers[0] & 0xFFF)))) {
      uint32_t offset = uint32_t(entry[16]) | uint32_t(entry[17]) << 8 | uint32_t(entry[18]) << 16 |
                        uint32_t(entry[19]) << 24;
      if (QX_get_msg(nullptr, 0, offset) == QX_STATUS_SUCCESS && strlen(QX_msg_text()) > 2047)
        abort();
    }
  }
  return 0;
}
