#include "self.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace qx::platform {
namespace {

std::atomic<pid_t> g_pid{0};
// Bumped in every forked child: the thread ids cached before belong to the parent.
std::atomic<unsigned> g_generation{1};

void AfterForkInChild() {
  g_pid.store(::getpid());
  g_generation.fetch_add(1);
}

struct Registration {
  Registration() { pthread_atfork(nullptr, nullptr, AfterForkInChild); }
} g_registration;

}  // namespace

pid_t SelfPid() {
  pid_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = ::getpid();
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

pid_t SelfTid() {
  thread_local pid_t tid = 0;
  thread_local unsigned generation = 0;
  unsigned now = g_generation.load(std::memory_order_relaxed);
  if (generation != now) {
    tid = ::gettid();
    generation = now;
  }
  return tid;
}

}  // namespace qx::platform
