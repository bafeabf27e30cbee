// The sender's command-line store: its tokenizer and its limits.
//
// The tokenizer splits a command line at blanks. A single-quoted token keeps its
// quotes (a missing closing quote is added); a double-quoted token drops them ("" is
// an empty token, a missing closing quote ends the token at the end of the line).
// Tabs are ordinary characters; a line feed ends the line.
//
// On Linux the shell has already split the command line, so the program takes its
// tokens from argv through TokensFromArguments, with the same limits.
// Thread-safety: reentrant.
#ifndef QXTRAP_TOKENIZER_H
#define QXTRAP_TOKENIZER_H

#include <string>
#include <string_view>
#include <vector>

namespace qx::qxtrap {

// A token holds at most 255 characters; the command-line copy at most 4095. The
// number of tokens is not limited here: the variable table that receives them
// refuses more than it holds.
inline constexpr size_t kMaxTokenLength = 255;
inline constexpr size_t kMaxLineLength = 4095;

struct TokenStore {
  std::vector<std::string> tokens;    // each at most kMaxTokenLength
  std::vector<std::string> too_long;  // tokens that were cut, as given
};

// Splits line by the rules above.
TokenStore Tokenize(std::string_view line);

// The store for arguments the shell has already split: argv[0] is token 0.
TokenStore TokensFromArguments(int argc, const char* const* argv);

// The arguments after the program name joined by blanks, cut to kMaxLineLength,
// with trailing blanks removed.
std::string JoinArguments(int argc, const char* const* argv);

}  // namespace qx::qxtrap

#endif
