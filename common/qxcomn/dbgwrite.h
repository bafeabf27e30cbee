// The debug trace writer's pieces: the trace name, the line cutting and the
// hand-over of each line to the trace facility (TesTrace of zelapi01, which
// decides whether and where a line is written).
// Thread-safety: all functions may be called from any thread.
#ifndef QXCOMN_DBGWRITE_H
#define QXCOMN_DBGWRITE_H

#include <string>
#include <string_view>

namespace qx::comn {

// The longest formatted text, in characters; longer output is cut.
inline constexpr size_t kDbgWriteBuffer = 2048;
// At most this many newline cuts; what remains after them goes as one line.
inline constexpr int kDbgWriteMaxCuts = 99;
// Sent in place of a text whose format could not be read.
inline constexpr std::string_view kDbgWriteFault =
    "ERROR-->DbgWrite has produced an exception, DbgWrite suppressed";

// The program's file name without its folder, cut at its first "." ("DbgWrite"
// when the name cannot be had). Set once per process.
const std::string& TraceName();

// Hands one line to the trace facility as plain text; returns what it returns.
int SendTraceLine(std::string_view line);

// Removes carriage returns and tabs, cuts at newlines and sends every non-empty
// piece; after kDbgWriteMaxCuts cuts the rest goes whole.
void SendTraceText(std::string text);

}  // namespace qx::comn

#endif
