// The value printers and the texts of bindings.
#include <qxsnmp/print.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace qx::snmp {
namespace {

template <typename... Args>
void Append(std::string* out, const char* format, Args... args) {
  char text[64];
  int n = std::snprintf(text, sizeof text, format, args...);
  if (n > 0) out->append(text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

// Lines of 16 bytes, then the rest, each byte as "%02X ".
void AppendHex(std::string* out, const std::vector<uint8_t>& bytes) {
  size_t i = 0;
  for (; i + 16 <= bytes.size(); i += 16)
    for (size_t j = 0; j < 16; ++j) Append(out, j == 15 ? "%02X\n" : "%02X ", bytes[i + j]);
  for (; i < bytes.size(); ++i) Append(out, "%02X ", bytes[i]);
}

// Strings shorter than this are always shown in hexadecimal.
constexpr size_t kShortString = 5;
// The text form breaks its lines after this many bytes.
constexpr size_t kTextLine = 48;

void OctetString(std::string* out, const VarBind& v) {
  bool hex = v.bytes.size() < kShortString;
  for (uint8_t b : v.bytes)
    if (!std::isprint(b) && !std::isspace(b)) hex = true;
  if (hex) {
    *out += "OCTET STRING-   (hex):\t";
    AppendHex(out, v.bytes);
    return;
  }
  *out += "OCTET STRING- (ascii):\t";
  for (size_t i = 0; i < v.bytes.size(); ++i) {
    uint8_t b = v.bytes[i];
    out->push_back(std::isprint(b) ? static_cast<char>(b) : '.');
    if ((i + 1) % kTextLine == 0) out->push_back('\n');
  }
}

void Integer(std::string* out, const VarBind& v, const std::vector<EnumValue>& enums) {
  for (const EnumValue& e : enums) {
    if (e.value == v.integer) {
      *out += "INTEGER: ";
      *out += e.label;
      Append(out, "(%d)", v.integer);
      return;
    }
  }
  Append(out, "INTEGER: %d", v.integer);
}

void Bytes(std::string* out, const std::vector<uint8_t>& bytes, const char* format,
           char separator) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out->push_back(separator);
    Append(out, format, bytes[i]);
  }
}

struct KindRow {
  int type;  // the binding type the kind requires; -1: any
  const char* mismatch;
};

// Indexed by kind.
constexpr KindRow kKinds[] = {
    {-1, nullptr},
    {ASN_OBJECT_ID, "Wrong Type (should be OBJECT IDENTIFIER): "},
    {ASN_OCTET_STR, "Wrong Type (should be OCTET STRING): "},
    {ASN_INTEGER, "Wrong Type (should be INTEGER): "},
    {-1, nullptr},
    {ASN_IPADDRESS, "Wrong Type (should be Ipaddress): "},
    {ASN_COUNTER, "Wrong Type (should be Counter): "},
    {ASN_GAUGE, "Wrong Type (should be Gauge): "},
    {ASN_TIMETICKS, "Wrong Type (should be Timeticks): "},
    {ASN_OPAQUE, "Wrong Type (should be Opaque): "},
    {ASN_NULL, "Wrong Type (should be NULL): "},
};
constexpr int kKindCount = static_cast<int>(std::size(kKinds));

// The kind that prints a binding type; kKindOther for types no kind prints.
int KindOfType(uint8_t type) {
  for (int k = 1; k < kKindCount; ++k)
    if (kKinds[k].type == type) return k;
  return kKindOther;
}

// The body of a kind's output, once the type is known to suit it.
void PrintAs(int kind, std::string* out, const VarBind& v, const std::vector<EnumValue>& enums) {
  switch (kind) {
    case kKindObjectId:
      *out += "OBJECT IDENTIFIER:\t";
      *out += ObjidName(v.objid.data(), v.objid.size());
      return;
    case kKindOctetStr:
      OctetString(out, v);
      return;
    case kKindInteger:
      Integer(out, v, enums);
      return;
    case kKindNetAddr:
      *out += "Network Address:\t";
      Bytes(out, v.bytes, "%02X", ':');
      return;
    case kKindIpAddr:
      *out += "IpAddress:\t";
      Bytes(out, v.bytes, "%u", '.');
      return;
    case kKindCounter:
      Append(out, "Counter: %lu", static_cast<unsigned long>(static_cast<uint32_t>(v.integer)));
      return;
    case kKindGauge:
      Append(out, "Gauge: %lu", static_cast<unsigned long>(static_cast<uint32_t>(v.integer)));
      return;
    case kKindTimeTicks: {
      uint32_t ticks = static_cast<uint32_t>(v.integer);
      Append(out, "Timeticks: (%u) ", ticks);
      *out += UptimeText(ticks);
      return;
    }
    case kKindOpaque:
      *out += "OPAQUE -   (hex):\t";
      AppendHex(out, v.bytes);
      return;
    case kKindNull:
      *out += "NULL";
      return;
    default:
      *out += "Variable has bad type";
      return;
  }
}

void PrintByType(std::string* out, const VarBind& v, const std::vector<EnumValue>& enums) {
  PrintAs(KindOfType(v.type), out, v, enums);
}

void PrintKind(int kind, std::string* out, const VarBind& v, const std::vector<EnumValue>& enums) {
  if (kind <= kKindOther || kind >= kKindCount) return PrintByType(out, v, enums);
  const KindRow& row = kKinds[kind];
  if (row.type >= 0 && row.type != v.type) {
    *out += row.mismatch;
    return PrintByType(out, v, enums);
  }
  PrintAs(kind, out, v, enums);
}

template <int Kind>
void KindPrinter(std::string* out, const VarBind& v, const std::vector<EnumValue>& enums) {
  PrintKind(Kind, out, v, enums);
}

constexpr ValuePrinter kPrinters[] = {
    KindPrinter<0>, KindPrinter<1>, KindPrinter<2>, KindPrinter<3>, KindPrinter<4>,  KindPrinter<5>,
    KindPrinter<6>, KindPrinter<7>, KindPrinter<8>, KindPrinter<9>, KindPrinter<10>,
};
static_assert(std::size(kPrinters) == std::size(kKinds));

// The name prefix the binding texts leave out.
constexpr std::string_view kMibPrefix = ".iso.org.dod.internet.mgmt.mib";
const oid kMib2[] = {1, 3, 6, 1, 2, 1};

// A name relative to 1.3.6.1.2.1 when it lies below it: without the prefix (and
// the dot after it) in either of its spellings, ".iso.org.dod.internet.mgmt.mib"
// or the loaded tree's own (".iso.org.dod.internet.mgmt.mib-2").
std::string RelativeName(const std::string& name) {
  std::string prefix = ObjidName(kMib2, std::size(kMib2));
  // Without a name for mib-2 (no MIB, or one without it), names stay whole.
  std::string_view last = std::string_view(prefix).substr(prefix.rfind('.') + 1);
  if (last.find_first_not_of("0123456789") == std::string_view::npos) prefix = kMibPrefix;
  for (std::string_view p : {std::string_view(kMibPrefix), std::string_view(prefix)}) {
    if (name.size() > p.size() && name.compare(0, p.size(), p) == 0 && name[p.size()] == '.')
      return name.substr(p.size() + 1);
  }
  return name;
}

// Value text of a binding through the node its name reaches.
void AppendValue(std::string* out, const oid* name, size_t count, const VarBind& v) {
  const MibNode* node = nullptr;
  if (const auto* top = MibTopLevel()) {
    size_t length = 0;
    node = get_symbol(name, count, top, nullptr, 0, &length);
  }
  if (node != nullptr && node->printer != nullptr)
    node->printer(out, v, node->enums);
  else
    PrintByType(out, v, {});
}

size_t ToBuffer(const std::string& text, char* buf, size_t size) {
  if (size > 0 && buf != nullptr) {
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
  }
  return text.size();
}

}  // namespace

