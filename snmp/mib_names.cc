// Object identifiers between names and numbers, on the MIB tree.
#include <qxsnmp/mib.h>
#include <qxsnmp/print.h>
#include <qxsnmp/report.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qx::snmp {
namespace {

// Names that do not start with "." are relative to mib-2, 1.3.6.1.2.1.
const oid kDefaultPrefix[] = {1, 3, 6, 1, 2, 1};
constexpr int32_t kDefaultPrefixLength = static_cast<int32_t>(std::size(kDefaultPrefix));

bool SameLabel(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A decimal sub-identifier; false when text is not all digits or is above 32 bits.
bool Number(std::string_view text, oid* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *value = static_cast<oid>(v);
  return true;
}

const MibNode* ChildWithSubid(const std::vector<MibNode*>* level, oid subid) {
  if (level == nullptr) return nullptr;
  for (const MibNode* n : *level)
    if (n->subid == subid) return n;
  return nullptr;
}

[[noreturn]] void MibNotLoaded() {
  QX_SNMP_TRACE("read_objid, Mib not initialized.  Exiting.\n");
  Report(kMsgMibNotLoaded, kFlagLocal | kFlagEvent);
  std::exit(1);
}

const MibNode* Symbol(const oid* objid, size_t count, const std::vector<MibNode*>* level,
                      std::string* out) {
  const MibNode* deepest = nullptr;
  size_t i = 0;
  for (; i < count; ++i) {
    const MibNode* n = ChildWithSubid(level, objid[i]);
    if (n == nullptr) break;
    if (i > 0) out->push_back('.');
    *out += n->label;
    deepest = n;
    level = &n->children;
  }
  for (; i < count; ++i) {
    if (i > 0) out->push_back('.');
    *out += std::to_string(objid[i]);
  }
  return deepest;
}

}  // namespace

int parse_subtree(const std::vector<MibNode*>* level, const char* text, oid* objid,
                  int32_t* count) {
  const int32_t capacity = *count;
  int32_t stored = 0;
  std::string_view rest(text != nullptr ? text : "");
  for (;;) {
    size_t dot = rest.find('.');
    std::string_view component = rest.substr(0, dot);
    if (component.empty()) return 0;
    if (stored >= capacity) {
      QX_SNMP_TRACE("parse_subtree, object identifier too long\n");
      return kNameTooLong;
    }
    oid value = 0;
    if (Number(component, &value)) {
      const MibNode* n = ChildWithSubid(level, value);
      level = n != nullptr ? &n->children : nullptr;
    } else {
      const MibNode* found = nullptr;
      if (level != nullptr) {
        for (const MibNode* n : *level) {
          if (SameLabel(n->label, component)) {
            found = n;
            break;
          }
        }
      }
      if (found == nullptr) {
        std::string name(component);
        QX_SNMP_TRACE("parse_subtree, sub-identifier not found: %s\n", name.c_str());
        return kNameNotFound;
      }
      value = found->subid;
      level = &found->children;
    }
    objid[stored++] = value;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  *count = stored;
  return stored;
}

int read_objid(const char* text, oid* objid, int32_t* count) {
  const int32_t capacity = *count;
  const std::vector<MibNode*>* level = nullptr;
  int32_t stored = 0;
  const char* rest = text != nullptr ? text : "";
  if (*rest == '.') {
    level = MibTopLevel();
    if (level == nullptr) MibNotLoaded();
    ++rest;
  } else {
    if (capacity < kDefaultPrefixLength) {
      QX_SNMP_TRACE("read_objid,object identifier too long\n");
      return kNameTooLong;
    }
    for (oid o : kDefaultPrefix) objid[stored++] = o;
    const auto* top = MibTopLevel();
    if (top == nullptr) MibNotLoaded();
    // The names below mib-2; a tree without mib-2 knows none (numbers still work).
    level = top;
    for (oid o : kDefaultPrefix) {
      const MibNode* n = ChildWithSubid(level, o);
      level = n != nullptr ? &n->children : nullptr;
    }
  }
  int32_t room = capacity - stored;
  int result = parse_subtree(level, rest, objid + stored, &room);
  if (result <= 0) return result;
  *count = stored + room;
  return 1;
}

const MibNode* get_symbol(const oid* objid, size_t count, const std::vector<MibNode*>* level,
                          char* buf, size_t size, size_t* length) {
  std::string text;
  const MibNode* node = Symbol(objid, count, level, &text);
  if (size > 0 && buf != nullptr) {
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
  }
  if (length != nullptr) *length = text.size();
  return node;
}

std::string ObjidName(const oid* objid, size_t count) {
  std::string text = ".";
  Symbol(objid, count, MibTopLevel(), &text);
  return text;
}

size_t sprint_objid(char* buf, size_t size, const oid* objid, size_t count) {
  std::string text = ObjidName(objid, count);
  if (size > 0 && buf != nullptr) {
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
  }
  return text.size();
}

void print_objid(const oid* objid, size_t count) {
  std::string text = ObjidName(objid, count) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace qx::snmp
