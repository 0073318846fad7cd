// A connected TCP pair on 127.0.0.1: the server end is a SOCKET of the
// platform layer (accepted through win::accept), the client end a plain
// descriptor the test writes requests to and reads replies from.
//
//   loopback_pair pair;
//   ASSERT_TRUE(pair.open());
//   ws.tls.so = pair.take_server();   // the stream now owns it
//   pair.client_send("GET / ...");
//
// Every read of the client end has a time limit. What is still held when the
// object goes is closed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

struct loopback_pair {
  SOCKET server = INVALID_SOCKET;
  int client = -1;

  loopback_pair() = default;
  loopback_pair(const loopback_pair&) = delete;
  loopback_pair& operator=(const loopback_pair&) = delete;
  ~loopback_pair();

  // Listens on a free high port, connects and accepts. False on failure.
  bool open();
  // Hands the server end over; the pair no longer closes it.
  SOCKET take_server();
  bool client_send(const void* data, size_t size);
  bool client_send(const std::string& text) { return client_send(text.data(), text.size()); }
  // Reads until `size` bytes have come, the peer closes, or `ms` pass.
  std::string client_read(size_t size, int ms);
  // Bytes the client end could read now, waiting at most `ms` for the first.
  std::string client_read_available(int ms);
  void close_client();
};
