// qxtrapd with real processes: traps qxtrap sends to it are printed with names and
// values and forwarded to a subscriber program; subscriptions are refreshed,
// replaced and dropped.
#include "trapd_support.h"

namespace qx::testing::snmp2 {
namespace {

TEST_F(TrapdTest, PrintsTrapsWithNamesAndStopsOnSignal) {
  StartTrapd();
  ASSERT_EQ(Send(2, 40), 0);
  WaitFor([&] { return trapd_->out(); }, "Specific trap: 41");
  std::string out = trapd_->out();
  EXPECT_NE(out.find("Trap from 127.0.0.1:"), std::string::npos);
  EXPECT_NE(out.find("Enterprise: .iso.org.dod.internet.private.enterprises.9.9.41\n"),
            std::string::npos);
  EXPECT_NE(out.find("Time-stamp: (8640000) 1 day, 0:00:00\n"), std::string::npos);
  EXPECT_NE(out.find("Name: system.sysDescr.0\nOCTET STRING- (ascii):\ttest trap 40\n"),
            std::string::npos);
  EXPECT_NE(out.find("Name: interfaces.ifTable.ifEntry.ifOperStatus.1\nINTEGER: down(2)\n"),
            std::string::npos);
  EXPECT_NE(out.find("Name: system.sysUpTime.0\nTimeticks: (360000) 1:00:00\n"), std::string::npos);
  trapd_->Signal(SIGTERM);
  EXPECT_EQ(trapd_->Wait(), 0);
  EXPECT_NE(trapd_->err().find("stopped after 2 datagrams: 2 traps"), std::string::npos);
}

TEST_F(TrapdTest, ReceivesOverIPv6AndIPv4OnOnePort) {
  StartTrapd();
  ASSERT_EQ(Send(1, 61, "::1"), 0);
  ASSERT_EQ(Send(1, 62, "127.0.0.1"), 0);
  WaitFor([&] { return trapd_->out(); }, "Specific trap: 62");
  WaitFor([&] { return trapd_->out(); }, "Specific trap: 61");
  std::string out = trapd_->out();
  EXPECT_NE(out.find("Trap from [::1]:"), std::string::npos) << out;
  EXPECT_NE(out.find("Trap from 127.0.0.1:"), std::string::npos) << out;
}

TEST_F(TrapdTest, WithoutAMibNamesAreNumbers) {
  trapd_ = std::make_unique<Process>(
      std::vector<std::string>{Bin("qxtrapd"), "-p", "0", "-c", "1"}, "qxtrapd",
      std::vector<std::string>{"QXIGLBL0000=" + TestRoot() + "/none"});
  auto m = WaitFor([&] { return trapd_->err(); }, "listening on UDP port ([0-9]+)");
  ASSERT_FALSE(m.empty());
  port_ = m[1];
  EXPECT_NE(trapd_->err().find("no MIB loaded"), std::string::npos);
  ASSERT_EQ(Send(1, 7), 0);
  EXPECT_EQ(trapd_->Wait(), 0);
  std::string out = trapd_->out();
  EXPECT_NE(out.find("Name: .1.3.6.1.2.1.2.2.1.8.1\nINTEGER: 2\n"), std::string::npos) << out;
}

TEST_F(TrapdTest, SubscriberReceivesEveryTrapFramedAndDecodable) {
  StartTrapd();
  Process sub({Bin("snmp2_trap_subscriber"), port_, "100", "5"}, "subscriber");
  auto listening = WaitFor([&] { return sub.out(); }, "listening ([0-9]+)");
  ASSERT_FALSE(listening.empty());
  const std::string tcp_port = listening[1];
  WaitFor([&] { return sub.out(); }, "connected 1");

  // The same subscription again changes nothing.
  ASSERT_EQ(Subscribe(tcp_port, 100), 0);
  WaitFor([&] { return trapd_->err(); }, "time = 100 still active");
  ASSERT_EQ(Send(2, 1), 0);
  WaitFor([&] { return sub.out(); }, "trap 1 specific=2 ");
  EXPECT_EQ(Count(sub.out(), "connected"), 1u);

  // A new time replaces the connection; the traps go to the new one.
  ASSERT_EQ(Subscribe(tcp_port, 200), 0);
  WaitFor([&] { return sub.out(); }, "connected 2");
  WaitFor([&] { return sub.out(); }, "closed 1");
  ASSERT_EQ(Send(3, 10), 0);
  EXPECT_EQ(sub.Wait(), 0);
  std::string out = sub.out();
  EXPECT_NE(out.find("trap 1 specific=1 time=8640000 vars=3 community=public\n"),
            std::string::npos);
  EXPECT_NE(out.find("trap 2 specific=10 time=8640000 vars=3 community=public\n"),
            std::string::npos);
  EXPECT_NE(out.find("trap 2 specific=12 "), std::string::npos);
  EXPECT_EQ(Count(out, "bad "), 0u);

  // The subscriber has gone: the next trap finds it closed and drops it.
  ASSERT_EQ(Send(1, 20), 0);
  WaitFor([&] { return trapd_->err(); }, "Lost subscriber 127.0.0.1:" + tcp_port);
  ASSERT_EQ(Send(1, 21), 0);
  WaitFor([&] { return trapd_->out(); }, "Specific trap: 21");
  EXPECT_EQ(Count(trapd_->err(), "Lost subscriber"), 1u);
}

}  // namespace
}  // namespace qx::testing::snmp2
