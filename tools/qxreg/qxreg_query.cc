// qxreg query: shows keys and values.
#include <qxplatform/text.h>

#include <cstdio>

#include "qxreg.h"

namespace qx::qxreg {
namespace {

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN:
      return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK:
      return "REG_LINK";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case REG_QWORD:
      return "REG_QWORD";
    default:
      return nullptr;
  }
}

std::string Text(const std::string& data) {
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2)
    units += char16_t(uint8_t(data[i]) | (uint8_t(data[i + 1]) << 8));
  auto utf8 = platform::Utf16ToUtf8(units);
  return utf8 ? *utf8 : std::string("(not valid text)");
}

std::string Hex(const std::string& data) {
  std::string out;
  char buf[4];
  for (unsigned char c : data) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    out += buf;
  }
  return out;
}

// The data as the familiar tool shows it: strings up to their terminator,
// multi-strings joined by \0, numbers in hex, anything else as hex bytes.
std::string Show(const Value& v) {
  char buf[32];
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::string t = Text(v.data);
      return t.substr(0, t.find('\0'));
    }
    case REG_MULTI_SZ: {
      std::string t = Text(v.data), out;
      size_t start = 0;
      while (start < t.size() && t[start] != '\0') {
        size_t end = t.find('\0', start);
        if (end == std::string::npos) end = t.size();
        out += (out.empty() ? "" : "\\0") + t.substr(start, end - start);
        start = end + 1;
      }
      return out;
    }
    case REG_DWORD:
      if (v.data.size() != 4) break;
      std::snprintf(buf, sizeof buf, "0x%x",
                    unsigned(uint8_t(v.data[0]) | uint8_t(v.data[1]) << 8 |
                             uint8_t(v.data[2]) << 16 | uint32_t(uint8_t(v.data[3])) << 24));
      return buf;
    case REG_QWORD: {
      if (v.data.size() != 8) break;
      unsigned long long n = 0;
      for (int i = 7; i >= 0; --i) n = (n << 8) | uint8_t(v.data[size_t(i)]);
      std::snprintf(buf, sizeof buf, "0x%llx", n);
      return buf;
    }
  }
  return Hex(v.data);
}

void PrintValue(const Value& v) {
  const char* type = TypeName(v.type);
  char other[24];
  if (!type) {
    std::snprintf(other, sizeof other, "REG_0x%x", v.type);
    type = other;
  }
  std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(), type,
              Show(v).c_str());
}

}  // namespace

int Query(const std::vector<std::string>& args) {
  if (args.empty()) return Fail("query needs a key (qxreg query KEY [/v NAME | /ve] [/s])"), 2;
  KeyPath key;
  if (!ParseKey(args[0], &key)) return 2;
  bool recursive = false, one_value = false;
  std::string wanted;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string a = args[i];
    for (char& c : a) c = platform::AsciiLower(c);
    if (a == "/s" || a == "-s") {
      recursive = true;
    } else if ((a == "/v" || a == "-v") && i + 1 < args.size() && !one_value) {
      one_value = true;
      wanted = args[++i];
    } else if ((a == "/ve" || a == "-ve") && !one_value) {
      one_value = true;
      wanted.clear();
    } else {
      return Fail("query: unexpected argument \"" + args[i] + "\""), 2;
    }
  }

  int matches = 0;
  LSTATUS rc = Walk(key.root, key.path, recursive, [&](const std::string& path, HKEY k) -> LSTATUS {
    const std::string full = path.empty() ? key.root_name : key.root_name + "\\" + path;
    std::vector<Value> values;
    LSTATUS r = ReadValues(k, &values);
    if (r != ERROR_SUCCESS) return r;
    bool header = false;
    for (const auto& v : values) {
      if (one_value && !platform::EqualsNoCase<char>(v.name, wanted)) continue;
      if (!header) std::printf("\n%s\n", full.c_str());
      header = true;
      PrintValue(v);
      ++matches;
    }
    if (one_value) return ERROR_SUCCESS;
    if (!recursive) {
      std::vector<std::string> subkeys;
      if ((r = ReadSubkeys(k, &subkeys)) != ERROR_SUCCESS) return r;
      if (!header) std::printf("\n%s\n", full.c_str());
      if (!subkeys.empty()) std::printf("\n");
      for (const auto& s : subkeys) std::printf("%s\\%s\n", full.c_str(), s.c_str());
    } else if (!header) {
      std::printf("\n%s\n", full.c_str());
    }
    ++matches;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return Fail("cannot read " + key.Full(), rc, key.root);
  if (one_value && matches == 0)
    return Fail("the value \"" + (wanted.empty() ? std::string("(Default)") : wanted) +
                "\" does not exist under " + key.Full());
  if (recursive) std::printf("\nEnd of search: %d match(es) found.\n", matches);
  return 0;
}

}  // namespace qx::qxreg
