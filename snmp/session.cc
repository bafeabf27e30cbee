// Sessions: open, send and close.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <qxplatform/errors.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/report.h>
#include <qxsnmp/session.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "resolve.h"
#include "session_list.h"

namespace qx::snmp {
namespace {

// Seeds the request-id counter with a pseudo-random value from the time of day.
void SeedRequestIds() {
  uint32_t& counter = RequestIdCounter();
  if (counter != 0) return;
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::minstd_rand generator(static_cast<uint32_t>(tv.tv_sec) ^ static_cast<uint32_t>(tv.tv_usec));
  counter = static_cast<uint32_t>(generator());
  if (counter == 0) counter = 1;
}

// The next request id; 0 means "none given" and is never handed out.
uint32_t NextRequestId() {
  uint32_t& counter = RequestIdCounter();
  if (++counter == 0) ++counter;
  return counter;
}

// Binds a socket to the wildcard address of family with an ephemeral port.
// Returns the socket, or -1 with errno set.
int BindWildcard(int family, std::string* bound_text) {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    length = sizeof *in6;
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_ANY);
    length = sizeof *in;
  }
  const sockaddr* sa = reinterpret_cast<const sockaddr*>(&address);
  if (!NumericHost(sa, length, bound_text)) {
    QX_SNMP_TRACE("snmp_open, cannot get hostname with getnameinfo.\n");
    errno = EINVAL;
    return -1;
  }
  QX_SNMP_TRACE("snmp_open, obtained name and address info, hostname is %s: \n",
                bound_text->c_str());
  int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    QX_SNMP_TRACE("snmp_open, ERROR opening socket\n");
    return -1;
  }
  QX_SNMP_TRACE("snmp_open, socket open succeeded\n");
  if (bind(fd, sa, length) != 0) {
    int saved = errno;
    QX_SNMP_TRACE("snmp_open, bind failed\n");
    close(fd);
    errno = saved;
    return -1;
  }
  QX_SNMP_TRACE("bind succeeded\n");
  return fd;
}

void CloseLink(SessionLink* link) {
  auto& list = Sessions();
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->get() == link) {
      list.erase(it);
      return;
    }
  }
}

// Request PDUs keep an outstanding entry until answered or timed out.
bool IsRequest(uint8_t command) {
  return command == SNMP_MSG_GET || command == SNMP_MSG_GETNEXT || command == SNMP_MSG_SET;
}

void ApplyPduDefaults(SnmpPdu* pdu) {
  if (pdu->command >= SNMP_MSG_GET && pdu->command <= SNMP_MSG_SET) {
    if (pdu->request_id == 0) pdu->request_id = NextRequestId();
    if (pdu->error_status == kNotGiven) pdu->error_status = 0;
    if (pdu->error_index == kNotGiven) pdu->error_index = 0;
    return;
  }
  pdu->request_id = 1;
  if (pdu->enterprise.empty()) {
    // The product's own trap enterprise: 1.3.6.1.4.1.E.5.1.1.
    pdu->enterprise = {1, 3, 6, 1, 4, 1, QX_ENTERPRISE_NUMBER, 5, 1, 1};
  }
}

}  // namespace

TimeOfDay Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  int64_t ms = int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
  return TimeOfDay{ms / 1000, (ms % 1000) * 1000};
}

TimeOfDay AddMicroseconds(TimeOfDay t, int64_t us) {
  int64_t total = t.usec + us;
  t.sec += total / 1000000;
  t.usec = total % 1000000;
  return t;
}

int64_t MicrosecondsBetween(TimeOfDay from, TimeOfDay to) {
  return (to.sec - from.sec) * 1000000 + (to.usec - from.usec);
}

uint32_t& RequestIdCounter() {
  static uint32_t counter = 0;
  return counter;
}

SessionLink::~SessionLink() {
  if (transport.socket >= 0) close(transport.socket);
}

std::list<std::unique_ptr<SessionLink>>& Sessions() {
  static auto* list = new std::list<std::unique_ptr<SessionLink>>;
  return *list;
}

SessionLink* FindSession(const SnmpSession* session) {
  if (session == nullptr) return nullptr;
  for (auto& link : Sessions())
    if (link->session.get() == session) return link.get();
  return nullptr;
}

const char* SystemErrorText(int errno_value) {
  const char* text = qx::platform::ErrorText(qx::platform::ErrorFromErrno(errno_value));
  return text != nullptr ? text : "unknown error";
}

void DumpBytes(const uint8_t* data, size_t length, size_t per_line) {
  for (size_t i = 0; i < length; ++i) {
    std::printf("%02X ", data[i]);
    if ((i + 1) % per_line == 0) std::printf("\n");
  }
  std::printf("\n\n");
  std::fflush(stdout);
}

