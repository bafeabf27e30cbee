// QXmsgf's shared pieces: the process-wide switches and the bounded text building
// that QXmsgf, QXmsgfw and messagef share.
// Thread-safety: the switches are atomic; the functions are reentrant.
#ifndef QXCOMN_MSGF_H
#define QXCOMN_MSGF_H

#include <qxcomn.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace qx::comn {

// The longest text of a result buffer: 2048 characters with the terminator.
inline constexpr size_t kMsgfMaxText = 2047;
// Result buffers used in turn.
inline constexpr size_t kMsgfRing = 25;

struct MsgfSwitches {
  std::atomic<int> to_stdout{0};
  std::atomic<int> suppress_console{0};
  std::atomic<QXMSGF_VERIFY_PROC> verify{nullptr};
};
MsgfSwitches& Switches();

// Appends `add` to `text` without letting it grow past kMsgfMaxText characters
// (never splitting a UTF-8 character).
void AppendBounded(std::string* text, std::string_view add);

// Removes trailing blanks.
void StripTrailingBlanks(std::string* text);

// The catalog text of the message `id` with up to `count` values from `ap`,
// trailing blanks removed, followed by "\n" (a failure text when the catalog
// has none).
std::string CatalogLine(uint32_t id, size_t count, va_list* ap, bool wide);

// The text of message 1 of facility 8 for an error number: "errno" and its text.
std::string ErrnoLine(int error);

// The C library's text of an error number.
std::string ErrorText(int error);

}  // namespace qx::comn

#endif
