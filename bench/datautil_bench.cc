// Speed of the data utilities against references measured in the same run:
// run-length compression and expansion of blank-padded records against zlib's
// run-length strategy (Z_RLE, level 1) and against memcpy; wildcard matching against
// glibc fnmatch and a compiled regexec; EBCDIC translation against iconv.
// Goals: compression at least 3x zlib Z_RLE; matching no slower than fnmatch on
// simple patterns. The ratios are printed after the table.
#include <benchmark/benchmark.h>
#include <fnmatch.h>
#include <iconv.h>
#include <qxcomn.h>
#include <regex.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// 1 MiB of 80-byte records: a few short fields, blank padded, as card-image and
// fixed-width report records are.
const std::vector<uint8_t>& Records() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> d;
    std::mt19937 rng(42);
    char rec[81];
    while (d.size() < (1u << 20)) {
      std::memset(rec, ' ', 80);
      int n = std::snprintf(rec, sizeof rec, "JOB%05u ACCT%03u %s", unsigned(rng() % 100000),
                            unsigned(rng() % 1000), (rng() % 2) ? "PAYROLL" : "LEDGER");
      rec[n] = ' ';
      int amount = std::snprintf(rec + 50, 31, "%10u.%02u", unsigned(rng() % 1000000),
                                 unsigned(rng() % 100));
      rec[50 + amount] = ' ';
      d.insert(d.end(), rec, rec + 80);
    }
    return d;
  }();
  return data;
}

std::vector<uint8_t> ZlibRle(const std::vector<uint8_t>& in) {
  z_stream z{};
  deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_RLE);
  std::vector<uint8_t> out(deflateBound(&z, in.size()));
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = unsigned(in.size());
  z.next_out = out.data();
  z.avail_out = unsigned(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void BM_Compress_qxcompress(benchmark::State& state) {
  const auto& in = Records();
  std::vector<uint8_t> out(in.size());
  DWORD n = 0;
  for (auto _ : state) {
    n = qxcompress(const_cast<uint8_t*>(in.data()), out.data(), DWORD(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * in.size());
  state.counters["ratio_size"] = double(n) / in.size();
}

void BM_Compress_zlib_rle1(benchmark::State& state) {
  const auto& in = Records();
  z_stream z{};
  deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_RLE);
  std::vector<uint8_t> out(deflateBound(&z, in.size()));
  for (auto _ : state) {
    deflateReset(&z);
    z.next_in = const_cast<uint8_t*>(in.data());
    z.avail_in = unsigned(in.size());
    z.next_out = out.data();
    z.avail_out = unsigned(out.size());
    deflate(&z, Z_FINISH);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["ratio_size"] = double(z.total_out) / in.size();
  deflateEnd(&z);
  state.SetBytesProcessed(int64_t(state.iterations()) * in.size());
}

void BM_Compress_memcpy(benchmark::State& state) {
  const auto& in = Records();
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * in.size());
}

void BM_Decompress_qxdecompressn(benchmark::State& state) {
  const auto& in = Records();
  std::vector<uint8_t> coded(in.size());
  DWORD n = qxcompress(const_cast<uint8_t*>(in.data()), coded.data(), DWORD(in.size()));
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    DWORD got = 0;
    qxdecompressn(coded.data(), n, out.data(), DWORD(out.size()), &got);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != in) state.SkipWithError("round trip differs");
  state.SetBytesProcessed(int64_t(state.iterations()) * in.size());
}

void BM_Decompress_zlib_rle1(benchmark::State& state) {
  const auto& in = Records();
  std::vector<uint8_t> coded = ZlibRle(in);
  std::vector<uint8_t> out(in.size());
  z_stream z{};
  inflateInit2(&z, 15);
  for (auto _ : state) {
    inflateReset(&z);
    z.next_in = coded.data();
    z.avail_in = unsigned(coded.size());
    z.next_out = out.data();
    z.avail_out = unsigned(out.size());
    inflate(&z, Z_FINISH);
    benchmark::DoNotOptimize(out.data());
  }
  inflateEnd(&z);
  if (out != in) state.SkipWithError("round trip differs");
  state.SetBytesProcessed(int64_t(state.iterations()) * in.size());
}

void BM_Decompress_memcpy(benchmark::State& state) {
  BM_Compress_memcpy(state);
}

// File names of a product's folders.
const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    const char* stems[] = {"report", "main", "qxtrap", "setup", "Readme", "ledger_2026", "a"};
    const char* exts[] = {".txt", ".c", ".exe", ".dll", ".TXT", ".log", ""};
    std::mt19937 rng(9);
    for (int i = 0; i < 1000; ++i)
      v.push_back(std::string(stems[rng() % 7]) + std::to_string(rng() % 500) + exts[rng() % 7]);
    return v;
  }();
  return names;
}

void MatchBench(benchmark::State& state, const char* pattern) {
  QXREGHANDLE h = nullptr;
  QXRegCompile(&h, pattern, 0);
  size_t hits = 0;
  for (auto _ : state)
    for (const auto& n : Names()) hits += QXRegExec(h, n.c_str(), nullptr) == 0;
  benchmark::DoNotOptimize(hits);
  QXRegFree(h);
  state.SetItemsProcessed(int64_t(state.iterations()) * Names().size());
}

