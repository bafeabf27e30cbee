// Trap forwarding to subscribers over TCP.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <qxenv.h>
#include <qxsnmp/forward.h>
#include <qxsnmp/report.h>
#include <qxsnmp/session.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>

#include "resolve.h"
#include "session_list.h"

namespace qx::snmp {
namespace {

struct Subscriber {
  std::string address;  // the entry's own copy
  uint32_t time = 0;
  int socket = -1;  // -1: unused
  uint16_t port = 0;
};

// Entries in order of creation; reused, never freed.
std::list<Subscriber>& List() {
  static std::list<Subscriber> list;
  return list;
}
int g_active = 0;
int g_timeout_ms = kSubscriberTimeoutMs;

// Interrupted sends are retried this many times.
constexpr int kMaxSendRetries = 10;
// What one receive of the drain step reads.
constexpr size_t kDrainChunk = 256;

void Drop(Subscriber* s) {
  if (s->socket >= 0) close(s->socket);
  s->socket = -1;
  --g_active;
}

void TraceSystemError(const char* what, int error) {
  QX_SNMP_TRACE("%s: %s\n", what, SystemErrorText(error));
}

// Connects fd to address within the subscriber time-out; false with errno.
bool ConnectWithin(int fd, const sockaddr* address, socklen_t length) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = connect(fd, address, length);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    rc = poll(&p, 1, g_timeout_ms);
    if (rc == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (rc < 0) return false;
    int error = 0;
    socklen_t error_length = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_length);
    if (error != 0) {
      errno = error;
      return false;
    }
    rc = 0;
  }
  if (rc != 0) return false;
  fcntl(fd, F_SETFL, flags);
  timeval tv{g_timeout_ms / 1000, (g_timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return true;
}

// Opens the entry's connection: the first of its addresses that accepts.
void Connect(Subscriber* s) {
  AddrInfoList addresses;
  if (addresses.Resolve(s->address.c_str(), std::to_string(s->port).c_str(), 0, AF_UNSPEC,
                        SOCK_STREAM) != 0) {
    QX_SNMP_TRACE("QXTRAPD: trap_subscription : getaddrinfo failed  for subscriber address!\n");
    return;
  }
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      QX_SNMP_TRACE("trap_subscription, ERROR opening socket\n");
      TraceSystemError("socket", errno);
      return;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
      QX_SNMP_TRACE("trap_subscription, ERROR enabling keepalive\n");
      TraceSystemError("setsocket: SO_KEEPALIVE", errno);
    }
    if (ConnectWithin(fd, a->ai_addr, a->ai_addrlen)) {
      s->socket = fd;
      ++g_active;
      QX_SNMP_TRACE("qxtrapd has subscription with %s:%d\n", s->address.c_str(), s->port);
      QX_SNMP_TRACE("qxtrapd has %d subscriptions\n", g_active);
      return;
    }
    int error = errno;
    QX_SNMP_TRACE("trap_subscription cannot connect to %s:%d\n", s->address.c_str(), s->port);
    TraceSystemError("CONNECT", error);
    close(fd);
  }
  s->socket = -1;
}

