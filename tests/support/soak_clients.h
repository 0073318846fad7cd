// The soak's clients. A healthy worker owns one lane: it connects as some
// kind, sends numbered records while it reads and checks everything that
// comes, ends in order, and connects again as another kind. A faulty worker
// misbehaves in one of many ways per connection, each over in a bounded
// time. Both report what they find to the shared `soak_world`.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "support/soak_link.h"
#include "support/soak_records.h"

struct soak_world {
  uint16_t port = 0;
  uint64_t deadline_us = 0;   // no new connection after this

  // One connection of a healthy lane.
  struct generation {
    soak_link::kind kind = soak_link::raw;
    uint64_t start_us = 0;    // before its first record was handed to the socket
    uint32_t records = 0;     // all it sent, once `sent`
    bool sent = false;
    uint64_t done_us = 0;     // the relay had closed it after its FIN
  };

  std::mutex lock;
  std::map<uint32_t, generation> generations;   // key: lane << 16 | gen
  uint16_t next_gen[SOAK_LANES] = {};
  std::vector<std::string> faults;
  std::map<std::string, uint64_t> counts;       // connections by what they did
  std::atomic<uint64_t> healthy_bytes{0};       // record bytes checked by receivers
  std::vector<uint16_t> tls_garbage_ports;      // clients that broke their TLS session
  std::atomic<uint64_t> late_setups{0};         // WebSocket set-ups tried again
  std::string console;                          // the relay's output as far as copied

  // Appends the relay's output from where the copy ends; by one thread.
  void copy_console(const std::string& out);
  size_t console_size();
  std::string console_from(size_t at);
  // Sets `l` up as `k`, on a fresh connection again while the relay judges
  // the WebSocket request late (see soak_setup.cpp); false with *why.
  bool open_link(soak_link& l, soak_link::kind k, std::string* why);

  uint16_t begin(int lane, soak_link::kind k);
  std::vector<std::pair<uint32_t, generation>> snapshot();
  void fault(const std::string& what);
  void count(const std::string& what);
  void add_tls_garbage(uint16_t port);
  bool failed();
};

void run_healthy_worker(soak_world* world, int lane, uint32_t seed);
void run_faulty_worker(soak_world* world, uint32_t seed);
