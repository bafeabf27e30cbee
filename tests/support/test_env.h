// Per-test folders. Every test gets fresh QX_STATE_DIR, QX_RUNTIME_DIR and TMPDIR
// folders of its own, so tests never share state and may run in parallel; the
// folders are removed after the test unless QX_KEEP_TEST_DIRS is set.
#ifndef QX_TESTS_SUPPORT_TEST_ENV_H
#define QX_TESTS_SUPPORT_TEST_ENV_H

#include <string>

namespace qx::testing {

// The root folder of the current test (holds state/, run/ and tmp/).
const std::string& TestRoot();

// The build tree's bin/ and lib/ folders (QX_BUILD_DIR overrides the tree the
// tests were built in).
std::string BuildBinDir();
std::string BuildLibDir();
// The source tree (QX_SOURCE_DIR overrides the one built from).
std::string SourceDir();

// Runs a shell command line, returns its exit status (-1 when it did not exit)
// and, when output is given, everything it wrote on stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Reads a whole file; "" when missing.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

}  // namespace qx::testing

#endif
