// Encoding and decoding of SNMP v1 messages.
#include <qxsnmp/errors.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/report.h>
#include <qxsnmp/session.h>

#include <cstdio>
#include <cstring>

namespace qx::snmp {
namespace {

template <typename T>
T* Fail(int code) {
  codec_error = code;
  return nullptr;
}

bool IsIntegerType(uint8_t type) {
  return type == ASN_INTEGER || type == ASN_COUNTER || type == ASN_GAUGE || type == ASN_TIMETICKS;
}

bool IsStringType(uint8_t type) {
  return type == ASN_OCTET_STR || type == ASN_IPADDRESS || type == ASN_OPAQUE;
}

// Appends src[0, n) at *out if the room allows; -203 otherwise.
bool Append(uint8_t** out, int32_t* remaining, const uint8_t* src, int32_t n) {
  if (*remaining < n) {
    codec_error = kErrOverflow;
    return false;
  }
  std::memcpy(*out, src, static_cast<size_t>(n));
  *out += n;
  *remaining -= n;
  return true;
}

// The five trap fields, or request-id, error-status and error-index.
uint8_t* BuildPduFields(uint8_t* p, int32_t* remaining, const SnmpPdu& pdu) {
  if (pdu.command != SNMP_MSG_TRAP) {
    p = asn_build_int(p, remaining, ASN_INTEGER, static_cast<int32_t>(pdu.request_id), 4);
    if (p != nullptr) p = asn_build_int(p, remaining, ASN_INTEGER, 0, 4);
    if (p != nullptr) p = asn_build_int(p, remaining, ASN_INTEGER, 0, 4);
    return p;
  }
  p = asn_build_objid(p, remaining, ASN_OBJECT_ID, pdu.enterprise.data(),
                      static_cast<int32_t>(pdu.enterprise.size()));
  if (p == nullptr) return nullptr;
  std::array<uint8_t, 4> agent{};
  if (!ResolveAgentAddress(pdu.agent_addr, &agent)) {
    QX_SNMP_TRACE("snmp_build, cannot resolve the agent address %s\n", pdu.agent_addr.c_str());
    SetInsertText(1, pdu.agent_addr);
    report_error(50);
    return nullptr;
  }
  p = asn_build_string(p, remaining, ASN_IPADDRESS, agent.data(), 4);
  if (p != nullptr) p = asn_build_int(p, remaining, ASN_INTEGER, pdu.generic_type, 4);
  if (p != nullptr) p = asn_build_int(p, remaining, ASN_INTEGER, pdu.specific_type, 4);
  // The time-stamp keeps a signed body under the TimeTicks tag.
  if (p != nullptr)
    p = asn_build_int(p, remaining, ASN_TIMETICKS, static_cast<int32_t>(pdu.time), 4);
  return p;
}

// Encodes the message; false with codec_error set (or a report made) on failure.
bool BuildMessage(const SnmpSession* session, const SnmpPdu& pdu, uint8_t* data, int32_t* length) {
  const int32_t capacity = *length;
  if (capacity <= 0) {
    codec_error = kErrOverflow;
    return false;
  }

  std::vector<uint8_t> bindings(static_cast<size_t>(capacity));
  int32_t room = capacity;
  uint8_t* p = bindings.data();
  for (const VarBind& v : pdu.variables) {
    p = snmp_build_var_op(p, &room, v);
    if (p == nullptr) return false;
  }
  const int32_t bindings_length = static_cast<int32_t>(p - bindings.data());

  std::vector<uint8_t> body(static_cast<size_t>(capacity));
  room = capacity;
  p = BuildPduFields(body.data(), &room, pdu);
  if (p == nullptr) return false;
  p = asn_build_header(p, &room, ASN_SEQUENCE, static_cast<uint32_t>(bindings_length));
  if (p == nullptr || !Append(&p, &room, bindings.data(), bindings_length)) return false;
  const int32_t body_length = static_cast<int32_t>(p - body.data());

  std::vector<uint8_t> whole_pdu(static_cast<size_t>(capacity));
  room = capacity;
  p = asn_build_header(whole_pdu.data(), &room, pdu.command, static_cast<uint32_t>(body_length));
  if (p == nullptr) return false;
  if (!Append(&p, &room, body.data(), body_length)) return false;
  const int32_t pdu_length = static_cast<int32_t>(p - whole_pdu.data());

  std::string community = session != nullptr ? session->community : std::string();
  if (community.empty()) community = "public";
  room = capacity;
  p = snmp_auth_build(data, &room, reinterpret_cast<const uint8_t*>(community.data()),
                      static_cast<int32_t>(community.size()), 0, pdu_length);
  if (p == nullptr || !Append(&p, &room, whole_pdu.data(), pdu_length)) {
    codec_error = codec_error != 0 ? codec_error : kErrOverflow;
    return false;
  }
  *length = static_cast<int32_t>(p - data);
  return true;
}

}  // namespace

size_t VarBind::value_length() const {
  if (IsIntegerType(type)) return 4;
  if (IsStringType(type)) return bytes.size();
  if (type == ASN_OBJECT_ID) return objid.size();
  return 0;
}

std::unique_ptr<SnmpPdu> snmp_pdu_create(uint8_t command) {
  auto pdu = std::make_unique<SnmpPdu>();
  pdu->command = command;
  pdu->error_status = kNotGiven;
  pdu->error_index = kNotGiven;
  return pdu;
}

VarBind& snmp_add_null_var(SnmpPdu* pdu, const oid* name, size_t name_length) {
  VarBind& v = pdu->variables.emplace_back();
  v.name.assign(name, name + name_length);
  v.type = ASN_NULL;
  return v;
}

uint8_t* snmp_build_var_op(uint8_t* data, int32_t* remaining, const VarBind& binding) {
  uint8_t* start = data;
  // A one-byte placeholder length; the header is rewritten once the length is known.
  uint8_t* p = asn_build_header(data, remaining, ASN_SEQUENCE, 0);
  if (p == nullptr) return nullptr;
  p = asn_build_objid(p, remaining, ASN_OBJECT_ID, binding.name.data(),
                      static_cast<int32_t>(binding.name.size()));
  if (p == nullptr) return nullptr;
  switch (binding.type) {
    case ASN_INTEGER:
      p = asn_build_int(p, remaining, binding.type, binding.integer, 4);
      break;
    case ASN_OCTET_STR:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
      p = asn_build_string(p, remaining, binding.type, binding.bytes.data(),
                           static_cast<int32_t>(binding.bytes.size()));
      break;
    case ASN_NULL:
      p = asn_build_null(p, remaining, binding.type);
      break;
    case ASN_OBJECT_ID:
      p = asn_build_objid(p, remaining, binding.type, binding.objid.data(),
                          static_cast<int32_t>(binding.objid.size()));
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      p = asn_build_unsigned_int(p, remaining, binding.type, static_cast<uint32_t>(binding.integer),
                                 4);
      break;
    default:
      QX_SNMP_TRACE("snmp_build_var_op, bad asn type, found sym %c\n", binding.type);
      return Fail<uint8_t>(kErrMultiByteId);
  }
  if (p == nullptr) return nullptr;
  const int64_t content = p - (start + 2);
  if (content > kMaxBuildLength) return Fail<uint8_t>(kErrTooLong);
  // Lengths of 128 and more take one more length byte, over 255 two more: move
  // the content up, once the room for it is known to be there.
  const int32_t extra = content < 0x80 ? 0 : content <= 0xFF ? 1 : 2;
  if (extra > 0) {
    if (*remaining < extra) {
      QX_SNMP_TRACE("snmp_build_var_op, no room to lengthen the binding header\n");
      return Fail<uint8_t>(kErrNoRoomInt);
    }
    std::memmove(start + 2 + extra, start + 2, static_cast<size_t>(content));
    *remaining -= extra;
  }
  int32_t header_room = 2 + extra;
  if (asn_build_header(start, &header_room, ASN_SEQUENCE, static_cast<uint32_t>(content)) ==
      nullptr)
    return nullptr;
  return start + 2 + extra + content;
}

uint8_t* snmp_auth_build(uint8_t* data, int32_t* remaining, const uint8_t* community,
                         int32_t community_length, int32_t version, int32_t pdu_length) {
  // The exact content length: version element, community element, PDU.
  uint8_t scratch[8];
  int32_t probe = sizeof scratch;
  const uint8_t* after = asn_build_int(scratch, &probe, ASN_INTEGER, version, 4);
  if (after == nullptr) return nullptr;
  int64_t version_size = after - scratch;
  int64_t community_header = 1 + (community_length < 0x80 ? 1 : community_length <= 0xFF ? 2 : 3);
  int64_t content = version_size + community_header + community_length + pdu_length;
  if (content > kMaxBuildLength) return Fail<uint8_t>(kErrTooLong);
  uint8_t* p = asn_build_header(data, remaining, ASN_SEQUENCE, static_cast<uint32_t>(content));
  if (p != nullptr) p = asn_build_int(p, remaining, ASN_INTEGER, version, 4);
  if (p != nullptr) p = asn_build_string(p, remaining, ASN_OCTET_STR, community, community_length);
  return p;
}

const uint8_t* snmp_auth_parse(const uint8_t* data, int32_t* remaining, uint8_t* community,
                               int32_t* community_length, int32_t* version) {
  uint8_t type = 0;
  const uint8_t* p = asn_parse_header(data, remaining, &type);
  if (p == nullptr) return nullptr;
  if (type != ASN_SEQUENCE) {
    QX_SNMP_TRACE("snmp_auth_parse, start of sequence missing, found sym %c\n", type);
    return Fail<const uint8_t>(-102);
  }
  p = asn_parse_int(p, remaining, &type, version, 4);
  if (p == nullptr) return nullptr;
  return asn_parse_string(p, remaining, &type, community, community_length);
}

const uint8_t* snmp_parse_var_op(const uint8_t* data, oid* name, int32_t* name_length,
                                 uint8_t* value_type, int32_t* value_length, const uint8_t** value,
                                 int32_t* remaining) {
  int32_t length = *remaining;
  uint8_t type = 0;
  const uint8_t* p = asn_parse_header(data, &length, &type);
  if (p == nullptr) return nullptr;
  if (type != ASN_SEQUENCE) {
    QX_SNMP_TRACE("snmp_parse_var_op, start of sequence missing, found sym %c\n", type);
    return Fail<const uint8_t>(-102);
  }
  const uint8_t* end = p + length;
  if (length < 1 || p[0] != ASN_OBJECT_ID) {
    QX_SNMP_TRACE("snmp_parse_var_op, OID symbol missing, found sym %c\n", length < 1 ? ' ' : p[0]);
    return Fail<const uint8_t>(-132);
  }
  p = asn_parse_objid(p, &length, &type, name, name_length);
  if (p == nullptr) return nullptr;
  // The value element must lie inside the binding.
  int32_t value_room = length;
  const uint8_t* content = asn_parse_header(p, &value_room, &type);
  if (content == nullptr) return nullptr;
  *value_type = type;
  *value = p;
  *value_length = length;
  *remaining -= static_cast<int32_t>(end - data);
  return end;
}

int snmp_build(const SnmpSession* session, SnmpPdu* pdu, uint8_t* data, int32_t* length) {
  if (BuildMessage(session, *pdu, data, length)) return 0;
  report_codec_error();
  return -1;
}

namespace {

// Decodes the value of one binding whose element starts at value.
bool ParseValue(VarBind* v, uint8_t type, const uint8_t* value, int32_t value_length) {
  int32_t room = value_length;
  uint8_t t = 0;
  if (IsIntegerType(type)) {
    return asn_parse_int(value, &room, &t, &v->integer, 4) != nullptr;
  }
  if (IsStringType(type)) {
    v->bytes.resize(static_cast<size_t>(value_length));
    int32_t size = value_length;
    if (asn_parse_string(value, &room, &t, v->bytes.data(), &size) == nullptr) return false;
    v->bytes.resize(static_cast<size_t>(size));
    return true;
  }
  if (type == ASN_NULL) return asn_parse_null(value, &room, &t) != nullptr;
  if (type == ASN_OBJECT_ID) {
    v->objid.resize(kMaxOidLength);
    int32_t count = kMaxOidLength;
    if (asn_parse_objid(value, &room, &t, v->objid.data(), &count) == nullptr) return false;
    v->objid.resize(static_cast<size_t>(count));
    return true;
  }
  // A type this engine does not know: the binding keeps no value and the parse
  // goes on with the next binding.
  QX_SNMP_TRACE("snmp_parse, unknown ASN sequence symbol\n");
  Report(kMsgUnknownType, kFlagLocal | kFlagEvent, static_cast<int>(type));
  return true;
}

bool ParseMessage(const SnmpSession* session, SnmpPdu* pdu, const uint8_t* data, int32_t length) {
  uint8_t community[kMaxCommunityLength];
  int32_t community_length = kMaxCommunityLength;
  int32_t version = 0;
  int32_t remaining = length;
  const uint8_t* p = snmp_auth_parse(data, &remaining, community, &community_length, &version);
  if (p == nullptr) return false;
  if (version != 0) {
    std::fprintf(stderr, "Wrong version: %d\n", version);
    std::fprintf(stderr, "Continuing anyway\n");
  }
  if (session != nullptr && session->auth_hook != nullptr)
    return session->auth_hook(p, remaining, community, community_length) != nullptr;

  uint8_t type = 0;
  p = asn_parse_header(p, &remaining, &type);
  if (p == nullptr) return false;
  pdu->command = type;
  int32_t value = 0;
  if (type == SNMP_MSG_TRAP) {
    pdu->enterprise.resize(kMaxOidLength);
    int32_t count = kMaxOidLength;
    p = asn_parse_objid(p, &remaining, &type, pdu->enterprise.data(), &count);
    if (p == nullptr) return false;
    pdu->enterprise.resize(static_cast<size_t>(count));
    int32_t agent_length = 4;
    pdu->agent_ip = {0, 0, 0, 0};
    p = asn_parse_string(p, &remaining, &type, pdu->agent_ip.data(), &agent_length);
    if (p != nullptr) p = asn_parse_int(p, &remaining, &type, &pdu->generic_type, 4);
    if (p != nullptr) p = asn_parse_int(p, &remaining, &type, &pdu->specific_type, 4);
    if (p != nullptr) p = asn_parse_int(p, &remaining, &type, &value, 4);
    pdu->time = static_cast<uint32_t>(value);
  } else {
    p = asn_parse_int(p, &remaining, &type, &value, 4);
    pdu->request_id = static_cast<uint32_t>(value);
    if (p != nullptr) p = asn_parse_int(p, &remaining, &type, &value, 4);
    pdu->error_status = static_cast<uint32_t>(value);
    if (p != nullptr) p = asn_parse_int(p, &remaining, &type, &value, 4);
    pdu->error_index = static_cast<uint32_t>(value);
  }
  if (p == nullptr) return false;

  p = asn_parse_header(p, &remaining, &type);
  if (p == nullptr) return false;
  if (type != ASN_SEQUENCE) {
    codec_error = kErrNoBindingsSequence;
    return false;
  }
  oid name[kMaxOidLength];
  while (remaining > 0) {
    VarBind& v = pdu->variables.emplace_back();
    int32_t name_length = kMaxOidLength;
    uint8_t value_type = 0;
    int32_t value_length = 0;
    const uint8_t* value_at = nullptr;
    p = snmp_parse_var_op(p, name, &name_length, &value_type, &value_length, &value_at, &remaining);
    if (p == nullptr) return false;
    v.name.assign(name, name + name_length);
    v.type = value_type;
    if (!ParseValue(&v, value_type, value_at, value_length)) return false;
  }
  return true;
}

}  // namespace

int snmp_parse(const SnmpSession* session, SnmpPdu* pdu, const uint8_t* data, int32_t length) {
  if (ParseMessage(session, pdu, data, length)) return 0;
  // The inserts name nothing of a received datagram: show none left from before.
  ClearInsertTexts();
  report_codec_error();
  return -1;
}

}  // namespace qx::snmp
