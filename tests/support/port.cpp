#include "support/port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int bind_any(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == -1) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

held_port::held_port() {
  fd = bind_any(&port);
  if (fd != -1 && listen(fd, 1) == -1) {
    close(fd);
    fd = -1;
  }
  if (fd == -1) port = 0;
}

held_port::~held_port() {
  if (fd != -1) close(fd);
}

uint16_t free_port() {
  uint16_t port = 0;
  int fd = bind_any(&port);
  if (fd == -1) return 0;
  close(fd);
  return port;
}
