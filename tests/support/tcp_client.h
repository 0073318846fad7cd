// The far end of a test connection, as a plain system descriptor on
// 127.0.0.1: what a remote client does to a socket of the platform layer
// (connect, send, read with a time limit, close in order or reset).
// Every read waits at most the time it is given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Connects to 127.0.0.1:`port`; the descriptor, or -1.
int tcp_connect(uint16_t port);
// Connects and returns the errno of the failure, 0 when it connected.
int tcp_connect_error(uint16_t port);
bool tcp_send_all(int fd, const void* data, size_t size);
// Reads until `size` bytes have come, the peer closes, or `ms` pass.
std::string tcp_read(int fd, size_t size, int ms);
// Sets the receive buffer, so that a sender to this end is held up.
void tcp_set_rcvbuf(int fd, int bytes);
// The TCP keep-alive settings of a descriptor: idle seconds, seconds
// between probes, probes; -1 for one that cannot be read.
struct tcp_keepalive {
  int idle_s = -1, interval_s = -1, probes = -1;
};
tcp_keepalive tcp_keepalive_of(int fd);
// Closes in order (FIN).
void tcp_close(int fd);
// Closes with a reset (RST): SO_LINGER with a zero time.
void tcp_reset(int fd);
