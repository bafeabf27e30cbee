#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

#include "test_env.h"

extern char** environ;

namespace qx::testing {

Child::Child(const std::vector<std::string>& args) {
  std::string program = BuildBinDir() + "/kobj_helper";
  std::vector<char*> argv;
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  out_ = fds[0];
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) Kill();
  if (out_ >= 0) ::close(out_);
}

std::string Child::ReadLine(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return "<timeout>";
    pollfd p{out_, POLLIN, 0};
    int r = ::poll(&p, 1, int(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return "<timeout>";
    char buf[512];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return "<eof>";
    buffer_.append(buf, size_t(n));
  }
}

void Child::Kill() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  Wait();
}

int Child::Wait() {
  if (pid_ <= 0) return -1000;
  if (!reaped_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  return status_;
}

std::vector<std::string> RuntimeLeftovers() {
  std::vector<std::string> out;
  const char* run = ::getenv("QX_RUNTIME_DIR");
  std::error_code ec;
  if (run == nullptr) return out;
  for (auto it = std::filesystem::recursive_directory_iterator(run, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (!it->is_directory()) out.push_back(std::filesystem::relative(it->path(), run).string());
  }
  return out;
}

}  // namespace qx::testing