SnmpSession* snmp_open_session(const SnmpSession& params) {
  SeedRequestIds();
  auto owned = std::make_unique<SessionLink>();
  owned->session = std::make_unique<SnmpSession>(params);
  SnmpSession* s = owned->session.get();
  if (s->community.empty()) s->community = "public";
  if (s->retries == -1) s->retries = kDefaultRetries;
  if (s->timeout == -1) s->timeout = kDefaultTimeout;
  SessionLink* link = owned.get();
  Sessions().push_front(std::move(owned));

  std::string host_name;
  if (!LocalHostName(&host_name)) {
    QX_SNMP_TRACE("gethostname failed\n");
    Report(kMsgNoLocalHost, kFlagLocal | kFlagEvent, s->peername);
    session_error = kSessUnknownHost;
  }

  // The socket takes the wildcard address of the peer's family: a host name may
  // resolve to an address (127.0.1.1 on Debian) that cannot reach other hosts.
  int family = AF_INET;
  if (!s->peername.empty()) {
    AddrInfoList peer;
    std::string port = std::to_string(s->remote_port);
    int rc = peer.Resolve(s->peername.c_str(), port.c_str(), AI_PASSIVE, AF_UNSPEC, SOCK_DGRAM);
    if (rc != 0) {
      QX_SNMP_TRACE("Unable to retrieve the addrinfo for session peername, ret val = %d\n",
                    static_cast<int>(qx::platform::ErrorFromResolver(rc)));
      session_error = kSessUnknownHost;
      CloseLink(link);
      return nullptr;
    }
    family = peer.get()->ai_family;
  }

  std::string bound_text;
  int fd = BindWildcard(family, &bound_text);
  if (fd < 0) {
    int saved = errno;
    QX_SNMP_TRACE("snmp_open, bind failed\n");
    QX_SNMP_TRACE("BIND: %s\n", SystemErrorText(saved));
    session_error = kSessNoLocalAddress;
    CloseLink(link);
    return nullptr;
  }
  link->transport.socket = fd;
  if (!s->peername.empty()) link->transport.local_address_text = bound_text;
  QX_SNMP_TRACE("snmp_open, returning session\n");
  return s;
}

SnmpSession* snmp_open(const SnmpSession& params) {
  SnmpSession* s = snmp_open_session(params);
  if (s == nullptr) std::exit(2);
  return s;
}

int EncodeAndSend(SessionLink* link, SnmpPdu* pdu, const std::string& peer, int dump_per_line) {
  uint8_t packet[kMaxMessageSize];
  int32_t length = sizeof packet;
  if (snmp_build(link->session.get(), pdu, packet, &length) != 0) return -1;
  if (DumpCounter() != 0) DumpBytes(packet, static_cast<size_t>(length), dump_per_line);

  AddrInfoList addresses;
  std::string port = std::to_string(link->session->remote_port);
  int rc = addresses.Resolve(peer.c_str(), port.c_str(), AI_PASSIVE, AF_UNSPEC, SOCK_DGRAM);
  if (rc != 0) {
    QX_SNMP_TRACE("Unable to retrieve the addrinfo for session peername, ret val = %d\n",
                  static_cast<int>(qx::platform::ErrorFromResolver(rc)));
    session_error = kSessUnknownHost;
    return 0;
  }
  // The addresses of this one resolution, in resolver order: no reverse lookup and
  // no second resolution that could lead elsewhere or wait on a name server.
  int last_errno = 0;
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    std::string host;
    if (!NumericHost(a->ai_addr, a->ai_addrlen, &host)) continue;
    ssize_t sent = sendto(link->transport.socket, packet, static_cast<size_t>(length), 0,
                          a->ai_addr, a->ai_addrlen);
    if (sent > 0) {
      DebugLine("snmp_send: Sent to: %s. Length of the packet is %d, and Sent = %d bytes\n",
                host.c_str(), length, static_cast<int>(sent));
      return static_cast<int>(sent);
    }
    last_errno = errno;
    QX_SNMP_TRACE("snmp_send: sendto: %s FAILED\n", host.c_str());
  }
  QX_SNMP_TRACE("%d = sendto error code\n",
                static_cast<int>(qx::platform::ErrorFromErrno(last_errno)));
  QX_SNMP_TRACE("sendto: %s\n", SystemErrorText(last_errno));
  session_error = kSessSendFailed;
  return 0;
}

uint32_t snmp_send(SnmpSession* session, SnmpPdu* pdu) {
  QX_SNMP_TRACE("ENTER snmp_send\n");
  SessionLink* link = FindSession(session);
  if (link == nullptr) {
    session_error = kSessNotFound;
    return 0;
  }
  ApplyPduDefaults(pdu);
  const std::string& peer = pdu->peer.empty() ? session->peername : pdu->peer;
  TimeOfDay sent_at = Now();
  int sent = EncodeAndSend(link, pdu, peer, 25);
  if (sent < 0) {
    QX_SNMP_TRACE("snmp_send, ERROR building datagraml\n");
    Report(kMsgBuildFailed, kFlagLocal | kFlagEvent);
    session_error = kSessSendFailed;
    return 0;
  }
  if (sent == 0) return 0;
  if (IsRequest(pdu->command)) {
    PendingRequest r;
    r.request_id = pdu->request_id;
    r.retries_done = 1;
    r.timeout = session->timeout;
    r.sent = sent_at;
    r.expiry = AddMicroseconds(sent_at, r.timeout);
    r.pdu = std::make_unique<SnmpPdu>(*pdu);
    link->transport.requests.push_front(std::move(r));
  }
  return pdu->request_id;
}

int snmp_close(SnmpSession* session) {
  SessionLink* link = FindSession(session);
  if (link == nullptr) {
    session_error = kSessNotFound;
    return 0;
  }
  CloseLink(link);
  return 1;
}

std::string SessionLocalAddress(const SnmpSession* session) {
  SessionLink* link = FindSession(session);
  return link != nullptr ? link->transport.local_address_text : std::string();
}

int SessionSocket(const SnmpSession* session) {
  SessionLink* link = FindSession(session);
  return link != nullptr ? link->transport.socket : -1;
}

}  // namespace qx::snmp
