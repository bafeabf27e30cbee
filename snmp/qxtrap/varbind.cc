// Variable bindings from the command line.
#include "varbind.h"

#include <netdb.h>
#include <netinet/in.h>
#include <qxplatform/text.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/objid.h>
#include <qxsnmp/report.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qx::qxtrap {
namespace {

struct TypeKeyword {
  const char* keyword;
  int code;
};

constexpr TypeKeyword kTypes[] = {
    {"COUNTER", snmp::ASN_COUNTER},
    {"GAUGE", snmp::ASN_GAUGE},
    {"INTEGER", snmp::ASN_INTEGER},
    {"IPADDRESS", snmp::ASN_IPADDRESS},
    {"NULL", snmp::ASN_NULL},
    {"OBJECTIDENTIFIER", snmp::ASN_OBJECT_ID},
    {"OCTETSTRING", snmp::ASN_OCTET_STR},
    {"OCTETSTRINGASCII", snmp::ASN_OCTET_STR},
    {"OCTETSTRINGOCTAL", kErrTypeNotSupported},
    {"OCTETSTRINGHEX", kErrTypeNotSupported},
    // Opaque values are sent as INTEGER and OCTET STRING, not as Opaque.
    {"OPAQUE", snmp::ASN_INTEGER},
    {"OPAQUEASCII", snmp::ASN_OCTET_STR},
    {"OPAQUEOCTAL", kErrTypeNotSupported},
    {"OPAQUEHEX", kErrTypeNotSupported},
    {"TIMETICKS", snmp::ASN_TIMETICKS},
};

// Reports code with the offending text as insert 1 and returns it.
int Refuse(int code, const std::string& text) {
  snmp::SetInsertText(1, text);
  snmp::report_error(code);
  return code;
}

}  // namespace

int LookupType(const std::string& token) {
  if (token.size() >= kTypeTokenLimit) return kErrUnknownType;
  for (const TypeKeyword& t : kTypes)
    if (qx::platform::EqualsNoCase<char>(token, t.keyword)) return t.code;
  return kErrUnknownType;
}

int ConvertObjid(const std::string& text, size_t max_count, std::vector<oid>* out) {
  size_t count = static_cast<size_t>(std::count(text.begin(), text.end(), '.')) + 1;
  if (count > max_count) return snmp::kObjidTooLong;
  if (count < 3) return snmp::kObjidMalformed;
  out->assign(count, 0);
  int32_t stored = static_cast<int32_t>(count);
  int rc = snmp::read_rawobjid(text.c_str(), out->data(), &stored);
  if (rc != 1) return rc;
  out->resize(static_cast<size_t>(stored));
  return 1;
}

int32_t ArgumentNumber(const std::string& text) {
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
}

std::array<uint8_t, 4> ResolveIpValue(const std::string& text) {
  std::array<uint8_t, 4> address{0, 0, 0, 0};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0) return address;
  if (list != nullptr && list->ai_family == AF_INET) {
    // The address's own bytes: 255.255.255.255 is a valid value.
    const auto* in = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    std::memcpy(address.data(), &in->sin_addr.s_addr, 4);
  }
  freeaddrinfo(list);
  return address;
}

int QXbuildVarList(snmp::VarBind* binding, const Triple& triple,
                   const std::vector<oid>& default_name) {
  if (!triple.name) {
    binding->name = default_name;
    binding->type = snmp::ASN_NULL;
    return 0;
  }
  QX_SNMP_TRACE("QXbuildVarList: desc='%s'\n", triple.name->c_str());
  QX_SNMP_TRACE("QXbuildVarList: type='%s'\n", triple.type ? triple.type->c_str() : "-none");
  QX_SNMP_TRACE("QXbuildVarList: value='%s'\n", triple.value ? triple.value->c_str() : "-none");

  int rc = ConvertObjid(*triple.name, snmp::kMaxOidLength, &binding->name);
  if (rc != 1) return Refuse(rc, *triple.name);

  if (!triple.type) {
    binding->type = snmp::ASN_NULL;
    return 0;
  }
  int type = LookupType(*triple.type);
  if (type < 0) return Refuse(type, *triple.type);
  snmp::SetInsertText(1, *triple.type);
  binding->type = static_cast<uint8_t>(type);

  const std::string value = triple.value.value_or("");
  switch (binding->type) {
    case snmp::ASN_INTEGER:
    case snmp::ASN_COUNTER:
    case snmp::ASN_GAUGE:
    case snmp::ASN_TIMETICKS:
      binding->integer = ArgumentNumber(value);
      break;
    case snmp::ASN_OCTET_STR:
      binding->bytes.assign(value.begin(), value.end());
      break;
    case snmp::ASN_OBJECT_ID:
      rc = ConvertObjid(value, snmp::kMaxOidLength, &binding->objid);
      if (rc != 1) return Refuse(rc, value);
      break;
    case snmp::ASN_IPADDRESS: {
      std::array<uint8_t, 4> address = ResolveIpValue(value);
      binding->bytes.assign(address.begin(), address.end());
      break;
    }
    default:  // NULL
      break;
  }
  return 0;
}

}  // namespace qx::qxtrap
