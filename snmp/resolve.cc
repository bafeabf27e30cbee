// Name resolution helpers.
#include "resolve.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <qxsnmp/pdu.h>
#include <unistd.h>

#include <cstring>

namespace qx::snmp {

AddrInfoList::~AddrInfoList() {
  if (head_ != nullptr) freeaddrinfo(head_);
}

int AddrInfoList::Resolve(const char* host, const char* service, int flags, int family,
                          int socktype) {
  if (head_ != nullptr) {
    freeaddrinfo(head_);
    head_ = nullptr;
  }
  addrinfo hints{};
  hints.ai_flags = flags;
  hints.ai_family = family;
  hints.ai_socktype = socktype;
  return getaddrinfo(host, service, &hints, &head_);
}

bool NumericHost(const sockaddr* address, socklen_t length, std::string* text) {
  char host[kHostTextSize];
  char service[kServiceTextSize];
  if (getnameinfo(address, length, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return false;
  *text = host;
  return true;
}

bool FirstInterfaceIPv4(std::array<uint8_t, 4>* address) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    std::memcpy(address->data(), &in->sin_addr.s_addr, 4);
    found = true;
  }
  freeifaddrs(list);
  return found;
}

bool LocalHostName(std::string* name) {
  char host[kHostTextSize];
  if (gethostname(host, sizeof host) != 0) return false;
  host[sizeof host - 1] = '\0';
  *name = host;
  return true;
}

bool ResolveAgentAddress(const std::string& text, std::array<uint8_t, 4>* address) {
  std::string host = text;
  if (host.empty()) {
    if (FirstInterfaceIPv4(address)) return true;
    // No interface address: the host name's address stands for the local host.
    if (!LocalHostName(&host)) return false;
  }
  AddrInfoList list;
  if (list.Resolve(host.c_str(), nullptr, 0, AF_UNSPEC, SOCK_DGRAM) != 0) return false;
  *address = {0, 0, 0, 0};
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    // The bytes of the resolved address: 255.255.255.255 is an address, not an error.
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    std::memcpy(address->data(), &in->sin_addr.s_addr, 4);
    break;
  }
  return true;
}

}  // namespace qx::snmp
