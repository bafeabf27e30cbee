#include "test_env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qx::testing {
namespace {

std::string g_root;
// The temporary folder the program started with: tests point TMPDIR at their own
// folder, which is gone by the time the next test starts.
std::string g_base;

class FreshFolders : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    std::string tmpl = g_base + "qxtest.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      std::perror(tmpl.c_str());
      std::abort();
    }
    g_root = tmpl;
    for (const char* sub : {"state", "run", "tmp"}) std::filesystem::create_directory(g_root + "/" + sub);
    ::setenv("QX_STATE_DIR", (g_root + "/state").c_str(), 1);
    ::setenv("QX_RUNTIME_DIR", (g_root + "/run").c_str(), 1);
    ::setenv("TMPDIR", (g_root + "/tmp").c_str(), 1);
    ::unsetenv("QX_SYSTEM_ROOT");
  }
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (!g_root.empty() && ::getenv("QX_KEEP_TEST_DIRS") == nullptr && info.result()->Passed()) {
      std::error_code ec;
      std::filesystem::remove_all(g_root, ec);
    }
  }
};

std::string BuildDir() {
  if (const char* b = ::getenv("QX_BUILD_DIR")) return b;
  return QX_BUILD_DIR_DEFAULT;
}

}  // namespace

const std::string& TestRoot() { return g_root; }

std::string BuildBinDir() {
  return BuildDir() + "/bin";
}

std::string BuildLibDir() {
  return BuildDir() + "/lib";
}

std::string SourceDir() {
  if (const char* s = ::getenv("QX_SOURCE_DIR")) return s;
  return QX_SOURCE_DIR_DEFAULT;
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = ::pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  qx::testing::g_base = ::testing::TempDir();
  if (qx::testing::g_base.empty() || qx::testing::g_base.back() != '/') qx::testing::g_base += '/';
  ::testing::UnitTest::GetInstance()->listeners().Append(new qx::testing::FreshFolders);
  return RUN_ALL_TESTS();
}
