// Object identifiers written as dotted decimal text ("1.3.6.1.4.1"), without a MIB.
// Thread-safety: reentrant.
#ifndef QXSNMP_OBJID_H
#define QXSNMP_OBJID_H

#include <qxsnmp/ber.h>

#include <cstdint>
#include <string>

namespace qx::snmp {

// Results of read_rawobjid.
inline constexpr int kObjidMalformed = -237;
inline constexpr int kObjidTooLong = -208;

// Converts text into objid; *count is the capacity in, the number stored out.
// Returns 1; -237 for text that is not dotted decimal (a non-digit, a missing or
// doubled dot, an empty text) or a sub-identifier above 4294967295; -208 for more
// sub-identifiers than the capacity.
int read_rawobjid(const char* text, oid* objid, int32_t* count);

// Dotted decimal text of an object identifier.
std::string ObjidText(const oid* objid, size_t count);

}  // namespace qx::snmp

#endif
