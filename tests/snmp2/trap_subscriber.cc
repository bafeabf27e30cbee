// Test subscriber: registers with a trap receiver and prints what it is sent.
//
//   snmp2_trap_subscriber <receiver udp port> <time> <records>
//
// Listens on a TCP port of 127.0.0.1, sends the receiver a subscription trap for
// it, and prints one line per event on standard output:
//   listening <port>
//   connected <n>                        a connection from the receiver
//   closed <n>                           the receiver closed connection n
//   trap <n> specific=<s> time=<t> vars=<k> community=<c>
//                                        a record on connection n, decoded
//   bad <n> <reason>                     a record that is not one
// It exits after <records> traps (closing its connections), or after 20 seconds.
#include <netinet/in.h>
#include <poll.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/forward.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/session.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace qx::snmp;

namespace {

bool ReadExactly(int fd, uint8_t* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = recv(fd, data + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// One record from fd: false when the connection ended.
bool ReadRecord(int fd, int n, int* traps) {
  uint8_t header[kRecordHeaderSize];
  if (!ReadExactly(fd, header, sizeof header)) return false;
  uint32_t length = 0;
  if (!ParseRecordHeader(header, sizeof header, &length)) {
    std::printf("bad %d header\n", n);
    return false;
  }
  std::vector<uint8_t> message(length);
  if (!ReadExactly(fd, message.data(), length)) return false;
  auto pdu = snmp_pdu_create(0);
  if (snmp_parse(nullptr, pdu.get(), message.data(), static_cast<int32_t>(length)) != 0) {
    std::printf("bad %d message\n", n);
    return true;
  }
  uint8_t community[kMaxCommunityLength];
  int32_t community_length = kMaxCommunityLength, version = 0;
  int32_t remaining = static_cast<int32_t>(length);
  snmp_auth_parse(message.data(), &remaining, community, &community_length, &version);
  std::printf("trap %d specific=%d time=%u vars=%zu community=%.*s\n", n, pdu->specific_type,
              pdu->time, pdu->variables.size(), community_length, community);
  ++*traps;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: snmp2_trap_subscriber <receiver port> <time> <records>\n");
    return 1;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const uint16_t receiver_port = static_cast<uint16_t>(std::atoi(argv[1]));
  const uint32_t time = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const int wanted = std::atoi(argv[3]);

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listener, 4) != 0) {
    std::perror("listen");
    return 2;
  }
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const uint16_t port = ntohs(a.sin_port);
  std::printf("listening %u\n", port);

  SnmpSession params;
  params.peername = "127.0.0.1";
  params.remote_port = receiver_port;
  SnmpSession* session = snmp_open(params);
  auto request = MakeSubscriptionRequest("127.0.0.1", port, time);
  request->peer = "127.0.0.1";
  if (snmp_send(session, request.get()) == 0) return 3;
  snmp_close(session);

  std::map<int, int> connections;  // fd -> connection number
  int next = 1, traps = 0;
  const ::time_t deadline = ::time(nullptr) + 20;
  while (traps < wanted && ::time(nullptr) < deadline) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    for (const auto& [fd, n] : connections) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 500) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        connections[fd] = next;
        std::printf("connected %d\n", next++);
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      int fd = fds[i].fd;
      if (!ReadRecord(fd, connections[fd], &traps)) {
        std::printf("closed %d\n", connections[fd]);
        close(fd);
        connections.erase(fd);
      }
      if (traps >= wanted) break;
    }
  }
  for (const auto& [fd, n] : connections) close(fd);
  close(listener);
  return traps >= wanted ? 0 : 4;
}