ValuePrinter PrinterForKind(int kind) {
  if (kind < 0 || kind >= kKindCount) return kPrinters[kKindOther];
  return kPrinters[kind];
}

std::string UptimeText(uint32_t ticks) {
  uint32_t s = ticks / 100;
  uint32_t days = s / 86400;
  uint32_t hours = s % 86400 / 3600;
  uint32_t minutes = s % 3600 / 60;
  uint32_t seconds = s % 60;
  char text[64];
  if (days == 0)
    std::snprintf(text, sizeof text, "%u:%02u:%02u", hours, minutes, seconds);
  else if (days == 1)
    std::snprintf(text, sizeof text, "%u day, %u:%02u:%02u", days, hours, minutes, seconds);
  else
    std::snprintf(text, sizeof text, "%u days, %u:%02u:%02u", days, hours, minutes, seconds);
  return text;
}

std::string VariableText(const oid* name, size_t count, const VarBind& variable) {
  std::string out = "Name: " + RelativeName(ObjidName(name, count)) + "\n";
  AppendValue(&out, name, count, variable);
  out += "\n";
  return out;
}

std::string ValueText(const oid* name, size_t count, const VarBind& variable) {
  std::string out;
  AppendValue(&out, name, count, variable);
  return out;
}

size_t sprint_variable(char* buf, size_t size, const oid* name, size_t count,
                       const VarBind& variable) {
  return ToBuffer(VariableText(name, count, variable), buf, size);
}

size_t sprint_value(char* buf, size_t size, const oid* name, size_t count,
                    const VarBind& variable) {
  return ToBuffer(ValueText(name, count, variable), buf, size);
}

void print_value(const oid* name, size_t count, const VarBind& variable) {
  std::string text = ValueText(name, count, variable) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void print_variable(const oid* name, size_t count, const VarBind& variable) {
  print_value(name, count, variable);
}

}  // namespace qx::snmp
