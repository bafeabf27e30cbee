// Speed of qxtrapd's receive path against a bare UDP receiver in the same run:
//   - BM_Qxtrapd: traps received, decoded, printed with names and values (to
//     /dev/null, flushed after each as qxtrapd does) and handed to the forwarding
//     step by the receiver qxtrapd runs (TrapReceiver), with the shipped MIB;
//   - BM_PlainReceive: the same number of the same datagrams merely received by
//     a minimal UDP receiver.
// A local sender keeps at most a window of datagrams ahead of the receiver, so
// that the socket never overflows. The ratio printed after the table is our
// traps per second over the bare receiver's datagrams per second (1 would mean
// decoding and printing cost nothing).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <qxsnmp/mib.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/session.h>
#include <qxsnmp/trap_receiver.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qx::snmp;

// Datagrams per iteration, and how far the sender may run ahead.
constexpr int kBatch = 500;
constexpr uint64_t kWindow = 64;

std::vector<uint8_t> SampleTrap() {
  auto t = snmp_pdu_create(SNMP_MSG_TRAP);
  t->enterprise = {1, 3, 6, 1, 4, 1, 32473, 5, 1, 1};
  t->agent_addr = "127.0.0.1";
  t->generic_type = 6;
  t->specific_type = 42;
  t->time = 8640000;
  const oid descr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
  VarBind& a = snmp_add_null_var(t.get(), descr, std::size(descr));
  a.type = ASN_OCTET_STR;
  std::string text = "disk /var is 91% full on host build-7";
  a.bytes.assign(text.begin(), text.end());
  const oid status[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 8, 3};
  VarBind& b = snmp_add_null_var(t.get(), status, std::size(status));
  b.type = ASN_INTEGER;
  b.integer = 2;
  const oid uptime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
  VarBind& c = snmp_add_null_var(t.get(), uptime, std::size(uptime));
  c.type = ASN_TIMETICKS;
  c.integer = 123456;
  std::vector<uint8_t> data(kMaxMessageSize);
  int32_t length = kMaxMessageSize;
  SnmpSession s;
  snmp_build(&s, t.get(), data.data(), &length);
  data.resize(static_cast<size_t>(length));
  return data;
}

// A receiving thread that counts what it has handled.
struct ReceiverThread {
  std::atomic<uint64_t> handled{0};
  std::atomic<bool> stop{false};
  std::thread thread;
  ~ReceiverThread() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
};

// Sends kBatch datagrams per iteration and waits until the receiver has handled
// them; a datagram the socket dropped anyway is given up after a second.
void Drive(benchmark::State& state, uint16_t port, ReceiverThread* receiver) {
  const std::vector<uint8_t> trap = SampleTrap();
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  uint64_t sent = 0, lost = 0;
  auto wait_until = [&](uint64_t ahead) {
    auto last = receiver->handled.load();
    auto since = std::chrono::steady_clock::now();
    while (sent - lost - receiver->handled.load() > ahead) {
      std::this_thread::yield();
      if (receiver->handled.load() != last) {
        last = receiver->handled.load();
        since = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(1)) {
        lost = sent - receiver->handled.load();
      }
    }
  };
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      wait_until(kWindow - 1);
      sendto(fd, trap.data(), trap.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      ++sent;
    }
    wait_until(0);
  }
  close(fd);
  state.SetItemsProcessed(static_cast<int64_t>(sent - lost));
  state.counters["lost"] = static_cast<double>(lost);
}

void BM_Qxtrapd(benchmark::State& state) {
  static bool mib = LoadMib() == kMibLoaded;
  if (!mib) state.SetLabel("no MIB: names as numbers");
  TrapReceiver receiver;
  std::string error;
  if (!receiver.Open(0, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  FILE* out = std::fopen("/dev/null", "w");
  ReceiverThread t;
  t.thread = std::thread([&] {
    while (!t.stop) {
      pollfd p{receiver.fd(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      while (receiver.ReceiveOne(out)) t.handled = receiver.stats().datagrams;
    }
  });
  Drive(state, receiver.port(), &t);
  t.stop = true;
  t.thread.join();
  std::fclose(out);
}

void BM_PlainReceive(benchmark::State& state) {
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int off = 0;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_any;
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ReceiverThread t;
  t.thread = std::thread([&] {
    std::vector<uint8_t> buffer(kMaxDatagramSize);
    while (!t.stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      while (recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) ++t.handled;
    }
  });
  Drive(state, ntohs(a.sin6_port), &t);
  t.stop = true;
  t.thread.join();
  close(fd);
}

BENCHMARK(BM_Qxtrapd)->UseRealTime();
BENCHMARK(BM_PlainReceive)->UseRealTime();

// Keeps the items per second of each run for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (!r.error_occurred && it != r.counters.end()) rates_[r.benchmark_name()] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Ratio(const char* what, const std::string& ours, const std::string& ref) {
    auto a = rates_.find(ours), b = rates_.find(ref);
    if (a == rates_.end() || b == rates_.end() || b->second <= 0) return;
    std::printf("  %-50s %6.2f (%.0f traps/s vs %.0f datagrams/s)\n", what, a->second / b->second,
                a->second, b->second);
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nSpeed ratio (our rate / reference rate; 1 means as fast as a bare receive):\n");
  reporter.Ratio("qxtrapd receive+decode+print vs bare UDP receive", "BM_Qxtrapd/real_time",
                 "BM_PlainReceive/real_time");
  benchmark::Shutdown();
  return 0;
}
