#include "command_line.h"

#include <gtest/gtest.h>

#include "report_capture.h"

namespace qx::qxtrap {
namespace {

using snmp::testing::ReportCapture;

CommandLine Parse(std::vector<std::string> args, std::vector<oid>* enterprise = nullptr) {
  TokenStore store;
  store.tokens.push_back("qxtrap");
  for (std::string& a : args) store.tokens.push_back(a);
  std::vector<oid> scratch;
  return ParseCommandLine(store, enterprise ? enterprise : &scratch);
}

TEST(CommandLineTest, OptionsTakeTheirValuesWhereverTheyStand) {
  ReportCapture capture;
  CommandLine c = Parse(
      {"node", "-p", "70000", "", "-c", "-d", "agent", "-r", "2", "-t", "9", "6", "1", "", "-d"});
  EXPECT_EQ(c.port, 70000 % 65536);  // cut to 16 bits
  EXPECT_EQ(c.community, "-d");      // the value token is taken whatever it is
  EXPECT_EQ(c.retries, 2);
  EXPECT_EQ(c.timeout, 9);
  EXPECT_EQ(c.dump, 0);
  EXPECT_EQ(c.positionals[kNode], "node");
  EXPECT_EQ(c.positionals[kAgent], "agent");
  EXPECT_EQ(c.positionals[kTimeStamp], "");
  ASSERT_EQ(c.triples.size(), 1u);  // "-d" after the time-stamp is a lone name
  EXPECT_EQ(c.triples[0].name, "-d");
  EXPECT_FALSE(c.argument_error);
  EXPECT_TRUE(capture.messages().empty());
  // An option at the very end takes the empty string.
  c = Parse({"-c"});
  EXPECT_EQ(c.community, "");
}

TEST(CommandLineTest, EnterpriseArgumentReplacesTheDefault) {
  ReportCapture capture;
  std::vector<oid> enterprise = {1, 3, 6, 1, 4, 1, 32473};
  CommandLine c = Parse({"node", "1.3.6.1.4.1.9.9", "", "6", "1", ""}, &enterprise);
  EXPECT_EQ(enterprise, (std::vector<oid>{1, 3, 6, 1, 4, 1, 9, 9}));
  c = Parse({"node", "", "", "6", "1", ""}, &enterprise);
  EXPECT_EQ(enterprise, (std::vector<oid>{1, 3, 6, 1, 4, 1, 9, 9}));  // empty keeps it
  c = Parse({"node", "1.3.x", "", "6", "1", ""}, &enterprise);
  EXPECT_EQ(c.conversion_error, -237);
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(ReportCapture::Str(capture.messages()[0], 0), "1.3.x");
}

TEST(CommandLineTest, ReadinessNeedsNodeAndBothNumbers) {
  ReportCapture capture;
  EXPECT_TRUE(ReadyToSend(Parse({"node", "", "", "6", "1", ""})));
  EXPECT_FALSE(ReadyToSend(Parse({"", "", "", "6", "1", ""})));
  EXPECT_FALSE(ReadyToSend(Parse({"-c", "x", "-c", "y", "node", "", "", "6"})));
  EXPECT_FALSE(ReadyToSend(Parse({"-y", "node", "", "", "6", "1", ""})));
}

TEST(CommandLineTest, TheVariableTableHolds256Tokens) {
  ReportCapture capture;
  std::vector<std::string> args = {"node", "", "", "6", "1", ""};
  for (int i = 0; i < 255; ++i) args.push_back("1.3.6");
  CommandLine c = Parse(args);
  EXPECT_FALSE(c.argument_error);
  EXPECT_EQ(c.triples.size(), 85u);
  args.push_back("1.3.6");
  args.push_back("1.3.6");
  c = Parse(args);
  EXPECT_TRUE(c.argument_error);
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(ReportCapture::Str(capture.messages()[0], 0), "257");
  EXPECT_LE(c.triples.size(), 86u);
}

}  // namespace
}  // namespace qx::qxtrap
