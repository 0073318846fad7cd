// setsockopt: the Winsock options that the relay sets, each translated to
// its system option and value form.
#define PLATFORM_NO_WINSOCK_DEFS
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <cerrno>
#include <cstring>

#include "platform/winsock.h"
#include "platform/winsock_table.h"

namespace win {
namespace {

// Winsock's numbers; the system's macros of the same names are in scope.
constexpr int ws_sol_socket = 0xFFFF;
constexpr int ws_ipproto_tcp = 6;
constexpr int ws_so_reuseaddr = 0x0004;
constexpr int ws_so_keepalive = 0x0008;
constexpr int ws_so_sndbuf = 0x1001;
constexpr int ws_so_rcvbuf = 0x1002;
constexpr int ws_so_rcvtimeo = 0x1006;
constexpr int ws_tcp_nodelay = 0x0001;
constexpr int ws_tcp_keepalive = 3;

// One option in the system's terms, ready for setsockopt(2).
struct system_option {
  int level = 0;
  int name = 0;
  int int_value = 0;
  ::timeval time_value{};
  bool is_time = false;
};

// Linux TCP on loopback sends segments of up to 64 KiB. A socket buffer of
// only a few KiB then advertises a window below one segment: the peer holds
// its data back and waits on zero-window probes, whose back-off stalls a
// connection for seconds although the reader is waiting. So a buffer size is
// never set below a few segments' worth; larger sizes are taken as asked.
constexpr int min_buffer_size = 256 * 1024;
int buffer_size(int value) { return value < min_buffer_size ? min_buffer_size : value; }

// Translates a Winsock option; false (error set) when it is not one of ours.
bool translate(int level, int optname, int value, system_option* out) {
  out->int_value = value;
  if (level == ws_sol_socket) {
    out->level = SOL_SOCKET;
    switch (optname) {
      case ws_so_reuseaddr: out->name = SO_REUSEADDR; return true;
      case ws_so_keepalive: out->name = SO_KEEPALIVE; return true;
      case ws_so_sndbuf: out->name = SO_SNDBUF; out->int_value = buffer_size(value); return true;
      case ws_so_rcvbuf: out->name = SO_RCVBUF; out->int_value = buffer_size(value); return true;
      case ws_so_rcvtimeo: {
        // Winsock gives milliseconds as a DWORD; 0 means no time-out.
        uint32_t ms = static_cast<uint32_t>(value);
        out->name = SO_RCVTIMEO;
        out->is_time = true;
        out->time_value.tv_sec = ms / 1000;
        out->time_value.tv_usec = (ms % 1000) * 1000;
        return true;
      }
    }
  } else if (level == ws_ipproto_tcp) {
    out->level = IPPROTO_TCP;
    switch (optname) {
      case ws_tcp_nodelay: out->name = TCP_NODELAY; return true;
      case ws_tcp_keepalive: out->name = TCP_KEEPIDLE; return true;  // seconds
    }
  }
  detail::wsa_fail(WSAENOPROTOOPT);
  return false;
}

// After the idle time Windows probes every second, ten times, before it
// gives a silent peer up; Linux would wait 75 s between nine probes and hold
// a dead client's slot for over ten minutes.
void set_keepalive_probes(int fd) {
  int interval_s = 1, probes = 10;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

}  // namespace

// Every option here takes a 4-byte value (BOOL, int or DWORD).
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!optval || optlen < static_cast<int>(sizeof(int32_t))) return detail::wsa_fail(WSAEFAULT);
  int32_t value;
  std::memcpy(&value, optval, sizeof value);
  system_option option;
  if (!translate(level, optname, value, &option)) return SOCKET_ERROR;
  detail::socket_hold hold;
  if (!detail::socket_acquire(s, &hold)) return SOCKET_ERROR;
  int result = option.is_time
      ? ::setsockopt(hold.fd, option.level, option.name, &option.time_value, sizeof option.time_value)
      : ::setsockopt(hold.fd, option.level, option.name, &option.int_value, sizeof option.int_value);
  int err = errno;
  if (result == 0 && option.level == IPPROTO_TCP && option.name == TCP_KEEPIDLE)
    set_keepalive_probes(hold.fd);
  detail::socket_release(&hold);
  return result == -1 ? detail::wsa_fail_errno(err) : 0;
}

}  // namespace win
