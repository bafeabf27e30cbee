#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <qxsnmp/forward.h>
#include <qxsnmp/report.h>
#include <qxsnmp/session.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report_capture.h"

namespace qx::snmp {
namespace {

using testing::ReportCapture;

// A TCP listener on 127.0.0.1 standing for a subscriber.
class SubscriberEnd {
 public:
  SubscriberEnd() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr*>(&a), len), 0);
    EXPECT_EQ(listen(listen_, 8), 0);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SubscriberEnd() {
    for (int fd : accepted_) close(fd);
    close(listen_);
  }
  uint16_t port() const { return port_; }
  // The next connection from the receiver, or -1 after timeout_ms.
  int Accept(int timeout_ms = 2000) {
    pollfd p{listen_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) accepted_.push_back(fd);
    return fd;
  }
  // One forwarded record's SNMP message, or empty.
  static std::vector<uint8_t> ReadRecord(int fd) {
    std::vector<uint8_t> header(kRecordHeaderSize);
    if (!ReadExactly(fd, header.data(), header.size())) return {};
    uint32_t length = 0;
    if (!ParseRecordHeader(header.data(), header.size(), &length)) return {};
    std::vector<uint8_t> message(length);
    if (!ReadExactly(fd, message.data(), length)) return {};
    return message;
  }
  static bool ReadExactly(int fd, uint8_t* data, size_t size) {
    size_t got = 0;
    while (got < size) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 2000) != 1) return false;
      ssize_t n = recv(fd, data + got, size - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int listen_ = -1;
  uint16_t port_ = 0;
  std::vector<int> accepted_;
};

std::unique_ptr<SnmpPdu> SampleTrap() {
  auto t = snmp_pdu_create(SNMP_MSG_TRAP);
  t->enterprise = {1, 3, 6, 1, 4, 1, 9, 9, 41};
  t->agent_addr = "10.1.2.3";
  t->generic_type = 6;
  t->specific_type = 17;
  t->time = 123456;
  const oid name[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
  VarBind& a = snmp_add_null_var(t.get(), name, std::size(name));
  a.type = ASN_OCTET_STR;
  a.bytes = {'h', 'e', 'l', 'l', 'o'};
  VarBind& b = snmp_add_null_var(t.get(), name, std::size(name));
  b.type = ASN_OBJECT_ID;
  b.objid = {1, 3, 6, 1, 4, 1, 32473, 300, 70000};
  VarBind& c = snmp_add_null_var(t.get(), name, std::size(name));
  c.type = ASN_COUNTER;
  c.integer = -2;
  return t;
}

std::optional<SubscriberInfo> EntryFor(uint16_t port) {
  for (const SubscriberInfo& s : Subscribers())
    if (s.port == port && s.address == "127.0.0.1") return s;
  return std::nullopt;
}

bool HasTrace(const ReportCapture& capture, std::string_view text) {
  for (const ReportRecord& r : capture.records())
    if (r.msgid == kMsgTrace && std::get<std::string>(r.values[0]).find(text) != std::string::npos)
      return true;
  return false;
}

class ForwardTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDebugTracing(true); }
  void TearDown() override {
    SetDebugTracing(false);
    CloseSubscribers();
  }
  ReportCapture capture;
};

TEST_F(ForwardTest, SubscriptionRequestsAreRecognised) {
  auto r = MakeSubscriptionRequest("127.0.0.1", 5000, 1);
  EXPECT_TRUE(IsSubscriptionRequest(*r));
  EXPECT_EQ(r->variables[0].integer, htons(5000));
  auto t = MakeSubscriptionRequest("127.0.0.1", 5000, 1);
  t->enterprise.resize(6);
  EXPECT_FALSE(IsSubscriptionRequest(*t));
  t = MakeSubscriptionRequest("127.0.0.1", 5000, 1);
  t->enterprise[6] = 9;
  EXPECT_FALSE(IsSubscriptionRequest(*t));
  t = MakeSubscriptionRequest("127.0.0.1", 5000, 1);
  t->generic_type = 5;
  EXPECT_FALSE(IsSubscriptionRequest(*t));
  t = MakeSubscriptionRequest("127.0.0.1", 5000, 1);
  t->specific_type = 598;
  EXPECT_FALSE(IsSubscriptionRequest(*t));
}

