// Dotted decimal object identifier text.
#include <qxsnmp/objid.h>
#include <qxsnmp/report.h>

namespace qx::snmp {

int read_rawobjid(const char* text, oid* objid, int32_t* count) {
  const int32_t capacity = *count;
  int32_t stored = 0;
  const char* p = text;
  while (*p != '\0') {
    if (*p < '0' || *p > '9') {
      QX_SNMP_TRACE("read_rawobjid,Character '%c' is not a digit\n", *p);
      return kObjidMalformed;
    }
    uint64_t value = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<uint64_t>(*p - '0');
      if (value > 0xFFFFFFFFu) {
        QX_SNMP_TRACE("read_rawobjid,sub-identifier above 4294967295 in '%s'\n", text);
        return kObjidMalformed;
      }
      ++p;
    }
    if (stored >= capacity) {
      QX_SNMP_TRACE("read_rawobjid,object identifier too long\n");
      return kObjidTooLong;
    }
    objid[stored++] = static_cast<oid>(value);
    if (*p == '\0') break;
    if (*p != '.') {
      QX_SNMP_TRACE("read_rawobjid,Character '%c' is not a period\n", *p);
      return kObjidMalformed;
    }
    ++p;
    if (*p == '\0') {
      // A trailing dot: nothing follows where a digit must.
      QX_SNMP_TRACE("read_rawobjid,Character '%c' is not a digit\n", ' ');
      return kObjidMalformed;
    }
  }
  *count = stored;
  if (stored == 0) {
    QX_SNMP_TRACE("read_rawobjid,nothing converted from '%s'\n", text);
    return kObjidMalformed;
  }
  return 1;
}

std::string ObjidText(const oid* objid, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(objid[i]);
  }
  return text;
}

}  // namespace qx::snmp
