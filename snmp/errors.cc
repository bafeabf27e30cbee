// Error cells and report_error.
#include <qxsnmp/errors.h>
#include <qxsnmp/report.h>

#include <array>
#include <cstdio>

namespace qx::snmp {

int codec_error = 0;
int session_error = 0;

namespace {

std::array<std::string, 4> g_texts;

struct ValidatorRow {
  int message;
  const char* expected;
  const char* where;
};

// Rows for the validator codes -102 down to -133: the message and the two texts
// that say what was expected and where.
constexpr ValidatorRow kValidatorTable[] = {
    {102, "start of sequence", "at start of datagram"},  // -102
    {103, "datagram", ""},
    {104, "encoded datagram length", "received length"},
    {102, "integer sequence", "befor version length"},  // -105
    {103, "version", ""},
    {105, "version", "0"},
    {102, "octetstring", "before community name"},
    {103, "community length", ""},
    {105, "community name", ""},  // -110
    {102, "PDU trap", "after community name"},
    {103, "PDU trap", ""},
    {104, "PDU trap length", "remaining length"},
    {103, "Enterprise OID", ""},
    {103, "IP address", ""},  // -115
    {103, "genric trap", ""},
    {102, "Binding", "after timeticks"},
    {103, "Binding", ""},
    {103, "specific trap", ""},
    {104, "Binding and header", "received"},  // -120
    {103, "Timeticks", ""},
    {105, "OID byte one", "at least a x40"},
    {106, "Datagram", "xLongs"},
    {102, "Value Type", "in Binding"},
    {102, "OID", "in Binding"},  // -125
    {102, "IP address", "after Enterprise OID"},
    {102, "Integer", "before Generic Trap"},
    {102, "Integer", "before Specific Trap"},
    {102, "TimeTicks", "before Time"},
    {102, "Individual Binding", "in the trap bindings"},  // -130
    {102, "OID", ""},
    {102, "OID in Bindings", ""},
    {103, "Binding Value", ""},  // -133
};
static_assert(std::size(kValidatorTable) == 32);

// A generic validator report for codes outside the table: 101 (error).
constexpr uint32_t kMsgValidatorOther = MessageId(101, kSevError);

std::string HexLine(const uint8_t* data, size_t from, size_t count) {
  std::string line;
  char byte[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(byte, sizeof byte, "%02X ", data[from + i]);
    line += byte;
  }
  return line;
}

void ReportValidator(int code, const uint8_t* data, size_t length) {
  int n = -code - 1;
  if (data == nullptr) length = 0;
  size_t first = length < kHexFirstLine ? length : kHexFirstLine;
  std::string hex = HexLine(data, 0, first);
  if (code <= -102 && code >= -133) {
    const ValidatorRow& row = kValidatorTable[-102 - code];
    Report(MessageId(static_cast<uint32_t>(row.message), kSevError), kFlagLocal, row.expected,
           row.where, n, hex);
  } else {
    Report(kMsgValidatorOther, kFlagLocal, n, hex);
  }
  for (size_t at = first; at < length; at += kHexContinuation) {
    size_t count = length - at < kHexContinuation ? length - at : kHexContinuation;
    Report(kMsgHexContinue, kFlagLocal, HexLine(data, at, count));
  }
}

void ReportWithTexts(uint32_t msgid) {
  Report(msgid, kFlagLocal, g_texts[0], g_texts[1], g_texts[2], g_texts[3]);
}

}  // namespace

const char* SessionErrorText(int code) {
  switch (code) {
    case kSessNotFound:
      return "Unknown session";
    case kSessUnknownHost:
      return "Unknown host";
    case kSessNoLocalAddress:
      return "Invalid local port";
    case kSessSendFailed:
      return "Unknown Error";
    default:
      return "";
  }
}

void SetInsertText(int index, std::string_view text) {
  if (index < 1 || index > 4) return;
  g_texts[index - 1].assign(text.substr(0, kInsertTextLimit));
}

const std::string& InsertText(int index) {
  static const std::string empty;
  if (index < 1 || index > 4) return empty;
  return g_texts[index - 1];
}

void ClearInsertTexts() {
  for (std::string& t : g_texts) t.clear();
}

uint32_t MessageIdForCode(int code, uint32_t severity) {
  uint32_t number = code > 0 ? static_cast<uint32_t>(code) : static_cast<uint32_t>(-(code + 1));
  return MessageId(number, severity);
}

void report_error(int code, uint32_t severity, const uint8_t* data, size_t data_length) {
  if (code >= 1) {
    ReportWithTexts(MessageIdForCode(code, severity == kSevInfo ? kSevInfo : kSevError));
  } else if (code <= -201) {
    codec_error = code;
    report_codec_error();
  } else {
    ReportValidator(code, data, data_length);
  }
}

void report_codec_error() {
  int code = codec_error;
  if (code == 0) return;
  codec_error = 0;
  if (code > -201) {
    // A validator code left in the cell (a parse that found no sequence or no
    // name) takes the validator's message and inserts, not the four texts.
    ReportValidator(code, nullptr, 0);
    return;
  }
  ReportWithTexts(MessageIdForCode(code));
}

const char* snmp_errstring(int error_status) {
  static const char* const kTexts[] = {
      "No Error",
      "Response message would have been too large.",
      "There is no such variable name in this MIB.",
      "The value given has the wrong type or length",
      "This variable is read only",
      "A general failure occured",
  };
  if (error_status < 0 || error_status > 5) return "Unknown Error";
  return kTexts[error_status];
}

}  // namespace qx::snmp