void Subscribe(const SnmpPdu& trap) {
  QX_SNMP_TRACE("QXTRAPD: trap_subscription : Rcvd QXTRAP_NOTIFICATION\n");
  if (trap.variables.empty()) {
    QX_SNMP_TRACE("QXTRAPD: trap_subscription : No Binding Var with Trap!\n");
    return;
  }
  const VarBind& first = trap.variables.front();
  if (first.type != ASN_INTEGER) {
    QX_SNMP_TRACE("QXTRAPD: trap_subscription : Binding Var wrong type!\n");
    return;
  }
  const uint16_t port = ntohs(static_cast<uint16_t>(first.integer));
  const std::string& address = trap.agent_addr;
  const uint32_t time = trap.time;
  AddrInfoList check;
  if (check.Resolve(address.c_str(), nullptr, AI_PASSIVE, AF_UNSPEC, SOCK_STREAM) != 0) {
    QX_SNMP_TRACE("QXTRAPD: trap_subscription : getaddrinfo failed  for agent address!\n");
    return;
  }
  QX_SNMP_TRACE("Searching for previous subscription from %s:%d time = %u\n", address.c_str(), port,
                time);
  QX_SNMP_TRACE("%d current subscribers\n", g_active);
  Subscriber* available = nullptr;
  Subscriber* previous = nullptr;
  for (Subscriber& s : List()) {
    QX_SNMP_TRACE("subscriber block = %p\n", static_cast<void*>(&s));
    if (s.socket < 0) {
      QX_SNMP_TRACE("Found an unused slot\n");
      if (available == nullptr) {
        available = &s;
        QX_SNMP_TRACE("available block = %p\n", static_cast<void*>(&s));
      }
    } else if (strcasecmp(s.address.c_str(), address.c_str()) == 0 && s.port == port) {
      previous = &s;
      break;
    }
  }
  Subscriber* entry = previous;
  if (previous != nullptr) {
    QX_SNMP_TRACE("Existing subscription %s:%d time = %u\n", address.c_str(), port, previous->time);
    if (previous->time == time) {
      QX_SNMP_TRACE("Subscription %s:%d time = %u still active\n", address.c_str(), port, time);
      return;
    }
    QX_SNMP_TRACE("Subscription %s:%d time = %u expired\n", address.c_str(), port, previous->time);
    Drop(previous);
    previous->time = time;
  } else {
    if (available != nullptr) {
      QX_SNMP_TRACE("subscriber=available=%p\n", static_cast<void*>(available));
      entry = available;
    } else {
      QX_SNMP_TRACE("QXTRAPD: trap_subscription : malloccing subscription\n");
      entry = &List().emplace_back();
    }
    QX_SNMP_TRACE("QXTRAPD: trap_subscription : updating subscription\n");
    entry->address = address;
    entry->port = port;
    entry->time = time;
  }
  Connect(entry);
}

// Reads and discards what the subscriber sent; false when its connection has
// ended or failed.
bool Drain(int fd) {
  std::array<uint8_t, kDrainChunk> scratch;
  size_t total = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int rc = poll(&p, 1, 0);
    QX_SNMP_TRACE("select = %d\n", rc);
    if (rc < 0) return false;
    if (rc == 0 || total >= kMaxDrainBytes) return true;
    ssize_t n = recv(fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
    QX_SNMP_TRACE("recv = %d\n", static_cast<int>(n));
    if (n <= 0) return false;
    total += static_cast<size_t>(n);
  }
}

// Sends the whole record; false when the connection failed.
bool SendAll(int fd, const uint8_t* data, size_t size) {
  size_t sent = 0;
  int interrupted = 0;
  while (sent < size) {
    QX_SNMP_TRACE("sending...\n");
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0) {
      QX_SNMP_TRACE("send failed, errno = %d\n", errno);
      if (errno == EINTR && interrupted++ < kMaxSendRetries) {
        QX_SNMP_TRACE("send interrupted, continuing %d\n", interrupted);
        continue;
      }
      return false;
    }
    QX_SNMP_TRACE("sent...\n");
    sent += static_cast<size_t>(n);
    QX_SNMP_TRACE("send transmitted %d bytes\n", static_cast<int>(n));
  }
  return true;
}

void Forward(const SnmpPdu& trap, std::string_view community) {
  QX_SNMP_TRACE("trap_subscription, Sending trap to subscribers\n");
  QX_SNMP_TRACE("Length = %d\n", static_cast<int>(trap.enterprise.size()));
  for (size_t i = 0; i < trap.enterprise.size() && i < 7; ++i)
    QX_SNMP_TRACE("Enterprise = %u\n", trap.enterprise[i]);
  std::string community_text(community);
  DebugLine("trap_subscription: response->agent_addr = %s\n", trap.agent_addr.c_str());
  DebugLine("trap_subscription: response->generic_type = %d\n", trap.generic_type);
  DebugLine("trap_subscription: response->specific_type = %d\n", trap.specific_type);
  DebugLine("trap_subscription: response->community = %s\n", community_text.c_str());
  DebugLine("trap_subscription: response->time = %u\n", trap.time);

  auto copy = snmp_pdu_create(SNMP_MSG_TRAP);
  copy->peer = trap.peer;
  copy->enterprise = trap.enterprise;
  copy->agent_addr = trap.agent_addr;
  copy->generic_type = trap.generic_type;
  copy->specific_type = trap.specific_type;
  copy->time = trap.time;
  copy->variables = trap.variables;
  copy->request_id = 1;
  SnmpSession session;
  session.community = community_text;

  QX_SNMP_TRACE("trap_subscription, Building snmp datagram\n");
  std::vector<uint8_t> record(kRecordHeaderSize + kMaxMessageSize);
  int32_t length = kMaxMessageSize;
  if (snmp_build(&session, copy.get(), record.data() + kRecordHeaderSize, &length) != 0) {
    QX_SNMP_TRACE("trap_subscription, ERROR building datagram\n");
    return;
  }
  QX_SNMP_TRACE("trap_subscription, Snmp datagram built, length = %d\n", length);
  DebugLine("trap_subscription, Snmp DATAGRAM BUILT, length = %d\n", length);
  const uint32_t total = static_cast<uint32_t>(length) + kRecordHeaderSize;
  record[0] = kRecordMagic;
  record[1] = kRecordMagic;
  record[2] = kRecordVersion;
  record[3] = kRecordKindTrap;
  for (int i = 0; i < 4; ++i) record[4 + i] = static_cast<uint8_t>(total >> (24 - 8 * i));

  for (Subscriber& s : List()) {
    if (s.socket < 0) continue;
    QX_SNMP_TRACE("Sending trap %d to %s:%d\n", trap.specific_type, s.address.c_str(), s.port);
    if (!Drain(s.socket)) {
      QX_SNMP_TRACE("select/recv failed, errno = %d\n", errno);
      Drop(&s);
      QX_SNMP_TRACE("Lost subscriber %s:%d\n", s.address.c_str(), s.port);
      continue;
    }
    if (!SendAll(s.socket, record.data(), total)) {
      Drop(&s);
      QX_SNMP_TRACE("Lost subscriber %s:%d\n", s.address.c_str(), s.port);
      continue;
    }
    QX_SNMP_TRACE("Sent %u bytes to %s:%d\n", total, s.address.c_str(), s.port);
    DebugLine("Sent %u bytes to %s:%d\n", total, s.address.c_str(), s.port);
  }
}

}  // namespace

