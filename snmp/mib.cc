// The MIB tree: built from the parsed definitions, loaded from the install
// folder's db/mib.dat.
#include <qxenv.h>
#include <qxplatform/system.h>
#include <qxsnmp/mib.h>
#include <qxsnmp/print.h>
#include <qxsnmp/report.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_map>

namespace qx::snmp {
namespace {

constexpr int kMibFlags = kFlagLocal | kFlagEvent;

std::unique_ptr<MibTree>& ProcessTree() {
  static std::unique_ptr<MibTree> tree;
  return tree;
}

// The value kind of a syntax token.
int KindOfSyntax(int token) {
  switch (token) {
    case kTokObjectId:
      return kKindObjectId;
    case kTokOctetStr:
      return kKindOctetStr;
    case kTokInteger:
      return kKindInteger;
    case kTokNetAddr:
    case kTokIpAddr:
      return kKindIpAddr;
    case kTokCounter:
      return kKindCounter;
    case kTokGauge:
      return kKindGauge;
    case kTokTimeTicks:
      return kKindTimeTicks;
    case kTokOpaque:
      return kKindOpaque;
    case kTokNull:
      return kKindNull;
    default:
      return kKindOther;
  }
}

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return false;
  *text = std::move(s).str();
  return true;
}

void ReportNotFound() {
  QX_SNMP_TRACE("get_symbol, Couldn't find mib file\n");
  Report(kMsgMibNotFound, kMibFlags);
}

}  // namespace

MibTree::MibTree() {
  nodes_.push_back(std::make_unique<MibNode>());
  root_ = nodes_.back().get();
  root_->label = "iso";
  root_->subid = 1;
  root_->printer = PrinterForKind(kKindOther);
  top_.push_back(root_);
}

MibNode* MibTree::AddChild(MibNode* parent) {
  nodes_.push_back(std::make_unique<MibNode>());
  MibNode* n = nodes_.back().get();
  n->parent = parent;
  parent->children.push_back(n);
  return n;
}

std::unique_ptr<MibTree> BuildMibTree(std::vector<ParseNode>* nodes) {
  auto tree = std::make_unique<MibTree>();
  // The definitions of each parent, in file order.
  std::unordered_map<std::string, std::vector<size_t>> by_parent;
  for (size_t i = 0; i < nodes->size(); ++i) by_parent[(*nodes)[i].parent].push_back(i);
  std::vector<bool> used(nodes->size(), false);

  // Depth first, without recursion: a node takes every definition naming it as
  // parent that no node visited before it took.
  std::vector<MibNode*> pending{tree->root()};
  while (!pending.empty()) {
    MibNode* n = pending.back();
    pending.pop_back();
    auto it = by_parent.find(n->label);
    if (it == by_parent.end()) continue;
    std::vector<size_t> taken = std::move(it->second);
    by_parent.erase(it);
    size_t first_child = n->children.size();
    for (size_t i : taken) {
      ParseNode& p = (*nodes)[i];
      MibNode* child = tree->AddChild(n);
      child->label = p.label;
      child->subid = static_cast<uint32_t>(p.subid);
      child->kind = KindOfSyntax(p.type);
      child->enums = std::move(p.enums);
      child->printer = PrinterForKind(child->kind);
      used[i] = true;
    }
    for (size_t k = n->children.size(); k > first_child; --k) pending.push_back(n->children[k - 1]);
  }

  bool orphans = false;
  for (size_t i = 0; i < nodes->size(); ++i) {
    if (used[i]) continue;
    if (!orphans) {
      Report(kMsgMibOrphans1, kMibFlags);
      Report(kMsgMibOrphans2, kMibFlags);
      Report(kMsgMibOrphans3, kMibFlags);
      orphans = true;
    }
    const ParseNode& p = (*nodes)[i];
    Report(kMsgMibOrphan, kMibFlags, p.label, p.parent, p.subid, p.type);
  }
  nodes->clear();
  return tree;
}

std::string MibFilePath() {
  const char* value = QXgetenv("QXIGLBL0000");
  std::string dir = value != nullptr ? value : "";
  if (dir.empty()) dir = qx::platform::DefaultInstallDir();
  if (dir.empty()) return "";
  if (dir.back() != '/') dir += '/';
  return dir + "db/mib.dat";
}

int LoadMibFile(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, &text)) return kMibNotFound;
  std::vector<ParseNode> nodes;
  if (!ParseMib(text, &nodes)) {
    Report(kMsgMibUnparsable, kMibFlags);
    return kMibBadFile;
  }
  ProcessTree() = BuildMibTree(&nodes);
  return kMibLoaded;
}

int LoadMib() {
  std::string path = MibFilePath();
  int result = path.empty() ? kMibNotFound : LoadMibFile(path);
  if (result == kMibNotFound) ReportNotFound();
  return result;
}

void init_mib() {
  int result = LoadMib();
  if (result != kMibLoaded) std::exit(result);
}

const MibNode* read_mib(const char* path) {
  int result = LoadMibFile(path != nullptr ? path : "");
  if (result == kMibBadFile) std::exit(1);
  return result == kMibLoaded ? MibRoot() : nullptr;
}

const MibNode* MibRoot() {
  const auto& tree = ProcessTree();
  return tree ? tree->root() : nullptr;
}

const std::vector<MibNode*>* MibTopLevel() {
  const auto& tree = ProcessTree();
  return tree ? &tree->top() : nullptr;
}

void UnloadMib() {
  ProcessTree().reset();
}

}  // namespace qx::snmp
