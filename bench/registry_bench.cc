// The registry store's read path against plain SQLite, in the same run:
//   - a warm RegQueryValueExA of one REG_DWORD through an open key, against a
//     prepared SELECT of the same row on a connection of its own (goal: at most
//     1.5 times the SELECT);
//   - one cold open-query-close, as a program pays at start-up (the store file is
//     opened afresh each time), against the warm query.
#include <benchmark/benchmark.h>
#include <qxplatform/registry.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

namespace {

const char kKey[] = "Software\\Morvane\\QX-Tessary\\CurrentVersion\\Components\\COM\\ENV\\Bench";

std::string g_dir;

void Setup() {
  char tmpl[] = "/tmp/qxregbench.XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  ::setenv("QX_STATE_DIR", (g_dir + "/state").c_str(), 1);
  ::setenv("QX_RUNTIME_DIR", (g_dir + "/run").c_str(), 1);
  HKEY k = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  // A key among siblings and values, as real stores are.
  for (int i = 0; i < 200; ++i) {
    DWORD v = DWORD(i);
    RegSetValueExA(k, ("Value" + std::to_string(i)).c_str(), 0, REG_DWORD,
                   reinterpret_cast<BYTE*>(&v), 4);
  }
  DWORD count = 42;
  RegSetValueExA(k, "MaxSize", 0, REG_DWORD, reinterpret_cast<BYTE*>(&count), 4);
  RegCloseKey(k);
}

void BM_RegQueryDwordWarm(benchmark::State& state) {
  HKEY k = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &k);
  DWORD v = 0, size = 4, type = 0;
  for (auto _ : state) {
    size = 4;
    if (RegQueryValueExA(k, "MaxSize", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) !=
        ERROR_SUCCESS)
      state.SkipWithError("query failed");
    benchmark::DoNotOptimize(v);
  }
  RegCloseKey(k);
}
BENCHMARK(BM_RegQueryDwordWarm);

void BM_SqliteSelectWarm(benchmark::State& state) {
  // The library may carry a SQLite of its own: two copies of SQLite must not
  // hold one file open in one process (closing a descriptor drops every lock the
  // process holds on the file), so the store's connections are closed first.
  qx::platform::CloseRegistryStores();
  sqlite3* db = nullptr;
  sqlite3_open_v2(qx::platform::RegistryStorePath(HKEY_LOCAL_MACHINE).c_str(), &db,
                  SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* find = nullptr;
  sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE path = ?1", -1, &find, nullptr);
  std::string path;
  for (const char* c = kKey; *c; ++c) path += (*c >= 'a' && *c <= 'z') ? char(*c - 32) : *c;
  sqlite3_bind_text(find, 1, path.c_str(), -1, SQLITE_STATIC);
  sqlite3_step(find);
  const sqlite3_int64 key = sqlite3_column_int64(find, 0);
  sqlite3_finalize(find);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2", -1, &s,
                     nullptr);
  DWORD v = 0;
  for (auto _ : state) {
    sqlite3_bind_int64(s, 1, key);
    sqlite3_bind_text(s, 2, "MAXSIZE", 7, SQLITE_STATIC);
    if (sqlite3_step(s) != SQLITE_ROW) state.SkipWithError("select failed");
    std::memcpy(&v, sqlite3_column_blob(s, 1), 4);
    benchmark::DoNotOptimize(v);
    sqlite3_reset(s);
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
}
BENCHMARK(BM_SqliteSelectWarm);

void BM_RegOpenQueryCloseCold(benchmark::State& state) {
  // Another process of the product holds the store open, as on a running
  // system; otherwise each close, as the last one, would also checkpoint.
  int ready[2], done[2];
  if (::pipe(ready) != 0 || ::pipe(done) != 0) {
    state.SkipWithError("no pipe");
    return;
  }
  pid_t holder = ::fork();
  if (holder == 0) {
    sqlite3* other = nullptr;
    sqlite3_open_v2(qx::platform::RegistryStorePath(HKEY_LOCAL_MACHINE).c_str(), &other,
                    SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(other, "SELECT count(*) FROM meta", nullptr, nullptr, nullptr);
    char c = 1;
    ssize_t n = ::write(ready[1], &c, 1);
    n = ::read(done[0], &c, 1);  // until the parent closes its end
    (void)n;
    ::_exit(0);
  }
  char c = 0;
  if (holder < 0 || ::read(ready[0], &c, 1) != 1) state.SkipWithError("no holding process");
  DWORD v = 0, size = 4;
  for (auto _ : state) {
    qx::platform::CloseRegistryStores();  // the next open reads the file afresh
    HKEY k = nullptr;
    size = 4;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &k) != ERROR_SUCCESS ||
        RegQueryValueExA(k, "MaxSize", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size) !=
            ERROR_SUCCESS)
      state.SkipWithError("cold query failed");
    RegCloseKey(k);
    benchmark::DoNotOptimize(v);
  }
  ::close(done[1]);
  if (holder > 0) ::waitpid(holder, nullptr, 0);
  for (int fd : {ready[0], ready[1], done[0]}) ::close(fd);
}
BENCHMARK(BM_RegOpenQueryCloseCold);

// Keeps each benchmark's time per iteration for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (r.iterations > 0) ns_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  double ns(const std::string& name) const {
    auto it = ns_.find(name);
    return it == ns_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  Setup();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double warm = reporter.ns("BM_RegQueryDwordWarm");
  const double select = reporter.ns("BM_SqliteSelectWarm");
  const double cold = reporter.ns("BM_RegOpenQueryCloseCold");
  if (warm > 0 && select > 0)
    std::printf("ratio RegQueryValueExA(REG_DWORD) / prepared SQLite select: %.2f (goal <= 1.50)\n",
                warm / select);
  if (warm > 0 && cold > 0)
    std::printf("cold open-query-close: %.1f us, %.0f times a warm query\n", cold / 1000,
                cold / warm);
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  return 0;
}
