// The MIB reader of the SNMP engine: loads a MIB definition file written in the
// concise SNMPv1 notation (OBJECT-TYPE macros and OBJECT IDENTIFIER assignments)
// and builds the tree of named object-identifier nodes that print.h uses to turn
// names into numbers and to print values.
//
// The file is a list of whitespace-separated words; "{", "}" and "::=" stand
// alone, "--" starts a comment that runs to the end of the line, and a label with
// its number in parentheses ("org(3)") is one word:
//
//   internet OBJECT IDENTIFIER ::= { iso org(3) dod(6) 1 }
//   sysDescr OBJECT-TYPE SYNTAX OCTET STRING ACCESS read-only
//            STATUS mandatory ::= { system 1 }
//
// Every definition names its parent; the tree hangs below the root "iso" (1).
// Definitions whose parent never turns up are reported and left out.
//
// The installed file is db/mib.dat under the install folder ("QXIGLBL0000",
// by default the folder above the program's bin/).
//
// Thread-safety: none. The loaded tree is process-wide; load it before use and
// from one thread. Loading again replaces it.
#ifndef QXSNMP_MIB_H
#define QXSNMP_MIB_H

#include <qxsnmp/pdu.h>
#include <qxsnmp/report.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qx::snmp {

// Tokens of the MIB notation. Every word that is not a keyword is a label.
enum MibToken : int {
  kTokEof = 0,
  kTokLabel = 1,
  kTokSyntax = 3,
  kTokObjectId = 4,  // OBJECT IDENTIFIER
  kTokOctetStr = 5,  // OCTET STRING
  kTokInteger = 6,
  kTokNetAddr = 7,
  kTokIpAddr = 8,
  kTokCounter = 9,
  kTokGauge = 10,
  kTokTimeTicks = 11,
  kTokOpaque = 12,
  kTokNull = 13,
  kTokSequence = 14,
  kTokOf = 15,
  kTokObjectType = 16,
  kTokAccess = 17,
  kTokReadOnly = 18,
  kTokReadWrite = 19,
  kTokWriteOnly = 20,
  kTokNoAccess = 21,
  kTokStatus = 22,
  kTokMandatory = 23,
  kTokOptional = 24,
  kTokObsolete = 25,
  kTokRecommended = 26,
  kTokBracket = 27,  // "{" or "}"
  kTokEquals = 28,   // "::="
};

// Value kinds of a tree node; they choose the node's value printer.
enum MibKind : int {
  kKindOther = 0,
  kKindObjectId = 1,
  kKindOctetStr = 2,
  kKindInteger = 3,
  kKindNetAddr = 4,
  kKindIpAddr = 5,
  kKindCounter = 6,
  kKindGauge = 7,
  kKindTimeTicks = 8,
  kKindOpaque = 9,
  kKindNull = 10,
};

// The longest label kept; longer labels are cut to it.
inline constexpr size_t kMaxLabelLength = 127;
// The most components an object-identifier value in the file may have.
inline constexpr size_t kMaxOidComponents = 16;
// "No sub-identifier given" in a definition.
inline constexpr int64_t kNoSubid = -1;

// One named value of an INTEGER syntax.
struct EnumValue {
  int32_t value = 0;
  std::string label;
};

// One definition read from the file, before the tree is built.
struct ParseNode {
  std::string label;
  std::string parent;
  int64_t subid = kNoSubid;
  int type = 0;  // the syntax token; 0 for plain OBJECT IDENTIFIER assignments
  std::vector<EnumValue> enums;
};

struct MibNode;
// Appends the text of a value to out. enums are the node's named values.
using ValuePrinter = void (*)(std::string* out, const VarBind& value,
                              const std::vector<EnumValue>& enums);

// A node of the tree. Children keep the order in which their definitions were
// found.
struct MibNode {
  MibNode* parent = nullptr;
  std::vector<MibNode*> children;
  std::string label;
  uint32_t subid = 0;
  int kind = kKindOther;
  std::vector<EnumValue> enums;
  ValuePrinter printer = nullptr;
};

