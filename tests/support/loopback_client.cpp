// loopback_client: see loopback_client.h.
#include "support/loopback_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int loopback_connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  ::sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<::sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool loopback_send_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= size_t(n);
  }
  return true;
}

std::string loopback_read(int fd, size_t size, int ms) {
  std::string got;
  char buf[4096];
  while (got.size() < size) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, ms) <= 0) break;
    size_t want = size - got.size() < sizeof buf ? size - got.size() : sizeof buf;
    ssize_t n = ::recv(fd, buf, want, 0);
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  return got;
}

std::string loopback_read_available(int fd, int ms) {
  std::string got;
  char buf[4096];
  pollfd pfd{fd, POLLIN, 0};
  if (::poll(&pfd, 1, ms) <= 0) return got;
  ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n > 0) got.append(buf, size_t(n));
  return got;
}

void loopback_close(int fd) {
  if (fd >= 0) ::close(fd);
}
