// The relay's standard output after a soak, taken apart item by item: the
// connection lines, and the reports that the soak's faulty clients may
// rightly cause. Anything else it printed is a fault. And, while the soak
// runs, the kind the console gave one connection.
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct soak_console {
  size_t connections = 0;             // SYN lines
  size_t ends = 0;                    // end lines
  size_t tls_reports = 0;             // TLS errors of clients that sent TLS garbage
  size_t send_reports = 0;            // failed sends to such clients
  std::vector<std::string> unexpected;

  // `tls_garbage_ports`: the ports of clients that broke their TLS session
  // on purpose; the relay may report a TLS error of theirs, and failed
  // sends to them.
  void scan(const std::string& out, const std::set<uint16_t>& tls_garbage_ports);

 private:
  void fail(const std::string& what);
};

// What the console shows of a connection's set-up, by the kind that follows
// its connection line. A connection's kind is printed only when the count
// of active connections is what its own line showed; so `none` proves
// nothing, and when one connection ended and another began meanwhile, the
// kind lands on the later one's line.
enum class console_kind { no_line, pending, none, raw, tls, ws, wss };
const char* name(console_kind k);

// The latest connection line of the client at local port `port` in `out`
// (the console from before that client connected), and what follows it.
console_kind console_kind_of(std::string_view out, uint16_t port);
