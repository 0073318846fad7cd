// The relay's standard output after a soak, taken apart item by item: the
// connection lines, and the reports that the soak's faulty clients may
// rightly cause. Anything else it printed is a fault.
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
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