void FnmatchBench(benchmark::State& state, const char* pattern) {
  size_t hits = 0;
  for (auto _ : state)
    for (const auto& n : Names()) hits += fnmatch(pattern, n.c_str(), FNM_CASEFOLD) == 0;
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(int64_t(state.iterations()) * Names().size());
}

void RegexecBench(benchmark::State& state, const char* regex) {
  regex_t re;
  regcomp(&re, regex, REG_EXTENDED | REG_ICASE | REG_NOSUB);
  size_t hits = 0;
  for (auto _ : state)
    for (const auto& n : Names()) hits += regexec(&re, n.c_str(), 0, nullptr, 0) == 0;
  benchmark::DoNotOptimize(hits);
  regfree(&re);
  state.SetItemsProcessed(int64_t(state.iterations()) * Names().size());
}

void BM_MatchSimple_QXRegExec(benchmark::State& s) {
  MatchBench(s, "*.txt");
}
void BM_MatchSimple_fnmatch(benchmark::State& s) {
  FnmatchBench(s, "*.txt");
}
void BM_MatchSimple_regexec(benchmark::State& s) {
  RegexecBench(s, "^.*\\.txt$");
}
void BM_MatchSet_QXRegExec(benchmark::State& s) {
  MatchBench(s, "[a-r]*[0-9]?.?*");
}
void BM_MatchSet_fnmatch(benchmark::State& s) {
  FnmatchBench(s, "[a-r]*[0-9]?.?*");
}
void BM_MatchSet_regexec(benchmark::State& s) {
  RegexecBench(s, "^[a-r].*[0-9].\\..+$");
}

std::vector<char> Text() {
  std::vector<char> t(1 << 20);
  for (size_t i = 0; i < t.size(); ++i) t[i] = char(' ' + i * 7 % 95);
  return t;
}

void BM_Ebcdic_QXtransn(benchmark::State& state) {
  std::vector<char> text = Text();
  for (auto _ : state) {
    QXtransn(text.data(), "toebcdic", nullptr, 0, DWORD(text.size()));
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * text.size());
}

void BM_Ebcdic_iconv(benchmark::State& state) {
  std::vector<char> text = Text();
  std::vector<char> out(text.size());
  iconv_t cd = iconv_open("IBM1047", "ISO-8859-1");
  for (auto _ : state) {
    char* ip = text.data();
    char* op = out.data();
    size_t il = text.size(), ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(cd);
  state.SetBytesProcessed(int64_t(state.iterations()) * text.size());
}

BENCHMARK(BM_Compress_qxcompress);
BENCHMARK(BM_Compress_zlib_rle1);
BENCHMARK(BM_Compress_memcpy);
BENCHMARK(BM_Decompress_qxdecompressn);
BENCHMARK(BM_Decompress_zlib_rle1);
BENCHMARK(BM_Decompress_memcpy);
BENCHMARK(BM_MatchSimple_QXRegExec);
BENCHMARK(BM_MatchSimple_fnmatch);
BENCHMARK(BM_MatchSimple_regexec);
BENCHMARK(BM_MatchSet_QXRegExec);
BENCHMARK(BM_MatchSet_fnmatch);
BENCHMARK(BM_MatchSet_regexec);
BENCHMARK(BM_Ebcdic_QXtransn);
BENCHMARK(BM_Ebcdic_iconv);

// Keeps each run's time per iteration so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (!r.error_occurred) seconds_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Ratio(const char* label, const std::string& ours, const std::string& theirs,
             const char* goal) {
    auto a = seconds_.find(ours), b = seconds_.find(theirs);
    if (a == seconds_.end() || b == seconds_.end()) return;
    std::printf("%-44s %6.2fx %s\n", label, b->second / a->second, goal);
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nSpeed ratios (reference CPU time / ours; above 1 means faster):\n");
  reporter.Ratio("compress vs zlib Z_RLE level 1", "BM_Compress_qxcompress",
                 "BM_Compress_zlib_rle1", "(goal >= 3)");
  reporter.Ratio("compress vs memcpy", "BM_Compress_qxcompress", "BM_Compress_memcpy", "");
  reporter.Ratio("decompress vs zlib inflate (Z_RLE stream)", "BM_Decompress_qxdecompressn",
                 "BM_Decompress_zlib_rle1", "");
  reporter.Ratio("decompress vs memcpy", "BM_Decompress_qxdecompressn", "BM_Decompress_memcpy", "");
  reporter.Ratio("match *.txt vs fnmatch", "BM_MatchSimple_QXRegExec", "BM_MatchSimple_fnmatch",
                 "(goal >= 1)");
  reporter.Ratio("match *.txt vs regexec", "BM_MatchSimple_QXRegExec", "BM_MatchSimple_regexec",
                 "");
  reporter.Ratio("match set pattern vs fnmatch", "BM_MatchSet_QXRegExec", "BM_MatchSet_fnmatch",
                 "");
  reporter.Ratio("match set pattern vs regexec", "BM_MatchSet_QXRegExec", "BM_MatchSet_regexec",
                 "");
  reporter.Ratio("QXtransn toebcdic vs iconv IBM1047", "BM_Ebcdic_QXtransn", "BM_Ebcdic_iconv", "");
  benchmark::Shutdown();
  return 0;
}
