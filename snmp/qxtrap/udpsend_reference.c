/* The benchmark's reference: the least a program can do to send one UDP datagram
 * (to the port given as its argument on 127.0.0.1) and exit. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 1;
  struct sockaddr_in to = {0};
  to.sin_family = AF_INET;
  to.sin_port = htons((unsigned short)atoi(argv[1]));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  static const char datagram[58] = "reference datagram";
  ssize_t n = sendto(fd, datagram, sizeof datagram, 0, (struct sockaddr*)&to, sizeof to);
  close(fd);
  return n == (ssize_t)sizeof datagram ? 0 : 1;
}
