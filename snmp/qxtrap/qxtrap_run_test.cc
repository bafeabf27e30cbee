// Runs the built qxtrap program: its failure rows (message, inserts, usage text,
// exit status as the parent sees it), the datagrams it sends and its -d dump.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <qxsnmp/pdu.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "test_env.h"
#include "udp_listener.h"

namespace qx::qxtrap {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct RunResult {
  int status = 0;
  std::string out;
  std::string err;
};

RunResult Qxtrap(const std::vector<std::string>& args, const std::string& env = "") {
  std::string err_file = qx::testing::TestRoot() + "/stderr.txt";
  std::string cmd = env + " " + Quote(qx::testing::BuildBinDir() + "/qxtrap");
  for (const std::string& a : args) cmd += " " + Quote(a);
  cmd += " 2>" + Quote(err_file);
  RunResult r;
  r.status = qx::testing::RunCommand(cmd, &r.out);
  r.err = qx::testing::ReadFile(err_file);
  return r;
}

// The message lines of standard error, without their date and time.
std::vector<std::string> Messages(const std::string& err) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    std::string line = err.substr(start, end - start);
    size_t date = line.find("  ");  // two blanks stand before the date
    lines.push_back(line.substr(0, date));
    start = end + 1;
  }
  return lines;
}

using Listener = qx::testing::UdpListener;

std::unique_ptr<snmp::SnmpPdu> Decode(const Bytes& d) {
  auto pdu = snmp::snmp_pdu_create(0);
  if (snmp::snmp_parse(nullptr, pdu.get(), d.data(), static_cast<int32_t>(d.size())) != 0)
    return nullptr;
  return pdu;
}

const std::vector<std::string> kGood = {"127.0.0.1", "", "127.0.0.1", "6", "1", "100"};

std::vector<std::string> With(std::vector<std::string> head, std::vector<std::string> tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(QxtrapRun, ArgumentErrorsReportThenPrintTheUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-x", "127.0.0.1", "", "", "6", "1", ""}, "%QXTRAP-E-BADOPTION, unknown option -x"},
      {{"-", "127.0.0.1", "", "", "6", "1", ""}, "%QXTRAP-E-BADOPTION, unknown option -"},
      // A negative number among the positionals is taken for an option.
      {{"127.0.0.1", "", "", "6", "-1", ""}, "%QXTRAP-E-BADOPTION, unknown option -1"},
      {{"a", "", "c"},
       "%QXTRAP-E-TOOFEWARGS, 3 arguments given; a node and five more arguments are needed"},
      {With(kGood, {"1.3.6.1.2.1.1.5.0", "integer"}),
       "%QXTRAP-E-INCOMPLETE, the last variable has the type integer but no value"},
      {With(kGood, {std::string(300, '1')}),
       "%QXTRAP-E-ARGTOOLONG, an argument is longer than 255 characters: " + std::string(256, '1')},
  };
  for (const Case& c : cases) {
    RunResult r = Qxtrap(c.args);
    EXPECT_EQ(r.status, 254) << c.message;  // exit(-2)
    EXPECT_EQ(r.out, kUsageText);
    std::vector<std::string> m = Messages(r.err);
    ASSERT_EQ(m.size(), 1u) << r.err;
    EXPECT_EQ(m[0], c.message);
  }
}

