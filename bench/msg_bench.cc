// Speed of the message facility against references measured in the same run:
//   - qximsgv looking up and formatting a two-insert message, against glibc's
//     catgets on an equivalent catalog made with gencat (same set/message ids,
//     the text formatted with snprintf). Goal: no slower than catgets.
//   - QXmsgf with its local line printed to /dev/null, against fprintf of the
//     same text with a strftime date and time.
// The ratios (reference CPU time / our CPU time; above 1 means faster) are
// printed after the table. Each benchmark runs several times, interleaved with
// the others, and the ratios compare the fastest run of each: other processes
// on the machine only ever add time, and a single run of each side, one after
// the other, measures the load as much as the code.
#include <benchmark/benchmark.h>
#include <nl_types.h>
#include <qxcomn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kFacility = 357;
constexpr int kMessage = 61;
constexpr const char* kText = "trap sent to node %s port %d";

void Put32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(char((v >> (8 * i)) & 0xFF));
}

// A folder with FAC357.dat holding the message, and msg.cat made by gencat.
const std::string& Folder() {
  static const std::string dir = [] {
    const char* tmp = getenv("TMPDIR");
    std::string d = std::string(tmp ? tmp : "/tmp") + "/msg_bench.XXXXXX";
    if (mkdtemp(d.data()) == nullptr) abort();
    std::string text = std::string("-I-TRAPSENT, ") + kText;
    std::string f(160, '\0');
    f += std::string("QXTRAP\0\0\0\0\0\0", 12);
    Put32(&f, kFacility);
    Put32(&f, 1);
    Put32(&f, kMessage);
    f += std::string("0\0\0\0\0\0\0\0\0\0\0\0", 12);
    Put32(&f, 160 + 20 + 20 + 20);
    f += std::string(12, '\0');
    Put32(&f, 0xFFFFFFFFu);
    Put32(&f, 0);
    f += text + '\0';
    FILE* out = std::fopen((d + "/FAC357.dat").c_str(), "wb");
    std::fwrite(f.data(), 1, f.size(), out);
    std::fclose(out);
    out = std::fopen((d + "/msg.src").c_str(), "w");
    std::fprintf(out, "$set %d\n%d %s\n", kFacility, kMessage, kText);
    std::fclose(out);
    std::string cmd = "gencat " + d + "/msg.cat " + d + "/msg.src";
    if (std::system(cmd.c_str()) != 0) abort();
    setenv("DPATH", d.c_str(), 1);
    return d;
  }();
  return dir;
}

void BM_Lookup_qximsgv(benchmark::State& state) {
  Folder();
  QX_init_file();
  QXMSGVALUE values[12] = {reinterpret_cast<QXMSGVALUE>("nodeA"), 162};
  QXMSGDESC desc;
  for (auto _ : state) {
    desc.dwMsgId = QX_MSGID(kFacility, kMessage, 3);
    DWORD st = qximsgv(nullptr, 0, &desc, values, QX_MSGMODE_LONG);
    benchmark::DoNotOptimize(st);
    benchmark::DoNotOptimize(desc.szText[0]);
  }
  if (std::strcmp(desc.szText, "%QXTRAP-I-TRAPSENT, trap sent to node nodeA port 162") != 0)
    state.SkipWithError(desc.szText);
}

void BM_Lookup_catgets(benchmark::State& state) {
  nl_catd cat = catopen((Folder() + "/msg.cat").c_str(), NL_CAT_LOCALE);
  if (cat == reinterpret_cast<nl_catd>(-1)) {
    state.SkipWithError("catopen failed");
    return;
  }
  char buf[2048];
  for (auto _ : state) {
    const char* fmt = catgets(cat, kFacility, kMessage, "missing");
    int n = std::snprintf(buf, sizeof buf, fmt, "nodeA", 162);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(buf[0]);
  }
  catclose(cat);
}

// Local lines go to /dev/null through standard error.
class DevNull {
 public:
  DevNull() {
    std::fflush(stderr);
    saved_ = dup(2);
    FILE* f = std::freopen("/dev/null", "w", stderr);
    (void)f;
  }
  ~DevNull() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }

 private:
  int saved_;
};

void BM_Print_QXmsgf(benchmark::State& state) {
  Folder();
  QX_init_file();
  DevNull null;
  for (auto _ : state) {
    char* text = QXmsgf(2, __LINE__, __FILE__, QX_MSGID(kFacility, kMessage, 3), QXMSGF_LOCAL | 2,
                        "nodeA", 162);
    benchmark::DoNotOptimize(text);
  }
}

void BM_Print_fprintf_strftime(benchmark::State& state) {
  DevNull null;
  for (auto _ : state) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char date[64];
    std::strftime(date, sizeof date, "%A %d %B %Y %H:%M:%S", &tm);
    std::fprintf(stderr, "%%QXTRAP-I-TRAPSENT, trap sent to node %s port %d  %s\n", "nodeA", 162,
                 date);
    std::fflush(stderr);
  }
}

BENCHMARK(BM_Lookup_qximsgv);
BENCHMARK(BM_Lookup_catgets);
BENCHMARK(BM_Print_QXmsgf);
BENCHMARK(BM_Print_fprintf_strftime);

// Keeps the time per iteration of each run for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
      auto [it, added] = times_.emplace(r.run_name.function_name, r.GetAdjustedCPUTime());
      if (!added) it->second = std::min(it->second, r.GetAdjustedCPUTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Ratio(const char* what, const std::string& ours, const std::string& ref, const char* goal) {
    auto a = times_.find(ours), b = times_.find(ref);
    if (a == times_.end() || b == times_.end() || a->second <= 0) return;
    std::printf("  %-45s %6.2f %s\n", what, b->second / a->second, goal);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // Repeated and interleaved unless the command line says otherwise (later flags
  // win).
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=5";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, {repetitions, interleave});
  argc = int(args.size());
  args.push_back(nullptr);
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nSpeed ratios (reference time / our time; above 1 means faster):\n");
  reporter.Ratio("qximsgv vs catgets+snprintf", "BM_Lookup_qximsgv", "BM_Lookup_catgets",
                 "(goal >= 1)");
  reporter.Ratio("QXmsgf local line vs fprintf+strftime", "BM_Print_QXmsgf",
                 "BM_Print_fprintf_strftime", "");
  benchmark::Shutdown();
  return 0;
}
