// qxreg: the registry store's console tool, in the spirit of the familiar one.
//
//   qxreg query   KEY [/v NAME | /ve] [/s]
//   qxreg add     KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]
//   qxreg delete  KEY [/v NAME | /ve | /va] [/f]
//   qxreg export  KEY FILE [/y]
//   qxreg import  FILE
//   qxreg save    KEY FILE [/y]
//   qxreg restore KEY FILE
//   qxreg check   [KEY...]
//
// Exit status: 0 done, 1 failed or cancelled, 2 wrong command line. Every
// failure prints "qxreg: ERROR: ..." on standard error.
#include "qxreg.h"

#include <qxplatform/errors.h>
#include <qxplatform/text.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qx::qxreg {
namespace {

constexpr const char* kUsage =
    "usage: qxreg query   KEY [/v NAME | /ve] [/s]\n"
    "       qxreg add     KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n"
    "       qxreg delete  KEY [/v NAME | /ve | /va] [/f]\n"
    "       qxreg export  KEY FILE [/y]\n"
    "       qxreg import  FILE\n"
    "       qxreg save    KEY FILE [/y]\n"
    "       qxreg restore KEY FILE\n"
    "       qxreg check   [KEY...]\n"
    "KEY is HKLM\\path or HKCU\\path (also HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER).\n"
    "TYPE is REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "REG_BINARY or REG_NONE. REG_MULTI_SZ items are separated by \\0 (or /s SEP);\n"
    "REG_DWORD and REG_QWORD take decimal or 0x hex; REG_BINARY takes hex digits.\n";

// Largest text file import reads.
constexpr std::streamsize kMaxImport = std::streamsize(256) << 20;

int Usage(const std::string& what) {
  Fail(what);
  std::fputs(kUsage, stderr);
  return 2;
}

std::string Lower(std::string s) {
  for (char& c : s) c = platform::AsciiLower(c);
  return s;
}

// Switches shared by the commands. Each takes the flags it understands.
struct Switches {
  bool has_value = false;  // /v or /ve
  std::string value;
  bool all_values = false;  // /va
  bool force = false;       // /f or /y
  std::string type = "REG_SZ";
  bool has_data = false;
  std::string data;
  std::string separator = "\\0";
  std::vector<std::string> positional;
};

bool ParseSwitches(const std::vector<std::string>& args, const std::string& allowed, Switches* s,
                   std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    // A switch is "/" or "-" and one of the known names; anything else (such as
    // the absolute path of a file) is an argument.
    static const std::string kKnown = " v ve va f y t d s ";
    std::string a = Lower(args[i]);
    std::string name = a.size() >= 2 ? a.substr(1) : "";
    if ((a[0] != '/' && a[0] != '-') || name.empty() ||
        kKnown.find(" " + name + " ") == std::string::npos) {
      s->positional.push_back(args[i]);
      continue;
    }
    auto needs = [&](const char* what) {
      if (i + 1 >= args.size()) {
        *error = "/" + name + " needs " + what;
        return false;
      }
      return true;
    };
    if (allowed.find(" " + name + " ") == std::string::npos) {
      *error = "unexpected switch \"" + args[i] + "\"";
      return false;
    }
    if (name == "v" || name == "ve") {
      if (s->has_value) {
        *error = "give /v or /ve once";
        return false;
      }
      s->has_value = true;
      if (name == "v") {
        if (!needs("a value name")) return false;
        s->value = args[++i];
      }
    } else if (name == "va") {
      s->all_values = true;
    } else if (name == "f" || name == "y") {
      s->force = true;
    } else if (name == "t") {
      if (!needs("a type")) return false;
      s->type = args[++i];
    } else if (name == "d") {
      if (!needs("data")) return false;
      s->has_data = true;
      s->data = args[++i];
    } else if (name == "s") {
      if (!needs("a separator")) return false;
      s->separator = args[++i];
    }
  }
  if (s->has_value && s->all_values) {
    *error = "give /v, /ve or /va, not several";
    return false;
  }
  return true;
}

std::string Wide(std::string_view utf8, bool* ok) {
  auto w = platform::Utf8ToUtf16(utf8);
  *ok = w.has_value();
  std::string out;
  if (w)
    for (char16_t c : *w) {
      out += char(c & 0xff);
      out += char(c >> 8);
    }
  return out;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (!std::isdigit(static_cast<unsigned char>(text[hex ? 2 : 0]))) {
    if (!hex || !std::isxdigit(static_cast<unsigned char>(text[2]))) return false;
  }
  unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != 0 || v > max) return false;
  *out = v;
  return true;
}

