// Test helper: writes compiled message files byte by byte, independently of the
// message compiler, and points DPATH at a folder.
#ifndef QXCOMN_CATALOG_TESTING_H
#define QXCOMN_CATALOG_TESTING_H

#include <qxcomn.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_env.h"

namespace qx::comn::testing {

struct TestMessage {
  uint32_t number;
  std::string text;         // stored text, e.g. "-E-BAD, value %d"
  std::string order = "0";  // order bytes as written; "0" is the end byte 0x30
};

struct TestFacility {
  std::string name;
  uint32_t number;
  std::vector<TestMessage> messages;
};

inline void Put32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(char((v >> (8 * i)) & 0xFF));
}

// Order bytes: each character '0' stands for 0x30, any other character c for the
// byte c - 'a' + 1 ('a' = value 1, 'b' = 2 ...), padded with zero bytes.
inline std::string Catalog(const std::vector<TestFacility>& facilities) {
  size_t index_end = 160 + 20;
  for (const auto& f : facilities) index_end += 20 + 20 * f.messages.size();
  std::string out(160, 'H');
  std::string texts;
  for (const auto& f : facilities) {
    std::string name = f.name;
    name.resize(12, '\0');
    out += name;
    Put32(&out, f.number);
    Put32(&out, uint32_t(f.messages.size()));
    for (const auto& m : f.messages) {
      Put32(&out, m.number);
      std::string order(12, '\0');
      for (size_t i = 0; i < m.order.size() && i < 12; ++i)
        order[i] = m.order[i] == '0' ? char(0x30) : char(m.order[i] - 'a' + 1);
      out += order;
      Put32(&out, uint32_t(index_end + texts.size()));
      texts += m.text;
      texts += '\0';
    }
  }
  out += std::string(12, '\0');
  Put32(&out, 0xFFFFFFFFu);
  Put32(&out, 0);
  return out + texts;
}

// A folder under the test's root holding the given files; returns its path.
inline std::string CatalogFolder(const std::string& name,
                                 const std::vector<std::pair<std::string, std::string>>& files) {
  std::string dir = qx::testing::TestRoot() + "/" + name;
  qx::testing::RunCommand("mkdir -p '" + dir + "'");
  for (const auto& [file, bytes] : files) qx::testing::WriteFile(dir + "/" + file, bytes);
  return dir;
}

inline void UseFolders(const std::string& dpath) {
  ::setenv("DPATH", dpath.c_str(), 1);
  QX_init_file();
}

}  // namespace qx::comn::testing

#endif