TEST(QxtrapRun, SeveralArgumentErrorsAreAllReported) {
  RunResult r = Qxtrap({"-q", "-z", "node"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(Messages(r.err),
            (std::vector<std::string>{
                "%QXTRAP-E-BADOPTION, unknown option -q", "%QXTRAP-E-BADOPTION, unknown option -z",
                "%QXTRAP-E-TOOFEWARGS, 3 arguments given; a node and five more arguments are "
                "needed"}));
  // Missing numbers without another error: the usage text alone.
  r = Qxtrap({"-c", "a", "-c", "b", "-c", "c", "node"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, kUsageText);
  EXPECT_EQ(r.err, "");
}

TEST(QxtrapRun, MoreThan256VariableTokens) {
  std::vector<std::string> args = kGood;
  for (int i = 0; i < 259; ++i) args.push_back("1.3.6.1.2.1.1.5.0");
  RunResult r = Qxtrap(args);
  EXPECT_EQ(r.status, 254);
  std::vector<std::string> m = Messages(r.err);
  ASSERT_GE(m.size(), 1u);
  EXPECT_EQ(m[0], "%QXTRAP-E-TOOMANYVARS, 259 variable tokens given; at most 256 are allowed");
}

TEST(QxtrapRun, ConversionErrorsEndTheRunWithTheirCode) {
  std::string name65 = "1";
  for (int i = 0; i < 64; ++i) name65 += ".1";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {With(kGood, {"1.3.6.1.2.1.1.5.0", "badtype", "1"}), 22,  // -234
       "%QXTRAP-E-BADTYPE, unknown variable type badtype"},
      {With(kGood, {"1.3.6.1.2.1.1.5.0", std::string(21, 'a'), "1"}), 22,
       "%QXTRAP-E-BADTYPE, unknown variable type " + std::string(21, 'a')},
      {With(kGood, {"1.3.6.1.2.1.1.5.0", "OctetStringHex", "ab"}), 21,  // -235
       "%QXTRAP-E-TYPENOTSUPP, variable type OctetStringHex is not supported"},
      {With(kGood, {"1.3.6.1.2.1.1.5.0", "opaqueoctal", "1"}), 21,
       "%QXTRAP-E-TYPENOTSUPP, variable type opaqueoctal is not supported"},
      {With(kGood, {"1.3", "null"}), 19,  // -237
       "%QXTRAP-E-BADOIDTEXT, object identifier 1.3 is not dotted decimal with three "
       "sub-identifiers or more"},
      {With(kGood, {"1.3.x", "null"}), 19,
       "%QXTRAP-E-BADOIDTEXT, object identifier 1.3.x is not dotted decimal with three "
       "sub-identifiers or more"},
      {With(kGood, {name65, "null"}), 48,  // -208
       "%QXTRAP-E-OIDTOOLONG, object identifier " + name65.substr(0, 256) +
           " has more sub-identifiers than allowed"},
      {With(kGood, {"1.3.6.1.2.1.1.5.0", "objectidentifier", "1.3"}), 19,
       "%QXTRAP-E-BADOIDTEXT, object identifier 1.3 is not dotted decimal with three "
       "sub-identifiers or more"},
      {{"127.0.0.1", "1..3", "", "6", "1", ""},
       19,
       "%QXTRAP-E-BADOIDTEXT, object identifier 1..3 is not dotted decimal with three "
       "sub-identifiers or more"},
  };
  for (const Case& c : cases) {
    RunResult r = Qxtrap(c.args);
    EXPECT_EQ(r.status, c.status) << c.message;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Messages(r.err), std::vector<std::string>{c.message});
  }
}

TEST(QxtrapRun, UnresolvableHosts) {
  Listener listener;
  // The node: message 50 with the node, exit -6.
  RunResult r = Qxtrap({"-p", listener.port(), "no-such-node.invalid", "", "", "6", "1", ""});
  EXPECT_EQ(r.status, 250);
  EXPECT_EQ(Messages(r.err), (std::vector<std::string>{
                                 "%QXTRAP-E-NOHOST, host no-such-node.invalid cannot be resolved "
                                 "to an address"}));
  // The agent: the encoding fails, message 5, exit -5; nothing is sent.
  r = Qxtrap({"-p", listener.port(), "127.0.0.1", "", "no-such-agent.invalid", "6", "1", ""});
  EXPECT_EQ(r.status, 251);
  EXPECT_EQ(Messages(r.err),
            (std::vector<std::string>{
                "%QXTRAP-E-NOHOST, host no-such-agent.invalid cannot be resolved to an address",
                "%QXTRAP-E-BUILDFAIL, the SNMP message could not be built",
                "%QXTRAP-E-SENDFAIL, the trap could not be sent"}));
  // An enterprise of one sub-identifier cannot be encoded: message 5 as well.
  r = Qxtrap({"-p", listener.port(), "127.0.0.1", "1", "", "6", "1", ""});
  EXPECT_EQ(r.status, 251);
  std::vector<std::string> m = Messages(r.err);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].substr(0, 21), "%QXTRAP-E-BADOID, obj");
  EXPECT_EQ(m[2], "%QXTRAP-E-SENDFAIL, the trap could not be sent");
  EXPECT_TRUE(listener.Receive(200).empty());
}

