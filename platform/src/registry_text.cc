// The text export format of qxreg: writing it, and reading it back exactly.
//
//   QXREG1
//   [HKEY_LOCAL_MACHINE\Software\"odd \"name\""]
//   "Greeting"="hello"
//   @=expand:"%HOME%/bin"
//   "List"=multi:"a","b"
//   "Count"=dword:0000002a
//   "Big"=qword:0000000100000000
//   "Blob"=hex:00,ff
//   "Raw"=hex(7):61,00,00,00
//
// A key name is written bare when it holds only plain characters, else quoted.
// Quoted text escapes "\" "\"" and control characters (\n \r \t \xHH); other
// characters are UTF-8 as they are. String data is written as text only when
// that reads back to the very same bytes (UTF-16LE with one terminator, no NUL
// inside, well-formed); anything else is written as hex(type) bytes. So an
// import recreates every value byte for byte. docs/registry.md has the grammar.
#include <qxplatform/registry.h>
#include <qxplatform/text.h>

#include <cstdio>

#include "registry_names.h"

namespace qx::platform {
namespace {

constexpr std::string_view kHeader = "QXREG1";

bool PlainKeyChar(unsigned char c) {
  return c >= 0x20 && c != 0x7f && c != '\\' && c != '"' && c != ']';
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string KeyComponent(std::string_view name) {
  bool plain = !name.empty() && name.front() != ' ' && name.back() != ' ';
  for (unsigned char c : name) plain = plain && PlainKeyChar(c);
  return plain ? std::string(name) : Quote(name);
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ',';
    out += kDigits[uint8_t(bytes[i]) >> 4];
    out += kDigits[uint8_t(bytes[i]) & 15];
  }
  return out;
}

// The text of UTF-16LE string data when it is exactly text + one terminator.
bool CanonicalString(std::string_view data, std::string* text) {
  if (data.size() < 2 || data.size() % 2) return false;
  std::u16string units = reg::BytesToUtf16(data);
  if (units.back() != 0) return false;
  units.pop_back();
  if (units.find(u'\0') != std::u16string::npos) return false;
  auto utf8 = Utf16ToUtf8(units);
  if (!utf8) return false;
  *text = std::move(*utf8);
  return true;
}

std::string MultiData(const std::vector<std::string>& items, bool* ok) {
  std::u16string units;
  for (const auto& item : items) {
    auto wide = Utf8ToUtf16(item);
    if (!wide) {
      *ok = false;
      return "";
    }
    units += *wide;
    units += u'\0';
  }
  units += u'\0';
  *ok = true;
  return reg::Utf16ToBytes(units);
}

// The items of multi-string data when the data is exactly their canonical form.
bool CanonicalMulti(std::string_view data, std::vector<std::string>* items) {
  if (data.size() < 2 || data.size() % 2) return false;
  std::u16string units = reg::BytesToUtf16(data);
  size_t start = 0;
  while (start < units.size() && units[start] != 0) {
    size_t end = units.find(u'\0', start);
    if (end == std::u16string::npos) return false;
    auto utf8 = Utf16ToUtf8(units.substr(start, end - start));
    if (!utf8) return false;
    items->push_back(std::move(*utf8));
    start = end + 1;
  }
  bool ok = false;
  return MultiData(*items, &ok) == data && ok;
}

std::string FormatData(const RegistryValue& v) {
  std::string text;
  std::vector<std::string> items;
  char buf[40];
  switch (v.type) {
    case REG_SZ:
      if (CanonicalString(v.data, &text)) return Quote(text);
      break;
    case REG_EXPAND_SZ:
      if (CanonicalString(v.data, &text)) return "expand:" + Quote(text);
      break;
    case REG_MULTI_SZ:
      if (CanonicalMulti(v.data, &items)) {
        std::string out = "multi:";
        for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + Quote(items[i]);
        return out;
      }
      break;
    case REG_DWORD:
      if (v.data.size() == 4) {
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | uint8_t(v.data[size_t(i)]);
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        return buf;
      }
      break;
    case REG_QWORD:
      if (v.data.size() == 8) {
        uint64_t n = 0;
        for (int i = 7; i >= 0; --i) n = (n << 8) | uint8_t(v.data[size_t(i)]);
        std::snprintf(buf, sizeof buf, "qword:%016llx", static_cast<unsigned long long>(n));
        return buf;
      }
      break;
    case REG_BINARY:
      return "hex:" + Hex(v.data);
  }
  std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
  return buf + Hex(v.data);
}

// Reads the text format line by line; every fault names its line.
class Parser {
 public:
  Parser(std::string_view text, std::string* error) : text_(text), error_(error) {}