// A tree: owns its nodes (held flat, so that neither depth nor width of the tree
// costs stack when it is freed).
class MibTree {
 public:
  MibTree();
  MibTree(const MibTree&) = delete;
  MibTree& operator=(const MibTree&) = delete;

  MibNode* root() const { return root_; }
  // The top level of the tree: the root alone.
  const std::vector<MibNode*>& top() const { return top_; }
  size_t size() const { return nodes_.size(); }
  // A new node under parent, after its present children.
  MibNode* AddChild(MibNode* parent);

 private:
  std::vector<std::unique_ptr<MibNode>> nodes_;
  MibNode* root_;
  std::vector<MibNode*> top_;
};

// Reads one token from text at *pos. *word receives the word (for labels and
// keywords alike); *line counts the line feeds passed, starting at 1. Returns
// kTokEof at the end.
class MibTokenizer {
 public:
  explicit MibTokenizer(std::string_view text) : text_(text) {}
  int Next(std::string* word);
  int line() const { return line_; }

 private:
  int Get();
  std::string_view text_;
  size_t pos_ = 0;
  int lookahead_ = ' ';
  int line_ = 1;
};

// The token number of a keyword, or kTokLabel. "OBJECT" and "OCTET" alone are
// labels; the tokenizer joins them with the word that follows.
int MibKeyword(std::string_view word);

// Parses a whole MIB text. Returns true and the definitions in file order, or
// false after reporting the first error with its line number.
bool ParseMib(std::string_view text, std::vector<ParseNode>* nodes);

// Builds the tree from the definitions below "iso" and assigns every node its
// printer; definitions left over are reported as orphans (the tree is still
// complete without them). Consumes nodes.
std::unique_ptr<MibTree> BuildMibTree(std::vector<ParseNode>* nodes);

// Results of LoadMib.
inline constexpr int kMibLoaded = 0;
inline constexpr int kMibNotFound = 2;  // no install folder, or the file cannot be read
inline constexpr int kMibBadFile = 1;   // the file cannot be parsed

// Loads path and makes it the process's tree. Returns kMibLoaded, or another
// result after reporting it; the previous tree (if any) is kept on failure.
int LoadMibFile(const std::string& path);
// Loads db/mib.dat under the install folder; the same results.
int LoadMib();
// The path LoadMib reads, "" when no install folder is known.
std::string MibFilePath();

// Loads the MIB as LoadMib does, but ends the process on failure: exit code 2
// when the file is not found, 1 when it cannot be parsed.
void init_mib();
// Reads path and makes it the process's tree. Returns the root, or nullptr when
// the file cannot be opened; ends the process (exit code 1) when it cannot be
// parsed.
const MibNode* read_mib(const char* path);

// The process's tree root, or nullptr before a MIB was loaded.
const MibNode* MibRoot();
// The top level of the process's tree (the root alone), or nullptr.
const std::vector<MibNode*>* MibTopLevel();
// Drops the process's tree.
void UnloadMib();

// Message numbers of the MIB reader's reports (facility 357).
inline constexpr uint32_t kMsgMibNotFound = MessageId(211, kSevError);
inline constexpr uint32_t kMsgMibNotLoaded = MessageId(212, kSevError);
inline constexpr uint32_t kMsgMibWordError = MessageId(214, kSevError);
inline constexpr uint32_t kMsgMibError = MessageId(215, kSevError);
inline constexpr uint32_t kMsgMibOrphans1 = MessageId(216, kSevError);
inline constexpr uint32_t kMsgMibOrphans2 = MessageId(217, kSevError);
inline constexpr uint32_t kMsgMibOrphans3 = MessageId(218, kSevError);
inline constexpr uint32_t kMsgMibOrphan = MessageId(219, kSevError);
inline constexpr uint32_t kMsgMibUnparsable = MessageId(220, kSevError);

}  // namespace qx::snmp

#endif
