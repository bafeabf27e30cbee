// Kernel objects against their plain Linux references, measured in the same run:
//   - an uncontended named mutex (WaitForSingleObject + ReleaseMutex) against a
//     pthread_mutex lock and unlock (goal: at most 3 times as long);
//   - a ping-pong between two processes over two auto-reset named events against
//     the same ping-pong over two pipes (goal: no slower).
// The ratios are printed as counters ("ratio" on the kernel-object runs) after
// both sides ran; scripts/bench.sh runs every benchmark program.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <qxplatform/sync.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

// Per-iteration times of the reference runs, for the ratios.
double g_pthread_ns = 0;
double g_pipe_ns = 0;

double NsPerIteration(const benchmark::State& state, std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::nano>(d).count() / double(state.iterations());
}

void SetRuntimeDir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/qxbench.XXXXXX";
    std::string d = ::mkdtemp(tmpl) ? tmpl : "/tmp";
    ::setenv("QX_RUNTIME_DIR", d.c_str(), 1);
    return d;
  }();
}

void BM_PthreadMutex(benchmark::State& state) {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    pthread_mutex_lock(&m);
    benchmark::ClobberMemory();
    pthread_mutex_unlock(&m);
  }
  g_pthread_ns = NsPerIteration(state, std::chrono::steady_clock::now() - start);
}
BENCHMARK(BM_PthreadMutex);

void BM_NamedMutex(benchmark::State& state) {
  SetRuntimeDir();
  HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\QX.BENCH.MUTEX");
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    WaitForSingleObject(m, INFINITE);
    benchmark::ClobberMemory();
    ReleaseMutex(m);
  }
  double ns = NsPerIteration(state, std::chrono::steady_clock::now() - start);
  if (g_pthread_ns > 0) state.counters["ratio"] = ns / g_pthread_ns;
  CloseHandle(m);
}
BENCHMARK(BM_NamedMutex);

// A child that answers each ping on fd/event "in" with a pong on "out".
void BM_PipePingPong(benchmark::State& state) {
  int ping[2], pong[2];
  if (::pipe(ping) != 0 || ::pipe(pong) != 0) return state.SkipWithError("pipe");
  pid_t child = ::fork();
  if (child == 0) {
    ::close(ping[1]);
    ::close(pong[0]);
    char c;
    while (::read(ping[0], &c, 1) == 1)
      if (::write(pong[1], &c, 1) != 1) break;
    ::_exit(0);
  }
  ::close(ping[0]);
  ::close(pong[1]);
  char c = 'x';
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (::write(ping[1], &c, 1) != 1 || ::read(pong[0], &c, 1) != 1)
      return state.SkipWithError("pipe broke");
  }
  g_pipe_ns = NsPerIteration(state, std::chrono::steady_clock::now() - start);
  ::close(ping[1]);
  ::waitpid(child, nullptr, 0);
  ::close(pong[0]);
}
BENCHMARK(BM_PipePingPong)->UseRealTime();

void BM_EventPingPong(benchmark::State& state) {
  SetRuntimeDir();
  HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, "Global\\QX.BENCH.PING");
  HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, "Global\\QX.BENCH.PONG");
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, "Global\\QX.BENCH.STOP");
  pid_t child = ::fork();
  if (child == 0) {
    // The child opens the events by name, as another program would.
    HANDLE in = OpenEventA(SYNCHRONIZE, FALSE, "Global\\QX.BENCH.PING");
    HANDLE out = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\QX.BENCH.PONG");
    HANDLE end = OpenEventA(SYNCHRONIZE, FALSE, "Global\\QX.BENCH.STOP");
    // One wait per ping, as the pipe's child makes one read; the stop event is set
    // before the last ping.
    while (WaitForSingleObject(in, INFINITE) == WAIT_OBJECT_0 &&
           WaitForSingleObject(end, 0) == WAIT_TIMEOUT)
      SetEvent(out);
    ::_exit(0);
  }
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    SetEvent(ping);
    if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) return state.SkipWithError("no pong");
  }
  double ns = NsPerIteration(state, std::chrono::steady_clock::now() - start);
  if (g_pipe_ns > 0) state.counters["ratio"] = ns / g_pipe_ns;
  SetEvent(stop);
  SetEvent(ping);
  ::waitpid(child, nullptr, 0);
  for (HANDLE h : {ping, pong, stop}) CloseHandle(h);
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
