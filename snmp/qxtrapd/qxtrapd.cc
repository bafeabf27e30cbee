// qxtrapd: receives SNMP v1 traps on a UDP port, prints each one with names and
// values from the MIB (numbers when no MIB loads) and forwards it to the
// subscribers that registered with a subscription trap.
//
//   qxtrapd [-p port] [-c count] [-d]
//
// One dual-stack socket receives over IPv4 and IPv6. Malformed datagrams are
// reported and skipped. SIGINT and SIGTERM end the program cleanly (status 0).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <qxenv.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/forward.h>
#include <qxsnmp/mib.h>
#include <qxsnmp/pdu.h>
#include <qxsnmp/print.h>
#include <qxsnmp/report.h>
#include <qxsnmp/trap_receiver.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qx::snmp::trapd {
namespace {

struct Options {
  uint16_t port = 162;
  unsigned long count = 0;  // 0: no limit
  bool debug = false;
};

volatile sig_atomic_t g_stop = 0;

void Usage() {
  std::fprintf(stderr,
               "usage: qxtrapd [-p port] [-c count] [-d]\n"
               "  -p port   UDP port to listen on (default 162; 0 picks a free one)\n"
               "  -c count  stop after count datagrams\n"
               "  -d        debug tracing (as QX_QXIDEBUG)\n");
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
  *value = v;
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    unsigned long value = 0;
    if (arg == "-p" && i + 1 < argc && ParseNumber(argv[i + 1], 65535, &value)) {
      options->port = static_cast<uint16_t>(value);
      ++i;
    } else if (arg == "-c" && i + 1 < argc && ParseNumber(argv[i + 1], 0xFFFFFFFFul, &value)) {
      options->count = value;
      ++i;
    } else if (arg == "-d") {
      options->debug = true;
    } else {
      return false;
    }
  }
  return true;
}

// Receives until count datagrams were handled or SIGINT/SIGTERM arrives.
int Run(const Options& options) {
  SetDebugTracing(options.debug);
  // The signals are blocked except while waiting, so none slips in between the
  // check and the wait.
  sigset_t stop_signals, wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  struct sigaction action {};
  action.sa_handler = [](int) { g_stop = 1; };
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  if (LoadMib() != kMibLoaded)
    std::fprintf(stderr, "qxtrapd: no MIB loaded from %s, names are shown as numbers\n",
                 MibFilePath().c_str());
  TrapReceiver receiver;
  std::string error;
  if (!receiver.Open(options.port, &error)) {
    std::fprintf(stderr, "qxtrapd: %s\n", error.c_str());
    return 2;
  }
  std::fprintf(stderr, "qxtrapd: listening on UDP port %u\n", receiver.port());
  std::fflush(stderr);

  while (g_stop == 0) {
    if (options.count != 0 && receiver.stats().datagrams >= options.count) break;
    pollfd p{receiver.fd(), POLLIN, 0};
    int rc = ppoll(&p, 1, nullptr, &wait_mask);
    if (rc < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "qxtrapd: poll: %s\n", std::strerror(errno));
      break;
    }
    while (receiver.ReceiveOne(stdout)) {
      if (options.count != 0 && receiver.stats().datagrams >= options.count) break;
    }
  }
  CloseSubscribers();
  const ReceiverStats& s = receiver.stats();
  std::fprintf(
      stderr, "qxtrapd: stopped after %llu datagrams: %llu traps, %llu malformed, %llu other\n",
      static_cast<unsigned long long>(s.datagrams), static_cast<unsigned long long>(s.traps),
      static_cast<unsigned long long>(s.malformed), static_cast<unsigned long long>(s.not_traps));
  return 0;
}

}  // namespace
}  // namespace qx::snmp::trapd

int main(int argc, char** argv) {
  using namespace qx::snmp::trapd;
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage();
    return 1;
  }
  if (QXgetenv("QX_QXIDEBUG") != nullptr) options.debug = true;
  return Run(options);
}