TEST_F(ForwardTest, SameTimeKeepsTheConnectionANewTimeReplacesIt) {
  SubscriberEnd sub;
  const int before = SubscriberCount();
  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", sub.port(), 100), "public");
  int first = sub.Accept();
  ASSERT_GE(first, 0);
  EXPECT_EQ(SubscriberCount(), before + 1);
  ASSERT_TRUE(EntryFor(sub.port()).has_value());
  EXPECT_EQ(EntryFor(sub.port())->time, 100u);

  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", sub.port(), 100), "public");
  EXPECT_EQ(sub.Accept(200), -1);
  EXPECT_EQ(SubscriberCount(), before + 1);
  EXPECT_TRUE(HasTrace(capture, "still active"));

  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", sub.port(), 200), "public");
  int second = sub.Accept();
  ASSERT_GE(second, 0);
  EXPECT_EQ(SubscriberCount(), before + 1);
  EXPECT_EQ(EntryFor(sub.port())->time, 200u);
  uint8_t byte;
  EXPECT_EQ(recv(first, &byte, 1, 0), 0);  // the old connection was closed

  // Traps now go to the new connection only.
  trap_subscription(*SampleTrap(), "public");
  EXPECT_FALSE(SubscriberEnd::ReadRecord(second).empty());
}

TEST_F(ForwardTest, ForwardedRecordsCarryTheTrapIntact) {
  SubscriberEnd sub;
  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", sub.port(), 7), "public");
  int fd = sub.Accept();
  ASSERT_GE(fd, 0);

  // A trap as it was received: decoded from the wire, then handed on.
  auto original = SampleTrap();
  SnmpSession s;
  s.community = "private";
  std::vector<uint8_t> wire(kMaxMessageSize);
  int32_t wire_length = kMaxMessageSize;
  ASSERT_EQ(snmp_build(&s, original.get(), wire.data(), &wire_length), 0);
  auto received = snmp_pdu_create(0);
  ASSERT_EQ(snmp_parse(nullptr, received.get(), wire.data(), wire_length), 0);
  received->agent_addr = "10.1.2.3";
  trap_subscription(*received, "private");

  std::vector<uint8_t> message = SubscriberEnd::ReadRecord(fd);
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(message, std::vector<uint8_t>(wire.begin(), wire.begin() + wire_length));
  auto back = snmp_pdu_create(0);
  ASSERT_EQ(snmp_parse(nullptr, back.get(), message.data(), static_cast<int32_t>(message.size())),
            0);
  EXPECT_EQ(back->enterprise, original->enterprise);
  EXPECT_EQ(back->specific_type, 17);
  EXPECT_EQ(back->time, 123456u);
  ASSERT_EQ(back->variables.size(), 3u);
  EXPECT_EQ(back->variables[1].objid, original->variables[1].objid);
  EXPECT_EQ(static_cast<uint32_t>(back->variables[2].integer), 0xFFFFFFFEu);
}

TEST_F(ForwardTest, RecordHeaderLayout) {
  SubscriberEnd sub;
  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", sub.port(), 9), "public");
  int fd = sub.Accept();
  ASSERT_GE(fd, 0);
  trap_subscription(*SampleTrap(), "public");
  uint8_t header[8];
  ASSERT_TRUE(SubscriberEnd::ReadExactly(fd, header, 8));
  EXPECT_EQ(header[0], 0x9D);
  EXPECT_EQ(header[1], 0x9D);
  EXPECT_EQ(header[2], 1);
  EXPECT_EQ(header[3], 'T');
  uint32_t total = uint32_t{header[4]} << 24 | header[5] << 16 | header[6] << 8 | header[7];
  std::vector<uint8_t> message(total - 8);
  ASSERT_TRUE(SubscriberEnd::ReadExactly(fd, message.data(), message.size()));
  EXPECT_EQ(message[0], 0x30);
  uint32_t length = 0;
  uint8_t bad[8] = {0x9D, 0x9D, 1, 'T', 0, 0, 0, 7};
  EXPECT_FALSE(ParseRecordHeader(bad, 8, &length));
  uint8_t big[8] = {0x9D, 0x9D, 1, 'T', 0, 0, 0x11, 0xA0};
  EXPECT_FALSE(ParseRecordHeader(big, 8, &length));
  uint8_t most[8] = {0x9D, 0x9D, 1, 'T', 0, 0, 0x11, 0x9C};
  EXPECT_TRUE(ParseRecordHeader(most, 8, &length));
  EXPECT_EQ(length, 4500u);
}

