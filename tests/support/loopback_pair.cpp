// loopback_pair: see loopback_pair.h.
#include "support/loopback_pair.h"

#include <random>

#include "platform/winsock.h"
#include "support/loopback_client.h"

namespace {

constexpr int port_tries = 200;

SOCKET listen_on_free_port(uint16_t* port) {
  std::random_device rd;
  std::mt19937 rng(rd());
  for (int i = 0; i < port_tries; ++i) {
    uint16_t p = uint16_t(20000 + rng() % 40000);
    SOCKET s = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    win::sockaddr_in a{};
    a.sin_family = win::AF_INET;
    a.sin_port = win::htons(p);
    a.sin_addr.s_addr = win::inet_addr("127.0.0.1");
    if (win::bind(s, reinterpret_cast<win::sockaddr*>(&a), sizeof a) == 0 && win::listen(s, 1) == 0) {
      *port = p;
      return s;
    }
    win::closesocket(s);
  }
  return INVALID_SOCKET;
}

}  // namespace

loopback_pair::~loopback_pair() {
  close_client();
  if (server != INVALID_SOCKET) {
    win::shutdown(server, win::SD_BOTH);
    win::closesocket(server);
  }
}

bool loopback_pair::open() {
  win::WSADATA data;
  if (win::WSAStartup(0x0202, &data) != 0) return false;
  uint16_t port = 0;
  SOCKET listener = listen_on_free_port(&port);
  if (listener == INVALID_SOCKET) return false;
  client = loopback_connect(port);
  if (client >= 0) server = win::accept(listener, nullptr, nullptr);
  win::closesocket(listener);
  return client >= 0 && server != INVALID_SOCKET;
}

SOCKET loopback_pair::take_server() {
  SOCKET s = server;
  server = INVALID_SOCKET;
  return s;
}

bool loopback_pair::client_send(const void* data, size_t size) {
  return loopback_send_all(client, data, size);
}

std::string loopback_pair::client_read(size_t size, int ms) { return loopback_read(client, size, ms); }

std::string loopback_pair::client_read_available(int ms) {
  return loopback_read_available(client, ms);
}

void loopback_pair::close_client() {
  loopback_close(client);
  client = -1;
}
