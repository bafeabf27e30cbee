// Turning the sender's "variable type value" triples into variable bindings.
// Thread-safety: none (reports through the engine's process-wide state).
#ifndef QXTRAP_VARBIND_H
#define QXTRAP_VARBIND_H

#include <qxsnmp/pdu.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx::qxtrap {

using snmp::oid;

// Result codes of the conversions.
inline constexpr int kErrUnknownType = -234;
inline constexpr int kErrTypeNotSupported = -235;

// Longest type keyword ("OBJECTIDENTIFIER", "OCTETSTRINGASCII" ...) is 16; tokens of
// this length or more are never looked up.
inline constexpr size_t kTypeTokenLimit = 21;

// The type code of a type keyword (compared without regard to case): an ASN.1
// identifier, or -234 (unknown) / -235 (octal or hex strings, not supported).
int LookupType(const std::string& token);

// Converts the dotted text of a name or an OBJECT IDENTIFIER value: 3 to max_count
// sub-identifiers. Returns 1, -237 (not dotted decimal, fewer than 3) or -208.
int ConvertObjid(const std::string& text, size_t max_count, std::vector<oid>* out);

// Numbers given as arguments: parsed like strtoll and cut to 32 bits.
int32_t ArgumentNumber(const std::string& text);

// The value of an IPADDRESS binding: the first IPv4 address the text resolves to,
// 0.0.0.0 when it resolves to none.
std::array<uint8_t, 4> ResolveIpValue(const std::string& text);

// One "variable type value" triple; any member may be absent.
struct Triple {
  std::optional<std::string> name;
  std::optional<std::string> type;
  std::optional<std::string> value;
};

// Fills binding from a triple. An absent name gives default_name with a NULL
// value. Returns 0, or the code of a conversion error after reporting it (the
// type token is in insert text 1 for -234 and -235, the object identifier text
// for -237 and -208).
int QXbuildVarList(snmp::VarBind* binding, const Triple& triple,
                   const std::vector<oid>& default_name);

}  // namespace qx::qxtrap

#endif
