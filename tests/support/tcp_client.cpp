#include "support/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

}  // namespace

int tcp_connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  sockaddr_in a = loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int tcp_connect_error(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return errno;
  sockaddr_in a = loopback(port);
  int err = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1 ? errno : 0;
  ::close(fd);
  return err;
}

bool tcp_send_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string tcp_read(int fd, size_t size, int ms) {
  std::string got;
  long long deadline = now_ms() + ms;
  char buf[65536];
  while (got.size() < size) {
    long long left = deadline - now_ms();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r == -1 && errno == EINTR) continue;
    if (r <= 0) break;
    size_t want = size - got.size() < sizeof buf ? size - got.size() : sizeof buf;
    ssize_t n = ::recv(fd, buf, want, 0);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

tcp_keepalive tcp_keepalive_of(int fd) {
  tcp_keepalive k;
  socklen_t size = sizeof(int);
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &k.idle_s, &size);
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &k.interval_s, &size);
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &k.probes, &size);
  return k;
}

void tcp_set_rcvbuf(int fd, int bytes) {
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void tcp_close(int fd) {
  if (fd != -1) ::close(fd);
}

void tcp_reset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}
