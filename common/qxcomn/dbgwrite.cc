// DbgWrite and its variants: format, clean, cut into lines, trace.
#include "dbgwrite.h"

#include <qxcomn.h>
#include <qxplatform/format.h>
#include <qxplatform/modules.h>
#include <qxplatform/text.h>
#include <zelapi01.h>

#include <mutex>

namespace qx::comn {

const std::string& TraceName() {
  static const std::string name = [] {
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return std::string("DbgWrite");
    std::string file(path, n);
    size_t slash = file.rfind('/');
    if (slash != std::string::npos) file.erase(0, slash + 1);
    file = file.substr(0, file.find('.'));
    return file.empty() ? std::string("DbgWrite") : file;
  }();
  return name;
}

int SendTraceLine(std::string_view line) {
  std::string text(line);
  // The line is data: it is never formatted a second time.
  return TesTrace(TraceName().c_str(), "%s", text.c_str());
}

void SendTraceText(std::string text) {
  std::erase_if(text, [](char c) { return c == '\r' || c == '\t'; });
  std::string_view rest = text;
  for (int cuts = 0; cuts < kDbgWriteMaxCuts; ++cuts) {
    size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) break;
    if (nl > 0) SendTraceLine(rest.substr(0, nl));
    rest.remove_prefix(nl + 1);
  }
  if (!rest.empty()) SendTraceLine(rest);
}

}  // namespace qx::comn

using namespace qx::comn;

int vDbgWrite(const char* format, va_list ap) {
  if (format == nullptr) {
    SendTraceLine(kDbgWriteFault);
    return 0;
  }
  std::vector<qx::platform::FormatArg> args = qx::platform::ReadPrintfArgs(format, ap);
  std::string text = qx::platform::FormatPrintf(format, args);
  if (text.size() > kDbgWriteBuffer) text.resize(kDbgWriteBuffer);
  SendTraceText(std::move(text));
  return 0;
}

int DbgWrite(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vDbgWrite(format, ap);
  va_end(ap);
  return 0;
}

int vDbgWriteW(const char16_t* format, va_list ap) {
  if (format == nullptr) {
    SendTraceLine(kDbgWriteFault);
    return 0;
  }
  std::u16string fmt = qx::platform::SafeReadWString(format, 65536);
  std::vector<qx::platform::FormatArg::Kind> kinds = qx::platform::PrintfArgKinds(fmt, true);
  std::vector<qx::platform::FormatArg> args = qx::platform::ReadArgs(kinds, ap);
  std::u16string text = qx::platform::FormatPrintfW(fmt, args);
  if (text.size() > kDbgWriteBuffer) text.resize(kDbgWriteBuffer);
  std::erase_if(text, [](char16_t c) { return c == u'\r' || c == u'\t'; });
  // Cut in wide characters, then convert each line.
  std::u16string_view rest = text;
  auto send = [](std::u16string_view line) {
    std::optional<std::string> narrow = qx::platform::Utf16ToUtf8(line);
    SendTraceLine(narrow ? *narrow : std::string(kDbgWriteFault));
  };
  for (int cuts = 0; cuts < kDbgWriteMaxCuts; ++cuts) {
    size_t nl = rest.find(u'\n');
    if (nl == std::u16string_view::npos) break;
    if (nl > 0) send(rest.substr(0, nl));
    rest.remove_prefix(nl + 1);
  }
  if (!rest.empty()) send(rest);
  return 0;
}

int DbgWriteW(const char16_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  vDbgWriteW(format, ap);
  va_end(ap);
  return 0;
}
