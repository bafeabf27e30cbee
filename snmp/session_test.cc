#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/report.h>
#include <qxsnmp/session.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "report_capture.h"
#include "session_list.h"

namespace qx::snmp {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::ReportCapture;

const std::vector<oid> kName = {1, 3, 6, 1, 2, 1, 1, 2, 3};

// A UDP socket on a loopback address with an ephemeral port.
class Listener {
 public:
  explicit Listener(int family = AF_INET) : family_(family) {
    fd_ = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage a{};
    socklen_t len;
    if (family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&a);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
      len = sizeof *in6;
    } else {
      auto* in = reinterpret_cast<sockaddr_in*>(&a);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *in;
    }
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
    EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  }
  ~Listener() { close(fd_); }
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  // One datagram, or empty after timeout_ms.
  Bytes Receive(int timeout_ms = 2000, sockaddr_storage* from = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return {};
    Bytes data(65536);
    sockaddr_storage f{};
    socklen_t fl = sizeof f;
    ssize_t n = recvfrom(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&f), &fl);
    if (from) *from = f;
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
  }

 private:
  int family_;
  int fd_ = -1;
  uint16_t port_ = 0;
};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_error = 0;
    SetDumpCounter(0);
  }
  void TearDown() override {
    while (!Sessions().empty()) snmp_close(Sessions().front()->session.get());
    SetDumpCounter(0);
  }
  SnmpSession Params(const char* peer, uint16_t port) {
    SnmpSession p;
    p.peername = peer;
    p.remote_port = port;
    return p;
  }
  std::unique_ptr<SnmpPdu> Trap(const char* peer) {
    auto pdu = snmp_pdu_create(SNMP_MSG_TRAP);
    pdu->peer = peer;
    pdu->agent_addr = "127.0.0.1";
    pdu->generic_type = 6;
    pdu->specific_type = 1;
    snmp_add_null_var(pdu.get(), kName.data(), kName.size());
    return pdu;
  }
  ReportCapture capture;
};

TEST_F(SessionTest, TrapReachesAnIPv4Peer) {
  Listener listener;
  SnmpSession* s = snmp_open_session(Params("127.0.0.1", listener.port()));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->community, "public");
  EXPECT_EQ(s->retries, kDefaultRetries);
  EXPECT_EQ(s->timeout, kDefaultTimeout);
  EXPECT_EQ(SessionLocalAddress(s), "0.0.0.0");
  auto pdu = Trap("127.0.0.1");
  pdu->enterprise.clear();  // the product's default trap enterprise
  EXPECT_EQ(snmp_send(s, pdu.get()), 1u);
  Bytes got = listener.Receive();
  ASSERT_FALSE(got.empty());
  auto back = snmp_pdu_create(0);
  ASSERT_EQ(snmp_parse(nullptr, back.get(), got.data(), static_cast<int32_t>(got.size())), 0);
  EXPECT_EQ(back->enterprise, (std::vector<oid>{1, 3, 6, 1, 4, 1, QX_ENTERPRISE_NUMBER, 5, 1, 1}));
  EXPECT_EQ(back->variables.size(), 1u);
  EXPECT_EQ(snmp_close(s), 1);
}

TEST_F(SessionTest, TrapReachesAnIPv6Peer) {
  Listener listener(AF_INET6);
  SnmpSession* s = snmp_open_session(Params("::1", listener.port()));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SessionLocalAddress(s), "::");
  auto pdu = Trap("::1");
  EXPECT_EQ(snmp_send(s, pdu.get()), 1u);
  EXPECT_FALSE(listener.Receive().empty());
}

TEST_F(SessionTest, CommunityRetriesAndTimeoutAreKept) {
  Listener listener;
  SnmpSession p = Params("127.0.0.1", listener.port());
  p.community = "private";
  p.retries = 0;
  p.timeout = 5;
  SnmpSession* s = snmp_open_session(p);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->retries, 0);
  EXPECT_EQ(s->timeout, 5);
  auto pdu = Trap("127.0.0.1");
  ASSERT_EQ(snmp_send(s, pdu.get()), 1u);
  Bytes got = listener.Receive();
  EXPECT_EQ(Bytes(got.begin() + 7, got.begin() + 14), (Bytes{'p', 'r', 'i', 'v', 'a', 't', 'e'}));
  // A trap is sent once: nothing is outstanding and nothing is sent again.
  EXPECT_TRUE(FindSession(s)->transport.requests.empty());
  snmp_timeout();
  EXPECT_TRUE(listener.Receive(100).empty());
}

TEST_F(SessionTest, ClosedAndUnknownSessions) {
  SnmpSession* s = snmp_open_session(Params("127.0.0.1", 9));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(snmp_close(s), 1);
  auto pdu = Trap("127.0.0.1");
  EXPECT_EQ(snmp_send(s, pdu.get()), 0u);
  EXPECT_EQ(session_error, kSessNotFound);
  session_error = 0;
  EXPECT_EQ(snmp_close(s), 0);
  EXPECT_EQ(session_error, kSessNotFound);
  EXPECT_EQ(snmp_send(nullptr, pdu.get()), 0u);
}

