// Event records under the product's event source, and the component table.
#include <qxplatform/errors.h>
#include <qxplatform/eventlog.h>
#include <qxplatform/text.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "qxnuc.h"

namespace qx::nuc {
namespace {

constexpr const char* kSource = "QX-Tessary";
constexpr const char* kNoRawData = "NO RAW DATA SUPPLIED";

const QXCOMPONENT kComponents[] = {
    {0, "COM", "QX-Tessary/Common", nullptr, nullptr},
    {1, "ASM", "QX-Tessary/ASM", nullptr, nullptr},
    {2, "RPT", "QX-Tessary/Report", nullptr, nullptr},
    {3, "OPR", "QX-Tessary/Operator", nullptr, nullptr},
    {4, "SCH", "QX-Tessary/Workload", nullptr, nullptr},
    {5, "PRB", "QX-Tessary/Problem", nullptr, nullptr},
    {6, "SEC", "QX-Tessary/Security", nullptr, nullptr},
    {7, "END", "Null end component", nullptr, nullptr},
};

bool SameNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (qx::platform::AsciiLower(*a) != qx::platform::AsciiLower(*b)) return false;
  return *a == *b;
}

WORD Normalised(WORD type) {
  switch (type) {
    case QX_EVENT_ERROR:
    case QX_EVENT_WARNING:
    case QX_EVENT_INFORMATION:
    case QX_EVENT_AUDIT_SUCCESS:
    case QX_EVENT_AUDIT_FAILURE:
      return type;
    default:
      return QX_EVENT_INFORMATION;
  }
}

}  // namespace
}  // namespace qx::nuc

using namespace qx::nuc;

extern "C" {

const QXCOMPONENT* QXInitab(const char* key) {
  if (key == nullptr) return nullptr;
  if (SameNoCase(key, "all")) return &kComponents[0];
  for (const auto& c : kComponents)
    if (SameNoCase(key, c.szKey)) return &c;
  return nullptr;
}

int QXLogEvent(const QXEVENTREC* record) {
  if (record == nullptr) return 0;
  const DWORD last_error = GetLastError();
  const WORD type = Normalised(record->wEventType);
  // The key is read within its four bytes even when the caller left no NUL.
  char key[5] = {};
  std::memcpy(key, record->szComponent, 4);
  const QXCOMPONENT* component = QXInitab(key);
  if (component == nullptr) component = &kComponents[0];

  HANDLE source = RegisterEventSourceA(nullptr, kSource);
  if (source == nullptr) return 0;
  std::string first = std::string("Component-") + component->lpszDisplayName;
  if (type != QX_EVENT_INFORMATION && type != QX_EVENT_AUDIT_SUCCESS) {
    // snprintf rather than std::to_string: the latter exports a library table.
    char code[32];
    std::snprintf(code, sizeof code, ",Getlasterror=%u", unsigned(last_error));
    first += code;
  }
  const char* strings[2] = {first.c_str(), record->lpszText ? record->lpszText : ""};
  BOOL ok = ReportEventA(source, type, record->wCategory, record->wEventId, nullptr, 2,
                         record->lpRawData ? record->dwRawDataSize : 0, strings,
                         const_cast<void*>(record->lpRawData));
  DeregisterEventSource(source);
  return ok ? 1 : 0;
}

int QXLogit(const void* raw_data, const char* text, WORD event_type, DWORD raw_size) {
  QXEVENTREC record{};
  record.lpszText = text;
  record.wEventType = event_type;
  std::memcpy(record.szComponent, "COM", 4);
  if (raw_data == nullptr) {
    // The default raw data goes with its own length, whatever size was asked for.
    record.lpRawData = kNoRawData;
    record.dwRawDataSize = DWORD(std::strlen(kNoRawData) + 1);
  } else {
    record.lpRawData = raw_data;
    record.dwRawDataSize = raw_size;
  }
  return QXLogEvent(&record);
}

int QXLogerror(const char* text) {
  return QXLogit(nullptr, text, QX_EVENT_ERROR, 75);
}

}  // extern "C"
