// The process-wide list of open sessions and what each one holds, shared by the
// session and the request/response code.
// Thread-safety: none (process-wide, unguarded).
#ifndef QXSNMP_SESSION_LIST_H
#define QXSNMP_SESSION_LIST_H

#include <qxsnmp/session.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace qx::snmp {

// A time of day from the millisecond clock, as seconds and microseconds.
struct TimeOfDay {
  int64_t sec = 0;
  int64_t usec = 0;
};
TimeOfDay Now();
TimeOfDay AddMicroseconds(TimeOfDay t, int64_t us);
int64_t MicrosecondsBetween(TimeOfDay from, TimeOfDay to);

struct PendingRequest {
  uint32_t request_id = 0;
  int32_t retries_done = 1;
  int64_t timeout = 0;  // microseconds, doubled at each resend
  TimeOfDay sent;
  TimeOfDay expiry;
  std::unique_ptr<SnmpPdu> pdu;
};

struct SessionTransport {
  int socket = -1;
  std::string local_address_text;
  std::list<PendingRequest> requests;  // newest first
};

struct SessionLink {
  std::unique_ptr<SnmpSession> session;
  SessionTransport transport;
  ~SessionLink();
};

// The process-wide request-id counter (the last id handed out).
uint32_t& RequestIdCounter();

// Newest first.
std::list<std::unique_ptr<SessionLink>>& Sessions();
// The link of a session handle, or nullptr.
SessionLink* FindSession(const SnmpSession* session);

// Encodes pdu for the session and sends it to the peer text's addresses in
// resolver order. Returns the bytes sent (> 0), 0 when the peer could not be
// resolved or no send succeeded, -1 when the encoding failed.
int EncodeAndSend(SessionLink* link, SnmpPdu* pdu, const std::string& peer, int dump_per_line);

// Prints a datagram in hexadecimal, per_line bytes a line.
void DumpBytes(const uint8_t* data, size_t length, size_t per_line);

// The system's text for errno_value.
const char* SystemErrorText(int errno_value);

}  // namespace qx::snmp

#endif