  bool Run(std::vector<RegistryTextKey>* out) {
    std::string_view line;
    if (!NextLine(&line) || line != kHeader) return Fail("the text does not begin with QXREG1");
    while (NextLine(&line)) {
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        RegistryTextKey key;
        if (!KeyLine(line, &key)) return false;
        out->push_back(std::move(key));
      } else {
        if (out->empty()) return Fail("a value comes before any [key] line");
        RegistryValue v;
        if (!ValueLine(line, &v)) return false;
        out->back().values.push_back(std::move(v));
      }
    }
    return true;
  }

 private:
  bool NextLine(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos_ = end + 1;
    ++line_no_;
    return true;
  }

  bool Fail(const std::string& what) {
    *error_ = "line " + std::to_string(line_no_) + ": " + what;
    return false;
  }

  // A quoted string at s[*i] (which is '"'); *i ends after the closing quote.
  bool Quoted(std::string_view s, size_t* i, std::string* out) {
    out->clear();
    for (size_t j = *i + 1; j < s.size(); ++j) {
      unsigned char c = s[j];
      if (c == '"') {
        *i = j + 1;
        return true;
      }
      if (c < 0x20 || c == 0x7f) return Fail("a control character inside quotes must be escaped");
      if (c != '\\') {
        *out += char(c);
        continue;
      }
      if (++j >= s.size()) break;
      switch (s[j]) {
        case '\\':
          *out += '\\';
          break;
        case '"':
          *out += '"';
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'x': {
          int hi, lo;
          if (j + 2 >= s.size() || (hi = HexDigit(s[j + 1])) < 0 || (lo = HexDigit(s[j + 2])) < 0)
            return Fail("\\x needs two hex digits");
          char b = char(hi * 16 + lo);
          if (b == 0) return Fail("\\x00 is not allowed in text");
          *out += b;
          j += 2;
          break;
        }
        default:
          return Fail(std::string("unknown escape \\") + s[j]);
      }
    }
    return Fail("a quoted string has no closing quote");
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool KeyLine(std::string_view line, RegistryTextKey* key) {
    size_t i = 1;
    std::vector<std::string> parts;
    for (;;) {
      std::string part;
      if (i < line.size() && line[i] == '"') {
        if (!Quoted(line, &i, &part)) return false;
      } else {
        size_t end = i;
        while (end < line.size() && PlainKeyChar(uint8_t(line[end]))) ++end;
        part = line.substr(i, end - i);
        i = end;
      }
      parts.push_back(std::move(part));
      if (i >= line.size()) return Fail("a [key] line has no closing ]");
      if (line[i] == ']') break;
      if (line[i] != '\\') return Fail("unexpected character in a key path");
      ++i;
    }
    if (i + 1 != line.size()) return Fail("text after the closing ]");
    std::string root = Fold(parts[0]);
    if (root == "HKEY_LOCAL_MACHINE" || root == "HKLM")
      key->root = "HKEY_LOCAL_MACHINE";
    else if (root == "HKEY_CURRENT_USER" || root == "HKCU")
      key->root = "HKEY_CURRENT_USER";
    else
      return Fail("unknown root key \"" + parts[0] +
                  "\" (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER)");
    for (size_t p = 1; p < parts.size(); ++p) {
      LSTATUS rc = reg::CheckKeyName(parts[p]);
      if (rc != ERROR_SUCCESS)
        return Fail("bad key name \"" + parts[p] + "\"" +
                    (rc == ERROR_INVALID_PARAMETER ? " (longer than 255 characters)" : ""));
      key->path.push_back(std::move(parts[p]));
    }
    return true;
  }

  static std::string Fold(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = AsciiUpper(c);
    return out;
  }

  bool HexBytes(std::string_view s, std::string* out) {
    out->clear();
    if (s.empty()) return true;
    size_t i = 0;
    for (;;) {
      int hi, lo;
      if (i + 2 > s.size() || (hi = HexDigit(s[i])) < 0 || (lo = HexDigit(s[i + 1])) < 0)
        return Fail("hex data must be pairs of hex digits separated by commas");
      *out += char(hi * 16 + lo);
      i += 2;
      if (i == s.size()) return true;
      if (s[i] != ',') return Fail("hex data must be pairs of hex digits separated by commas");
      ++i;
    }
  }

  bool Number(std::string_view s, size_t digits, uint64_t* out) {
    if (s.size() != digits) return Fail("expected " + std::to_string(digits) + " hex digits");
    *out = 0;
    for (char c : s) {
      int d = HexDigit(c);
      if (d < 0) return Fail("expected hex digits");
      *out = *out * 16 + uint64_t(d);
    }
    return true;
  }

  bool StringData(std::string_view s, DWORD type, RegistryValue* v) {
    size_t i = 0;
    std::string text;
    if (s.empty() || s[0] != '"' || !Quoted(s, &i, &text))
      return error_->empty() ? Fail("expected quoted text") : false;
    if (i != s.size()) return Fail("text after the closing quote");
    auto wide = Utf8ToUtf16(text);
    if (!wide) return Fail("the text is not valid UTF-8");
    v->type = type;
    v->data = reg::Utf16ToBytes(*wide) + std::string(2, '\0');
    return true;
  }

  bool ValueLine(std::string_view line, RegistryValue* v) {
    size_t i = 0;
    if (line[0] == '@') {
      i = 1;
    } else if (line[0] == '"') {
      if (!Quoted(line, &i, &v->name)) return false;
      if (v->name.empty()) return Fail("the default value is written @, not \"\"");
      LSTATUS rc = reg::CheckValueName(v->name);
      if (rc != ERROR_SUCCESS)
        return Fail(rc == ERROR_INVALID_PARAMETER ? "a value name longer than 16383 characters"
                                                  : "a value name that is not valid UTF-8");
    } else {
      return Fail("a line must be a [key], a \"name\"=data or @=data");
    }
    if (i >= line.size() || line[i] != '=') return Fail("expected = after the value name");
    std::string_view data = line.substr(i + 1);
    auto starts = [&](std::string_view p) {
      if (data.substr(0, p.size()) != p) return false;
      data.remove_prefix(p.size());
      return true;
    };
    uint64_t n = 0;
    if (!data.empty() && data[0] == '"') return StringData(data, REG_SZ, v);
    if (starts("expand:")) return StringData(data, REG_EXPAND_SZ, v);
    if (starts("multi:")) return MultiLine(data, v);
    if (starts("dword:")) {
      if (!Number(data, 8, &n)) return false;
      v->type = REG_DWORD;
      for (int b = 0; b < 4; ++b) v->data += char((n >> (8 * b)) & 0xff);
      return true;
    }
    if (starts("qword:")) {
      if (!Number(data, 16, &n)) return false;
      v->type = REG_QWORD;
      for (int b = 0; b < 8; ++b) v->data += char((n >> (8 * b)) & 0xff);
      return true;
    }
    if (starts("hex:")) {
      v->type = REG_BINARY;
      return HexBytes(data, &v->data);
    }
    if (starts("hex(")) {
      size_t close = data.find("):");
      if (close == std::string_view::npos || close == 0 || close > 8)
        return Fail("hex(type): needs a type of 1 to 8 hex digits");
      if (!Number(data.substr(0, close), close, &n)) return false;
      v->type = DWORD(n);
      return HexBytes(data.substr(close + 2), &v->data);
    }
    return Fail("unknown data form (\"text\", expand:, multi:, dword:, qword:, hex:, hex(N):)");
  }

  bool MultiLine(std::string_view s, RegistryValue* v) {
    std::vector<std::string> items;
    size_t i = 0;
    while (i < s.size()) {
      std::string item;
      if (s[i] != '"' || !Quoted(s, &i, &item))
        return error_->empty() ? Fail("expected quoted text") : false;
      if (item.empty()) return Fail("a multi-string item cannot be empty");
      items.push_back(std::move(item));
      if (i == s.size()) break;
      if (s[i] != ',') return Fail("multi-string items are separated by commas");
      if (++i == s.size()) return Fail("a comma ends the multi-string list");
    }
    bool ok = false;
    v->type = REG_MULTI_SZ;
    v->data = MultiData(items, &ok);
    return ok ? true : Fail("the text is not valid UTF-8");
  }

  std::string_view text_;
  std::string* error_;
  size_t pos_ = 0;
  int line_no_ = 0;
};

}  // namespace

std::string FormatRegistryText(const std::vector<RegistryTextKey>& keys) {
  std::string out = std::string(kHeader) + "\n";
  for (const auto& key : keys) {
    out += "\n[" + key.root;
    for (const auto& part : key.path) out += "\\" + KeyComponent(part);
    out += "]\n";
    for (const auto& v : key.values)
      out += (v.name.empty() ? std::string("@") : Quote(v.name)) + "=" + FormatData(v) + "\n";
  }
  return out;
}

bool ParseRegistryText(std::string_view text, std::vector<RegistryTextKey>* out,
                       std::string* error) {
  error->clear();
  std::vector<RegistryTextKey> keys;
  if (!Parser(text, error).Run(&keys)) return false;
  *out = std::move(keys);
  return true;
}

}  // namespace qx::platform
