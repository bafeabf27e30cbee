// qxreg: key paths, messages, prompts and the walk over a key tree.
#include <qxplatform/errors.h>
#include <qxplatform/text.h>

#include <cstdio>
#include <iostream>

#include "qxreg.h"

namespace qx::qxreg {

bool ParseKey(const std::string& arg, KeyPath* key) {
  std::string root = arg.substr(0, arg.find('\\'));
  std::string upper;
  for (char c : root) upper += platform::AsciiUpper(c);
  if (upper == "HKLM" || upper == "HKEY_LOCAL_MACHINE") {
    key->root = HKEY_LOCAL_MACHINE;
    key->root_name = "HKEY_LOCAL_MACHINE";
  } else if (upper == "HKCU" || upper == "HKEY_CURRENT_USER") {
    key->root = HKEY_CURRENT_USER;
    key->root_name = "HKEY_CURRENT_USER";
  } else {
    Fail("\"" + root + "\" is not a root key this store offers (HKLM or HKCU)");
    return false;
  }
  key->path = root.size() < arg.size() ? arg.substr(root.size() + 1) : "";
  while (!key->path.empty() && key->path.back() == '\\') key->path.pop_back();
  return true;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "qxreg: ERROR: %s\n", what.c_str());
  return 1;
}

int Fail(const std::string& what, LSTATUS code, HKEY root) {
  const char* text = code == ERROR_FILE_NOT_FOUND
                         ? "The system was unable to find the specified registry key or value."
                         : platform::ErrorText(DWORD(code));
  std::string msg =
      what + ": " + (text ? text : "unknown error") + " (error " + std::to_string(code) + ")";
  if (code == ERROR_BADDB || code == ERROR_REGISTRY_CORRUPT || code == ERROR_CANTOPEN ||
      code == ERROR_REGISTRY_IO_FAILED) {
    std::string file = root ? platform::RegistryStorePath(root) : "";
    msg += "\n  the registry store file" + (file.empty() ? "" : " " + file) +
           " is damaged or cannot be opened";
  }
  return Fail(msg);
}

bool Confirm(const std::string& question) {
  std::printf("%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) answer.clear();
  std::string lower;
  for (char c : answer)
    if (c != ' ' && c != '\r') lower += platform::AsciiLower(c);
  return lower == "y" || lower == "yes";
}

LSTATUS ReadValues(HKEY key, std::vector<Value>* out) {
  for (DWORD i = 0;; ++i) {
    char16_t name[QX_REG_MAX_VALUE_NAME + 1];
    DWORD n = QX_REG_MAX_VALUE_NAME + 1, type = 0, size = 0;
    LSTATUS rc = RegEnumValueW(key, i, name, &n, nullptr, &type, nullptr, &size);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    Value v;
    auto utf8 = platform::Utf16ToUtf8(std::u16string_view(name, n));
    if (!utf8) return ERROR_NO_UNICODE_TRANSLATION;
    v.name = *utf8;
    // The value may change between the two calls; ask again until it fits.
    for (;;) {
      v.data.resize(size);
      rc = RegQueryValueExW(key, name, nullptr, &v.type, reinterpret_cast<BYTE*>(v.data.data()),
                            &size);
      if (rc != ERROR_MORE_DATA) break;
    }
    if (rc != ERROR_SUCCESS) return rc;
    v.data.resize(size);
    out->push_back(std::move(v));
  }
}

LSTATUS ReadSubkeys(HKEY key, std::vector<std::string>* out) {
  for (DWORD i = 0;; ++i) {
    char name[4 * QX_REG_MAX_KEY_NAME + 1];
    DWORD n = sizeof name;
    LSTATUS rc = RegEnumKeyExA(key, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    out->emplace_back(name, n);
  }
}

LSTATUS Walk(HKEY root, const std::string& path, bool recursive,
             const std::function<LSTATUS(const std::string& path, HKEY key)>& visit) {
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return rc;
  rc = visit(path, key);
  std::vector<std::string> subkeys;
  if (rc == ERROR_SUCCESS && recursive) rc = ReadSubkeys(key, &subkeys);
  RegCloseKey(key);
  for (const auto& sub : subkeys) {
    if (rc != ERROR_SUCCESS) break;
    rc = Walk(root, path.empty() ? sub : path + "\\" + sub, true, visit);
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;  // deleted meanwhile
  }
  return rc;
}

}  // namespace qx::qxreg
