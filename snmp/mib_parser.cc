// The MIB notation: its tokenizer and the parser of its definitions.
#include <qxsnmp/mib.h>
#include <qxsnmp/report.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace qx::snmp {
namespace {

// Reports go out with local print and the event console.
constexpr int kMibFlags = kFlagLocal | kFlagEvent;

// The keyword table: 32 chained buckets indexed by the sum of the word's
// character codes. Built once for the whole process, so that every parse (of any
// number of files) sees the same table.
class KeywordTable {
 public:
  KeywordTable() {
    static constexpr struct {
      const char* word;
      int token;
    } kKeywords[] = {
        {"SYNTAX", kTokSyntax},
        {"OBJECTIDENTIFIER", kTokObjectId},
        {"OCTETSTRING", kTokOctetStr},
        {"INTEGER", kTokInteger},
        {"NetworkAddress", kTokNetAddr},
        {"IpAddress", kTokIpAddr},
        {"Counter", kTokCounter},
        {"Gauge", kTokGauge},
        {"TimeTicks", kTokTimeTicks},
        {"Opaque", kTokOpaque},
        {"NULL", kTokNull},
        {"SEQUENCE", kTokSequence},
        {"OF", kTokOf},
        {"OBJECT-TYPE", kTokObjectType},
        {"ACCESS", kTokAccess},
        {"read-only", kTokReadOnly},
        {"read-write", kTokReadWrite},
        {"write-only", kTokWriteOnly},
        {"not-accessible", kTokNoAccess},
        {"STATUS", kTokStatus},
        {"mandatory", kTokMandatory},
        {"optional", kTokOptional},
        {"obsolete", kTokObsolete},
        {"recommended", kTokRecommended},
        {"{", kTokBracket},
        {"}", kTokBracket},
        {"::=", kTokEquals},
    };
    for (const auto& k : kKeywords) {
      uint32_t sum = Sum(k.word);
      buckets_[sum % kBuckets].push_back(Entry{k.word, sum, k.token});
    }
  }

  int Lookup(std::string_view word) const {
    uint32_t sum = Sum(word);
    for (const Entry& e : buckets_[sum % kBuckets])
      if (e.sum == sum && e.word == word) return e.token;
    return kTokLabel;
  }

