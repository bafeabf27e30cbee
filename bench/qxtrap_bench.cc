// qxtrap's speed. One run of the program, start to exit, against the least a
// program can do to send one UDP datagram (qxtrap_bench_reference, in C), both
// started as processes and received by the same listener in the same run; the
// counter "ratio" is the goal's measure (at most 2). "ratio_to_linked" compares
// with the same minimal sender linked against qxtrap's libraries, which shows how
// much of the difference is the loading of those libraries alone; "floor_ratio"
// is that sender, also reading the system "Path" from the registry store as
// qxtrap's start-up must, against the minimal one: the least qxtrap can reach.
// "ratio_to_floor" is what qxtrap adds to that least. Then encodes per second of
// a five-binding trap.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <qxsnmp/pdu.h>
#include <qxplatform/registry.h>
#include <qxsnmp/session.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "udp_listener.h"

extern char** environ;

namespace {

std::string BinDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

using Listener = qx::testing::UdpListener;

// Starts a program, waits for its exit and for its datagram; the seconds it took.
double TimedRun(const std::vector<std::string>& args, Listener& listener, bool* ok) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int status = 0;
  *ok = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 &&
        waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        !listener.Receive(5000).empty();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_QxtrapRunVsMinimalSender(benchmark::State& state) {
  std::string root = std::filesystem::temp_directory_path() / "qxtrap_bench_XXXXXX";
  if (mkdtemp(root.data()) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  setenv("QX_STATE_DIR", (root + "/state").c_str(), 1);
  setenv("QX_RUNTIME_DIR", (root + "/run").c_str(), 1);
  // As installed: the system environment key holds a "Path" that qxtrap's start
  // reads and adds to its own. With the argument 0 no process keeps the store open
  // (the bench lets go of it), so every run opens it as the first and only user;
  // with 1 the bench keeps it open, as the product's running services do, and a
  // run joins it.
  const bool store_held = state.range(0) != 0;
  HKEY key = nullptr;
  const std::string path = "/usr/local/bin:/usr/bin:/bin";
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                      nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS ||
      RegSetValueExA(key, "Path", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                     DWORD(path.size() + 1)) != ERROR_SUCCESS) {
    state.SkipWithError("cannot write the system Path");
    return;
  }
  RegCloseKey(key);
  if (!store_held) qx::platform::CloseRegistryStores();
  Listener listener;
  const std::string bin = BinDir();
  const std::vector<std::string> qxtrap = {
      bin + "/qxtrap", "-p", listener.port(), "127.0.0.1", "", "127.0.0.1", "6", "1", ""};
  const std::vector<std::string> reference = {bin + "/qxtrap_bench_reference", listener.port()};
  const std::vector<std::string> linked = {bin + "/qxtrap_bench_reference_linked", listener.port()};
  const std::vector<std::string> floor = {bin + "/qxtrap_bench_floor", listener.port()};
  double qxtrap_total = 0, reference_total = 0, linked_total = 0, floor_total = 0;
  for (auto _ : state) {
    bool ok_q = false, ok_r = false, ok_l = false, ok_f = false;
    qxtrap_total += TimedRun(qxtrap, listener, &ok_q);
    reference_total += TimedRun(reference, listener, &ok_r);
    linked_total += TimedRun(linked, listener, &ok_l);
    floor_total += TimedRun(floor, listener, &ok_f);
    if (!ok_q || !ok_r || !ok_l || !ok_f) {
      state.SkipWithError(!ok_q ? "qxtrap failed" : "a reference sender failed");
      break;
    }
  }
  double n = static_cast<double>(state.iterations());
  if (n > 0) {
    state.counters["qxtrap_ms"] = qxtrap_total / n * 1000;
    state.counters["reference_ms"] = reference_total / n * 1000;
    state.counters["linked_ms"] = linked_total / n * 1000;
    state.counters["floor_ms"] = floor_total / n * 1000;
    state.counters["ratio"] = qxtrap_total / reference_total;
    state.counters["ratio_to_linked"] = qxtrap_total / linked_total;
    state.counters["floor_ratio"] = floor_total / reference_total;
    state.counters["ratio_to_floor"] = qxtrap_total / floor_total;
  }
  qx::platform::CloseRegistryStores();
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_QxtrapRunVsMinimalSender)
    ->ArgName("store_held")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

void BM_EncodeFiveBindingTrap(benchmark::State& state) {
  using namespace qx::snmp;
  auto pdu = snmp_pdu_create(SNMP_MSG_TRAP);
  pdu->enterprise = {1, 3, 6, 1, 4, 1, 32473, 1};
  pdu->agent_addr = "127.0.0.1";
  pdu->generic_type = 6;
  pdu->specific_type = 1;
  pdu->time = 123456;
  for (oid i = 0; i < 5; ++i) {
    VarBind& v = pdu->variables.emplace_back();
    v.name = {1, 3, 6, 1, 2, 1, 1, 5, i};
    v.type = i % 2 == 0 ? ASN_OCTET_STR : ASN_INTEGER;
    v.bytes.assign(20, 'x');
    v.integer = -12345;
  }
  SnmpSession session;
  uint8_t buffer[kMaxMessageSize];
  for (auto _ : state) {
    int32_t length = sizeof buffer;
    if (snmp_build(&session, pdu.get(), buffer, &length) != 0) {
      state.SkipWithError("encoding failed");
      break;
    }
    benchmark::DoNotOptimize(buffer);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeFiveBindingTrap);

}  // namespace

BENCHMARK_MAIN();