TEST_F(SessionTest, UnresolvablePeer) {
  EXPECT_EQ(snmp_open_session(Params("no-such-host.invalid", 162)), nullptr);
  EXPECT_EQ(session_error, kSessUnknownHost);
  EXPECT_TRUE(Sessions().empty());
  // A session without a peer sends to the PDU's peer; an unresolvable one fails.
  SnmpSession* s = snmp_open_session(SnmpSession{});
  ASSERT_NE(s, nullptr);
  auto pdu = Trap("no-such-host.invalid");
  session_error = 0;
  EXPECT_EQ(snmp_send(s, pdu.get()), 0u);
  EXPECT_EQ(session_error, kSessUnknownHost);
}

TEST_F(SessionTest, BuildFailureIsReported) {
  Listener listener;
  SnmpSession* s = snmp_open_session(Params("127.0.0.1", listener.port()));
  ASSERT_NE(s, nullptr);
  auto pdu = Trap("127.0.0.1");
  pdu->enterprise = {7};
  EXPECT_EQ(snmp_send(s, pdu.get()), 0u);
  EXPECT_EQ(session_error, kSessSendFailed);
  auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].msgid, 0x09658002u | (210u << 3));
  EXPECT_EQ(messages[1].msgid, 0x0965872Au);
  EXPECT_EQ(messages[1].flags, 0xC000);
  EXPECT_TRUE(listener.Receive(100).empty());
}

TEST_F(SessionTest, DumpPrintsTwentyFiveBytesALine) {
  ::testing::internal::CaptureStdout();
  Bytes data(30, 0xA5);
  DumpBytes(data.data(), data.size(), 25);
  std::string out = ::testing::internal::GetCapturedStdout();
  std::string line25;
  for (int i = 0; i < 25; ++i) line25 += "A5 ";
  EXPECT_EQ(out, line25 + "\nA5 A5 A5 A5 A5 \n\n");
}

TEST_F(SessionTest, DumpCounterPrintsTheSentDatagram) {
  Listener listener;
  SnmpSession* s = snmp_open_session(Params("127.0.0.1", listener.port()));
  ASSERT_NE(s, nullptr);
  auto pdu = Trap("127.0.0.1");
  SetDumpCounter(1);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(snmp_send(s, pdu.get()), 1u);
  std::string out = ::testing::internal::GetCapturedStdout();
  Bytes got = listener.Receive();
  std::string expected;
  char hex[4];
  for (size_t i = 0; i < got.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", got[i]);
    expected += hex;
    if ((i + 1) % 25 == 0) expected += "\n";
  }
  EXPECT_EQ(out, expected + "\n\n");
}

TEST_F(SessionTest, RequestIdsSkipZero) {
  Listener listener;
  SnmpSession* s = snmp_open_session(Params("127.0.0.1", listener.port()));
  ASSERT_NE(s, nullptr);
  RequestIdCounter() = 0xFFFFFFFFu;
  auto get = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(get.get(), kName.data(), kName.size());
  EXPECT_EQ(snmp_send(s, get.get()), 1u);
  EXPECT_EQ(get->error_status, 0u);
  EXPECT_EQ(FindSession(s)->transport.requests.size(), 1u);
}

struct Seen {
  int operation = 0;
  uint32_t request_id = 0;
  int calls = 0;
  int32_t integer = 0;
};

int Record(int operation, SnmpSession*, uint32_t request_id, SnmpPdu* pdu, void* arg) {
  auto* seen = static_cast<Seen*>(arg);
  seen->operation = operation;
  seen->request_id = request_id;
  seen->calls++;
  if (pdu != nullptr && !pdu->variables.empty()) seen->integer = pdu->variables[0].integer;
  return 1;
}

// Answers the GetRequest waiting on listener with GetResponses carrying value, one
// for each request-id offset given.
void Answer(Listener& listener, int32_t value, std::vector<uint32_t> id_deltas = {0}) {
  sockaddr_storage from{};
  Bytes got = listener.Receive(2000, &from);
  ASSERT_FALSE(got.empty());
  auto request = snmp_pdu_create(0);
  ASSERT_EQ(snmp_parse(nullptr, request.get(), got.data(), static_cast<int32_t>(got.size())), 0);
  for (uint32_t delta : id_deltas) {
    auto response = snmp_pdu_create(SNMP_MSG_RESPONSE);
    response->request_id = request->request_id + delta;
    VarBind& v = response->variables.emplace_back(request->variables.at(0));
    v.type = ASN_INTEGER;
    v.integer = value;
    Bytes out(kMaxMessageSize);
    int32_t length = kMaxMessageSize;
    ASSERT_EQ(snmp_build(nullptr, response.get(), out.data(), &length), 0);
    socklen_t fl = from.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    ASSERT_GT(sendto(listener.fd(), out.data(), static_cast<size_t>(length), 0,
                     reinterpret_cast<sockaddr*>(&from), fl),
              0);
  }
}

