// The command-line store.
#include "tokenizer.h"

namespace qx::qxtrap {
namespace {

// Stores one token, cutting it to the store's limits.
void Store(TokenStore* store, std::string token) {
  if (token.size() > kMaxTokenLength) {
    store->too_long.push_back(token);
    token.resize(kMaxTokenLength);
  }
  store->tokens.push_back(std::move(token));
}

bool AtEnd(std::string_view line, size_t i) {
  return i >= line.size() || line[i] == '\0' || line[i] == '\n';
}

}  // namespace

TokenStore Tokenize(std::string_view line) {
  if (line.size() > kMaxLineLength) line = line.substr(0, kMaxLineLength);
  TokenStore store;
  size_t i = 0;
  while (true) {
    while (!AtEnd(line, i) && line[i] == ' ') ++i;
    if (AtEnd(line, i)) break;
    std::string token;
    if (line[i] == '\'') {
      // The token keeps its quotes; a missing closing quote is added.
      token += line[i++];
      while (!AtEnd(line, i) && line[i] != '\'') token += line[i++];
      token += '\'';
    } else if (line[i] == '"') {
      ++i;
      while (!AtEnd(line, i) && line[i] != '"') token += line[i++];
    } else {
      while (!AtEnd(line, i) && line[i] != ' ') token += line[i++];
    }
    Store(&store, std::move(token));
    if (AtEnd(line, i)) break;
    ++i;  // the blank or quote that ended the token
  }
  return store;
}

TokenStore TokensFromArguments(int argc, const char* const* argv) {
  TokenStore store;
  for (int i = 0; i < argc; ++i) Store(&store, argv[i] != nullptr ? argv[i] : "");
  return store;
}

std::string JoinArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc && line.size() < kMaxLineLength; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  if (line.size() > kMaxLineLength) line.resize(kMaxLineLength);
  size_t end = line.find_last_not_of(' ');
  line.resize(end == std::string::npos ? 0 : end + 1);
  return line;
}

}  // namespace qx::qxtrap
