// Parser of message source files.
#include "msg_source.h"

#include <charconv>
#include <set>

namespace qx::msgc {
namespace {

// Message-tool error indexes (QX_msg_error).
enum ToolError {
  kOutOfSequence = 0,
  kNoEnd = 3,
  kNoSeverity = 4,
  kNoFacility = 8,
  kSeverityMissing = 9,
  kBaseMissing = 10,
};

struct Severity {
  std::string_view name;
  char letter;
};
constexpr Severity kSeverities[] = {
    {"WARNING", 'W'}, {"SUCCESS", 'S'}, {"ERROR", 'E'}, {"INFORMATIONAL", 'I'}, {"FATAL", 'F'}};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Splits off the first blank-separated word.
std::string_view NextWord(std::string_view* s) {
  *s = Trim(*s);
  size_t end = 0;
  while (end < s->size() && !IsBlank((*s)[end])) ++end;
  std::string_view word = s->substr(0, end);
  s->remove_prefix(end);
  *s = Trim(*s);
  return word;
}

bool ParseNumber(std::string_view s, uint32_t* out) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size();
}

bool IsSymbol(std::string_view s) {
  if (s.empty() || s.size() > 64) return false;
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!alpha(s[0])) return false;
  for (char c : s)
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '$') return false;
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

class Parser {
 public:
  Parser(const std::string& file, std::vector<SourceFacility>* out, std::vector<Diagnostic>* diags)
      : file_(file), out_(out), diags_(diags) {}

  bool Run(std::string_view text) {
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      ++line_;
      Line(text.substr(start, end - start));
      start = end + 1;
    }
    if (open_) Report(kNoEnd, facility_.name);
    return ok_;
  }

 private:
  void Report(int index, std::string value, bool fatal = true) {
    diags_->push_back({index, std::move(value), {}, file_, line_, fatal});
    if (fatal) ok_ = false;
  }
  void ReportText(std::string text) {
    diags_->push_back({-1, {}, std::move(text), file_, line_, true});
    ok_ = false;
  }
  std::string Where() const { return file_ + ":" + std::to_string(line_); }

  void Line(std::string_view raw) {
    std::string_view s = Trim(raw);
    if (s.empty() || s[0] == '#') return;
    if (s[0] == '.') {
      Directive(s);
      return;
    }
    Entry(s);
  }

  void Directive(std::string_view s) {
    std::string_view word = NextWord(&s);
    if (EqualsNoCase(word, ".FACILITY")) {
      if (open_) {
        Report(kNoEnd, facility_.name);
        Close();
      }
      std::string_view name = NextWord(&s);
      std::string_view number = NextWord(&s);
      uint32_t n = 0;
      if (name.empty() || name.size() > kMaxFacilityName || !ParseNumber(number, &n) || n == 0 ||
          n == 0xFFFFFFFFu || !s.empty()) {
        Report(kNoFacility, Where());
        return;
      }
      facility_ = SourceFacility{std::string(name), n, {}};
      open_ = true;
      numbers_.clear();
    } else if (EqualsNoCase(word, ".SEVERITY")) {
      std::string_view name = NextWord(&s);
      if (name.empty()) {
        Report(kSeverityMissing, "");
        return;
      }
      for (const Severity& sev : kSeverities) {
        if (EqualsNoCase(name, sev.name)) {
          letter_ = sev.letter;
          have_severity_ = true;
          return;
        }
      }
      ReportText("Unknown severity '" + std::string(name) + "'");
    } else if (EqualsNoCase(word, ".BASE")) {
      std::string_view number = NextWord(&s);
      uint32_t n = 0;
      if (number.empty()) {
        Report(kBaseMissing, "");
      } else if (!ParseNumber(number, &n) || n > kMaxMessageNumber) {
        ReportText("Base out of range '" + std::string(number) + "'");
      } else {
        next_number_ = n;
      }
    } else if (EqualsNoCase(word, ".END")) {
      if (!open_) {
        Report(kOutOfSequence, ".END");
        return;
      }
      Close();
    } else {
      Report(kOutOfSequence, std::string(word));
    }
  }

  void Close() {
    if (facility_.messages.empty())
      ReportText("No messages for this facility '" + facility_.name + "'");
    else
      out_->push_back(std::move(facility_));
    facility_ = {};
    open_ = false;
    next_number_ = 1;
  }

  bool ParseOrder(std::string_view order_text, std::vector<uint8_t>* order) {
    // order_text: "b1,b2,..."
    while (!order_text.empty()) {
      size_t comma = order_text.find(',');
      std::string_view item = order_text.substr(0, comma);
      uint32_t b = 0;
      if (!ParseNumber(item, &b) || b < 1 || b > kMaxOrder || order->size() == kMaxOrder)
        return false;
      order->push_back(uint8_t(b));
      if (comma == std::string_view::npos) break;
      order_text.remove_prefix(comma + 1);
      if (order_text.empty()) return false;
    }
    return !order->empty();
  }

  void Entry(std::string_view s) {
    std::string_view symbol = NextWord(&s);
    if (!open_) {
      Report(kOutOfSequence, std::string(symbol));
      return;
    }
    if (!have_severity_) {
      Report(kNoSeverity, facility_.name);
      return;
    }
    if (!IsSymbol(symbol)) {
      Report(kOutOfSequence, std::string(symbol));
      return;
    }
    SourceMessage msg;
    msg.symbol = std::string(symbol);
    if (s.size() >= 7 && EqualsNoCase(s.substr(0, 7), "/ORDER=")) {
      std::string_view order_text = NextWord(&s).substr(7);
      if (!ParseOrder(order_text, &msg.order)) {
        ReportText("Bad argument order '" + std::string(order_text) + "' for " + msg.symbol);
        return;
      }
    }
    if (next_number_ > kMaxMessageNumber) {
      Report(kOutOfSequence, msg.symbol);
      return;
    }
    msg.number = next_number_++;
    if (!numbers_.insert(msg.number).second) {
      // The first entry with a number wins at lookup; a second one is dead.
      Report(kOutOfSequence, msg.symbol, false);
    }
    msg.text = std::string("-") + letter_ + "-" + msg.symbol + ", " + std::string(s);
    facility_.messages.push_back(std::move(msg));
  }

  std::string file_;
  std::vector<SourceFacility>* out_;
  std::vector<Diagnostic>* diags_;
  int line_ = 0;
  bool ok_ = true;
  bool open_ = false;
  bool have_severity_ = false;
  char letter_ = 'I';
  uint32_t next_number_ = 1;
  std::set<uint32_t> numbers_;
  SourceFacility facility_;
};

}  // namespace

bool ParseSource(std::string_view text, const std::string& file_name,
                 std::vector<SourceFacility>* out, std::vector<Diagnostic>* diags) {
  return Parser(file_name, out, diags).Run(text);
}

}  // namespace qx::msgc
