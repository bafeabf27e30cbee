// Test sender: sends traps built with the engine to a trap receiver on loopback.
//
//   snmp2_trap_sender <udp port> <count> <first specific> [host]
//     sends count traps, specific numbers first.. first+count-1, each with a
//     sysDescr.0 OCTET STRING, an ifOperStatus.1 INTEGER and a sysUpTime.0
//     TimeTicks binding;
//   snmp2_trap_sender <udp port> subscribe <tcp port> <time> [host]
//     sends a subscription request for a subscriber at host:<tcp port>.
#include <qxsnmp/forward.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/session.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace qx::snmp;

namespace {

std::unique_ptr<SnmpPdu> Trap(int32_t specific) {
  auto t = snmp_pdu_create(SNMP_MSG_TRAP);
  t->enterprise = {1, 3, 6, 1, 4, 1, 9, 9, 41};
  t->agent_addr = "127.0.0.1";
  t->generic_type = 6;
  t->specific_type = specific;
  t->time = 8640000;
  const oid descr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
  VarBind& a = snmp_add_null_var(t.get(), descr, std::size(descr));
  a.type = ASN_OCTET_STR;
  std::string text = "test trap " + std::to_string(specific);
  a.bytes.assign(text.begin(), text.end());
  const oid status[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 8, 1};
  VarBind& b = snmp_add_null_var(t.get(), status, std::size(status));
  b.type = ASN_INTEGER;
  b.integer = 2;
  const oid uptime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
  VarBind& c = snmp_add_null_var(t.get(), uptime, std::size(uptime));
  c.type = ASN_TIMETICKS;
  c.integer = 360000;
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: snmp2_trap_sender <port> <count> <first> [host]\n"
                 "       snmp2_trap_sender <port> subscribe <tcp port> <time> [host]\n");
    return 1;
  }
  const bool subscribe = std::strcmp(argv[2], "subscribe") == 0;
  const int host_arg = subscribe ? 5 : 4;
  SnmpSession params;
  params.peername = argc > host_arg ? argv[host_arg] : "127.0.0.1";
  params.remote_port = static_cast<uint16_t>(std::atoi(argv[1]));
  SnmpSession* session = snmp_open(params);
  int failures = 0;
  if (subscribe) {
    if (argc < 5) return 1;
    auto request =
        MakeSubscriptionRequest("127.0.0.1", static_cast<uint16_t>(std::atoi(argv[3])),
                                static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)));
    request->peer = params.peername;
    if (snmp_send(session, request.get()) == 0) ++failures;
  } else {
    const int count = std::atoi(argv[2]);
    const int first = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
      auto t = Trap(first + i);
      t->peer = params.peername;
      if (snmp_send(session, t.get()) == 0) ++failures;
    }
  }
  snmp_close(session);
  return failures == 0 ? 0 : 3;
}
