// A stand-in for the event-console library "QXEVT.DLL", for tests: each record
// handed to HvEvt_wto is appended as one line to the file named by
// QXEVT_RECORD_FILE (else $TMPDIR/qxevt.log):
//   <first arg>|<msg number>|<severity>|<text>|<workload>|<facility>|<extra>|<zero>
// where text newlines are written as "\n", a null pointer as "(null)", and <zero>
// is "zero" when every byte outside the set fields is 0.
#include <qxcomn.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

std::string Field(const char* s) {
  if (s == nullptr) return "(null)";
  std::string out;
  for (; *s; ++s) out += *s == '\n' ? std::string("\\n") : std::string(1, *s);
  return out;
}

bool UnsetFieldsZero(const QXEVTRECORD* r) {
  QXEVTRECORD copy;
  memcpy(&copy, r, sizeof copy);
  copy.dwMsgNumber = 0;
  copy.chSeverity = 0;
  copy.pszText = nullptr;
  copy.pszWorkload = nullptr;
  copy.pszFacility = nullptr;
  copy.dwExtra = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&copy);
  // Padding bytes at the end are not part of the record's fields.
  for (size_t i = 0; i < offsetof(QXEVTRECORD, abReserved5) + sizeof copy.abReserved5; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int HvEvt_wto(int first, QXEVTRECORD* r) {
  const char* file = getenv("QXEVT_RECORD_FILE");
  std::string path =
      file ? file : std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/qxevt.log";
  FILE* f = fopen(path.c_str(), "ab");
  if (f == nullptr) return -1;
  fprintf(f, "%d|%u|%c|%s|%s|%s|%u|%s\n", first, r->dwMsgNumber, r->chSeverity,
          Field(r->pszText).c_str(), Field(r->pszWorkload).c_str(), Field(r->pszFacility).c_str(),
          r->dwExtra, UnsetFieldsZero(r) ? "zero" : "dirty");
  fclose(f);
  return 0;
}
