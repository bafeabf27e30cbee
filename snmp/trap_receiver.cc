// The receive side of a trap daemon.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <qxsnmp/errors.h>
#include <qxsnmp/forward.h>
#include <qxsnmp/print.h>
#include <qxsnmp/report.h>
#include <qxsnmp/trap_receiver.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qx::snmp {
namespace {

const char* GenericName(int32_t generic) {
  static const char* const kNames[] = {
      "coldStart",       "warmStart",         "linkDown", "linkUp", "authenticationFailure",
      "egpNeighborLoss", "enterpriseSpecific"};
  if (generic < 0 || generic >= static_cast<int32_t>(std::size(kNames))) return "unknown";
  return kNames[generic];
}

// Community bytes with anything unprintable written as \xNN.
std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string DottedIPv4(const std::array<uint8_t, 4>& a) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, a.data(), text, sizeof text);
  return text;
}

}  // namespace

std::string TrapText(const SnmpPdu& trap, const std::string& source, const std::string& community) {
  std::string out = "Trap from " + source + " community \"" + Printable(community) + "\"\n";
  out += "Enterprise: " + ObjidName(trap.enterprise.data(), trap.enterprise.size()) + "\n";
  out += "Agent address: " + DottedIPv4(trap.agent_ip) + "\n";
  out += "Generic trap: " + std::to_string(trap.generic_type) + " (" +
         GenericName(trap.generic_type) + ")\n";
  out += "Specific trap: " + std::to_string(trap.specific_type) + "\n";
  out += "Time-stamp: (" + std::to_string(trap.time) + ") " + UptimeText(trap.time) + "\n";
  for (const VarBind& v : trap.variables) out += VariableText(v.name.data(), v.name.size(), v);
  out += "\n";
  return out;
}

std::string SourceText(const sockaddr* from, socklen_t length) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (from->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(from);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (from->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(from);
    port = ntohs(in6->sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      inet_ntop(AF_INET, in6->sin6_addr.s6_addr + 12, host, sizeof host);
      return std::string(host) + ":" + std::to_string(port);
    }
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  return "?";
}

TrapReceiver::~TrapReceiver() {
  if (fd_ >= 0) close(fd_);
}

bool TrapReceiver::Open(uint16_t port, std::string* error) {
  sockaddr_storage address{};
  socklen_t length = 0;
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    in6->sin6_port = htons(port);
    length = sizeof *in6;
  } else {
    // No IPv6 on this host: IPv4 alone.
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_ANY);
    in->sin_port = htons(port);
    length = sizeof *in;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    *error = "bind to UDP port " + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  // Room for bursts of traps while one is printed.
  int buffer = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return true;
}

bool TrapReceiver::ReceiveOne(FILE* out) {
  std::vector<uint8_t> data(kMaxDatagramSize);
  sockaddr_storage from{};
  socklen_t from_length = sizeof from;
  ssize_t n = recvfrom(fd_, data.data(), data.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &from_length);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      QX_SNMP_TRACE("recvfrom: %s\n", std::strerror(errno));
    return false;
  }
  Handle(data.data(), static_cast<size_t>(n),
         SourceText(reinterpret_cast<sockaddr*>(&from), from_length), out);
  return true;
}

void TrapReceiver::Handle(const uint8_t* data, size_t size, const std::string& source, FILE* out) {
  ++stats_.datagrams;
  const int32_t length = static_cast<int32_t>(std::min(size, kMaxDatagramSize));
  // The community, which the decoder does not hand back.
  uint8_t community[kMaxCommunityLength];
  int32_t community_length = kMaxCommunityLength;
  int32_t version = 0;
  int32_t remaining = length;
  auto pdu = snmp_pdu_create(0);
  if (snmp_parse(nullptr, pdu.get(), data, length) != 0 ||
      snmp_auth_parse(data, &remaining, community, &community_length, &version) == nullptr) {
    codec_error = 0;
    ++stats_.malformed;
    std::fprintf(stderr, "qxtrapd: mangled packet of %zu bytes from %s, skipped\n", size,
                 source.c_str());
    return;
  }
  if (pdu->command != SNMP_MSG_TRAP) {
    ++stats_.not_traps;
    std::fprintf(stderr, "qxtrapd: PDU type 0x%02X from %s is not a trap, skipped\n", pdu->command,
                 source.c_str());
    return;
  }
  ++stats_.traps;
  std::string community_text(reinterpret_cast<const char*>(community),
                             static_cast<size_t>(community_length));
  if (out != nullptr) {
    buffer_ = TrapText(*pdu, source, community_text);
    std::fwrite(buffer_.data(), 1, buffer_.size(), out);
    std::fflush(out);
  }
  // Forwarded in its sending form: the agent address as text.
  pdu->agent_addr = DottedIPv4(pdu->agent_ip);
  pdu->peer = source;
  trap_subscription(*pdu, community_text);
}

}  // namespace qx::snmp
