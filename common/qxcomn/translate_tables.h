// The two EBCDIC translation tables of the product, shared by the translation
// calls and by SDS readers that meet names or strings an EBCDIC host converted.
// The tables are the product's own (close to IBM code page 1047 for the ASCII
// range; bytes 80 to FF pass unchanged into EBCDIC); they are not inverses of each
// other everywhere and are used as they stand.
// Thread-safety: read-only data.
#ifndef QX_COMMON_QXCOMN_TRANSLATE_TABLES_H
#define QX_COMMON_QXCOMN_TRANSLATE_TABLES_H

#include <cstdint>

namespace qx::comn {

// ASCII to EBCDIC ("toebcdic").
extern const uint8_t kToEbcdic[256];
// EBCDIC to ASCII ("toascii").
extern const uint8_t kToAscii[256];

}  // namespace qx::comn

#endif