// Builds the raw data for qxreg add; false with *error on bad data.
bool MakeData(const Switches& s, DWORD* type, std::string* data, std::string* error) {
  const std::string t = Lower(s.type);
  bool ok = true;
  if (t == "reg_sz" || t == "reg_expand_sz") {
    *type = t == "reg_sz" ? REG_SZ : REG_EXPAND_SZ;
    *data = Wide(s.data, &ok) + std::string(2, '\0');
  } else if (t == "reg_multi_sz") {
    *type = REG_MULTI_SZ;
    if (s.separator.empty()) {
      *error = "/s needs a separator";
      return false;
    }
    std::string items = s.data;
    data->clear();
    size_t start = 0;
    while (ok && start < items.size()) {
      size_t end = items.find(s.separator, start);
      if (end == std::string::npos) end = items.size();
      if (end == start) {
        *error = "a REG_MULTI_SZ item cannot be empty";
        return false;
      }
      *data += Wide(items.substr(start, end - start), &ok) + std::string(2, '\0');
      start = end + s.separator.size();
    }
    *data += std::string(2, '\0');
  } else if (t == "reg_dword" || t == "reg_qword") {
    const bool dword = t == "reg_dword";
    uint64_t v = 0;
    if (!ParseNumber(s.data, dword ? 0xffffffffull : ~0ull, &v)) {
      *error = "\"" + s.data + "\" is not a " + (dword ? "32" : "64") +
               "-bit number (decimal or 0x hex)";
      return false;
    }
    *type = dword ? REG_DWORD : REG_QWORD;
    data->clear();
    for (int i = 0; i < (dword ? 4 : 8); ++i) *data += char((v >> (8 * i)) & 0xff);
  } else if (t == "reg_binary" || t == "reg_none") {
    *type = t == "reg_binary" ? REG_BINARY : REG_NONE;
    std::string digits;
    for (char c : s.data)
      if (c != ',' && c != ' ') digits += c;
    if (digits.size() % 2 != 0 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      *error = "\"" + s.data + "\" is not hex bytes (pairs of hex digits)";
      return false;
    }
    data->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
      *data += char(std::stoi(digits.substr(i, 2), nullptr, 16));
  } else {
    *error = "unknown type \"" + s.type + "\"";
    return false;
  }
  if (!ok) *error = "the data is not valid UTF-8";
  return ok;
}

int Add(const std::vector<std::string>& args) {
  Switches s;
  std::string error;
  if (!ParseSwitches(args, " v ve t d s f ", &s, &error)) return Usage("add: " + error);
  if (s.positional.size() != 1) return Usage("add needs exactly one key");
  KeyPath key;
  if (!ParseKey(s.positional[0], &key)) return 2;
  DWORD type = REG_SZ;
  std::string data;
  if (s.has_value) {
    const std::string t = Lower(s.type);
    if ((t == "reg_dword" || t == "reg_qword") && !s.has_data)
      return Usage("add: " + s.type + " needs /d");
    if (!MakeData(s, &type, &data, &error)) return Usage("add: " + error);
  } else if (s.has_data || Lower(s.type) != "reg_sz") {
    return Usage("add: /t and /d need /v or /ve");
  }
  HKEY k = nullptr;
  LSTATUS rc = RegCreateKeyExA(key.root, key.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               &k, nullptr);
  if (rc != ERROR_SUCCESS) return Fail("cannot create " + key.Full(), rc, key.root);
  if (s.has_value) {
    bool ok = true;
    std::string wname = Wide(s.value, &ok) + std::string(2, '\0');
    const auto* name = reinterpret_cast<const char16_t*>(wname.data());
    if (!ok) {
      RegCloseKey(k);
      return Usage("add: the value name is not valid UTF-8");
    }
    DWORD size = 0;
    if (!s.force && RegQueryValueExW(k, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        !Confirm("Value " + (s.value.empty() ? std::string("(Default)") : s.value) +
                 " exists, overwrite")) {
      RegCloseKey(k);
      return Fail("the operation was cancelled");
    }
    rc = RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                        DWORD(data.size()));
  }
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS) return Fail("cannot set the value under " + key.Full(), rc, key.root);
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Delete(const std::vector<std::string>& args) {
  Switches s;
  std::string error;
  if (!ParseSwitches(args, " v ve va f ", &s, &error)) return Usage("delete: " + error);
  if (s.positional.size() != 1) return Usage("delete needs exactly one key");
  KeyPath key;
  if (!ParseKey(s.positional[0], &key)) return 2;
  if (!s.has_value && !s.all_values && key.path.empty())
    return Fail("a whole root key cannot be deleted");
  HKEY k = nullptr;
  LSTATUS rc = RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_ALL_ACCESS, &k);
  if (rc != ERROR_SUCCESS) return Fail("cannot open " + key.Full(), rc, key.root);
  const std::string shown = s.value.empty() ? std::string("(Default)") : s.value;
  std::string question = s.has_value    ? "Delete the registry value " + shown + " of " + key.Full()
                         : s.all_values ? "Delete all values of " + key.Full()
                                        : "Permanently delete the registry key " + key.Full();
  if (!s.force && !Confirm(question)) {
    RegCloseKey(k);
    return Fail("the operation was cancelled");
  }
  if (s.has_value) {
    bool ok = true;
    std::string wname = Wide(s.value, &ok) + std::string(2, '\0');
    rc = ok ? RegDeleteValueW(k, reinterpret_cast<const char16_t*>(wname.data()))
            : ERROR_NO_UNICODE_TRANSLATION;
  } else if (s.all_values) {
    std::vector<Value> values;
    rc = ReadValues(k, &values);
    for (const auto& v : values) {
      if (rc != ERROR_SUCCESS) break;
      rc = RegDeleteValueA(k, v.name.c_str());
    }
  } else {
    rc = RegDeleteTreeA(key.root, key.path.c_str());
  }
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS)
    return Fail(s.has_value ? "cannot delete the value " + shown + " of " + key.Full()
                            : "cannot delete " + key.Full(),
                rc, key.root);
  std::printf("The operation completed successfully.\n");
  return 0;
}

