// Helpers of the qxtrapd tests: child processes with their output in files,
// waiting for a text to show up, and a fixture that starts qxtrapd.
#ifndef QX_TESTS_SNMP2_TRAPD_SUPPORT_H
#define QX_TESTS_SNMP2_TRAPD_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/session.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_env.h"

namespace qx::testing::snmp2 {

using namespace std::chrono_literals;

// A child process with standard output and error in files of the test folder.
class Process {
 public:
  Process(std::vector<std::string> argv, const std::string& name,
          std::vector<std::string> env = {}) {
    out_ = TestRoot() + "/" + name + ".out";
    err_ = TestRoot() + "/" + name + ".err";
    pid_ = fork();
    if (pid_ == 0) {
      int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      for (const std::string& kv : env) putenv(strdup(kv.c_str()));
      std::vector<char*> args;
      for (std::string& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Process() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string out() const { return ReadFile(out_); }
  std::string err() const { return ReadFile(err_); }
  bool Running() {
    if (exited_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = status;
    }
    return !exited_;
  }
  void Signal(int sig) { kill(pid_, sig); }
  // The exit code within timeout, -1 when it did not exit normally in time.
  int Wait(std::chrono::milliseconds timeout = 10s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (Running() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
    if (!exited_) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::string out_, err_;
};

// Waits until text(), a file's contents, matches pattern; returns the match.
template <typename Source>
inline std::smatch WaitFor(Source text, const std::string& pattern,
                           std::chrono::seconds timeout = 10s) {
  static std::string last;
  std::regex re(pattern);
  auto end = std::chrono::steady_clock::now() + timeout;
  std::smatch m;
  do {
    last = text();
    if (std::regex_search(last, m, re)) return m;
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < end);
  ADD_FAILURE() << "no \"" << pattern << "\" in:\n" << last.substr(0, 4000);
  return m;
}

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

inline std::string Bin(const char* name) {
  return BuildBinDir() + "/" + name;
}

class TrapdTest : public ::testing::Test {
 protected:
  // Starts qxtrapd on a free port with the shipped MIB.
  void StartTrapd(bool debug = true) {
    std::vector<std::string> argv{Bin("qxtrapd"), "-p", "0"};
    if (debug) argv.push_back("-d");
    trapd_ = std::make_unique<Process>(
        argv, "qxtrapd",
        std::vector<std::string>{"QXIGLBL0000=" + qx::testing::SourceDir() + "/share/qx"});
    auto m = WaitFor([&] { return trapd_->err(); }, "listening on UDP port ([0-9]+)");
    ASSERT_FALSE(m.empty());
    port_ = m[1];
  }
  // Sends count traps with qxtrap, specific numbers first.. first+count-1, each
  // with a sysDescr.0 OCTET STRING, an ifOperStatus.1 INTEGER and a sysUpTime.0
  // TimeTicks binding. Returns the first non-zero exit status, or 0.
  int Send(int count, int first, const std::string& node = "127.0.0.1") {
    for (int i = 0; i < count; ++i) {
      const std::string n = std::to_string(first + i);
      int status = qx::testing::RunCommand(
          Bin("qxtrap") + " -p " + port_ + " " + node + " 1.3.6.1.4.1.9.9.41 127.0.0.1 6 " + n +
          " 8640000 1.3.6.1.2.1.1.1.0 octetstring 'test trap " + n +
          "' 1.3.6.1.2.1.2.2.1.8.1 integer 2 1.3.6.1.2.1.1.3.0 timeticks 360000");
      if (status != 0) return status;
    }
    return 0;
  }
  // Sends a subscription trap with qxtrap for a subscriber at 127.0.0.1:tcp_port:
  // the product's enterprise, generic 6, specific 599, the port in network byte
  // order as the first binding's INTEGER.
  int Subscribe(const std::string& tcp_port, int time) {
    const uint16_t port = static_cast<uint16_t>(std::stoi(tcp_port));
    const int port_value = static_cast<uint16_t>(port >> 8 | port << 8);
    return qx::testing::RunCommand(
        Bin("qxtrap") + " -p " + port_ + " 127.0.0.1 1.3.6.1.4.1.32473.5.1.1 127.0.0.1 6 599 " +
        std::to_string(time) + " 1.3.6.1.4.1.32473.5.1.1.1 integer " + std::to_string(port_value));
  }
  std::unique_ptr<Process> trapd_;
  std::string port_;
};

}  // namespace qx::testing::snmp2

#endif
