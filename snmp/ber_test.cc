#include <gtest/gtest.h>
#include <qxsnmp/ber.h>
#include <qxsnmp/errors.h>

#include <vector>

namespace qx::snmp {
namespace {

using Bytes = std::vector<uint8_t>;

class BerTest : public ::testing::Test {
 protected:
  void SetUp() override { codec_error = 0; }
  uint8_t buf[512];
};

Bytes Built(const uint8_t* begin, const uint8_t* end) {
  return Bytes(begin, end);
}

TEST_F(BerTest, LengthFieldsUseOneTwoOrThreeBytes) {
  struct Case {
    uint32_t length;
    Bytes expected;
  } cases[] = {{0, {0x00}},
               {127, {0x7F}},
               {128, {0x81, 0x80}},
               {255, {0x81, 0xFF}},
               {256, {0x82, 0x01, 0x00}},
               {0xFFFF, {0x82, 0xFF, 0xFF}}};
  for (const Case& c : cases) {
    int32_t room = 3;
    uint8_t* end = asn_build_length(buf, &room, c.length);
    ASSERT_NE(end, nullptr) << c.length;
    EXPECT_EQ(Built(buf, end), c.expected) << c.length;
    EXPECT_EQ(room, 3 - static_cast<int32_t>(c.expected.size()));
    uint32_t back = 0;
    EXPECT_EQ(asn_parse_length(buf, 3, &back), end);
    EXPECT_EQ(back, c.length);
  }
  int32_t room = 3;
  EXPECT_EQ(asn_build_length(buf, &room, 0x10000), nullptr);
  EXPECT_EQ(codec_error, kErrNoRoomInt);
}

TEST_F(BerTest, BuildersCheckTheRoomBeforeWriting) {
  // A 256-byte length needs three bytes; with two left nothing may be written.
  buf[0] = buf[1] = 0xEE;
  int32_t room = 2;
  EXPECT_EQ(asn_build_length(buf, &room, 256), nullptr);
  EXPECT_EQ(codec_error, kErrNoRoomInt);
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_EQ(buf[1], 0xEE);
  room = 2;
  EXPECT_EQ(asn_build_header(buf, &room, 0x30, 200), nullptr);
  EXPECT_EQ(buf[0], 0xEE);

  const uint8_t text[4] = {'a', 'b', 'c', 'd'};
  room = 5;
  EXPECT_EQ(asn_build_string(buf, &room, ASN_OCTET_STR, text, 4), nullptr);
  EXPECT_EQ(codec_error, kErrTooLong);
  room = 3;
  EXPECT_EQ(asn_build_int(buf, &room, ASN_INTEGER, 300, 4), nullptr);
  EXPECT_EQ(codec_error, kErrNoRoomInt);
  room = 0;
  EXPECT_EQ(asn_build_null(buf, &room, ASN_NULL), nullptr);
  EXPECT_EQ(codec_error, kErrOverflow);
  room = 4;
  EXPECT_EQ(asn_build_unsigned_int(buf, &room, ASN_COUNTER, 0xFFFFFFFF, 4), nullptr);
  EXPECT_EQ(codec_error, kErrNoRoomInt);
}

TEST_F(BerTest, IntegersAreMinimalTwosComplement) {
  struct Case {
    int32_t value;
    Bytes expected;
  } cases[] = {
      {0, {0x02, 0x01, 0x00}},
      {-1, {0x02, 0x01, 0xFF}},
      {127, {0x02, 0x01, 0x7F}},
      {128, {0x02, 0x02, 0x00, 0x80}},
      {-128, {0x02, 0x01, 0x80}},
      {-129, {0x02, 0x02, 0xFF, 0x7F}},
      {256, {0x02, 0x02, 0x01, 0x00}},
      {-32768, {0x02, 0x02, 0x80, 0x00}},
      {0x7FFFFFFF, {0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}},
      {INT32_MIN, {0x02, 0x04, 0x80, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    int32_t room = sizeof buf;
    uint8_t* end = asn_build_int(buf, &room, ASN_INTEGER, c.value, 4);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(Built(buf, end), c.expected) << c.value;
    int32_t length = static_cast<int32_t>(end - buf) + 3;  // trailing bytes are not read
    uint8_t type = 0;
    int32_t back = 0;
    EXPECT_EQ(asn_parse_int(buf, &length, &type, &back, 4), end);
    EXPECT_EQ(back, c.value);
    EXPECT_EQ(type, ASN_INTEGER);
    EXPECT_EQ(length, 3);
  }
  // Time-stamps keep the signed body under their own tag.
  int32_t room = sizeof buf;
  uint8_t* end = asn_build_int(buf, &room, ASN_TIMETICKS, static_cast<int32_t>(0x80000000u), 4);
  EXPECT_EQ(Built(buf, end), (Bytes{0x43, 0x04, 0x80, 0x00, 0x00, 0x00}));
}

TEST_F(BerTest, UnsignedValuesGetALeadingZeroWhenTheTopBitIsSet) {
  struct Case {
    uint8_t type;
    uint32_t value;
    Bytes expected;
  } cases[] = {
      {ASN_COUNTER, 0xFFFFFFFF, {0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
      {ASN_GAUGE, 0, {0x42, 0x01, 0x00}},
      {ASN_TIMETICKS, 128, {0x43, 0x02, 0x00, 0x80}},
      {ASN_COUNTER, 0x7FFFFF, {0x41, 0x03, 0x7F, 0xFF, 0xFF}},
      {ASN_COUNTER, 0x800000, {0x41, 0x04, 0x00, 0x80, 0x00, 0x00}},
      {ASN_GAUGE, 0x80000000u, {0x42, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    int32_t room = sizeof buf;
    uint8_t* end = asn_build_unsigned_int(buf, &room, c.type, c.value, 4);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(Built(buf, end), c.expected) << c.value;
    int32_t length = static_cast<int32_t>(end - buf);
    uint8_t type = 0;
    int32_t back = 0;
    ASSERT_EQ(asn_parse_int(buf, &length, &type, &back, 4), end) << c.value;
    EXPECT_EQ(static_cast<uint32_t>(back), c.value);
  }
}

TEST_F(BerTest, IntegerParsingRefusesBadElements) {
  struct Case {
    Bytes data;
    int code;
  } cases[] = {
      {{0x02, 0x00}, kErrOverflow},                                // no content
      {{0x02, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, kErrOverflow},  // five bytes as INTEGER
      {{0x41, 0x05, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, kErrOverflow},  // five, not 00-led
      {{0x41, 0x06, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, kErrOverflow},
      {{0x02, 0x02, 0x01}, kErrOverflow},  // content past the end
      {{0x02, 0x80, 0x01}, kErrIndefinite},
      {{0x02, 0x85, 1, 1, 1, 1, 1}, kErrIntSize},
      {{0x02, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 1}, kErrOverflow},  // huge length, no overflow
      {{0x02, 0x82, 0x00}, kErrOverflow},                       // length bytes past the end
      {{0x02}, kErrOverflow},
      {{}, kErrOverflow},
      {{0x1F, 0x01, 0x00}, kErrMultiByteId},
  };
  for (const Case& c : cases) {
    codec_error = 0;
    Bytes data = c.data;
    int32_t length = static_cast<int32_t>(data.size());
    uint8_t type = 0;
    int32_t value = 0;
    EXPECT_EQ(asn_parse_int(data.data(), &length, &type, &value, 4), nullptr);
    EXPECT_EQ(codec_error, c.code) << ::testing::PrintToString(c.data);
  }
  Bytes ok = {0x02, 0x01, 0x05};
  int32_t length = 3;
  uint8_t type = 0;
  int32_t value = 0;
  EXPECT_EQ(asn_parse_int(ok.data(), &length, &type, &value, 8), nullptr);
  EXPECT_EQ(codec_error, kErrIntSize);
  EXPECT_EQ(asn_build_int(buf, &length, ASN_INTEGER, 1, 2), nullptr);
  EXPECT_EQ(codec_error, kErrIntSize);
}

TEST_F(BerTest, HeadersBoundTheContentByTheCounter) {
  Bytes data = {0x30, 0x03, 0x02, 0x01, 0x00, 0xAA};
  int32_t length = static_cast<int32_t>(data.size());
  uint8_t type = 0;
  const uint8_t* content = asn_parse_header(data.data(), &length, &type);
  EXPECT_EQ(content, data.data() + 2);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(type, 0x30);

  struct Case {
    Bytes data;
    int code;
  } cases[] = {
      {{0x30, 0x04, 0x02, 0x01, 0x00}, kErrTooLong},
      {{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}, kErrTooLong},
      {{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, kErrTooLong},
      {{0x30, 0x80, 0x00, 0x00}, kErrIndefinite},
      {{0x30, 0x85, 0, 0, 0, 0, 1}, kErrIntSize},
      {{0x30, 0x81}, kErrOverflow},
      {{0x1F, 0x00}, kErrMultiByteId},
      {{0xBF, 0x00}, kErrMultiByteId},
      {{}, kErrOverflow},
  };
  for (const Case& c : cases) {
    codec_error = 0;
    Bytes d = c.data;
    length = static_cast<int32_t>(d.size());
    EXPECT_EQ(asn_parse_header(d.data(), &length, &type), nullptr);
    EXPECT_EQ(codec_error, c.code) << ::testing::PrintToString(c.data);
  }
}

TEST_F(BerTest, StringsRespectTheCapacity) {
  const uint8_t text[] = {'p', 'u', 'b', 'l', 'i', 'c'};
  int32_t room = sizeof buf;
  uint8_t* end = asn_build_string(buf, &room, ASN_OCTET_STR, text, 6);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(Built(buf, end), (Bytes{0x04, 0x06, 'p', 'u', 'b', 'l', 'i', 'c'}));

  uint8_t out[6];
  int32_t length = 8;
  int32_t capacity = 6;
  uint8_t type = 0;
  EXPECT_EQ(asn_parse_string(buf, &length, &type, out, &capacity), end);
  EXPECT_EQ(capacity, 6);
  EXPECT_EQ(Bytes(out, out + 6), Bytes(text, text + 6));

  length = 8;
  capacity = 5;
  EXPECT_EQ(asn_parse_string(buf, &length, &type, out, &capacity), nullptr);
  EXPECT_EQ(codec_error, kErrTooLong);
  length = 7;
  capacity = 6;
  EXPECT_EQ(asn_parse_string(buf, &length, &type, out, &capacity), nullptr);
  EXPECT_EQ(codec_error, kErrOverflow);

  // A 300-byte string takes a three-byte length field.
  std::vector<uint8_t> big(300, 'x');
  room = sizeof buf;
  end = asn_build_string(buf, &room, ASN_OCTET_STR, big.data(), 300);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x04, 0x82, 0x01, 0x2C}));
  EXPECT_EQ(end - buf, 304);
}

TEST_F(BerTest, ObjectIdentifiersEncodeSevenBitGroups) {
  struct Case {
    std::vector<oid> value;
    Bytes expected;
  } cases[] = {
      {{1, 3, 6, 1, 2, 1, 1, 2, 3}, {0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x02, 0x03}},
      {{1, 3, 300}, {0x06, 0x03, 0x2B, 0x82, 0x2C}},
      {{1, 3, 0}, {0x06, 0x02, 0x2B, 0x00}},
      {{1, 3, 0xFFFFFFFF}, {0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
      {{0, 39}, {0x06, 0x01, 0x27}},
      {{2, 100, 3}, {0x06, 0x03, 0x81, 0x34, 0x03}},
      {{1, 3, 6, 1, 4, 1, 32473}, {0x06, 0x08, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59}},
  };
  for (const Case& c : cases) {
    int32_t room = sizeof buf;
    uint8_t* end = asn_build_objid(buf, &room, ASN_OBJECT_ID, c.value.data(),
                                   static_cast<int32_t>(c.value.size()));
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(Built(buf, end), c.expected);
    oid back[64];
    int32_t count = 64;
    int32_t length = static_cast<int32_t>(end - buf);
    uint8_t type = 0;
    ASSERT_EQ(asn_parse_objid(buf, &length, &type, back, &count), end);
    EXPECT_EQ(std::vector<oid>(back, back + count), c.value);
  }
}

TEST_F(BerTest, ObjectIdentifiersThatCannotBeEncodedAreRefused) {
  std::vector<std::vector<oid>> bad = {{}, {1}, {3, 1}, {1, 40}, {0, 40, 1}, {2, 0xFFFFFFFF}};
  for (const auto& v : bad) {
    codec_error = 0;
    int32_t room = sizeof buf;
    EXPECT_EQ(asn_build_objid(buf, &room, ASN_OBJECT_ID, v.data(), static_cast<int32_t>(v.size())),
              nullptr);
    EXPECT_EQ(codec_error, kErrBadOid);
  }
  // 64 sub-identifiers of five bytes each fit when the room is there.
  std::vector<oid> wide(64, 0xFFFFFFFF);
  wide[0] = 1;
  wide[1] = 3;
  int32_t room = sizeof buf;
  uint8_t* end = asn_build_objid(buf, &room, ASN_OBJECT_ID, wide.data(), 64);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end - buf, 1 + 3 + 1 + 62 * 5);  // 0x82 length form
  room = 50;
  codec_error = 0;
  EXPECT_EQ(asn_build_objid(buf, &room, ASN_OBJECT_ID, wide.data(), 64), nullptr);
  EXPECT_EQ(codec_error, kErrNoRoomOid);
}

TEST_F(BerTest, ObjectIdentifierParsingChecksTheElement) {
  struct Case {
    Bytes data;
    int32_t capacity;
    int code;
  } cases[] = {
      {{0x06, 0x00}, 64, kErrOverflow},
      {{0x06, 0x02, 0x2B, 0x82}, 64, kErrOverflow},  // continuation runs out
      {{0x06, 0x03, 0x2B, 0x82}, 64, kErrOverflow},  // content past the end
      {{0x06, 0x82, 0x00}, 64, kErrOverflow},        // length bytes past the end
      {{0x06, 0x04, 0x2B, 0x06, 0x01, 0x02}, 4, kErrOidTooLong},
      {{0x06, 0x01, 0x2B}, 1, kErrOidTooLong},
  };
  for (const Case& c : cases) {
    codec_error = 0;
    Bytes d = c.data;
    int32_t length = static_cast<int32_t>(d.size());
    oid out[64];
    int32_t count = c.capacity;
    uint8_t type = 0;
    EXPECT_EQ(asn_parse_objid(d.data(), &length, &type, out, &count), nullptr);
    EXPECT_EQ(codec_error, c.code) << ::testing::PrintToString(c.data);
  }
  // A sub-identifier above 32 bits.
  Bytes big = {0x06, 0x06, 0x2B, 0x90, 0x80, 0x80, 0x80, 0x00};
  int32_t length = static_cast<int32_t>(big.size());
  oid out[64];
  int32_t count = 64;
  uint8_t type = 0;
  EXPECT_EQ(asn_parse_objid(big.data(), &length, &type, out, &count), nullptr);
  EXPECT_EQ(codec_error, kErrBadOid);
  // Exactly at the capacity is fine; the first value's split fills two slots.
  Bytes four = {0x06, 0x03, 0x2B, 0x06, 0x01};
  length = 5;
  count = 4;
  ASSERT_NE(asn_parse_objid(four.data(), &length, &type, out, &count), nullptr);
  EXPECT_EQ(std::vector<oid>(out, out + count), (std::vector<oid>{1, 3, 6, 1}));
  // 2.x with a large second arc.
  Bytes two = {0x06, 0x02, 0x88, 0x37};
  length = 4;
  count = 64;
  ASSERT_NE(asn_parse_objid(two.data(), &length, &type, out, &count), nullptr);
  EXPECT_EQ(std::vector<oid>(out, out + count), (std::vector<oid>{2, 999}));
}

TEST_F(BerTest, NullHasNoContent) {
  int32_t room = sizeof buf;
  uint8_t* end = asn_build_null(buf, &room, ASN_NULL);
  EXPECT_EQ(Built(buf, end), (Bytes{0x05, 0x00}));
  Bytes bad = {0x05, 0x01, 0x00};
  int32_t length = 3;
  uint8_t type = 0;
  EXPECT_EQ(asn_parse_null(bad.data(), &length, &type), nullptr);
  EXPECT_EQ(codec_error, kErrBadNull);
  Bytes good = {0x05, 0x00};
  length = 2;
  EXPECT_EQ(asn_parse_null(good.data(), &length, &type), good.data() + 2);
  EXPECT_EQ(length, 0);
}

}  // namespace
}  // namespace qx::snmp
