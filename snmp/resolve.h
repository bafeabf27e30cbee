// Name resolution helpers of the engine: result lists that free themselves, and
// numeric address text.
// Thread-safety: reentrant.
#ifndef QXSNMP_RESOLVE_H
#define QXSNMP_RESOLVE_H

#include <netdb.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>

namespace qx::snmp {

// Host and service text sizes of the resolver calls.
inline constexpr size_t kHostTextSize = 1025;
inline constexpr size_t kServiceTextSize = 32;

// A getaddrinfo result list, freed when it goes out of scope.
class AddrInfoList {
 public:
  AddrInfoList() = default;
  ~AddrInfoList();
  AddrInfoList(const AddrInfoList&) = delete;
  AddrInfoList& operator=(const AddrInfoList&) = delete;

  // Resolves host (and service, which may be nullptr) with the hints; returns the
  // getaddrinfo result (0 on success) and replaces the held list.
  int Resolve(const char* host, const char* service, int flags, int family, int socktype);
  const addrinfo* get() const { return head_; }

 private:
  addrinfo* head_ = nullptr;
};

// getnameinfo with numeric host and service into text; false on failure.
bool NumericHost(const sockaddr* address, socklen_t length, std::string* text);

// The first non-loopback IPv4 address of an interface that is up.
bool FirstInterfaceIPv4(std::array<uint8_t, 4>* address);

// The local host name (gethostname); false on failure.
bool LocalHostName(std::string* name);

}  // namespace qx::snmp

#endif
