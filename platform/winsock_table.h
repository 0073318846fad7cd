// The layer's own view of its sockets: the table that gives every open
// socket a name (SOCKET) that no later socket shares, the hold that keeps a
// descriptor open while a call uses it, and the error helpers.
//
// A SOCKET is (generation << 32) | descriptor. An entry's generation is odd
// while its descriptor is open and even once closesocket() has retired it,
// so a stale name fails the generation check and never reaches the
// descriptor number's next owner. Only this layer's .cpp files include this.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/types.h"

namespace win::detail {

struct socket_entry {
  std::atomic<uint32_t> generation;  // odd: open; even: free or retired
  std::atomic<uint32_t> in_flight;   // calls between hold and release
  std::atomic<bool> shut_by_layer;   // shut down to cancel a blocked call
};

// Records a descriptor that the system has just handed out and returns its
// name; on failure closes the descriptor, sets WSAEMFILE and returns
// INVALID_SOCKET (the descriptor number is beyond the table).
SOCKET socket_register(int fd);

// A call in progress on one socket: while held, the descriptor stays open.
struct socket_hold {
  socket_entry* entry = nullptr;
  int fd = -1;
};

// Holds `s` for one call. Returns false, with WSAENOTSOCK set, when `s`
// names no open socket (never issued, or already closed).
bool socket_acquire(SOCKET s, socket_hold* hold);
void socket_release(socket_hold* hold);

// Retires `s`: calls that start later fail; calls in progress are woken
// by a shutdown and awaited; then the descriptor is closed.
// Returns false, with WSAENOTSOCK set, when `s` names no open socket.
bool socket_retire(SOCKET s);

// The Winsock error number for a system errno value.
int wsa_error_from_errno(int err);
// Sets the thread's Winsock error and returns SOCKET_ERROR.
int wsa_fail(int wsa_error);
// Sets the thread's Winsock error from errno and returns SOCKET_ERROR.
int wsa_fail_errno(int err);

// WSAStartup() has been called more often than WSACleanup().
bool wsa_started();

}  // namespace win::detail
