// A stand-in for the operator library "QXOPRC.DLL", for tests: each text handed
// to __oprmsg is appended to the file named by QXOPRC_RECORD_FILE (else
// $TMPDIR/qxoprc.log), its newlines written as "\n", followed by a line feed.
#include <stdio.h>
#include <stdlib.h>

#include <string>

extern "C" __attribute__((visibility("default"))) int __oprmsg(const char* text) {
  const char* file = getenv("QXOPRC_RECORD_FILE");
  std::string path =
      file ? file : std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/qxoprc.log";
  FILE* f = fopen(path.c_str(), "ab");
  if (f == nullptr) return -1;
  for (const char* s = text ? text : "(null)"; *s; ++s) {
    if (*s == '\n')
      fputs("\\n", f);
    else
      fputc(*s, f);
  }
  fputc('\n', f);
  fclose(f);
  return 0;
}
