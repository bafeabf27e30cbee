// Feeds arbitrary text to the MIB reader: tokenizer, parser and tree building,
// then converts names and prints a value on the tree it built.
#include <qxsnmp/mib.h>
#include <qxsnmp/print.h>
#include <qxsnmp/report.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

void Ignore(const qx::snmp::ReportRecord&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx::snmp;
  SetReportSink(Ignore);
  // An exact-size copy, so that any read past the end is caught.
  std::string text(reinterpret_cast<const char*>(data), size);

  MibTokenizer tokens(text);
  std::string word;
  while (tokens.Next(&word) != kTokEof) {
  }

  std::vector<ParseNode> nodes;
  if (!ParseMib(text, &nodes)) return 0;
  std::vector<std::string> labels;
  for (const ParseNode& n : nodes) labels.push_back(n.label);
  auto tree = BuildMibTree(&nodes);

  // Every label as a name from the root and below it, and the names of numbers
  // walked along the first children.
  std::vector<MibNode*> top{tree->root()};
  oid objid[kMaxOidLength];
  // (The first labels only: name lookups are linear in the width of a level.)
  if (labels.size() > 64) labels.resize(64);
  for (const std::string& label : labels) {
    int32_t count = kMaxOidLength;
    parse_subtree(&top, ("iso." + label + ".1").c_str(), objid, &count);
  }
  std::vector<oid> path;
  for (const MibNode* n = tree->root(); n != nullptr && path.size() < kMaxOidLength;
       n = n->children.empty() ? nullptr : n->children.front())
    path.push_back(n->subid);
  path.push_back(0);
  char name[64];
  const MibNode* node = get_symbol(path.data(), path.size(), &top, name, sizeof name);
  VarBind value;
  value.type = ASN_INTEGER;
  value.integer = static_cast<int32_t>(size);
  std::string printed;
  if (node != nullptr && node->printer != nullptr) node->printer(&printed, value, node->enums);
  return 0;
}