TEST(QxtrapRun, DatagramOfAnExplicitRun) {
  Listener listener;
  RunResult r = Qxtrap({"-p", listener.port(), "-c", "public", "127.0.0.1", "1.3.6.1.4.1.32473.1",
                        "127.0.0.1", "6", "1", "100", "1.3.6.1.2.1.1.5.0", "octetstring", "hello",
                        "1.3.6.1.2.1.1.5.6.0", "integer", "-123"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  Bytes expected = {0x30, 0x4C, 0x02, 0x01, 0x00, 0x04, 0x06, 0x70, 0x75, 0x62, 0x6C, 0x69, 0x63,
                    0xA4, 0x3F, 0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x01,
                    0x40, 0x04, 0x7F, 0x00, 0x00, 0x01, 0x02, 0x01, 0x06, 0x02, 0x01, 0x01, 0x43,
                    0x01, 0x64, 0x30, 0x23, 0x30, 0x11, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01,
                    0x01, 0x05, 0x00, 0x04, 0x05, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0x30, 0x0E, 0x06,
                    0x09, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x05, 0x06, 0x00, 0x02, 0x01, 0x85};
  EXPECT_EQ(listener.Receive(), expected);
}

// The first non-loopback IPv4 address of an interface that is up.
std::array<uint8_t, 4> LocalAddress() {
  std::array<uint8_t, 4> out{};
  ifaddrs* list = nullptr;
  getifaddrs(&list);
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    std::memcpy(out.data(), &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
    break;
  }
  freeifaddrs(list);
  return out;
}

TEST(QxtrapRun, DefaultsFillTheEmptyArguments) {
  Listener listener;
  RunResult r = Qxtrap({"-p", listener.port(), "127.0.0.1", "", "", "6", "1", ""});
  EXPECT_EQ(r.status, 0) << r.err;
  auto pdu = Decode(listener.Receive());
  ASSERT_NE(pdu, nullptr);
  EXPECT_EQ(pdu->enterprise, (std::vector<snmp::oid>{1, 3, 6, 1, 4, 1, QX_ENTERPRISE_NUMBER}));
  EXPECT_EQ(pdu->agent_ip, LocalAddress());
  EXPECT_EQ(pdu->generic_type, 6);
  EXPECT_EQ(pdu->specific_type, 1);
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  uint32_t now =
      static_cast<uint32_t>((uint64_t(boot.tv_sec) * 1000 + boot.tv_nsec / 1000000) / 10);
  EXPECT_LE(pdu->time, now);
  EXPECT_GE(pdu->time + 500, now);
  ASSERT_EQ(pdu->variables.size(), 1u);
  EXPECT_EQ(pdu->variables[0].name, (std::vector<snmp::oid>{1, 3, 6, 1, 2, 1, 1, 2, 3}));
  EXPECT_EQ(pdu->variables[0].type, snmp::ASN_NULL);
}

TEST(QxtrapRun, VariablesReplaceTheDefaultIdentifiers) {
  Listener listener;
  RunResult r = Qxtrap({"-p", listener.port(), "127.0.0.1", "", "127.0.0.1", "6", "1", "5"},
                       "QXIQXTD0000=1.3.6.1.4.1.9 QXIQXTD0001=1.3.6.1.2.1.1.1.0");
  EXPECT_EQ(r.status, 0) << r.err;
  auto pdu = Decode(listener.Receive());
  ASSERT_NE(pdu, nullptr);
  EXPECT_EQ(pdu->enterprise, (std::vector<snmp::oid>{1, 3, 6, 1, 4, 1, 9}));
  EXPECT_EQ(pdu->variables.at(0).name, (std::vector<snmp::oid>{1, 3, 6, 1, 2, 1, 1, 1, 0}));
  // A default variable name holds at most nine sub-identifiers.
  r = Qxtrap({"127.0.0.1", "", "", "6", "1", ""}, "QXIQXTD0001=1.3.6.1.2.1.1.1.0.1");
  EXPECT_EQ(r.status, 48);
  r = Qxtrap({"127.0.0.1", "", "", "6", "1", ""}, "QXIQXTD0000=1.x");
  EXPECT_EQ(r.status, 19);
}

TEST(QxtrapRun, TriplesAndOptionTokensAfterTheTimeStamp) {
  Listener listener;
  const std::vector<std::string> options = {"-p", listener.port(), "-r", "3", "-t", "10", "-c", ""};
  // "-x" after the time-stamp is a variable token: here the type of the first triple.
  RunResult r = Qxtrap(With(options, With(kGood, {"1.3.6.1.2.1.1.5.0", "-x", "1"})));
  EXPECT_EQ(r.status, 22);  // -234
  EXPECT_EQ(Messages(r.err),
            std::vector<std::string>{"%QXTRAP-E-BADTYPE, unknown variable type -x"});
  // A last name with the type null but no value, and a lone last name.
  for (const std::vector<std::string>& tail :
       {std::vector<std::string>{"1.3.6.1.2.1.1.5.0", "opaque", "-7", "1.3.6.1.2.1.1.5.1", "Null"},
        std::vector<std::string>{"1.3.6.1.2.1.1.5.0", "opaque", "-7", "1.3.6.1.2.1.1.5.1"}}) {
    r = Qxtrap(With(options, With(kGood, tail)));
    EXPECT_EQ(r.status, 0) << r.err;
    Bytes got = listener.Receive();
    ASSERT_GT(got.size(), 13u);
    EXPECT_EQ(Bytes(got.begin() + 5, got.begin() + 13),
              (Bytes{0x04, 0x06, 'p', 'u', 'b', 'l', 'i', 'c'}));  // an empty -c is "public"
    auto pdu = Decode(got);
    ASSERT_NE(pdu, nullptr);
    ASSERT_EQ(pdu->variables.size(), 2u);
    EXPECT_EQ(pdu->variables[0].type, snmp::ASN_INTEGER);  // OPAQUE encodes an INTEGER
    EXPECT_EQ(pdu->variables[0].integer, -7);
    EXPECT_EQ(pdu->variables[1].name.back(), 1u);
    EXPECT_EQ(pdu->variables[1].type, snmp::ASN_NULL);
  }
  // Retries and time-out make no difference to a trap: it is sent once.
  EXPECT_TRUE(listener.Receive(300).empty());
}

TEST(QxtrapRun, DumpShowsTheDatagramTwentyFiveBytesALine) {
  Listener listener;
  RunResult r = Qxtrap(With({"-d", "-p", listener.port()}, kGood));
  EXPECT_EQ(r.status, 0) << r.err;
  Bytes got = listener.Receive();
  std::string expected;
  char hex[4];
  for (size_t i = 0; i < got.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", got[i]);
    expected += hex;
    if ((i + 1) % 25 == 0) expected += "\n";
  }
  EXPECT_EQ(r.out, expected + "\n\n");
}

TEST(QxtrapRun, DebugTracingShowsTheSteps) {
  Listener listener;
  RunResult r = Qxtrap(With({"-p", listener.port()}, kGood), "QX_QXIDEBUG=1");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("%QXTRAP-I-TRACE, retreived command line: -p " + listener.port() +
                       " 127.0.0.1  127.0.0.1 6 1 100"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("%QXTRAP-I-TRACE, parse_address address = 127.0.0.1"), std::string::npos);
  EXPECT_NE(r.err.find("%QXTRAP-I-TRACE, snmp_open, returning session"), std::string::npos);
  EXPECT_NE(r.err.find("trap.cc_"), std::string::npos);  // the debug suffix names the source
  // The variable switches tracing on whatever its value, also an empty one.
  r = Qxtrap(With({"-p", listener.port()}, kGood), "QX_QXIDEBUG=");
  EXPECT_NE(r.err.find("%QXTRAP-I-TRACE, snmp_open, returning session"), std::string::npos);
  EXPECT_EQ(r.status, 0);
}

TEST(QxtrapRun, TheSendLineReachesTheTraceLibrary) {
  // With the debug switch set, the trace library (QXTESTRC) gets the engine's line
  // after the send, with the sizes of the datagram, from the program's own module.
  Listener listener;
  const std::string trace = qx::testing::TestRoot() + "/trace.log";
  RunResult r = Qxtrap(With({"-p", listener.port()}, kGood),
                       "QX_QXIDEBUG=1 QX_LIB_PATH=" +
                           Quote(qx::testing::BuildBinDir() + "/../testlib") +
                           " QXTESTRC_FILE=" + Quote(trace));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string lines = qx::testing::ReadFile(trace);
  size_t at = lines.find("snmp_send: Sent to: 127.0.0.1. Length of the packet is ");
  ASSERT_NE(at, std::string::npos) << lines;
  int length = 0, sent = 0;
  ASSERT_EQ(std::sscanf(lines.c_str() + at,
                        "snmp_send: Sent to: 127.0.0.1. Length of the packet is %d, and Sent = %d",
                        &length, &sent),
            2);
  EXPECT_GT(length, 0);
  EXPECT_EQ(sent, length);
  EXPECT_EQ(lines.rfind("qxtrap|", at), lines.rfind('\n', at) + 1) << lines;
}

}  // namespace
}  // namespace qx::qxtrap