TEST_F(ForwardTest, ASubscriberThatClosedIsDroppedBeforeTheNextSend) {
  SubscriberEnd sub;
  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", sub.port(), 5), "public");
  int fd = sub.Accept();
  ASSERT_GE(fd, 0);
  const int active = SubscriberCount();
  shutdown(fd, SHUT_WR);  // the subscriber ends its side
  usleep(20000);
  capture.Clear();
  trap_subscription(*SampleTrap(), "public");
  EXPECT_EQ(SubscriberCount(), active - 1);
  EXPECT_FALSE(EntryFor(sub.port())->active);
  EXPECT_TRUE(HasTrace(capture, "Lost subscriber 127.0.0.1"));
  EXPECT_FALSE(HasTrace(capture, "Sent "));

  // A new subscription takes the unused entry again.
  const size_t entries = Subscribers().size();
  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", sub.port(), 6), "public");
  EXPECT_GE(sub.Accept(), 0);
  EXPECT_EQ(Subscribers().size(), entries);
  EXPECT_TRUE(EntryFor(sub.port())->active);
}

TEST_F(ForwardTest, ASubscriberThatStopsReadingIsDroppedNotWaitedFor) {
  SetSubscriberTimeout(200);
  SetDebugTracing(false);
  SubscriberEnd sub;
  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", sub.port(), 8), "public");
  int fd = sub.Accept();
  ASSERT_GE(fd, 0);
  const int active = SubscriberCount();
  // A large trap, sent again and again to a subscriber that reads nothing: once
  // the connection's buffers are full a send times out and the subscriber goes.
  auto big = SampleTrap();
  big->variables[0].bytes.assign(4000, 'x');
  int sent = 0;
  while (SubscriberCount() == active && sent < 20000) {
    trap_subscription(*big, "public");
    ++sent;
  }
  SetSubscriberTimeout(0);
  EXPECT_EQ(SubscriberCount(), active - 1) << sent << " traps sent";
  EXPECT_FALSE(EntryFor(sub.port())->active);
}

TEST_F(ForwardTest, BadRequestsAndUnreachableSubscribersChangeNothing) {
  const int active = SubscriberCount();
  auto no_binding = MakeSubscriptionRequest("127.0.0.1", 1, 1);
  no_binding->variables.clear();
  trap_subscription(*no_binding, "public");
  EXPECT_TRUE(HasTrace(capture, "No Binding Var with Trap!"));
  auto wrong = MakeSubscriptionRequest("127.0.0.1", 1, 1);
  wrong->variables[0].type = ASN_OCTET_STR;
  trap_subscription(*wrong, "public");
  EXPECT_TRUE(HasTrace(capture, "Binding Var wrong type!"));
  auto unknown = MakeSubscriptionRequest("no such host.invalid", 1, 1);
  trap_subscription(*unknown, "public");
  EXPECT_TRUE(HasTrace(capture, "getaddrinfo failed  for agent address!"));
  uint16_t closed_port = 0;
  {
    SubscriberEnd gone;
    closed_port = gone.port();
  }
  trap_subscription(*MakeSubscriptionRequest("127.0.0.1", closed_port, 1), "public");
  EXPECT_TRUE(HasTrace(capture, "cannot connect to 127.0.0.1"));
  EXPECT_EQ(SubscriberCount(), active);
}

TEST_F(ForwardTest, WithoutSubscribersNothingIsEncoded) {
  CloseSubscribers();
  ASSERT_EQ(SubscriberCount(), 0);
  trap_subscription(*SampleTrap(), "public");
  EXPECT_FALSE(HasTrace(capture, "Building snmp datagram"));
}

}  // namespace
}  // namespace qx::snmp
