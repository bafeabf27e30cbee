#include <gtest/gtest.h>
#include <qxsnmp/errors.h>

#include <vector>

#include "report_capture.h"

namespace qx::snmp {
namespace {

using testing::ReportCapture;

class ErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearInsertTexts();
    codec_error = 0;
  }
  ReportCapture capture;
};

TEST_F(ErrorsTest, CommandCodesBecomeMessagesWithTheFourTexts) {
  SetInsertText(1, "-x");
  report_error(-231);
  ASSERT_EQ(capture.records().size(), 1u);
  const ReportRecord& r = capture.records()[0];
  EXPECT_EQ(r.msgid, 0x09658002u | (230u << 3));
  EXPECT_EQ(r.flags, 0x8004);
  ASSERT_EQ(r.values.size(), 4u);
  EXPECT_EQ(ReportCapture::Str(r, 0), "-x");
  EXPECT_EQ(ReportCapture::Str(r, 1), "");
  EXPECT_EQ(ReportCapture::Str(r, 3), "");
  EXPECT_EQ(codec_error, 0);  // reported and cleared
}

TEST_F(ErrorsTest, PositiveCodesKeepTheirNumber) {
  report_error(5);
  report_error(21, kSevInfo);
  ASSERT_EQ(capture.records().size(), 2u);
  EXPECT_EQ(capture.records()[0].msgid, 0x0965802Au);
  EXPECT_EQ(capture.records()[1].msgid, 0x09658000u | (21u << 3) | 3u);
  EXPECT_EQ(MessageIdForCode(-208), 0x09658002u | (207u << 3));
  EXPECT_EQ(MessageIdForCode(-238), 0x09658002u | (237u << 3));
}

TEST_F(ErrorsTest, InsertTextsAreCut) {
  SetInsertText(1, std::string(1000, 'a'));
  EXPECT_EQ(InsertText(1).size(), kInsertTextLimit);
  SetInsertText(9, "ignored");
  EXPECT_EQ(InsertText(9), "");
}

TEST_F(ErrorsTest, ValidatorCodesShowTheirRowAndTheDataInHex) {
  std::vector<uint8_t> data(60);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  report_error(-104, kSevError, data.data(), data.size());
  ASSERT_EQ(capture.records().size(), 2u);
  const ReportRecord& first = capture.records()[0];
  EXPECT_EQ(first.msgid, 0x09658002u | (104u << 3));
  EXPECT_EQ(first.flags, 0x8004);
  EXPECT_EQ(ReportCapture::Str(first, 0), "encoded datagram length");
  EXPECT_EQ(ReportCapture::Str(first, 1), "received length");
  EXPECT_EQ(ReportCapture::Int(first, 2), 103);
  EXPECT_EQ(ReportCapture::Str(first, 3).size(), 25u * 3);
  EXPECT_EQ(ReportCapture::Str(first, 3).substr(0, 9), "00 01 02 ");
  const ReportRecord& more = capture.records()[1];
  EXPECT_EQ(more.msgid, 0x096581F3u);
  EXPECT_EQ(more.flags, 0x8001);
  EXPECT_EQ(ReportCapture::Str(more, 0).size(), 35u * 3);
  EXPECT_EQ(ReportCapture::Str(more, 0).substr(0, 3), "19 ");
}

TEST_F(ErrorsTest, LongValidatorDataTakesSeveralContinuationLines) {
  std::vector<uint8_t> data(25 + 50 + 50 + 1, 0xAB);
  report_error(-133, kSevError, data.data(), data.size());
  ASSERT_EQ(capture.records().size(), 4u);
  EXPECT_EQ(ReportCapture::Str(capture.records()[0], 0), "Binding Value");
  EXPECT_EQ(ReportCapture::Str(capture.records()[3], 0), "AB ");
  capture.Clear();
  data.resize(25);
  report_error(-102, kSevError, data.data(), data.size());
  EXPECT_EQ(capture.records().size(), 1u);  // no empty continuation
}

TEST_F(ErrorsTest, OtherValidatorCodesUseTheGenericMessage) {
  uint8_t data[2] = {0x30, 0x00};
  report_error(-150, kSevError, data, 2);
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].msgid, 0x0965832Au);
  EXPECT_EQ(capture.records()[0].flags, 0x8002);
  EXPECT_EQ(ReportCapture::Int(capture.records()[0], 0), 149);
  EXPECT_EQ(ReportCapture::Str(capture.records()[0], 1), "30 00 ");
  report_error(0);
  EXPECT_EQ(capture.records().back().msgid, 0x0965832Au);
}

TEST_F(ErrorsTest, CodecErrorIsReportedOnce) {
  report_codec_error();
  EXPECT_TRUE(capture.records().empty());
  codec_error = -209;
  report_codec_error();
  report_codec_error();
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].msgid, 0x09658002u | (208u << 3));
  // A validator code left in the cell gets the validator's shape.
  codec_error = -132;
  report_codec_error();
  ASSERT_EQ(capture.records().size(), 2u);
  EXPECT_EQ(ReportCapture::Str(capture.records()[1], 0), "OID in Bindings");
}

TEST_F(ErrorsTest, ErrorStatusTexts) {
  EXPECT_STREQ(snmp_errstring(0), "No Error");
  EXPECT_STREQ(snmp_errstring(5), "A general failure occured");
  EXPECT_STREQ(snmp_errstring(7), "Unknown Error");
  EXPECT_STREQ(snmp_errstring(-1), "Unknown Error");
  EXPECT_STREQ(SessionErrorText(kSessNotFound), "Unknown session");
}

}  // namespace
}  // namespace qx::snmp
