// SNMP v1 messages (RFC 1157): the in-memory PDU and variable-binding records,
// their encoding into one message and the decoding of a received one.
//
// A Trap message is
//   30 { 02 version(0)  04 community  A4 { 06 enterprise  40 agent-addr
//        02 generic  02 specific  43 time-stamp  30 { 30 { 06 name  value }... } } }
// and the request PDUs (A0-A3) carry request-id, error-status and error-index in
// place of the five trap fields. The time-stamp keeps a signed INTEGER body under
// its TimeTicks tag, as the product's receivers expect.
//
// Thread-safety: the records are plain values; building and parsing use the
// process-wide codec_error cell.
#ifndef QXSNMP_PDU_H
#define QXSNMP_PDU_H

#include <qxsnmp/ber.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qx::snmp {

inline constexpr uint8_t SNMP_MSG_GET = 0xA0;
inline constexpr uint8_t SNMP_MSG_GETNEXT = 0xA1;
inline constexpr uint8_t SNMP_MSG_RESPONSE = 0xA2;
inline constexpr uint8_t SNMP_MSG_SET = 0xA3;
inline constexpr uint8_t SNMP_MSG_TRAP = 0xA4;

// "Not given" for error_status and error_index.
inline constexpr uint32_t kNotGiven = 0xFFFFFFFFu;

// The size of the datagram and scratch buffers: a message must fit in it.
inline constexpr int32_t kMaxMessageSize = 4500;
// Capacity, in sub-identifiers, of a decoded name, enterprise or OID value.
inline constexpr int32_t kMaxOidLength = 64;
// Capacity of a decoded community.
inline constexpr int32_t kMaxCommunityLength = 128;

// Codec error of a variable-bindings element that is not a SEQUENCE.
inline constexpr int kErrNoBindingsSequence = -227;

// One variable binding. The value is held by type: integer for INTEGER, Counter,
// Gauge and TimeTicks; bytes for OCTET STRING, IpAddress and Opaque; objid for
// OBJECT IDENTIFIER; nothing for NULL (and for a received type the engine does not
// know, whose content is skipped).
struct VarBind {
  std::vector<oid> name;
  uint8_t type = ASN_NULL;
  int32_t integer = 0;
  std::vector<uint8_t> bytes;
  std::vector<oid> objid;

  // The value length as the records count it: 4 for integers, the byte count of
  // strings, the sub-identifier count of an OBJECT IDENTIFIER, 0 for NULL.
  size_t value_length() const;
};

struct SnmpPdu {
  std::string peer;  // peer host text
  uint8_t command = 0;
  uint32_t request_id = 0;
  uint32_t error_status = 0;
  uint32_t error_index = 0;
  std::vector<oid> enterprise;
  std::string agent_addr;             // sending: the agent's host text
  std::array<uint8_t, 4> agent_ip{};  // received: the IPv4 address
  int32_t generic_type = 0;
  int32_t specific_type = 0;
  uint32_t time = 0;
  std::vector<VarBind> variables;
};

// A PDU with the command set and error_status, error_index "not given".
std::unique_ptr<SnmpPdu> snmp_pdu_create(uint8_t command);

// Appends a binding with a copy of name, type NULL and no value; returns it (the
// reference lives until the next binding is added).
VarBind& snmp_add_null_var(SnmpPdu* pdu, const oid* name, size_t name_length);

// Encodes one binding at data; nullptr with codec_error on failure.
uint8_t* snmp_build_var_op(uint8_t* data, int32_t* remaining, const VarBind& binding);

// The message header: 30 len, version, community, for a PDU of pdu_length bytes.
uint8_t* snmp_auth_build(uint8_t* data, int32_t* remaining, const uint8_t* community,
                         int32_t community_length, int32_t version, int32_t pdu_length);

// Parses the message header; community receives at most *community_length bytes
// (the capacity in, the length out). Returns the cursor at the PDU and sets
// *remaining to the bytes that follow.
const uint8_t* snmp_auth_parse(const uint8_t* data, int32_t* remaining, uint8_t* community,
                               int32_t* community_length, int32_t* version);

// Decodes one binding's header and name: name receives at most *name_length
// sub-identifiers; *value_type, *value_length and *value (the cursor at the value
// element) describe the value. *remaining is decreased by the whole binding.
const uint8_t* snmp_parse_var_op(const uint8_t* data, oid* name, int32_t* name_length,
                                 uint8_t* value_type, int32_t* value_length, const uint8_t** value,
                                 int32_t* remaining);

struct SnmpSession;

// Encodes pdu for session into data (*length: capacity in, message length out).
// Returns 0, or -1 after the codec error has been reported.
int snmp_build(const SnmpSession* session, SnmpPdu* pdu, uint8_t* data, int32_t* length);

// Decodes a message into pdu (which should be freshly created). Returns 0, or -1
// after the codec error has been reported. With an auth_hook on the session, the
// PDU bytes go to the hook instead.
int snmp_parse(const SnmpSession* session, SnmpPdu* pdu, const uint8_t* data, int32_t length);

// Resolves an agent host text to its IPv4 address, as a Trap carries it: the first
// IPv4 result's bytes, 0.0.0.0 when the host has no IPv4 address. An empty text is
// the local host: the first non-loopback IPv4 address of an interface that is up,
// else the host name's address. False when the text cannot be resolved at all.
bool ResolveAgentAddress(const std::string& text, std::array<uint8_t, 4>* address);

}  // namespace qx::snmp

#endif
