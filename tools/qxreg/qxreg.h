// qxreg's shared pieces: key paths on the command line, messages and the walk
// over a key tree.
#ifndef QX_TOOLS_QXREG_QXREG_H
#define QX_TOOLS_QXREG_QXREG_H

#include <qxplatform/registry.h>

#include <functional>
#include <string>
#include <vector>

namespace qx::qxreg {

// A key named on the command line: "HKLM\Software\X", "HKEY_CURRENT_USER\...".
struct KeyPath {
  HKEY root = nullptr;
  std::string root_name;  // the long form, as shown
  std::string path;       // below the root, "" for the root itself
  std::string Full() const { return path.empty() ? root_name : root_name + "\\" + path; }
};

// Parses a key argument; false (with a message printed) when it names no
// offered root.
bool ParseKey(const std::string& arg, KeyPath* key);

// Prints "qxreg: ERROR: <what>" and the text of a Windows error number, with a
// hint at the store file when the store itself is damaged. Returns 1.
int Fail(const std::string& what, LSTATUS code, HKEY root = nullptr);
int Fail(const std::string& what);

// Asks a yes/no question on stdout and reads the answer from stdin.
bool Confirm(const std::string& question);

// One value with its raw data (string types as UTF-16LE bytes).
struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

// Reads the values (in order) and subkey names (in order) of an open key.
LSTATUS ReadValues(HKEY key, std::vector<Value>* out);
LSTATUS ReadSubkeys(HKEY key, std::vector<std::string>* out);

// Calls visit for key and, when recursive, every key below it (parents first),
// with its full path below the root and its open handle.
LSTATUS Walk(HKEY root, const std::string& path, bool recursive,
             const std::function<LSTATUS(const std::string& path, HKEY key)>& visit);

// The commands; each returns the exit status.
int Query(const std::vector<std::string>& args);

}  // namespace qx::qxreg

#endif
