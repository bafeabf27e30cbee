// The older messagef entry, the switches, the errno text and the compatibility
// entries.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "catalog.h"
#include "msgf.h"
#include "msgf_outside.h"

namespace qx::comn {

MsgfSwitches& Switches() {
  static MsgfSwitches* switches = new MsgfSwitches;
  return *switches;
}

void AppendBounded(std::string* text, std::string_view add) {
  size_t room = text->size() < kMsgfMaxText ? kMsgfMaxText - text->size() : 0;
  if (add.size() <= room) {
    text->append(add);
    return;
  }
  std::string part(add.substr(0, room + 1));
  CutUtf8(&part, room);
  text->append(part);
}

void StripTrailingBlanks(std::string* text) {
  size_t end = text->find_last_not_of(' ');
  text->resize(end == std::string::npos ? 0 : end + 1);
}

static_assert(kLongWidth - 1 == kMsgfMaxText);

std::string CatalogLine(uint32_t id, size_t count, va_list* ap, bool wide) {
  // The produced text has at most kMsgfMaxText characters: the line is that text
  // and, when it fits, "\n".
  std::string line;
  ProduceMessage(id, count, ap, wide, kLongWidth, &line);
  StripTrailingBlanks(&line);
  AppendBounded(&line, "\n");
  return line;
}

std::string ErrorText(int error) {
  char buf[256];
  return ::strerror_r(error, buf, sizeof buf);
}

std::string ErrnoLine(int error) {
  // Facility 8, message 1, error: "errno %d: %s".
  constexpr uint32_t kErrnoMessage = 0x0808800Au;
  std::string text = ErrorText(error);
  std::string produced;
  if (const CatalogMessage* msg = FindMessage(kErrnoMessage, &produced)) {
    const ValueKindList& kinds = ValueKinds(*msg, false);
    MessageValues values;
    for (size_t k = 0; k < kMessageValues; ++k) values[k] = FormatArg::Int(0);
    // The error number and its text, each read as the conversion that takes it.
    for (size_t k = 0; k < 2; ++k)
      values[k] = kinds[k].kind == FormatArg::Kind::kString ? FormatArg::Str(text.c_str())
                                                            : FormatArg::Int(error);
    produced = FormatMessage(*msg, &values, false, kLongWidth);
  }
  StripTrailingBlanks(&produced);
  std::string line;
  AppendBounded(&line, produced);
  AppendBounded(&line, "\n");
  return line;
}

}  // namespace qx::comn

using namespace qx::comn;

const char* QXmsgf_errno(int error) {
  thread_local char buf[256];
  std::string text = ErrorText(error);
  std::snprintf(buf, sizeof buf, "%s", text.c_str());
  return buf;
}

int ToggleSTDOUTOption(int on) {
  Switches().to_stdout.store(on);
  return on;
}

int ToggleSuppressConsole(int on) {
  Switches().suppress_console.store(on);
  return on;
}

QXMSGF_VERIFY_PROC QXmsgfSetVerifyProc(QXMSGF_VERIFY_PROC proc) {
  Switches().verify.store(proc);
  return proc;
}

int messagef(DWORD, int, const char*, char* buffer, int bufsize, DWORD facility_bits, int msgnum,
             int severity, DWORD flags, int count, ...) {
  uint32_t id = uint32_t(facility_bits) | QX_MSGID_FIXED_BITS | ((uint32_t(msgnum) & 0xFFFu) << 3) |
                (uint32_t(severity) & 7u);
  va_list ap;
  va_start(ap, count);
  std::string text;
  if (flags & QXMSGF_PREFORMATTED) {
    const char* pre = va_arg(ap, const char*);
    text = qx::platform::SafeReadString(pre, kMsgfMaxText);
    CutUtf8(&text, kMsgfMaxText);
  } else {
    size_t n = count < 0 ? 0 : std::min<size_t>(size_t(count), kMessageValues);
    text = CatalogLine(id, n, &ap, false);
  }
  va_end(ap);
  if (buffer != nullptr && bufsize > 0) {
    size_t n = std::min(text.size(), size_t(bufsize) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  if (flags & QXMSGF_LOCAL) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
  if ((flags & QXMSGF_EVENT) && !(flags & QXMSGF_NO_EVENT))
    if (QXOPRC_OPRMSG_PROC oprmsg = BindOperatorLibrary()) oprmsg(text.c_str());
  return 0;
}

void QXopenlog(void) {}
void QXsyslog(void) {}
void QXcloselog(void) {}
