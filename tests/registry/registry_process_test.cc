// The registry store shared by real processes: concurrent writers, writers
// killed at random moments, and change notification across processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <qxplatform/registry.h>
#include <qxplatform/sync.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_env.h"

using namespace qx::platform;

namespace {

struct Child {
  pid_t pid = -1;
  int in = -1;   // its stdin, when piped
  int out = -1;  // its stdout, when piped
};

Child Spawn(const std::vector<std::string>& args, bool pipe_in, bool pipe_out) {
  std::string program = qx::testing::BuildBinDir() + "/reg_helper";
  std::vector<char*> argv;
  argv.push_back(program.data());
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (pipe_in && ::pipe2(in, O_CLOEXEC) != 0) return {};
  if (pipe_out && ::pipe2(out, O_CLOEXEC) != 0) return {};
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    if (pipe_in) ::dup2(in[0], 0);
    if (pipe_out) ::dup2(out[1], 1);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  if (pipe_in) {
    ::close(in[0]);
    c.in = in[1];
  }
  if (pipe_out) {
    ::close(out[1]);
    c.out = out[0];
  }
  return c;
}

int Wait(const Child& c) {
  int status = 0;
  ::waitpid(c.pid, &status, 0);
  if (c.in >= 0) ::close(c.in);
  if (c.out >= 0) ::close(c.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads a REG_DWORD; the Windows error when that fails (ERROR_INVALID_DATA for
// a value of another type or size).
LSTATUS ReadDword(const std::string& path, const std::string& name, DWORD* v) {
  HKEY k = nullptr;
  LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD size = 4, type = 0;
  rc = RegQueryValueExA(k, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(v), &size);
  RegCloseKey(k);
  if (rc == ERROR_SUCCESS && (type != REG_DWORD || size != 4)) rc = ERROR_INVALID_DATA;
  return rc;
}

bool QueryDword(const std::string& path, const std::string& name, DWORD* v) {
  return ReadDword(path, name, v) == ERROR_SUCCESS;
}

std::string StoreProblems() {
  std::string problems;
  LSTATUS rc = CheckRegistryStore(HKEY_LOCAL_MACHINE, &problems);
  return rc == ERROR_SUCCESS ? problems : "check failed with " + std::to_string(rc);
}

int64_t MonotonicNs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

TEST(RegistryProcesses, EightWritersLoseNothing) {
  constexpr int kWriters = 8, kWrites = 1000;
  std::vector<Child> children;
  for (int id = 0; id < kWriters; ++id)
    children.push_back(Spawn({"write", std::to_string(id), std::to_string(kWrites)}, false, false));
  for (const auto& c : children) EXPECT_EQ(Wait(c), 0);

  int missing = 0;
  for (int id = 0; id < kWriters; ++id)
    for (int i = 0; i < kWrites; ++i) {
      DWORD v = ~0u;
      if (!QueryDword("Software\\Conc\\k" + std::to_string(i % 10),
                      "p" + std::to_string(id) + "_" + std::to_string(i), &v) ||
          v != DWORD(i))
        ++missing;
    }
  EXPECT_EQ(missing, 0);
  // Each key holds its writers' values and one "shared", and no leftover "tmp".
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Conc\\k0", 0, KEY_READ, &k),
            ERROR_SUCCESS);
  DWORD values = 0;
  EXPECT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, DWORD(kWriters * kWrites / 10 + 1));
  RegCloseKey(k);
  EXPECT_EQ(StoreProblems(), "");
}

TEST(RegistryProcesses, KilledWritersLeaveEveryAcknowledgedWrite) {
  constexpr int kKills = 120;
  // The hive the writers restore again and again: 50 values and 5 subkeys.
  HKEY src = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\HiveSrc", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &src, nullptr),
            ERROR_SUCCESS);
  for (int i = 0; i < 50; ++i) {
    DWORD v = DWORD(i);
    RegSetValueExA(src, ("h" + std::to_string(i)).c_str(), 0, REG_DWORD,
                   reinterpret_cast<BYTE*>(&v), 4);
  }
  for (int i = 0; i < 5; ++i) {
    HKEY sub = nullptr;
    RegCreateKeyExA(src, ("s" + std::to_string(i)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &sub, nullptr);
    RegSetValueExA(sub, "x", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    RegCloseKey(sub);
  }
  const std::string hive = qx::testing::TestRoot() + "/tmp/tree.hiv";
  ASSERT_EQ(RegSaveKeyA(src, hive.c_str(), nullptr), ERROR_SUCCESS);
  RegCloseKey(src);

  std::mt19937 rng(20261207);
  std::vector<long> acked_all;
  long next = 0;
  int ran_when_killed = 0;
  for (int cycle = 0; cycle < kKills; ++cycle) {
    Child c = Spawn({"crash", std::to_string(next), hive}, false, true);
    ASSERT_GT(c.pid, 0);
    // Most cycles let the writer get going (its first acknowledgement), then
    // kill it a random while later; some kill it while it is still opening the
    // store. Acknowledgements are collected all along.
    const bool early = cycle % 10 == 9;
    const auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::microseconds(early ? rng() % 3000 : 10000000);
    bool got_first = false;
    std::string acks;
    char buf[4096];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      pollfd p{c.out, POLLIN, 0};
      if (::poll(&p, 1, int(left)) > 0) {
        ssize_t n = ::read(c.out, buf, sizeof buf);
        if (n <= 0) break;
        acks.append(buf, size_t(n));
        if (!early && !got_first) {
          got_first = true;
          deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(rng() % 30000);
        }
      }
    }
    ran_when_killed += ::kill(c.pid, SIGKILL) == 0;
    ssize_t n;
    while ((n = ::read(c.out, buf, sizeof buf)) > 0) acks.append(buf, size_t(n));
    int status = Wait(c);
    ASSERT_EQ(status, 128 + SIGKILL) << "the writer ended on its own in cycle " << cycle;

    // Only whole lines were acknowledged.
    std::vector<long> acked;
    size_t pos = 0, nl;
    while ((nl = acks.find('\n', pos)) != std::string::npos) {
      acked.push_back(std::stol(acks.substr(pos, nl - pos)));
      pos = nl + 1;
    }
    // The store opens afresh, passes its checks and holds every acked write.
    CloseRegistryStores();
    ASSERT_EQ(StoreProblems(), "") << "cycle " << cycle;
    for (long i : acked) {
      DWORD v = 0;
      ASSERT_EQ(
          ReadDword("Software\\Crash\\k" + std::to_string(i % 20), "v" + std::to_string(i), &v),
          ERROR_SUCCESS)
          << "acknowledged write " << i << " lost in cycle " << cycle << " ("
          << (early ? "early" : "late") << " kill, acks " << acked.front() << ".." << acked.back()
          << ")";
      EXPECT_EQ(v, DWORD(i));
    }
    // A restore is all or nothing: the tree is empty or holds the whole hive.
    HKEY tree = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Crash\\Tree", 0, KEY_READ, &tree) ==
        ERROR_SUCCESS) {
      DWORD subkeys = 0, values = 0;
      ASSERT_EQ(RegQueryInfoKeyA(tree, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                 &values, nullptr, nullptr, nullptr, nullptr),
                ERROR_SUCCESS);
      EXPECT_TRUE((subkeys == 0 && values == 0) || (subkeys == 5 && values == 50))
          << subkeys << " subkeys, " << values << " values in cycle " << cycle;
      RegCloseKey(tree);
    }
    acked_all.insert(acked_all.end(), acked.begin(), acked.end());
    if (!acked.empty()) next = acked.back() + 1;
  }
  EXPECT_EQ(ran_when_killed, kKills);
  // Every write acknowledged in any cycle is still there at the end.
  int lost = 0;
  for (long i : acked_all) {
    DWORD v = 0;
    lost += !QueryDword("Software\\Crash\\k" + std::to_string(i % 20), "v" + std::to_string(i), &v);
  }
  EXPECT_EQ(lost, 0);
  RecordProperty("acknowledged_writes", int(acked_all.size()));
  std::printf("%d kills, %zu acknowledged writes, none lost\n", kKills, acked_all.size());
}

TEST(RegistryProcesses, WatcherSeesEveryChangeOfAnotherProcess) {
  constexpr int kChanges = 1000;
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Notify", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, nullptr),
            ERROR_SUCCESS);
  Child c = Spawn({"notify"}, true, true);
  ASSERT_GT(c.pid, 0);
  FILE* replies = ::fdopen(c.out, "r");
  ASSERT_NE(replies, nullptr);
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<double> latency_ms;
  int missed = 0, wrong = 0;
  for (int i = 1; i <= kChanges; ++i) {
    ResetEvent(ev);
    ASSERT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, ev, TRUE),
              ERROR_SUCCESS);
    std::string cmd = "set " + std::to_string(i) + "\n";
    ASSERT_EQ(::write(c.in, cmd.data(), cmd.size()), ssize_t(cmd.size()));
    const bool fired = WaitForSingleObject(ev, 5000) == WAIT_OBJECT_0;
    const int64_t seen = MonotonicNs();
    long long committed = 0;
    char line[64];
    ASSERT_NE(std::fgets(line, sizeof line, replies), nullptr);
    ASSERT_EQ(std::sscanf(line, "T %lld", &committed), 1);
    if (!fired) {
      ++missed;
      continue;
    }
    latency_ms.push_back(double(seen - committed) / 1e6);
    DWORD v = 0, size = 4;
    RegQueryValueExA(k, "n", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
    wrong += v != DWORD(i);
  }
  ::close(c.in);
  std::fclose(replies);
  c.in = c.out = -1;
  EXPECT_EQ(Wait(c), 0);
  CloseHandle(ev);
  RegCloseKey(k);

  EXPECT_EQ(missed, 0);
  EXPECT_EQ(wrong, 0);
  ASSERT_FALSE(latency_ms.empty());
  std::sort(latency_ms.begin(), latency_ms.end());
  const double median = latency_ms[latency_ms.size() / 2];
  const double p95 = latency_ms[latency_ms.size() * 95 / 100];
  std::printf("notification latency over %zu changes: median %.2f ms, 95%% %.2f ms, max %.2f ms\n",
              latency_ms.size(), median, p95, latency_ms.back());
  // The promise is 50 ms; a loaded machine may stall a single wake-up, so the
  // bound holds for 95 of 100 changes.
  EXPECT_LT(p95, 50.0);
}
