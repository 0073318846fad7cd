#include "support/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

bool wait_fd(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, ms);
    if (r == -1 && errno == EINTR) continue;
    return r > 0;
  }
}

int remaining_ms(uint64_t end_us) {
  uint64_t now = now_us();
  return now >= end_us ? 0 : int((end_us - now + 999) / 1000);
}

}  // namespace

uint64_t now_us() {
  using namespace std::chrono;
  return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

relay_client::~relay_client() { close(); }

bool relay_client::connect(uint16_t port, int rcvbuf, int sndbuf, bool hello) {
  close();
  peer_closed = false;
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (sndbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect_us = now_us();
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1) {
    close();
    return false;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  local_port = ntohs(a.sin_port);
  return !hello || send_all(&HELLO_BYTE, 1, 1000);
}

bool relay_client::send_all(const void* data, size_t size, int ms) {
  const char* p = static_cast<const char*>(data);
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      size -= size_t(n);
      continue;
    }
    if (n == -1 && errno == EINTR) continue;
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int left = remaining_ms(end);
      if (left == 0) return false;
      wait_fd(fd, POLLOUT, left);
      continue;
    }
    return false;
  }
  return true;
}

long relay_client::send_now(const void* data, size_t size) {
  for (;;) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return long(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

std::string relay_client::read(size_t max, int ms) {
  std::string got;
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  char buf[16384];
  while (got.size() < max) {
    // With no time left this still takes what has already arrived.
    if (!wait_fd(fd, POLLIN, remaining_ms(end))) break;
    size_t want = max - got.size() < sizeof buf ? max - got.size() : sizeof buf;
    ssize_t n = ::recv(fd, buf, want, MSG_DONTWAIT);
    if (n == -1 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      peer_closed = true;
      break;
    }
    got.append(buf, size_t(n));
  }
  return got;
}

bool relay_client::wait_closed(int ms) {
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  char buf[16384];
  for (;;) {
    int left = remaining_ms(end);
    if (left == 0 || !wait_fd(fd, POLLIN, left)) return false;
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n == -1 && errno != EINTR && errno != EAGAIN) return true;
  }
}

void relay_client::close() {
  if (fd != -1) ::close(fd);
  fd = -1;
}

void relay_client::close_in_order(int ms) {
  if (fd == -1) return;
  ::shutdown(fd, SHUT_WR);
  wait_closed(ms);
  close();
}

void relay_client::reset() {
  if (fd == -1) return;
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close();
}

background_reader::background_reader(relay_client* c) : client(c) {
  thread = std::thread([this] { run(); });
}

background_reader::~background_reader() { stop(); }

void background_reader::stop() {
  stopping.store(true);
  if (thread.joinable()) thread.join();
}

std::string background_reader::data() {
  std::lock_guard<std::mutex> hold(lock);
  return received;
}

size_t background_reader::size() {
  std::lock_guard<std::mutex> hold(lock);
  return received.size();
}

void background_reader::run() {
  char buf[16384];
  while (!stopping.load()) {
    if (!wait_fd(client->fd, POLLIN, 20)) continue;
    ssize_t n = ::recv(client->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == -1 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      eof.store(true);
      return;
    }
    std::lock_guard<std::mutex> hold(lock);
    received.append(buf, size_t(n));
  }
}

bool await_ready(const std::vector<relay_client*>& clients, int ms) {
  std::vector<bool> ready(clients.size(), false);
  size_t count = 0;
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  while (count < clients.size() && clients.size() >= 2) {
    if (now_us() >= end) return false;
    clients[0]->send_now(&SYNC_BYTE, 1);
    clients[1]->send_now(&SYNC_BYTE, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (size_t i = 0; i < clients.size(); ++i) {
      if (clients[i]->read(1 << 16, 0).empty() || ready[i]) continue;
      ready[i] = true;
      ++count;
    }
  }
  return count == clients.size();
}

std::string without_control(const std::string& s) {
  std::string out;
  for (char c : s)
    if (uint8_t(c) != HELLO_BYTE && uint8_t(c) != SYNC_BYTE) out.push_back(c);
  return out;
}
