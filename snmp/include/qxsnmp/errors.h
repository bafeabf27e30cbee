// Error cells and error reporting of the SNMP engine and qxtrap.
//
// Engine routines leave a negative code in one of two process-wide cells:
// codec_error (BER codec and message encoding) and session_error (sessions and
// transport). report_error turns any code into one message of facility 357:
//   code >= 1       message number code, error (or informational when asked), four
//                   text inserts;
//   code <= -201    message number -code-1, the four text inserts (through the
//                   codec cell);
//   -200 .. 0       a datagram validator code: a row of the validator table, with
//                   the bytes of the offending data in hexadecimal.
// The four insert texts are process-wide; callers fill text 1 before reporting.
//
// Thread-safety: none; the engine is single-threaded.
#ifndef QXSNMP_ERRORS_H
#define QXSNMP_ERRORS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx::snmp {

extern int codec_error;
extern int session_error;

// Session error codes.
inline constexpr int kSessSendFailed = -1;
inline constexpr int kSessNoLocalAddress = -2;
inline constexpr int kSessUnknownHost = -3;
inline constexpr int kSessNotFound = -4;

// Text of a session error code ("Unknown session", ...); "" for others.
const char* SessionErrorText(int code);

// The insert texts 1 to 4. Each holds at most kInsertTextLimit characters; a
// longer text is cut.
inline constexpr size_t kInsertTextLimit = 256;
void SetInsertText(int index, std::string_view text);
const std::string& InsertText(int index);
void ClearInsertTexts();

// Bytes shown in the first line of a validator report, and in each continuation.
inline constexpr size_t kHexFirstLine = 25;
inline constexpr size_t kHexContinuation = 50;

// Reports code; severity is kSevError, or kSevInfo for a positive code. data may
// be nullptr (validator codes show it in hexadecimal).
void report_error(int code, uint32_t severity = 2, const uint8_t* data = nullptr,
                  size_t data_length = 0);
// Reports the code left in codec_error, if any, and clears it.
void report_codec_error();

// Message identifier report_error uses for a code of 1 or more, or -201 or less.
uint32_t MessageIdForCode(int code, uint32_t severity = 2);

// Text of an SNMP error-status value.
const char* snmp_errstring(int error_status);

}  // namespace qx::snmp

#endif
