// The socket table: one entry per descriptor number, allocated once, sized
// from the descriptor limit at first use.
//
// Order of a call:   in_flight += 1, check generation, system call, -= 1.
// Order of a close:  generation += 1 (retire), shutdown if any call is in
//                    flight, wait for in_flight == 0, close().
// Both sides use sequentially consistent operations, so either the caller
// sees the retired generation or the closer sees the caller counted; the
// descriptor is never closed under a call, nor used after it was closed.
#define PLATFORM_NO_WINSOCK_DEFS
#include "platform/winsock_table.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/winsock.h"

namespace win::detail {
namespace {

// Enough for any relay; a descriptor beyond it is refused, not mis-named.
constexpr uint64_t table_size_cap = 1u << 16;

struct socket_table {
  socket_entry* entries = nullptr;
  uint32_t size = 0;
};

socket_table table_create() {
  rlimit limit{};
  uint64_t size = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    size = limit.rlim_cur;
  else if (limit.rlim_cur == RLIM_INFINITY)
    size = table_size_cap;
  size = std::clamp<uint64_t>(size, 64, table_size_cap);
  socket_table table;
  table.entries = new (std::nothrow) socket_entry[size]();
  table.size = table.entries ? static_cast<uint32_t>(size) : 0;
  return table;
}

const socket_table& table() {
  static const socket_table instance = table_create();  // lives for the process
  return instance;
}

socket_entry* entry_of(int fd) {
  const socket_table& t = table();
  if (fd < 0 || static_cast<uint64_t>(fd) >= t.size) return nullptr;
  return &t.entries[fd];
}

// A descriptor number reached from a name. Only the low 32 bits carry it.
int fd_of(SOCKET s) { return static_cast<int>(static_cast<uint32_t>(s)); }
uint32_t generation_of(SOCKET s) { return static_cast<uint32_t>(s >> 32); }
bool is_open_generation(uint32_t g) { return (g & 1u) != 0; }

void pause_briefly(long nanoseconds) {
  timespec t{0, nanoseconds};
  nanosleep(&t, nullptr);
}

}  // namespace

SOCKET socket_register(int fd) {
  socket_entry* entry = entry_of(fd);
  if (!entry) {
    ::close(fd);
    wsa_fail(WSAEMFILE);
    return INVALID_SOCKET;
  }
  entry->shut_by_layer.store(false);
  // Free entries are even; the new name is the next odd generation. No one
  // else writes it now: the previous owner retired it before close(). An odd
  // value here means the descriptor was closed behind the layer's back;
  // stepping past it retires that stale name too.
  uint32_t generation = (entry->generation.load() + 1) | 1u;
  entry->generation.store(generation);
  return (static_cast<SOCKET>(generation) << 32) | static_cast<uint32_t>(fd);
}

bool socket_acquire(SOCKET s, socket_hold* hold) {
  uint32_t generation = generation_of(s);
  socket_entry* entry = entry_of(fd_of(s));  // a negative number has none
  if (!entry || !is_open_generation(generation)) {
    wsa_fail(WSAENOTSOCK);
    return false;
  }
  entry->in_flight.fetch_add(1);
  if (entry->generation.load() != generation) {
    entry->in_flight.fetch_sub(1);
    wsa_fail(WSAENOTSOCK);
    return false;
  }
  hold->entry = entry;
  hold->fd = fd_of(s);
  return true;
}

void socket_release(socket_hold* hold) {
  if (hold->entry) hold->entry->in_flight.fetch_sub(1);
  hold->entry = nullptr;
  hold->fd = -1;
}

bool socket_retire(SOCKET s) {
  uint32_t generation = generation_of(s);
  socket_entry* entry = entry_of(fd_of(s));  // a negative number has none
  if (!entry || !is_open_generation(generation) ||
      !entry->generation.compare_exchange_strong(generation, generation + 1)) {
    wsa_fail(WSAENOTSOCK);
    return false;
  }
  int fd = fd_of(s);
  if (entry->in_flight.load() != 0) {
    // A blocked accept/recv/send/select returns only once the socket is shut
    // down; close() alone would leave it waiting on a descriptor that the
    // system may already have handed to someone else.
    entry->shut_by_layer.store(true);
    ::shutdown(fd, SHUT_RDWR);
  }
  long wait_ns = 10'000;
  while (entry->in_flight.load() != 0) {
    pause_briefly(wait_ns);
    wait_ns = std::min(wait_ns * 2, 1'000'000L);
  }
  ::close(fd);  // not retried on EINTR: the descriptor is released either way
  return true;
}

}  // namespace win::detail
