// Request/response use of sessions: receiving, time-outs and retries, the
// synchronous exchange, and the response-fixing copy.
#include <netinet/in.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/report.h>
#include <qxsnmp/session.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "resolve.h"
#include "session_list.h"

namespace qx::snmp {
namespace {

SynchState g_synch;

// The handles of the open sessions, taken before callbacks may close some.
std::vector<SnmpSession*> SessionHandles() {
  std::vector<SnmpSession*> handles;
  for (auto& link : Sessions()) handles.push_back(link->session.get());
  return handles;
}

void ReadOne(SnmpSession* session) {
  SessionLink* link = FindSession(session);
  if (link == nullptr) return;
  uint8_t packet[kMaxMessageSize];
  sockaddr_storage from{};
  socklen_t from_length = sizeof from;
  ssize_t n = recvfrom(link->transport.socket, packet, sizeof packet, 0,
                       reinterpret_cast<sockaddr*>(&from), &from_length);
  if (n < 0) {
    QX_SNMP_TRACE("recvfrom: %s\n", SystemErrorText(errno));
    return;
  }
  if (DumpCounter() != 0) {
    std::string host("?");  // kept when the sender's address has no text
    NumericHost(reinterpret_cast<sockaddr*>(&from), from_length, &host);
    std::printf("recieved %d bytes from %s:\n", static_cast<int>(n), host.c_str());
    DumpBytes(packet, static_cast<size_t>(n), 16);
  }
  auto pdu = snmp_pdu_create(0);
  pdu->peer = session->peername;
  if (snmp_parse(session, pdu.get(), packet, static_cast<int32_t>(n)) != 0) {
    std::fprintf(stderr, "Mangled packet\n");
    return;
  }
  if (pdu->command == SNMP_MSG_RESPONSE) {
    for (auto it = link->transport.requests.begin(); it != link->transport.requests.end(); ++it) {
      if (it->request_id != pdu->request_id) continue;
      uint32_t id = it->request_id;
      int consumed =
          session->callback != nullptr
              ? session->callback(RECEIVED_MESSAGE, session, id, pdu.get(), session->callback_arg)
              : 0;
      // The callback may have closed the session.
      if (consumed == 1 && (link = FindSession(session)) != nullptr) {
        link->transport.requests.remove_if(
            [id](const PendingRequest& r) { return r.request_id == id; });
      }
      break;
    }
  } else if (pdu->command == SNMP_MSG_GET || pdu->command == SNMP_MSG_GETNEXT ||
             pdu->command == SNMP_MSG_SET || pdu->command == SNMP_MSG_TRAP) {
    if (session->callback != nullptr)
      session->callback(RECEIVED_MESSAGE, session, pdu->request_id, pdu.get(),
                        session->callback_arg);
  }
}

// Resends one request; false when its encoding failed.
void Resend(SessionLink* link, PendingRequest* r) {
  r->retries_done += 1;
  r->timeout *= 2;
  TimeOfDay now = Now();
  int sent = EncodeAndSend(link, r->pdu.get(), link->session->peername, 16);
  if (sent < 0) {
    QX_SNMP_TRACE("snmp_timeout, ERROR building datagraml\n");
    Report(kMsgBuildFailed, kFlagLocal | kFlagEvent);
    std::fprintf(stderr, "Error building packet\n");
  }
  r->sent = now;
  r->expiry = AddMicroseconds(now, r->timeout);
}

void TimeoutSession(SnmpSession* session) {
  SessionLink* link = FindSession(session);
  if (link == nullptr) return;
  TimeOfDay now = Now();
  std::vector<uint32_t> expired;
  for (const PendingRequest& r : link->transport.requests)
    if (MicrosecondsBetween(r.expiry, now) >= 0) expired.push_back(r.request_id);
  for (uint32_t id : expired) {
    link = FindSession(session);
    if (link == nullptr) return;
    auto& requests = link->transport.requests;
    auto it = requests.begin();
    while (it != requests.end() && it->request_id != id) ++it;
    if (it == requests.end()) continue;
    if (it->retries_done >= session->retries) {
      std::unique_ptr<SnmpPdu> pdu = std::move(it->pdu);
      requests.erase(it);
      if (session->callback != nullptr)
        session->callback(TIMED_OUT, session, id, pdu.get(), session->callback_arg);
    } else {
      Resend(link, &*it);
    }
  }
}

}  // namespace

void snmp_read(fd_set* fdset) {
  for (SnmpSession* s : SessionHandles()) {
    SessionLink* link = FindSession(s);
    if (link == nullptr || link->transport.socket < 0 || link->transport.socket >= FD_SETSIZE)
      continue;
    if (FD_ISSET(link->transport.socket, fdset)) ReadOne(s);
  }
}

int snmp_select_info(int* numfds, fd_set* fdset, struct timeval* timeout, int* block) {
  int count = 0;
  bool have_expiry = false;
  TimeOfDay earliest;
  for (auto& link : Sessions()) {
    ++count;
    int fd = link->transport.socket;
    if (fd >= 0 && fd < FD_SETSIZE) {
      FD_SET(fd, fdset);
      if (fd + 1 > *numfds) *numfds = fd + 1;
    }
    for (const PendingRequest& r : link->transport.requests) {
      if (!have_expiry || MicrosecondsBetween(r.expiry, earliest) > 0) {
        earliest = r.expiry;
        have_expiry = true;
      }
    }
  }
  if (have_expiry) {
    int64_t wait = MicrosecondsBetween(Now(), earliest);
    if (wait < 0) wait = 0;
    int64_t given = int64_t{timeout->tv_sec} * 1000000 + timeout->tv_usec;
    if (*block != 0 || wait < given) {
      timeout->tv_sec = static_cast<time_t>(wait / 1000000);
      timeout->tv_usec = static_cast<suseconds_t>(wait % 1000000);
      *block = 0;
    }
  }
  return count;
}

void snmp_timeout() {
  for (SnmpSession* s : SessionHandles()) TimeoutSession(s);
}

void snmp_synch_setup(SnmpSession* session) {
  session->callback = snmp_synch_input;
  session->callback_arg = &g_synch;
}

int snmp_synch_input(int operation, SnmpSession* session, uint32_t request_id, SnmpPdu* pdu,
                     void* state) {
  auto* s = static_cast<SynchState*>(state);
  if (s == nullptr || request_id != s->request_id) return 0;
  s->waiting = false;
  if (operation == RECEIVED_MESSAGE && pdu != nullptr && pdu->command == SNMP_MSG_RESPONSE) {
    s->response = std::make_unique<SnmpPdu>(*pdu);
    s->status = 0;
    return 1;
  }
  if (operation == TIMED_OUT) {
    s->status = 2;
    return 1;
  }
  return 1;
}

int snmp_synch_response(SnmpSession* session, SnmpPdu* pdu, std::unique_ptr<SnmpPdu>* response) {
  if (session->callback != snmp_synch_input) snmp_synch_setup(session);
  auto* state = static_cast<SynchState*>(session->callback_arg);
  state->response.reset();
  state->status = 1;
  state->request_id = snmp_send(session, pdu);
  if (state->request_id == 0) return 1;
  state->waiting = true;
  while (state->waiting) {
    int numfds = 0;
    fd_set fds;
    FD_ZERO(&fds);
    int block = 1;
    timeval tv{};
    snmp_select_info(&numfds, &fds, &tv, &block);
    int count = select(numfds, &fds, nullptr, nullptr, block != 0 ? nullptr : &tv);
    if (count > 0) {
      snmp_read(&fds);
    } else if (count == 0) {
      snmp_timeout();
    } else if (errno != EINTR) {
      std::fprintf(stderr, "select: %s\n", SystemErrorText(errno));
      state->status = 1;
      state->waiting = false;
    }
    // A session closed under us ends the wait.
    if (FindSession(session) == nullptr) break;
  }
  if (response != nullptr) *response = std::move(state->response);
  return state->status;
}

std::unique_ptr<SnmpPdu> snmp_fix_pdu(const SnmpPdu& response, uint8_t command) {
  if (response.command != SNMP_MSG_RESPONSE || response.error_status == 0 ||
      response.error_index == 0 || response.error_index == kNotGiven)
    return nullptr;
  if (response.error_index > response.variables.size()) return nullptr;
  auto pdu = snmp_pdu_create(command);
  pdu->peer = response.peer;
  pdu->request_id = 0;
  pdu->enterprise = response.enterprise;
  for (size_t i = 0; i < response.variables.size(); ++i)
    if (i + 1 != response.error_index) pdu->variables.push_back(response.variables[i]);
  if (pdu->variables.empty()) return nullptr;
  return pdu;
}

}  // namespace qx::snmp
