#include "tokenizer.h"

#include <gtest/gtest.h>

namespace qx::qxtrap {
namespace {

using Tokens = std::vector<std::string>;

TEST(TokenizerTest, BlanksSeparateTokens) {
  EXPECT_EQ(Tokenize("qxtrap  node 1.3.6 ").tokens, (Tokens{"qxtrap", "node", "1.3.6"}));
  EXPECT_EQ(Tokenize("a\tb c").tokens, (Tokens{"a\tb", "c"}));  // tabs are ordinary
  EXPECT_EQ(Tokenize("a b\nc d").tokens, (Tokens{"a", "b"}));   // a line feed ends the line
  EXPECT_EQ(Tokenize(std::string_view("a\0b", 3)).tokens, (Tokens{"a"}));
  EXPECT_TRUE(Tokenize("   ").tokens.empty());
}

TEST(TokenizerTest, QuotesGroupBlanks) {
  // Single quotes stay in the token; double quotes are dropped.
  EXPECT_EQ(Tokenize("x 'a b' y").tokens, (Tokens{"x", "'a b'", "y"}));
  EXPECT_EQ(Tokenize("x \"a b\" y").tokens, (Tokens{"x", "a b", "y"}));
  EXPECT_EQ(Tokenize("x \"\" y").tokens, (Tokens{"x", "", "y"}));
  // Unclosed: the single-quoted token gets its closing quote, the double-quoted
  // one ends with the line.
  EXPECT_EQ(Tokenize("x 'a b").tokens, (Tokens{"x", "'a b'"}));
  EXPECT_EQ(Tokenize("x \"a b").tokens, (Tokens{"x", "a b"}));
  // Quotes inside a plain token are ordinary characters.
  EXPECT_EQ(Tokenize("a'b c\"d").tokens, (Tokens{"a'b", "c\"d"}));
  // The character after a closing quote starts the next token.
  EXPECT_EQ(Tokenize("'a'b").tokens, (Tokens{"'a'", "b"}));
}

TEST(TokenizerTest, LimitsCutWithoutOverflow) {
  std::string long_token(300, 'x');
  TokenStore store = Tokenize("a " + long_token + " b");
  ASSERT_EQ(store.tokens.size(), 3u);
  EXPECT_EQ(store.tokens[1].size(), kMaxTokenLength);
  ASSERT_EQ(store.too_long.size(), 1u);
  EXPECT_EQ(store.too_long[0], long_token);
  // A line longer than the copy is cut at 4095 characters.
  std::string line(5000, 'y');
  store = Tokenize(line);
  ASSERT_EQ(store.tokens.size(), 1u);
  std::string many;
  for (int i = 0; i < 600; ++i) many += "t ";
  EXPECT_EQ(Tokenize(many).tokens.size(), 600u);
}

TEST(TokenizerTest, ArgumentsAreTokensAlready) {
  const char* argv[] = {"qxtrap", "a b", "", "c"};
  TokenStore store = TokensFromArguments(4, argv);
  EXPECT_EQ(store.tokens, (Tokens{"qxtrap", "a b", "", "c"}));
  EXPECT_EQ(JoinArguments(4, argv), "a b  c");
  const char* trailing[] = {"qxtrap", "a", ""};
  EXPECT_EQ(JoinArguments(3, trailing), "a");
}

}  // namespace
}  // namespace qx::qxtrap