TEST_F(SessionTest, ResponsesReachTheCallbackOfTheirRequest) {
  Listener listener;
  Seen seen;
  SnmpSession p = Params("127.0.0.1", listener.port());
  p.callback = Record;
  p.callback_arg = &seen;
  SnmpSession* s = snmp_open_session(p);
  ASSERT_NE(s, nullptr);
  auto get = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(get.get(), kName.data(), kName.size());
  uint32_t id = snmp_send(s, get.get());
  ASSERT_NE(id, 0u);
  Answer(listener, 4242, {1, 0});  // the first is not an answer to ours: ignored
  fd_set fds;
  FD_ZERO(&fds);
  int numfds = 0, block = 1;
  timeval tv{};
  EXPECT_EQ(snmp_select_info(&numfds, &fds, &tv, &block), 1);
  EXPECT_EQ(block, 0);  // an outstanding request bounds the wait
  EXPECT_LE(tv.tv_sec, 1);
  ASSERT_EQ(select(numfds, &fds, nullptr, nullptr, &tv), 1);
  snmp_read(&fds);
  EXPECT_EQ(seen.calls, 0);
  FD_ZERO(&fds);
  numfds = 0;
  snmp_select_info(&numfds, &fds, &tv, &block);
  tv = {2, 0};
  ASSERT_EQ(select(numfds, &fds, nullptr, nullptr, &tv), 1);
  snmp_read(&fds);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.request_id, id);
  EXPECT_EQ(seen.operation, RECEIVED_MESSAGE);
  EXPECT_TRUE(FindSession(s)->transport.requests.empty());
}

TEST_F(SessionTest, SynchronousExchangeWithAResponder) {
  Listener listener;
  SnmpSession* s = snmp_open_session(Params("127.0.0.1", listener.port()));
  ASSERT_NE(s, nullptr);
  pid_t child = fork();
  if (child == 0) {
    SetReportSink(nullptr);
    Answer(listener, 777);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  auto get = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(get.get(), kName.data(), kName.size());
  std::unique_ptr<SnmpPdu> response;
  EXPECT_EQ(snmp_synch_response(s, get.get(), &response), 0);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->command, SNMP_MSG_RESPONSE);
  EXPECT_EQ(response->variables.at(0).integer, 777);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SessionTest, SynchronousExchangeTimesOutAfterItsRetries) {
  Listener listener;  // never answers
  SnmpSession p = Params("127.0.0.1", listener.port());
  p.retries = 2;
  p.timeout = 20000;
  SnmpSession* s = snmp_open_session(p);
  ASSERT_NE(s, nullptr);
  auto get = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(get.get(), kName.data(), kName.size());
  std::unique_ptr<SnmpPdu> response;
  EXPECT_EQ(snmp_synch_response(s, get.get(), &response), 2);
  EXPECT_EQ(response, nullptr);
  // The first send and one retry, with the same request.
  Bytes first = listener.Receive(100);
  Bytes second = listener.Receive(100);
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first, second);
  EXPECT_TRUE(listener.Receive(50).empty());
}

TEST_F(SessionTest, FixPduDropsTheFailingBinding) {
  SnmpPdu response;
  response.command = SNMP_MSG_RESPONSE;
  response.error_status = 2;
  response.error_index = 2;
  for (oid i = 1; i <= 3; ++i) {
    std::vector<oid> name = kName;
    name.push_back(i);
    snmp_add_null_var(&response, name.data(), name.size());
  }
  auto fixed = snmp_fix_pdu(response, SNMP_MSG_GET);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->command, SNMP_MSG_GET);
  EXPECT_EQ(fixed->error_status, kNotGiven);
  ASSERT_EQ(fixed->variables.size(), 2u);
  EXPECT_EQ(fixed->variables[1].name.back(), 3u);
  response.error_index = 4;
  EXPECT_EQ(snmp_fix_pdu(response, SNMP_MSG_GET), nullptr);
  response.error_index = 0;
  EXPECT_EQ(snmp_fix_pdu(response, SNMP_MSG_GET), nullptr);
  response.error_index = 1;
  response.error_status = 0;
  EXPECT_EQ(snmp_fix_pdu(response, SNMP_MSG_GET), nullptr);
  response.error_status = 2;
  response.variables.resize(1);
  EXPECT_EQ(snmp_fix_pdu(response, SNMP_MSG_GET), nullptr);  // nothing left to send
}

}  // namespace
}  // namespace qx::snmp