void SetSubscriberTimeout(int milliseconds) {
  g_timeout_ms = milliseconds > 0 ? milliseconds : kSubscriberTimeoutMs;
}

int32_t SubscriptionTrapNumber() {
  static int32_t number = -1;
  if (number == -1) {
    const char* value = QXgetenv("QXIRWTD0000");
    number = value != nullptr ? std::atoi(value) : kDefaultSubscriptionTrap;
  }
  return number;
}

bool IsSubscriptionRequest(const SnmpPdu& trap) {
  return trap.enterprise.size() > 6 && trap.enterprise[6] == QX_ENTERPRISE_NUMBER &&
         trap.generic_type == 6 && trap.specific_type == SubscriptionTrapNumber();
}

void trap_subscription(const SnmpPdu& trap, std::string_view community) {
  QX_SNMP_TRACE("QXTRAPD: trap_subscription : In TES_TRAP_REQ_MSG\n");
  if (IsSubscriptionRequest(trap)) {
    Subscribe(trap);
    return;
  }
  if (g_active > 0) Forward(trap, community);
}

std::unique_ptr<SnmpPdu> MakeSubscriptionRequest(const std::string& address, uint16_t port,
                                                 uint32_t time) {
  auto pdu = snmp_pdu_create(SNMP_MSG_TRAP);
  pdu->enterprise = {1, 3, 6, 1, 4, 1, QX_ENTERPRISE_NUMBER, 5, 1, 1};
  pdu->agent_addr = address;
  pdu->generic_type = 6;
  pdu->specific_type = SubscriptionTrapNumber();
  pdu->time = time;
  const oid port_name[] = {1, 3, 6, 1, 4, 1, QX_ENTERPRISE_NUMBER, 5, 1, 1, 1};
  VarBind& v = snmp_add_null_var(pdu.get(), port_name, std::size(port_name));
  v.type = ASN_INTEGER;
  v.integer = htons(port);
  return pdu;
}

bool ParseRecordHeader(const uint8_t* data, size_t size, uint32_t* message_length) {
  if (size < kRecordHeaderSize || data[0] != kRecordMagic || data[1] != kRecordMagic ||
      data[2] != kRecordVersion || data[3] != kRecordKindTrap)
    return false;
  uint32_t total = 0;
  for (int i = 0; i < 4; ++i) total = total << 8 | data[4 + i];
  if (total < kRecordHeaderSize || total - kRecordHeaderSize > kMaxMessageSize) return false;
  *message_length = total - kRecordHeaderSize;
  return true;
}

std::vector<SubscriberInfo> Subscribers() {
  std::vector<SubscriberInfo> out;
  for (const Subscriber& s : List()) out.push_back({s.address, s.port, s.time, s.socket >= 0});
  return out;
}

int SubscriberCount() {
  return g_active;
}

void CloseSubscribers() {
  for (Subscriber& s : List())
    if (s.socket >= 0) Drop(&s);
}

}  // namespace qx::snmp
