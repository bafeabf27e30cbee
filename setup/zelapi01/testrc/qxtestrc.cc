// A stand-in for the trace library "QXTESTRC.DLL", for tests: each text is
// appended as "<module>|<text>" and a line feed to the file named by QXTESTRC_FILE
// (else $TMPDIR/qxtestrc.log). UseTraceEnvironmentalA's name is written as a line
// "#switch <name>".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

void Append(const char* a, const char* b) {
  const char* file = getenv("QXTESTRC_FILE");
  char path[4096];
  if (file == nullptr) {
    const char* tmp = getenv("TMPDIR");
    snprintf(path, sizeof path, "%s/qxtestrc.log", tmp ? tmp : "/tmp");
    file = path;
  }
  FILE* f = fopen(file, "ab");
  if (f == nullptr) return;
  fprintf(f, "%s|%s\n", a, b);
  fclose(f);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int TesTrace(const char* module,
                                                               const char* text) {
  Append(module ? module : "", text ? text : "");
  return text ? int(strlen(text)) : 0;
}

extern "C" __attribute__((visibility("default"))) int UseTraceEnvironmentalA(const char* name) {
  Append("#switch", name ? name : "");
  return 1;
}
