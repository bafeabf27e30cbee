// The BER codec.
#include <qxsnmp/ber.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/report.h>

#include <cstring>

namespace qx::snmp {
namespace {

// Leaves code in the codec error cell and returns nullptr, for "return Fail(...)".
template <typename T>
T* Fail(int code) {
  codec_error = code;
  return nullptr;
}

bool IsUnsignedType(uint8_t type) {
  return type == ASN_COUNTER || type == ASN_GAUGE || type == ASN_TIMETICKS;
}

// One primitive element: identifier, length and content, all inside the counter.
struct Element {
  uint8_t type = 0;
  uint32_t length = 0;
  const uint8_t* content = nullptr;
  int32_t size = 0;  // identifier + length field + content
};

// Reads one element that must lie within *datalength. overflow_text is the
// routine's trace for content past the counter.
bool ReadElement(const uint8_t* data, const int32_t* datalength, Element* e,
                 const char* overflow_text) {
  if (*datalength < 1) {
    QX_SNMP_TRACE("%s", overflow_text);
    codec_error = kErrOverflow;
    return false;
  }
  e->type = data[0];
  if ((e->type & 0x1F) == 0x1F) {
    QX_SNMP_TRACE("asn_parse_header, can't process ID >= 30, %u\n", e->type);
    codec_error = kErrMultiByteId;
    return false;
  }
  const uint8_t* content = asn_parse_length(data + 1, *datalength - 1, &e->length);
  if (content == nullptr) return false;
  int64_t header = content - data;
  if (header + int64_t{e->length} > *datalength) {
    QX_SNMP_TRACE("%s", overflow_text);
    codec_error = kErrOverflow;
    return false;
  }
  e->content = content;
  e->size = static_cast<int32_t>(header + e->length);
  return true;
}

// Bytes the length field of length takes, 0 when it cannot be built.
int32_t LengthFieldSize(uint32_t length) {
  if (length < 0x80) return 1;
  if (length <= 0xFF) return 2;
  if (length <= kMaxBuildLength) return 3;
  return 0;
}

}  // namespace

const uint8_t* asn_parse_length(const uint8_t* data, int32_t avail, uint32_t* length) {
  if (avail < 1) {
    QX_SNMP_TRACE("asn_parse_length, no room for the length field\n");
    return Fail<const uint8_t>(kErrOverflow);
  }
  uint8_t first = data[0];
  if (first < 0x80) {
    *length = first;
    return data + 1;
  }
  int32_t count = first & 0x7F;
  if (count == 0) {
    QX_SNMP_TRACE("asn_parse_length, does not support indefinite lengths\n");
    return Fail<const uint8_t>(kErrIndefinite);
  }
  if (count > 4) {
    QX_SNMP_TRACE("asn_parse,length, invalid data length->%d\n", count);
    return Fail<const uint8_t>(kErrIntSize);
  }
  if (count > avail - 1) {
    QX_SNMP_TRACE("asn_parse_length, length field runs past the message\n");
    return Fail<const uint8_t>(kErrOverflow);
  }
  uint32_t value = 0;
  for (int32_t i = 1; i <= count; ++i) value = (value << 8) | data[i];
  *length = value;
  return data + 1 + count;
}

uint8_t* asn_build_length(uint8_t* data, int32_t* datalength, uint32_t length) {
  int32_t need = LengthFieldSize(length);
  if (need == 0 || *datalength < need) {
    QX_SNMP_TRACE("asn_build_length, invalid build_length->%d\n", *datalength);
    return Fail<uint8_t>(kErrNoRoomInt);
  }
  if (need == 1) {
    data[0] = static_cast<uint8_t>(length);
  } else if (need == 2) {
    data[0] = 0x81;
    data[1] = static_cast<uint8_t>(length);
  } else {
    data[0] = 0x82;
    data[1] = static_cast<uint8_t>(length >> 8);
    data[2] = static_cast<uint8_t>(length);
  }
  *datalength -= need;
  return data + need;
}

const uint8_t* asn_parse_header(const uint8_t* data, int32_t* datalength, uint8_t* type) {
  if (*datalength < 1) {
    QX_SNMP_TRACE("asn_parse_header, no room for a header\n");
    return Fail<const uint8_t>(kErrOverflow);
  }
  if ((data[0] & 0x1F) == 0x1F) {
    QX_SNMP_TRACE("asn_parse_header, can't process ID >= 30, %u\n", data[0]);
    return Fail<const uint8_t>(kErrMultiByteId);
  }
  uint32_t length = 0;
  const uint8_t* content = asn_parse_length(data + 1, *datalength - 1, &length);
  if (content == nullptr) return nullptr;
  int64_t total = (content - data) + int64_t{length};
  if (total > *datalength) {
    QX_SNMP_TRACE("asn_parse_header,asn length -> %lld <- too long\n",
                  static_cast<long long>(total));
    return Fail<const uint8_t>(kErrTooLong);
  }
  *type = data[0];
  *datalength = static_cast<int32_t>(length);
  return content;
}

uint8_t* asn_build_header(uint8_t* data, int32_t* datalength, uint8_t type, uint32_t length) {
  if (*datalength < 1) {
    QX_SNMP_TRACE("asn_parse_string, overflow of message\n");
    return Fail<uint8_t>(kErrOverflow);
  }
  // Check the whole header's room before writing its first byte.
  int32_t need = LengthFieldSize(length);
  if (need == 0 || *datalength - 1 < need) {
    QX_SNMP_TRACE("asn_build_length, invalid build_length->%d\n", *datalength - 1);
    return Fail<uint8_t>(kErrNoRoomInt);
  }
  data[0] = type;
  *datalength -= 1;
  return asn_build_length(data + 1, datalength, length);
}

const uint8_t* asn_parse_int(const uint8_t* data, int32_t* datalength, uint8_t* type,
                             int32_t* value, size_t size) {
  if (size != sizeof(int32_t)) {
    QX_SNMP_TRACE("asn_parse_int called with intsize that was not = long\n");
    return Fail<const uint8_t>(kErrIntSize);
  }
  Element e;
  if (!ReadElement(data, datalength, &e, "asn_parse_int, overflow of message\n")) return nullptr;
  const uint8_t* body = e.content;
  uint32_t length = e.length;
  if (length == 0) {
    QX_SNMP_TRACE("asn_parse_int, integer without content\n");
    return Fail<const uint8_t>(kErrOverflow);
  }
  // An unsigned value with its top bit set needs a leading zero byte.
  if (length == 5 && body[0] == 0 && IsUnsignedType(e.type)) {
    ++body;
    --length;
  }
  if (length > 4) {
    QX_SNMP_TRACE("asn_parse_int,I don't support integers as large as %u\n", e.length);
    return Fail<const uint8_t>(kErrOverflow);
  }
  uint32_t v = (body[0] & 0x80) ? 0xFFFFFFFFu : 0u;
  for (uint32_t i = 0; i < length; ++i) v = (v << 8) | body[i];
  *type = e.type;
  *value = static_cast<int32_t>(v);
  *datalength -= e.size;
  return e.content + e.length;
}

uint8_t* asn_build_int(uint8_t* data, int32_t* datalength, uint8_t type, int32_t value,
                       size_t size) {
  if (size != sizeof(int32_t)) {
    QX_SNMP_TRACE("asn_parse_int called with intsize that was not = long\n");
    return Fail<uint8_t>(kErrIntSize);
  }
  uint32_t v = static_cast<uint32_t>(value);
  int32_t intsize = 4;
  // Drop a leading byte while the top nine bits are all zeros or all ones.
  while (intsize > 1) {
    uint32_t top9 = v & 0xFF800000u;
    if (top9 != 0 && top9 != 0xFF800000u) break;
    v <<= 8;
    --intsize;
  }
  data = asn_build_header(data, datalength, type, static_cast<uint32_t>(intsize));
  if (data == nullptr) return nullptr;
  if (*datalength < intsize) {
    QX_SNMP_TRACE("asn_build_int, invalid data length -> %d\n", *datalength);
    return Fail<uint8_t>(kErrNoRoomInt);
  }
  for (int32_t i = 0; i < intsize; ++i) {
    data[i] = static_cast<uint8_t>(v >> 24);
    v <<= 8;
  }
  *datalength -= intsize;
  return data + intsize;
}

uint8_t* asn_build_unsigned_int(uint8_t* data, int32_t* datalength, uint8_t type, uint32_t value,
                                size_t size) {
  if (size != sizeof(uint32_t)) {
    QX_SNMP_TRACE("asn_parse_int called with intsize that was not = long\n");
    return Fail<uint8_t>(kErrIntSize);
  }
  bool leading_zero = (value & 0x80000000u) != 0;
  uint32_t v = value;
  int32_t intsize = 4;
  if (!leading_zero) {
    while (intsize > 1 && (v & 0xFF800000u) == 0) {
      v <<= 8;
      --intsize;
    }
  }
  int32_t content = intsize + (leading_zero ? 1 : 0);
  data = asn_build_header(data, datalength, type, static_cast<uint32_t>(content));
  if (data == nullptr) return nullptr;
  if (*datalength < content) {
    QX_SNMP_TRACE("asn_build_unsigned_int, invalid data length -> %d\n", *datalength);
    return Fail<uint8_t>(kErrNoRoomInt);
  }
  uint8_t* out = data;
  if (leading_zero) *out++ = 0;
  for (int32_t i = 0; i < intsize; ++i) {
    *out++ = static_cast<uint8_t>(v >> 24);
    v <<= 8;
  }
  *datalength -= content;
  return out;
}

const uint8_t* asn_parse_string(const uint8_t* data, int32_t* datalength, uint8_t* type,
                                uint8_t* string, int32_t* strlength) {
  Element e;
  if (!ReadElement(data, datalength, &e, "asn_parse_string, overflow of message\n")) return nullptr;
  if (int64_t{e.length} > *strlength) {
    QX_SNMP_TRACE("asn_parse_string, string length %u too long\n", e.length);
    return Fail<const uint8_t>(kErrTooLong);
  }
  if (e.length > 0) std::memcpy(string, e.content, e.length);
  *strlength = static_cast<int32_t>(e.length);
  *type = e.type;
  *datalength -= e.size;
  return e.content + e.length;
}

uint8_t* asn_build_string(uint8_t* data, int32_t* datalength, uint8_t type, const uint8_t* string,
                          int32_t strlength) {
  if (strlength < 0) return Fail<uint8_t>(kErrTooLong);
  data = asn_build_header(data, datalength, type, static_cast<uint32_t>(strlength));
  if (data == nullptr) return nullptr;
  if (*datalength < strlength) {
    QX_SNMP_TRACE("asn_build_string, string length %d too long\n", *datalength);
    return Fail<uint8_t>(kErrTooLong);
  }
  if (strlength > 0) std::memcpy(data, string, static_cast<size_t>(strlength));
  *datalength -= strlength;
  return data + strlength;
}

const uint8_t* asn_parse_objid(const uint8_t* data, int32_t* datalength, uint8_t* type, oid* objid,
                               int32_t* objidlength) {
  Element e;
  if (!ReadElement(data, datalength, &e, "asn_parse_oid,overflow of message\n")) return nullptr;
  if (e.length == 0) {
    QX_SNMP_TRACE("asn_parse_objid, object identifier without content\n");
    return Fail<const uint8_t>(kErrOverflow);
  }
  const uint8_t* p = e.content;
  const uint8_t* end = e.content + e.length;
  int32_t count = 0;
  while (p < end) {
    uint32_t value = 0;
    uint8_t byte;
    do {
      if (p == end) {
        QX_SNMP_TRACE("asn_parse_objid, sub-identifier runs past the element\n");
        return Fail<const uint8_t>(kErrOverflow);
      }
      if (value > (0xFFFFFFFFu >> 7)) {
        QX_SNMP_TRACE("asn_parse_objid, sub-identifier above 32 bits\n");
        return Fail<const uint8_t>(kErrBadOid);
      }
      byte = *p++;
      value = (value << 7) | (byte & 0x7F);
    } while (byte & 0x80);
    if (count == 0) {
      // The first value holds the first two sub-identifiers: 0 and 1 take 40
      // values each, 2 takes the rest.
      if (*objidlength < 2) {
        QX_SNMP_TRACE("asn_parse_objid, object identifier longer than %d\n", *objidlength);
        return Fail<const uint8_t>(kErrOidTooLong);
      }
      objid[0] = value < 40 ? 0 : value < 80 ? 1 : 2;
      objid[1] = value - objid[0] * 40;
      count = 2;
    } else {
      if (count >= *objidlength) {
        QX_SNMP_TRACE("asn_parse_objid, object identifier longer than %d\n", *objidlength);
        return Fail<const uint8_t>(kErrOidTooLong);
      }
      objid[count++] = value;
    }
  }
  *objidlength = count;
  *type = e.type;
  *datalength -= e.size;
  return end;
}

namespace {

// Encoded size of one sub-identifier value: one byte per 7-bit group.
int32_t SubidSize(uint32_t v) {
  int32_t n = 1;
  while (v >>= 7) ++n;
  return n;
}

uint8_t* PutSubid(uint8_t* out, uint32_t v) {
  int32_t n = SubidSize(v);
  for (int32_t i = n - 1; i > 0; --i) *out++ = static_cast<uint8_t>(((v >> (7 * i)) & 0x7F) | 0x80);
  *out++ = static_cast<uint8_t>(v & 0x7F);
  return out;
}

}  // namespace

uint8_t* asn_build_objid(uint8_t* data, int32_t* datalength, uint8_t type, const oid* objid,
                         int32_t objidlength) {
  // The first two sub-identifiers share one value; only 0.x and 1.x with x below
  // 40, and 2.x, survive that sharing.
  if (objidlength < 2 || objid[0] > 2 || (objid[0] < 2 && objid[1] >= 40) ||
      (objid[0] == 2 && objid[1] > 0xFFFFFFFFu - 80)) {
    QX_SNMP_TRACE("asn_build_objid, object identifier cannot be encoded\n");
    return Fail<uint8_t>(kErrBadOid);
  }
  uint32_t first = objid[0] * 40 + objid[1];
  int64_t asnlength = SubidSize(first);
  for (int32_t i = 2; i < objidlength; ++i) asnlength += SubidSize(objid[i]);
  if (asnlength > kMaxBuildLength) {
    QX_SNMP_TRACE("asn_build_objid, calculated length asnlength=%lld\n",
                  static_cast<long long>(asnlength));
    return Fail<uint8_t>(kErrNoRoomOid);
  }
  data = asn_build_header(data, datalength, type, static_cast<uint32_t>(asnlength));
  if (data == nullptr) return nullptr;
  if (*datalength < asnlength) {
    QX_SNMP_TRACE("asn_build_objid, Data length mismatch, *datalength=%d\n", *datalength);
    QX_SNMP_TRACE("asn_build_objid, calculated length asnlength=%lld\n",
                  static_cast<long long>(asnlength));
    return Fail<uint8_t>(kErrNoRoomOid);
  }
  uint8_t* out = PutSubid(data, first);
  for (int32_t i = 2; i < objidlength; ++i) out = PutSubid(out, objid[i]);
  *datalength -= static_cast<int32_t>(asnlength);
  return out;
}

const uint8_t* asn_parse_null(const uint8_t* data, int32_t* datalength, uint8_t* type) {
  Element e;
  if (!ReadElement(data, datalength, &e, "asn_parse_null, overflow of message\n")) return nullptr;
  if (e.length != 0) {
    QX_SNMP_TRACE("asn_parse_null, Malformed NULL,length =%u\n", e.length);
    return Fail<const uint8_t>(kErrBadNull);
  }
  *type = e.type;
  *datalength -= e.size;
  return e.content;
}

uint8_t* asn_build_null(uint8_t* data, int32_t* datalength, uint8_t type) {
  return asn_build_header(data, datalength, type, 0);
}

}  // namespace qx::snmp
