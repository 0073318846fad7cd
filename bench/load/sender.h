// One sending stream of the load tool: a sender's connection to the relay,
// or, for the direct floor, one of a sender's connections to its receivers.
#pragma once
#include <atomic>
#include <cstdint>

#include "conn.h"

namespace load {

struct sender {
  conn c;
  uint16_t index = 0;
  uint32_t size = 64;      // record length
  uint32_t batch = 65536;  // bytes per write when unpaced
  double rate = 0;         // records a second; 0: as fast as they are taken
  const std::atomic<bool>* stop = nullptr;   // no more records
  const std::atomic<bool>* done = nullptr;   // the run is over: stop draining
  std::atomic<uint64_t> sent{0};   // records wholly written
  std::atomic<bool> stopped{false};   // sent is final
  bool failed = false;
};

void send_loop(sender* s);

}  // namespace load
