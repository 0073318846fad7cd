// select over the layer's fd_set of SOCKETs, done with poll(2): a
// descriptor number above the system's FD_SETSIZE is fine, and every socket
// in the sets stays held (open) for the wait.
#define PLATFORM_NO_WINSOCK_DEFS
#include <poll.h>
#include <time.h>
#include <cerrno>
#include <cstdint>

#include "platform/winsock.h"
#include "platform/winsock_table.h"

namespace win {
namespace {

constexpr unsigned set_count = 3;  // read, write, except
constexpr unsigned max_polled = set_count * fd_set_capacity;
constexpr short wanted_events[set_count] = {POLLIN, POLLOUT, POLLPRI};
// What counts as ready for each set: an error or hang-up must wake a reader
// and a writer, or they would wait for ever on a dead connection.
constexpr short ready_events[set_count] = {POLLIN | POLLHUP | POLLERR,
                                           POLLOUT | POLLHUP | POLLERR, POLLPRI};

struct select_state {
  pollfd polled[max_polled];
  detail::socket_hold holds[max_polled];
  unsigned count = 0;
};

void release_all(select_state* state) {
  for (unsigned i = 0; i < state->count; ++i) detail::socket_release(&state->holds[i]);
}

// Holds every socket of every set; false (error set) on a name that is not
// an open socket or a set that claims more than it can hold.
bool acquire_sets(fd_set* const sets[set_count], select_state* state) {
  for (unsigned k = 0; k < set_count; ++k) {
    if (!sets[k]) continue;
    if (sets[k]->fd_count > fd_set_capacity) {
      detail::wsa_fail(WSAEINVAL);
      return false;
    }
    for (unsigned i = 0; i < sets[k]->fd_count; ++i) {
      detail::socket_hold* hold = &state->holds[state->count];
      if (!detail::socket_acquire(sets[k]->fd_array[i], hold)) return false;
      state->polled[state->count] = pollfd{hold->fd, wanted_events[k], 0};
      ++state->count;
    }
  }
  return true;
}

int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Polls until something is ready or the time-out passes; -1 with errno.
// The deadline is kept in nanoseconds so a retry never shortens the wait.
int poll_until(select_state* state, const timeval* timeout) {
  if (!timeout) {
    int n;
    do n = ::poll(state->polled, state->count, -1);
    while (n == -1 && errno == EINTR);
    return n;
  }
  int64_t wait_ns = (static_cast<int64_t>(timeout->tv_sec) * 1'000'000 + timeout->tv_usec) * 1000;
  if (wait_ns < 0) wait_ns = 0;
  int64_t deadline = now_ns() + wait_ns;
  for (;;) {
    int64_t left = deadline - now_ns();
    if (left < 0) left = 0;
    timespec ts{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    int n = ::ppoll(state->polled, state->count, &ts, nullptr);
    if (n != -1 || errno != EINTR) return n;
  }
}

// Keeps in each set only the sockets found ready; returns how many remain
// in all sets together, as Winsock counts them.
int keep_ready(fd_set* const sets[set_count], const select_state* state) {
  int total = 0;
  unsigned p = 0;
  for (unsigned k = 0; k < set_count; ++k) {
    if (!sets[k]) continue;
    unsigned kept = 0;
    for (unsigned i = 0; i < sets[k]->fd_count; ++i, ++p) {
      if (state->polled[p].revents & (ready_events[k] | POLLNVAL))
        sets[k]->fd_array[kept++] = sets[k]->fd_array[i];
    }
    sets[k]->fd_count = kept;
    total += static_cast<int>(kept);
  }
  return total;
}

}  // namespace

// `nfds` is ignored, as on Windows. A NULL time-out waits without limit.
int select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout) {
  fd_set* const sets[set_count] = {readfds, writefds, exceptfds};
  bool any = false;
  for (fd_set* set : sets) any = any || (set && set->fd_count > 0);
  if (!any) return detail::wsa_fail(WSAEINVAL);
  if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0)) return detail::wsa_fail(WSAEINVAL);
  select_state state;
  if (!acquire_sets(sets, &state)) {
    release_all(&state);
    return SOCKET_ERROR;
  }
  int n = poll_until(&state, timeout);
  int err = errno;
  release_all(&state);
  if (n == -1) return detail::wsa_fail_errno(err);
  return keep_ready(sets, &state);
}

}  // namespace win