// Writes a file whole: a temporary file beside it, renamed over it.
int WriteFileAtomically(const std::string& path, const std::string& bytes) {
  std::string tmp = path + ".qxreg-tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return Fail("cannot write " + tmp + ": " + std::strerror(errno));
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fflush(f) == 0 && ok;
  ok = ::fsync(::fileno(f)) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    std::remove(tmp.c_str());
    return Fail("cannot write " + path + ": " + std::strerror(e));
  }
  return 0;
}

int Export(const std::vector<std::string>& args) {
  Switches s;
  std::string error;
  if (!ParseSwitches(args, " y f ", &s, &error)) return Usage("export: " + error);
  if (s.positional.size() != 2) return Usage("export needs a key and a file");
  KeyPath key;
  if (!ParseKey(s.positional[0], &key)) return 2;
  const std::string& file = s.positional[1];
  if (!s.force && ::access(file.c_str(), F_OK) == 0 &&
      !Confirm("File " + file + " already exists. Overwrite the file"))
    return Fail("the operation was cancelled");
  std::vector<platform::RegistryTextKey> keys;
  LSTATUS rc = Walk(key.root, key.path, true, [&](const std::string& path, HKEY k) -> LSTATUS {
    platform::RegistryTextKey tk;
    tk.root = key.root_name;
    size_t start = 0;
    while (start < path.size()) {
      size_t end = path.find('\\', start);
      if (end == std::string::npos) end = path.size();
      tk.path.push_back(path.substr(start, end - start));
      start = end + 1;
    }
    std::vector<Value> values;
    LSTATUS r = ReadValues(k, &values);
    for (auto& v : values) tk.values.push_back({v.name, v.type, v.data});
    keys.push_back(std::move(tk));
    return r;
  });
  if (rc != ERROR_SUCCESS) return Fail("cannot read " + key.Full(), rc, key.root);
  if (int status = WriteFileAtomically(file, platform::FormatRegistryText(keys))) return status;
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Import(const std::vector<std::string>& args) {
  Switches s;
  std::string error;
  if (!ParseSwitches(args, " ", &s, &error)) return Usage("import: " + error);
  if (s.positional.size() != 1) return Usage("import needs exactly one file");
  const std::string& file = s.positional[0];
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail("cannot read " + file + ": " + std::strerror(errno));
  std::string text(size_t(kMaxImport) + 1, '\0');
  in.read(text.data(), kMaxImport + 1);
  if (in.bad()) return Fail("cannot read " + file);
  text.resize(size_t(in.gcount()));
  if (text.size() > size_t(kMaxImport)) return Fail(file + " is too large to import");
  std::vector<platform::RegistryTextKey> keys;
  // The whole file is checked before anything is written.
  if (!platform::ParseRegistryText(text, &keys, &error)) return Fail(file + ": " + error);
  for (const auto& tk : keys) {
    HKEY root = tk.root == "HKEY_CURRENT_USER" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    std::string path;
    for (const auto& part : tk.path) path += (path.empty() ? "" : "\\") + part;
    const std::string full = path.empty() ? tk.root : tk.root + "\\" + path;
    HKEY k = nullptr;
    LSTATUS rc =
        RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    if (rc != ERROR_SUCCESS) return Fail("cannot create " + full, rc, root);
    for (const auto& v : tk.values) {
      bool ok = true;
      std::string wname = Wide(v.name, &ok) + std::string(2, '\0');
      rc = RegSetValueExW(k, reinterpret_cast<const char16_t*>(wname.data()), 0, v.type,
                          reinterpret_cast<const BYTE*>(v.data.data()), DWORD(v.data.size()));
      if (rc != ERROR_SUCCESS) {
        RegCloseKey(k);
        return Fail("cannot set the value \"" + v.name + "\" under " + full, rc, root);
      }
    }
    RegCloseKey(k);
  }
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Save(const std::vector<std::string>& args) {
  Switches s;
  std::string error;
  if (!ParseSwitches(args, " y f ", &s, &error)) return Usage("save: " + error);
  if (s.positional.size() != 2) return Usage("save needs a key and a file");
  KeyPath key;
  if (!ParseKey(s.positional[0], &key)) return 2;
  const std::string& file = s.positional[1];
  if (::access(file.c_str(), F_OK) == 0) {
    if (!s.force && !Confirm("File " + file + " already exists. Overwrite the file"))
      return Fail("the operation was cancelled");
    if (std::remove(file.c_str()) != 0)
      return Fail("cannot replace " + file + ": " + std::strerror(errno));
  }
  HKEY k = nullptr;
  LSTATUS rc = RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_READ, &k);
  if (rc == ERROR_SUCCESS) {
    rc = RegSaveKeyA(k, file.c_str(), nullptr);
    RegCloseKey(k);
  }
  if (rc != ERROR_SUCCESS) return Fail("cannot save " + key.Full() + " to " + file, rc, key.root);
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Restore(const std::vector<std::string>& args) {
  Switches s;
  std::string error;
  if (!ParseSwitches(args, " ", &s, &error)) return Usage("restore: " + error);
  if (s.positional.size() != 2) return Usage("restore needs a key and a file");
  KeyPath key;
  if (!ParseKey(s.positional[0], &key)) return 2;
  const std::string& file = s.positional[1];
  HKEY k = nullptr;
  LSTATUS rc = RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_ALL_ACCESS, &k);
  if (rc == ERROR_SUCCESS) {
    rc = RegRestoreKeyA(k, file.c_str(), 0);
    RegCloseKey(k);
  }
  if (rc == ERROR_NOT_REGISTRY_FILE)
    return Fail(file + " is not a valid hive file; " + key.Full() + " is unchanged", rc);
  if (rc != ERROR_SUCCESS)
    return Fail("cannot restore " + key.Full() + " from " + file, rc, key.root);
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Check(const std::vector<std::string>& args) {
  std::vector<KeyPath> roots;
  for (const auto& a : args) {
    KeyPath key;
    if (!ParseKey(a, &key)) return 2;
    roots.push_back(key);
  }
  if (roots.empty()) {
    roots.resize(2);
    ParseKey("HKLM", &roots[0]);
    ParseKey("HKCU", &roots[1]);
  }
  int status = 0;
  for (const auto& r : roots) {
    std::string problems;
    LSTATUS rc = platform::CheckRegistryStore(r.root, &problems);
    const std::string file = platform::RegistryStorePath(r.root);
    if (rc != ERROR_SUCCESS) {
      status = Fail("cannot check " + r.root_name, rc, r.root);
    } else if (!problems.empty()) {
      status = Fail(r.root_name + " (" + file + ") is damaged:\n" + problems);
    } else {
      std::printf("%s (%s): ok\n", r.root_name.c_str(), file.c_str());
    }
  }
  return status;
}

}  // namespace
}  // namespace qx::qxreg

int main(int argc, char** argv) {
  using namespace qx::qxreg;
  if (argc < 2) return Usage("no command given");
  std::string command = Lower(argv[1]);
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "/?" || command == "-?" || command == "help" || command == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "query") return Query(args);
  if (command == "add") return Add(args);
  if (command == "delete") return Delete(args);
  if (command == "export") return Export(args);
  if (command == "import") return Import(args);
  if (command == "save") return Save(args);
  if (command == "restore") return Restore(args);
  if (command == "check") return Check(args);
  return Usage("unknown command \"" + std::string(argv[1]) + "\"");
}
