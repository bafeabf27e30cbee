#include <gtest/gtest.h>
#include <qxsnmp/objid.h>

#include <vector>

namespace qx::snmp {
namespace {

struct Converted {
  int rc;
  std::vector<oid> value;
};

Converted Convert(const char* text, int32_t capacity = 64) {
  std::vector<oid> out(static_cast<size_t>(capacity) + 1, 0xDEADBEEF);
  int32_t count = capacity;
  int rc = read_rawobjid(text, out.data(), &count);
  EXPECT_EQ(out[static_cast<size_t>(capacity)], 0xDEADBEEF) << "wrote past the capacity";
  if (rc == 1) out.resize(static_cast<size_t>(count));
  return {rc, rc == 1 ? out : std::vector<oid>{}};
}

TEST(ObjidTest, DottedDecimalConverts) {
  EXPECT_EQ(Convert("1.3.6.1.4.1").value, (std::vector<oid>{1, 3, 6, 1, 4, 1}));
  EXPECT_EQ(Convert("1.3.6.1.4.1").rc, 1);
  EXPECT_EQ(Convert("0").value, (std::vector<oid>{0}));
  EXPECT_EQ(Convert("1.3.4294967295").value, (std::vector<oid>{1, 3, 4294967295u}));
  EXPECT_EQ(Convert("1.3.000000000000007").value, (std::vector<oid>{1, 3, 7}));
  EXPECT_EQ(Convert("1.3.6", 3).rc, 1);
}

TEST(ObjidTest, MalformedTextIsRefused) {
  for (const char* bad : {"", "1.3.a", "a", "1..3", "1.3.", ".1.3", "1. 3", "1.3 ", "-1.3",
                          "1.3.4294967296", "1.3.99999999999999999999", "1,3"}) {
    EXPECT_EQ(Convert(bad).rc, kObjidMalformed) << '"' << bad << '"';
  }
}

TEST(ObjidTest, CapacityIsNeverExceeded) {
  EXPECT_EQ(Convert("1.3.6", 2).rc, kObjidTooLong);
  EXPECT_EQ(Convert("1", 0).rc, kObjidTooLong);
  std::string long_text = "1";
  for (int i = 0; i < 64; ++i) long_text += ".1";
  EXPECT_EQ(Convert(long_text.c_str()).rc, kObjidTooLong);
  EXPECT_EQ(ObjidText(std::vector<oid>{1, 3, 6}.data(), 3), "1.3.6");
}

}  // namespace
}  // namespace qx::snmp
