// SNMP sessions over UDP: a session owns one socket bound to the wildcard address
// of the peer's family (with an ephemeral port), encodes and sends PDUs to the
// peer's addresses, and for request PDUs keeps the outstanding requests with their
// time-outs, so that responses can be received and requests retried.
//
// Thread-safety: none. The session list, the request-id counter and the error
// cells are process-wide; use the engine from one thread.
#ifndef QXSNMP_SESSION_H
#define QXSNMP_SESSION_H

#include <qxsnmp/pdu.h>
#include <sys/select.h>
#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <string>

namespace qx::snmp {

// Callback operations.
inline constexpr int RECEIVED_MESSAGE = 1;
inline constexpr int TIMED_OUT = 2;

inline constexpr int32_t kDefaultRetries = 4;
inline constexpr int32_t kDefaultTimeout = 1000000;  // microseconds

struct SnmpSession;
// Called for each received PDU (operation 1) and each request whose retries ran
// out (operation 2); returns 1 when it has consumed a response.
using SnmpCallback = int (*)(int operation, SnmpSession* session, uint32_t request_id, SnmpPdu* pdu,
                             void* arg);
// Takes over the parse after the message header (cursor at the PDU, remaining
// bytes, community); a non-null result is success.
using SnmpAuthHook = const uint8_t* (*)(const uint8_t* data, int32_t length,
                                        const uint8_t* community, int32_t community_length);

struct SnmpSession {
  std::string community;  // empty: "public"
  int32_t retries = -1;   // -1: kDefaultRetries
  int32_t timeout = -1;   // microseconds; -1: kDefaultTimeout
  std::string peername;   // empty: no peer
  uint16_t remote_port = 162;
  uint16_t local_port = 0;  // not used
  SnmpAuthHook auth_hook = nullptr;
  SnmpCallback callback = nullptr;
  void* callback_arg = nullptr;
};

// Opens a session: a copy of params linked into the session list, with a socket
// bound. Returns the handle (owned by the list until snmp_close), or nullptr with
// session_error -3 (peer not resolvable) or -2 (nothing could be bound).
SnmpSession* snmp_open_session(const SnmpSession& params);
// As snmp_open_session, but ends the process with exit code 2 on failure.
SnmpSession* snmp_open(const SnmpSession& params);

// Applies the PDU defaults, encodes, and sends the datagram to the PDU's peer
// (else the session's), trying the peer's addresses in resolver order. Returns the
// request id (1 for a trap), or 0 with session_error set. A request PDU
// (Get, GetNext, Set) stays outstanding; the session keeps a copy of it.
uint32_t snmp_send(SnmpSession* session, SnmpPdu* pdu);

// Unlinks and frees the session: 1, or 0 with session_error -4.
int snmp_close(SnmpSession* session);

// The local address the session is bound to, as numeric text ("" when unknown).
std::string SessionLocalAddress(const SnmpSession* session);
// The session's socket (-1 when the handle is not open).
int SessionSocket(const SnmpSession* session);

// Receives one datagram on each session whose socket is set in fdset and
// dispatches it.
void snmp_read(fd_set* fdset);
// Adds the sessions' sockets to fdset, raises *numfds, and shortens *timeout to
// the earliest outstanding expiry (clearing *block when there is one). Returns the
// number of sessions.
int snmp_select_info(int* numfds, fd_set* fdset, struct timeval* timeout, int* block);
// Retries or gives up the outstanding requests whose time-out has passed.
void snmp_timeout();

// Synchronous exchange: sends pdu and waits for its response or time-out.
// Returns 0 (response in *response), 1 (error) or 2 (time-out).
struct SynchState {
  bool waiting = false;
  int status = 0;
  uint32_t request_id = 0;
  std::unique_ptr<SnmpPdu> response;
};
void snmp_synch_setup(SnmpSession* session);
int snmp_synch_input(int operation, SnmpSession* session, uint32_t request_id, SnmpPdu* pdu,
                     void* state);
int snmp_synch_response(SnmpSession* session, SnmpPdu* pdu, std::unique_ptr<SnmpPdu>* response);

// A request PDU without the binding that a GetResponse named as failing, ready to
// send again with command; nullptr when there is nothing to fix.
std::unique_ptr<SnmpPdu> snmp_fix_pdu(const SnmpPdu& response, uint8_t command);

}  // namespace qx::snmp

#endif
