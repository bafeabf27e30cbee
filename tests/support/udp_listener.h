// A UDP socket on 127.0.0.1 with a port of the kernel's choosing, standing for a
// trap receiver in the tests and the benchmarks.
#ifndef QX_TESTS_SUPPORT_UDP_LISTENER_H_
#define QX_TESTS_SUPPORT_UDP_LISTENER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qx::testing {

class UdpListener {
 public:
  UdpListener() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = std::to_string(ntohs(a.sin_port));
  }
  ~UdpListener() { close(fd_); }
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  const std::string& port() const { return port_; }

  // The next datagram, or nothing after timeout_ms.
  std::vector<uint8_t> Receive(int timeout_ms = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return {};
    std::vector<uint8_t> data(65536);
    ssize_t n = recv(fd_, data.data(), data.size(), 0);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
  }

 private:
  int fd_ = -1;
  std::string port_;
};

}  // namespace qx::testing

#endif  // QX_TESTS_SUPPORT_UDP_LISTENER_H_
