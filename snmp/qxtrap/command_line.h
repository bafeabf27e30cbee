// The sender's command line: options, the six positional arguments and the
// variable triples, with every argument error reported as it is found.
//
//   qxtrap [-d] [-t timeout] [-r retries] [-p port] [-c community]
//          node enterprise agent-addr generic-trap specific-trap time-stamp
//          [variable type value]...
//
// Thread-safety: none (reports through the engine's process-wide state).
#ifndef QXTRAP_COMMAND_LINE_H
#define QXTRAP_COMMAND_LINE_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tokenizer.h"
#include "varbind.h"

namespace qx::qxtrap {

// Argument error codes (reported, then the usage text ends the run with -2).
inline constexpr int kErrUnknownOption = -231;
inline constexpr int kErrTooFewArguments = -232;
inline constexpr int kErrTooManyVariables = -233;
inline constexpr int kErrArgumentTooLong = -236;
inline constexpr int kErrIncompleteTriple = -238;

inline constexpr int kExitUsage = -2;

// The variable table holds at most this many variable tokens.
inline constexpr size_t kMaxVariableTokens = 256;

enum Positional { kNode, kEnterprise, kAgent, kGeneric, kSpecific, kTimeStamp, kPositionals };

struct CommandLine {
  int dump = 0;
  std::optional<std::string> community;
  int32_t retries = -1;
  int32_t timeout = -1;
  uint16_t port = 162;
  std::array<std::optional<std::string>, kPositionals> positionals;
  std::vector<Triple> triples;
  bool argument_error = false;
  // A conversion of the enterprise argument failed: the run ends with this code.
  int conversion_error = 0;
};

// Parses the token store. A non-empty enterprise argument is converted at once
// into *enterprise (capacity 64), replacing the default.
CommandLine ParseCommandLine(const TokenStore& store, std::vector<oid>* enterprise);

// Whether the run can go on: no argument error, a non-empty node, generic and
// specific given. Writes the trace lines of the check.
bool ReadyToSend(const CommandLine& command);

// The usage text, as printed on standard output.
extern const char* const kUsageText;

}  // namespace qx::qxtrap

#endif
