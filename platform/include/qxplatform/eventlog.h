/* The event log: records go to the system log and, when QX_EVENTLOG_FILE is set,
 * also to that file, one line per record.
 *
 * A record is sent as one syslog datagram (RFC 3164 form, facility user) to the
 * /dev/log socket, so journald or rsyslog receive it; QX_EVENTLOG_SOCKET names
 * another socket (tests run their own listener). The event type gives the syslog
 * severity: error 3, warning 4, audit failure 4, audit success 5, information 6.
 * The text of a record, in both places, is
 *   <source>[<pid>]: <Type> category=<n> id=<n>: <string 1> | <string 2> ... [| data=<hex>]
 * with line breaks inside strings turned into blanks and at most 256 bytes of raw
 * data shown. The file line starts with the UTC time (YYYY-MM-DDThh:mm:ssZ) and a
 * blank, and ends with "\n".
 * Kept: the calls, their arguments and results. Not kept: message files for event
 * identifiers (the strings are written as they are), user security identifiers
 * (ignored), remote servers (a server name other than NULL, "" or "." fails with
 * ERROR_BAD_NETPATH).
 * Thread-safety: all functions may be called from any thread. */
#ifndef QXPLATFORM_EVENTLOG_H
#define QXPLATFORM_EVENTLOG_H

#include <qxplatform/types.h>

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

typedef void* PSID;

/* Windows RegisterEventSourceA/W: a handle naming the source; NULL with
 * ERROR_INVALID_PARAMETER for a null or empty source. */
QXP_API HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
QXP_API HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
QXP_API BOOL DeregisterEventSource(HANDLE hEventLog);

/* Windows ReportEventA/W: TRUE when the record reached the system log or the
 * QX_EVENTLOG_FILE file; FALSE with the last error of the failed delivery when it
 * reached neither. */
QXP_API BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                          PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR* lpStrings,
                          LPVOID lpRawData);
QXP_API BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                          PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings,
                          LPVOID lpRawData);

#endif
