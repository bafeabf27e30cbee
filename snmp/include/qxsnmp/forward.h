// Trap forwarding to subscribers: the forwarding side of a trap receiver.
//
// A subscriber registers by sending the receiver a subscription trap: enterprise
// 1.3.6.1.4.1.E... (E the product's enterprise number, more than six
// sub-identifiers), generic type 6, specific type the subscription trap number
// (599, or "QXIRWTD0000" when set), agent address the subscriber's host, and a
// first binding INTEGER holding the subscriber's TCP port in network byte order
// (the 16-bit port as the peers of this service have always sent it, e.g.
// htons(5000)). The time-stamp identifies the subscription: the same time again
// changes nothing, a new time replaces the connection.
//
// The receiver connects to the subscriber over TCP and, for every other trap it
// hands to trap_subscription, sends one record:
//   9D 9D  01  'T'  length(4, big-endian: message + 8)  SNMP message
// A subscriber that has closed its end, or that stops reading, is dropped before
// or during the next send.
//
// Thread-safety: none; the subscriber list is process-wide. Sends never raise
// SIGPIPE.
#ifndef QXSNMP_FORWARD_H
#define QXSNMP_FORWARD_H

#include <qxsnmp/pdu.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qx::snmp {

inline constexpr int32_t kDefaultSubscriptionTrap = 599;

// The forwarded record's header.
inline constexpr size_t kRecordHeaderSize = 8;
inline constexpr uint8_t kRecordMagic = 0x9D;
inline constexpr uint8_t kRecordVersion = 1;
inline constexpr uint8_t kRecordKindTrap = 'T';

// Bounds on one subscriber: the connect and each send give up after this long,
// and the receiver reads at most this much of what a subscriber sends it before
// each record.
inline constexpr int kSubscriberTimeoutMs = 5000;
inline constexpr size_t kMaxDrainBytes = 64 * 1024;

// Changes the connect and send time-out (tests); 0 restores kSubscriberTimeoutMs.
void SetSubscriberTimeout(int milliseconds);

// The subscription trap number: "QXIRWTD0000" when set, else 599 (read once).
int32_t SubscriptionTrapNumber();

// True when trap is a subscription request.
bool IsSubscriptionRequest(const SnmpPdu& trap);

// Handles one received trap in its sending form (agent_addr is host text), with
// the community it came with: registers a subscription request, or forwards any
// other trap to every subscriber. Failures are traced and end the handling of
// this trap.
void trap_subscription(const SnmpPdu& trap, std::string_view community);

// A subscription request for a subscriber at address:port.
std::unique_ptr<SnmpPdu> MakeSubscriptionRequest(const std::string& address, uint16_t port,
                                                 uint32_t time);

// Reads a record header: true with *message_length when data holds one.
bool ParseRecordHeader(const uint8_t* data, size_t size, uint32_t* message_length);

struct SubscriberInfo {
  std::string address;
  uint16_t port = 0;
  uint32_t time = 0;
  bool active = false;
};
// The subscriber entries, in order of creation (unused entries included).
std::vector<SubscriberInfo> Subscribers();
// The number of active subscribers.
int SubscriberCount();
// Closes every subscriber's connection; the entries stay, unused.
void CloseSubscribers();

}  // namespace qx::snmp

#endif
