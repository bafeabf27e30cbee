// The saved-message file reader: any bytes, in a file, imported into a snapshot
// and into the thread's area.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <zelapi01.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    const char* tmp = getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/zelapi_message_file_fuzz." +
           std::to_string(getpid());
  }();
  // The bytes as they are, and cut or padded to the size of a saved-message file
  // so that the reader's field handling runs for every input.
  std::string raw(reinterpret_cast<const char*>(data), size);
  std::string sized = raw;
  sized.resize(ZEL_MSG_FILE_BYTES, '\0');
  for (const std::string* image : {&raw, &sized}) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    fwrite(image->data(), 1, image->size(), f);
    fclose(f);
    HZELMSG snap = nullptr;
    if (OpenMsgHandle(&snap)) {
      ImportMsg(snap, path.c_str());
      CopyMsg(snap);
      CloseMsgHandle(snap);
    }
    ImportMsg(nullptr, path.c_str());
    GetMsgString();
  }
  unlink(path.c_str());
  return 0;
}
