/* The benchmark's references: the least a program can do to send one UDP datagram
 * (to the port given as its argument on 127.0.0.1) and exit. Built with
 * QX_READ_SYSTEM_PATH, it first reads the system "Path" from the registry store,
 * as qxtrap's start-up must: with the libraries qxtrap links, that is the least
 * qxtrap itself can do. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef QX_READ_SYSTEM_PATH
#include <qxplatform/registry.h>

static int ReadSystemPath(void) {
  HKEY key = NULL;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                    KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return 0;
  BYTE data[8192];
  DWORD size = sizeof data, type = 0;
  LSTATUS rc = RegQueryValueExA(key, "Path", NULL, &type, data, &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}
#endif

int main(int argc, char** argv) {
  if (argc < 2) return 2;
#ifdef QX_READ_SYSTEM_PATH
  if (!ReadSystemPath()) return 3;
#endif
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