 private:
  static constexpr size_t kBuckets = 32;
  struct Entry {
    std::string_view word;
    uint32_t sum;
    int token;
  };
  static uint32_t Sum(std::string_view word) {
    uint32_t sum = 0;
    for (char c : word) sum += static_cast<unsigned char>(c);
    return sum;
  }
  std::array<std::vector<Entry>, kBuckets> buckets_;
};

const KeywordTable& Keywords() {
  static const KeywordTable table;
  return table;
}

bool IsSpace(int ch) {
  return ch != EOF && std::isspace(static_cast<unsigned char>(ch)) != 0;
}

// "OBJECT" and "OCTET" are joined with the word after them.
bool IsContinuation(std::string_view word) {
  return word == "OBJECT" || word == "OCTET";
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A sub-identifier written in decimal; false for anything else or a value above
// 32 bits.
bool ParseSubid(std::string_view s, int64_t* value) {
  if (!AllDigits(s) || s.size() > 10) return false;
  int64_t v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  if (v > 0xFFFFFFFFll) return false;
  *value = v;
  return true;
}

// An enumeration value: optional minus sign and decimal digits, 32-bit signed.
bool ParseEnumValue(std::string_view s, int32_t* value) {
  bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  if (!AllDigits(s) || s.size() > 10) return false;
  int64_t v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

std::string CutLabel(std::string_view s) {
  return std::string(s.substr(0, kMaxLabelLength));
}

struct Component {
  std::string label;
  int64_t subid = kNoSubid;
};

class Parser {
 public:
  Parser(std::string_view text, std::vector<ParseNode>* out) : tokens_(text), out_(out) {}

  bool Run() {
    for (;;) {
      int t = Next();
      if (t == kTokEof) return true;
      if (t != kTokLabel) {
        Report(kMsgMibWordError, kMibFlags, word_, "is a reserved word", tokens_.line());
        return false;
      }
      std::string name = CutLabel(word_);
      t = Next();
      switch (t) {
        case kTokObjectType:
          if (!ObjectType(name)) {
            Error("Bad parse of object type");
            return false;
          }
          break;
        case kTokObjectId:
          if (!ObjectIdAssignment(name)) {
            Error("Bad parse of object id");
            return false;
          }
          break;
        case kTokEquals:
          if (!SkipTypeAssignment()) return true;
          break;
        case kTokEof:
          return true;
        default:
          ErrorWord("Bad operator", word_);
          return false;
      }
    }
  }

 private:
  int Next() { return tokens_.Next(&word_); }
  bool Is(int t, const char* word) const { return t == kTokBracket && word_ == word; }

  void Error(const char* message) { Report(kMsgMibError, kMibFlags, message, tokens_.line()); }
  void ErrorWord(const char* message, const std::string& word) {
    Report(kMsgMibWordError, kMibFlags, message, word, tokens_.line());
  }
  void Unexpected(int t) {
    if (t == kTokEof)
      Error("Unexpected EOF");
    else
      ErrorWord("Unexpected", word_);
  }

  // One component of an object-identifier value: "12", "label" or "label(12)".
  bool ParseComponent(const std::string& word, Component* c) {
    if (AllDigits(word)) {
      if (!ParseSubid(word, &c->subid)) {
        ErrorWord("Expected integer", word);
        return false;
      }
      return true;
    }
    size_t open = word.find('(');
    c->label = CutLabel(std::string_view(word).substr(0, open));
    if (open == std::string::npos) return true;
    size_t close = word.find(')', open);
    if (close == std::string::npos) {
      Error("No terminating parenthesis");
      return false;
    }
    if (!ParseSubid(std::string_view(word).substr(open + 1, close - open - 1), &c->subid)) {
      ErrorWord("Expected integer", word);
      return false;
    }
    return true;
  }

  // "{ component ... }" with at most kMaxOidComponents components.
  bool OidValue(std::vector<Component>* value) {
    int t = Next();
    if (!Is(t, "{")) {
      Unexpected(t);
      return false;
    }
    for (;;) {
      t = Next();
      if (Is(t, "}")) return true;
      if (t != kTokLabel || value->size() >= kMaxOidComponents) {
        Unexpected(t);
        return false;
      }
      Component c;
      if (!ParseComponent(word_, &c)) return false;
      value->push_back(std::move(c));
    }
  }

  void Add(std::string label, std::string parent, int64_t subid, int type,
           std::vector<EnumValue> enums = {}) {
    ParseNode n;
    n.label = std::move(label);
    n.parent = std::move(parent);
    n.subid = subid;
    n.type = type;
    n.enums = std::move(enums);
    out_->push_back(std::move(n));
  }

  // label OBJECT IDENTIFIER ::= { ... }: a node for each labelled, numbered
  // component below its labelled predecessor, and the defined label below the
  // second-to-last component.
  bool ObjectIdAssignment(const std::string& name) {
    if (Next() != kTokEquals) {
      Error("Bad format");
      return false;
    }
    std::vector<Component> value;
    if (!OidValue(&value)) return false;
    if (value.empty()) {
      Error("Bad object identifier");
      return false;
    }
    if (value.size() < 2) {
      Error("Missing end of oid");
      return false;
    }
    size_t made = 0;
    for (size_t i = 0; i + 2 < value.size(); ++i) {
      const Component& a = value[i];
      const Component& b = value[i + 1];
      // A label without a number names a node defined elsewhere.
      if (a.label.empty() || b.label.empty() || b.subid == kNoSubid) continue;
      Add(b.label, a.label, b.subid, 0);
      ++made;
    }
    const Component& parent = value[value.size() - 2];
    const Component& last = value.back();
    if (last.subid == kNoSubid) Error("Warning: This entry is pretty silly");
    if (parent.label.empty()) return made > 0;
    Add(name, parent.label, last.subid, 0);
    return true;
  }

  // The items of an INTEGER enumeration after its "{": "name(value)", possibly
  // split across words.
  bool Enumeration(std::vector<EnumValue>* enums) {
    for (;;) {
      int t = Next();
      if (t == kTokEof) {
        Error("Premature end of file");
        return false;
      }
      if (Is(t, "}")) return true;
      std::string item = word_;
      while (item.find('(') == std::string::npos || item.find(')') == std::string::npos) {
        bool have_open = item.find('(') != std::string::npos;
        t = Next();
        if (t == kTokEof) {
          Error("Premature end of file");
          return false;
        }
        if (t != kTokLabel) {
          ErrorWord(have_open ? "Expected \")\"" : "Expected \"(\"", item);
          return false;
        }
        item += word_;
      }
      size_t open = item.find('(');
      size_t close = item.find(')');
      if (close < open) {
        ErrorWord("Expected \"(\"", item);
        return false;
      }
      EnumValue e;
      e.label = CutLabel(std::string_view(item).substr(0, open));
      if (!ParseEnumValue(std::string_view(item).substr(open + 1, close - open - 1), &e.value)) {
        ErrorWord("Expected integer", item);
        return false;
      }
      std::string_view rest = std::string_view(item).substr(close + 1);
      if (!rest.empty() && rest != ",") {
        ErrorWord("Expected \")\"", item);
        return false;
      }
      enums->push_back(std::move(e));
    }
  }

  // The SYNTAX clause; on return *t holds the token after it.
  bool Syntax(int* type, std::vector<EnumValue>* enums, int* t) {
    *type = Next();
    switch (*type) {
      case kTokLabel:
      case kTokObjectId:
      case kTokOctetStr:
      case kTokNetAddr:
      case kTokIpAddr:
      case kTokCounter:
      case kTokGauge:
      case kTokTimeTicks:
      case kTokOpaque:
      case kTokNull:
        *t = Next();
        return true;
      case kTokInteger:
        *t = Next();
        if (Is(*t, "{")) {
          if (!Enumeration(enums)) return false;
          *t = Next();
        } else if (*t == kTokLabel && !word_.empty() && word_.front() == '(') {
          *t = Next();  // a range, not kept
        }
        return true;
      case kTokSequence:
        *t = Next();
        if (*t == kTokOf) {
          Next();  // the entry's type name
          *t = Next();
        }
        return true;
      default:
        ErrorWord("Bad syntax", word_);
        return false;
    }
  }

  // label OBJECT-TYPE SYNTAX ... ACCESS ... STATUS ... ::= { parent n }
  bool ObjectType(const std::string& name) {
    if (Next() != kTokSyntax) {
      Error("Bad format for OBJECT TYPE");
      return false;
    }
    int type = 0;
    int t = 0;
    std::vector<EnumValue> enums;
    if (!Syntax(&type, &enums, &t)) return false;
    if (t != kTokAccess) {
      Error("Should be ACCESS");
      return false;
    }
    t = Next();
    if (t < kTokReadOnly || t > kTokNoAccess) {
      Error("Bad access type");
      return false;
    }
    if (Next() != kTokStatus) {
      Error("Should be STATUS");
      return false;
    }
    t = Next();
    if (t < kTokMandatory || t > kTokRecommended) {
      Error("Bad status");
      return false;
    }
    if (Next() != kTokEquals) {
      Error("Bad format");
      return false;
    }
    std::vector<Component> value;
    if (!OidValue(&value)) return false;
    if (value.size() < 2) {
      Error("No end to oid");
      return false;
    }
    const Component& last = value.back();
    if (last.subid == kNoSubid) Error("Warning: This entry is pretty silly");
    Add(name, value[value.size() - 2].label, last.subid, type, std::move(enums));
    return true;
  }

  // label ::= SEQUENCE { ... }: skipped. Anything else ends the file's
  // definitions (false), keeping those read so far.
  bool SkipTypeAssignment() {
    if (Next() != kTokSequence) {
      Error("Not a sequence");
      return false;
    }
    for (;;) {
      int t = Next();
      if (t == kTokEof) {
        Error("Premature end of file");
        return false;
      }
      if (Is(t, "}")) return true;
    }
  }

  MibTokenizer tokens_;
  std::vector<ParseNode>* out_;
  std::string word_;
};

}  // namespace

int MibKeyword(std::string_view word) {
  return Keywords().Lookup(word);
}

int MibTokenizer::Get() {
  if (pos_ >= text_.size()) return EOF;
  return static_cast<unsigned char>(text_[pos_++]);
}

int MibTokenizer::Next(std::string* word) {
  for (;;) {
    int ch = lookahead_;
    word->clear();
    while (IsSpace(ch)) {
      if (ch == '\n') ++line_;
      ch = Get();
    }
    if (ch == EOF) {
      lookahead_ = EOF;
      return kTokEof;
    }
    for (;;) {
      while (ch != EOF && !IsSpace(ch)) {
        word->push_back(static_cast<char>(ch));
        ch = Get();
      }
      if (!IsContinuation(*word)) break;
      // Join the next word, without the blanks between.
      while (IsSpace(ch)) {
        if (ch == '\n') ++line_;
        ch = Get();
      }
      if (ch == EOF) break;
    }
    // A word cut by the end of the file is still a word.
    lookahead_ = ch;
    int token = MibKeyword(*word);
    if (token != kTokLabel) return token;
    if (word->starts_with("--")) {
      while (ch != EOF && ch != '\n') ch = Get();
      lookahead_ = ch;
      continue;
    }
    return kTokLabel;
  }
}

bool ParseMib(std::string_view text, std::vector<ParseNode>* nodes) {
  nodes->clear();
  Parser parser(text, nodes);
  if (parser.Run()) return true;
  nodes->clear();
  return false;
}

}  // namespace qx::snmp
