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
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  HZELMSG snap = nullptr;
  if (OpenMsgHandle(&snap)) {
    ImportMsg(snap, path.c_str());
    CopyMsg(snap);
    CloseMsgHandle(snap);
  }
  ImportMsg(nullptr, path.c_str());
  GetMsgString();
  unlink(path.c_str());
  return 0;
}
