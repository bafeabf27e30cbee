// The receive side of a trap daemon: one UDP socket that takes datagrams over
// IPv4 and IPv6, decodes each with the engine, writes each trap's text (names and
// values through print.h) and hands it to trap_subscription (forward.h).
// Malformed datagrams are reported, counted and skipped.
//
// Thread-safety: one receiver per thread; the engine's process-wide state (MIB
// tree, subscribers, error cells) is shared, so use the engine from one thread.
#ifndef QXSNMP_TRAP_RECEIVER_H
#define QXSNMP_TRAP_RECEIVER_H

#include <qxsnmp/pdu.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace qx::snmp {

// The largest datagram taken in whole (the UDP maximum).
inline constexpr size_t kMaxDatagramSize = 65535;

struct ReceiverStats {
  uint64_t datagrams = 0;
  uint64_t traps = 0;
  uint64_t malformed = 0;
  uint64_t not_traps = 0;
};

// The text of one received trap: a heading line with the source and community,
// the trap fields, then each binding as "Name: ...\n<value>\n", and a blank line.
std::string TrapText(const SnmpPdu& trap, const std::string& source, const std::string& community);

// "a.b.c.d:port" or "[v6]:port" (IPv4-mapped IPv6 addresses shown as IPv4).
std::string SourceText(const sockaddr* from, socklen_t length);

class TrapReceiver {
 public:
  TrapReceiver() = default;
  ~TrapReceiver();
  TrapReceiver(const TrapReceiver&) = delete;
  TrapReceiver& operator=(const TrapReceiver&) = delete;

  // Binds a dual-stack socket to port (0: a free one), or an IPv4 one where the
  // host has no IPv6. False with the reason in *error.
  bool Open(uint16_t port, std::string* error);
  int fd() const { return fd_; }
  uint16_t port() const { return port_; }

  // Receives one waiting datagram (without blocking) and handles it; false when
  // none was waiting.
  bool ReceiveOne(FILE* out);
  // Handles one datagram: the trap's text goes to out (when not null) and the trap
  // to the subscribers; other messages are counted and skipped.
  void Handle(const uint8_t* data, size_t size, const std::string& source, FILE* out);

  const ReceiverStats& stats() const { return stats_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  ReceiverStats stats_;
  std::string buffer_;
};

}  // namespace qx::snmp

#endif
