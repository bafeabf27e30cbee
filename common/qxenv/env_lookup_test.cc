// The process-environment source of the store's lookups.
#include <gtest/gtest.h>
#include <qxenv.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

TEST(EnvLookup, AnswersFromTheProcessEnvironment) {
  ::setenv("QXENV_TEST_VAR", "value one", 1);
  const char* first = QXgetenv("QXENV_TEST_VAR");
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "value one");
  EXPECT_EQ(QXgetenv("QXENV_TEST_VAR"), first);  // unchanged: the same text
  EXPECT_STREQ(QXgetopt("QXENV_TEST_VAR"), "value one");

  // A changed value gets a new text; the old one stays readable and unchanged.
  ::setenv("QXENV_TEST_VAR", "value two", 1);
  EXPECT_STREQ(QXgetenv("QXENV_TEST_VAR"), "value two");
  EXPECT_STREQ(first, "value one");

  ::setenv("QXENV_TEST_VAR", "", 1);
  EXPECT_EQ(QXgetenv("QXENV_TEST_VAR"), nullptr);
  ::unsetenv("QXENV_TEST_VAR");
  EXPECT_EQ(QXgetenv("QXENV_TEST_VAR"), nullptr);
  EXPECT_EQ(QXgetenv(nullptr), nullptr);
  EXPECT_EQ(QXgetopt(nullptr), nullptr);
  EXPECT_EQ(QXgetenv(""), nullptr);
  EXPECT_EQ(QXgetversion(), 2);
}

TEST(EnvLookup, ComputerNameFallsBackToTheMachineName) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  std::string name(host);
  name = name.substr(0, name.find('.'));
  ::unsetenv("COMPUTERNAME");
  ASSERT_NE(QXgetenv("computername"), nullptr);
  EXPECT_EQ(std::string(QXgetenv("ComputerName")), name);
  ::setenv("COMPUTERNAME", "set-by-env", 1);
  EXPECT_STREQ(QXgetenv("COMPUTERNAME"), "set-by-env");
  ::unsetenv("COMPUTERNAME");
}

}  // namespace
