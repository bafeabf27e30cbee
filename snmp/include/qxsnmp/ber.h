// The BER codec of the SNMP v1 engine: the subset of X.690 that SNMP v1 needs.
// One-byte identifiers, definite lengths (built with at most two length bytes),
// INTEGER and the unsigned application types, byte strings, NULL, OBJECT
// IDENTIFIER and constructed headers.
//
// Every routine works through a cursor into the caller's buffer and a signed
// remaining-length counter that it decreases by what it consumed or produced (the
// header parser instead sets it to the content length it found). It returns the
// advanced cursor, or nullptr after leaving an error code in codec_error (see
// errors.h) and, while debug tracing is on, writing a trace line. Every parser is
// bounds-checked against both the counter and the element it reads; builders check
// the room before they write anything.
//
// Thread-safety: the routines are reentrant except for the process-wide codec_error.
#ifndef QXSNMP_BER_H
#define QXSNMP_BER_H

#include <cstddef>
#include <cstdint>

namespace qx::snmp {

using oid = uint32_t;

// Identifier bytes.
inline constexpr uint8_t ASN_INTEGER = 0x02;
inline constexpr uint8_t ASN_OCTET_STR = 0x04;
inline constexpr uint8_t ASN_NULL = 0x05;
inline constexpr uint8_t ASN_OBJECT_ID = 0x06;
inline constexpr uint8_t ASN_SEQUENCE = 0x30;
inline constexpr uint8_t ASN_IPADDRESS = 0x40;
inline constexpr uint8_t ASN_COUNTER = 0x41;
inline constexpr uint8_t ASN_GAUGE = 0x42;
inline constexpr uint8_t ASN_TIMETICKS = 0x43;
inline constexpr uint8_t ASN_OPAQUE = 0x44;

// Codec error codes.
inline constexpr int kErrIntSize = -202;      // integer size not 4, or length field over 4 bytes
inline constexpr int kErrOverflow = -203;     // content past the end, no room for a header
inline constexpr int kErrNoRoomInt = -204;    // no room for an integer's content or a length
inline constexpr int kErrTooLong = -205;      // string or header longer than the room given
inline constexpr int kErrMultiByteId = -206;  // multi-byte identifier (or unknown type to build)
inline constexpr int kErrIndefinite = -207;   // indefinite length
inline constexpr int kErrOidTooLong = -208;   // object identifier longer than its capacity
inline constexpr int kErrNoRoomOid = -209;    // no room for an object identifier's content
inline constexpr int kErrBadNull = -210;      // NULL with non-zero length
inline constexpr int kErrBadOid = -211;       // object identifier that cannot be encoded/decoded

// The longest content length the builders produce (two length bytes).
inline constexpr uint32_t kMaxBuildLength = 0xFFFF;

// Reads identifier and length; *datalength becomes the content length. Refuses
// multi-byte identifiers (-206), indefinite lengths (-207), length fields over four
// bytes (-202), length bytes past the counter (-203) and content past it (-205).
const uint8_t* asn_parse_header(const uint8_t* data, int32_t* datalength, uint8_t* type);
// Writes identifier and length (content length at most kMaxBuildLength).
uint8_t* asn_build_header(uint8_t* data, int32_t* datalength, uint8_t type, uint32_t length);

// Reads a length field from at most avail bytes.
const uint8_t* asn_parse_length(const uint8_t* data, int32_t avail, uint32_t* length);
// Writes a length field: one byte below 0x80, 0x81 nn up to 0xFF, 0x82 nn nn above.
uint8_t* asn_build_length(uint8_t* data, int32_t* datalength, uint32_t length);

// A signed 32-bit INTEGER (size must be 4). Also reads the unsigned application
// types 0x41-0x43, whose five-byte bodies beginning with 00 are accepted; a
// zero-length body is refused (-203).
const uint8_t* asn_parse_int(const uint8_t* data, int32_t* datalength, uint8_t* type,
                             int32_t* value, size_t size);
// Minimal two's complement (size must be 4).
uint8_t* asn_build_int(uint8_t* data, int32_t* datalength, uint8_t type, int32_t value,
                       size_t size);
// Unsigned: a leading 00 when the top bit is set, then minimal.
uint8_t* asn_build_unsigned_int(uint8_t* data, int32_t* datalength, uint8_t type, uint32_t value,
                                size_t size);

// A byte string; *strlength is the capacity in, the length out. Content over the
// capacity is -205.
const uint8_t* asn_parse_string(const uint8_t* data, int32_t* datalength, uint8_t* type,
                                uint8_t* string, int32_t* strlength);
uint8_t* asn_build_string(uint8_t* data, int32_t* datalength, uint8_t type, const uint8_t* string,
                          int32_t strlength);

// An OBJECT IDENTIFIER; *objidlength is the capacity in (in sub-identifiers), the
// count out. More sub-identifiers than the capacity is -208; a zero-length body or
// a sub-identifier past the element is -203; one above 32 bits is -211.
const uint8_t* asn_parse_objid(const uint8_t* data, int32_t* datalength, uint8_t* type, oid* objid,
                               int32_t* objidlength);
// Needs at least two sub-identifiers whose first is 0, 1 or 2 (the second below 40
// unless the first is 2), else -211.
uint8_t* asn_build_objid(uint8_t* data, int32_t* datalength, uint8_t type, const oid* objid,
                         int32_t objidlength);

const uint8_t* asn_parse_null(const uint8_t* data, int32_t* datalength, uint8_t* type);
uint8_t* asn_build_null(uint8_t* data, int32_t* datalength, uint8_t type);

}  // namespace qx::snmp

#endif
