/* qxnuc: the product's event log entries, the circular daily trace log, the common
 * shared mapping and open security attributes.
 *
 * Event records go to the system log under the source "QX-Tessary" (see the
 * platform's eventlog.h: /dev/log, and a line in QX_EVENTLOG_FILE when set).
 * The trace log is a machine-wide set of daily files "QXSP_LOG_<n>.TXT" in the
 * temporary folder, n being the day of the year modulo the cycle length
 * (QXSP_CIRC_NUMBER, 2 to 365, default 10), serialised across processes by the
 * global mutex "QX.SP_TRACE.GLOBAL.MUTEX". Object names go through tsadjust with
 * the "Global\" choice.
 * Thread-safety: every function may be called from any thread. */
#ifndef QXNUC_H
#define QXNUC_H

#include <qxdefs.h>

/* Event types. */
#define QX_EVENT_ERROR 1
#define QX_EVENT_WARNING 2
#define QX_EVENT_INFORMATION 4
#define QX_EVENT_AUDIT_SUCCESS 8
#define QX_EVENT_AUDIT_FAILURE 16

/* An event for QXLogEvent, fields in the product's order. */
typedef struct QXEVENTREC {
  const char* lpszText; /* second insertion string of the event */
  DWORD dwRawDataSize;  /* bytes of raw data */
  WORD wEventType;      /* QX_EVENT_*; any other value is taken as information */
  char szComponent[4];  /* NUL-terminated component key, e.g. "COM" */
  WORD wCategory;
  const void* lpRawData; /* raw data attached to the event, or NULL */
  WORD wEventId;         /* passed to the event log zero-extended */
} QXEVENTREC;

/* An entry of the component table. The extension library and entry point are
 * part of the table but not used by this library (NULL here). */
typedef struct QXCOMPONENT {
  int nNumber;
  char szKey[4];
  const char* lpszDisplayName;
  const char* lpszExtensionLibrary;
  const char* lpszExtensionEntry;
} QXCOMPONENT;

/* The start of the caller's context record that QXCreateDacl reads: its option
 * flags, of which bit 0 (QX_CONTEXT_INHERIT) asks for inheritable handles. The rest
 * of the record belongs to the supervisor. */
typedef struct QXCONTEXTOPTIONS {
  DWORD dwOptions;
} QXCONTEXTOPTIONS;
#define QX_CONTEXT_INHERIT 0x00000001u

/* Reports the event; non-zero when it was reported, 0 otherwise. The first
 * insertion string is "Component-<display name>" for information and audit-success
 * events and "Component-<display name>,Getlasterror=<n>" (the calling thread's last
 * error on entry) for the others; an unknown key reports under "QX-Tessary/Common". */
QX_EXPORT int QXLogEvent(const QXEVENTREC* record);

/* An event of component "COM", category 0, identifier 0. A NULL raw_data attaches
 * the text "NO RAW DATA SUPPLIED" with its own length (raw_size is then not used). */
QX_EXPORT int QXLogit(const void* raw_data, const char* text, WORD event_type, DWORD raw_size);

/* QXLogit(NULL, text, error, 75): an error event. */
QX_EXPORT int QXLogerror(const char* text);

/* Appends text to the trace log; with a non-zero event flag also sends it to
 * SPTrace of procsup (when loaded) and reports it as an information event. raw_data
 * is read as text, at most 75 bytes (NULL: the default text). */
QX_EXPORT void QXLogtrace(int event_flag, const char* raw_data, const char* text);

/* The component table entry for the key (without regard to case); "all" gives
 * the first entry; an unknown key NULL. */
QX_EXPORT const QXCOMPONENT* QXInitab(const char* key);

/* A view of the whole common mapping "QX_COMMON_TESSARY_STORAGE" (global), mapped
 * with the access mask, or NULL when it does not exist or cannot be mapped. */
QX_EXPORT void* QXGetCommonMapping(DWORD access);
QX_EXPORT void QXDropCommonMapping(void* view);

/* New security attributes whose descriptor has a present, null access list
 * (everyone: named objects made with them get mode 0666), inheritable when context
 * is given with QX_CONTEXT_INHERIT set. The descriptor is also stored through
 * descriptor when given. NULL on failure. Freed with QXDeleteDacl. */
QX_EXPORT LPSECURITY_ATTRIBUTES QXCreateDacl(const QXCONTEXTOPTIONS* context, void** descriptor);
/* 1 when both the descriptor and the attributes were freed, else 0. */
QX_EXPORT int QXDeleteDacl(LPSECURITY_ATTRIBUTES attributes);

#endif
