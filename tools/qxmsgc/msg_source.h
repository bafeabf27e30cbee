// The message source format that qxmsgc compiles:
//
//   # comment lines and blank lines are ignored
//   .FACILITY <NAME> <number>     NAME at most 11 characters
//   .SEVERITY <WARNING|SUCCESS|ERROR|INFORMATIONAL|FATAL>
//   .BASE <number>                number of the next entry; entries count up by one
//   <SYMBOL> [/ORDER=<b1>,<b2>,...] <text to the end of the line>
//   .END
//
// A facility runs from .FACILITY to .END; a source may hold several. The text is
// stored as "-<severity letter>-<SYMBOL>, <text>", so that a looked-up message
// reads "%NAME-E-SYMBOL, text". Without .BASE the first entry is message 1.
// Thread-safety: the parser is a plain function of its input.
#ifndef QX_TOOLS_QXMSGC_MSG_SOURCE_H
#define QX_TOOLS_QXMSGC_MSG_SOURCE_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx::msgc {

// Message numbers have 12 bits in a message identifier.
inline constexpr uint32_t kMaxMessageNumber = 4095;
inline constexpr size_t kMaxFacilityName = 11;
inline constexpr size_t kMaxOrder = 12;

struct SourceMessage {
  uint32_t number = 0;
  std::string symbol;
  std::vector<uint8_t> order;  // value numbers 1-12, one per output position
  std::string text;            // as stored: "-E-SYMBOL, text"
};

struct SourceFacility {
  std::string name;
  uint32_t number = 0;
  std::vector<SourceMessage> messages;
};

// One diagnostic: the message-tool error index (see QX_msg_error; -1 for the
// compiler's own texts), its value, where it was found, and whether it stops the
// compilation.
struct Diagnostic {
  int index = -1;
  std::string value;
  std::string text;  // used when index is -1
  std::string file;
  int line = 0;
  bool fatal = true;
};

// Parses one source. Facilities are appended to *out; diagnostics to *diags.
// Returns false when a fatal diagnostic was found.
bool ParseSource(std::string_view text, const std::string& file_name,
                 std::vector<SourceFacility>* out, std::vector<Diagnostic>* diags);

}  // namespace qx::msgc

#endif
