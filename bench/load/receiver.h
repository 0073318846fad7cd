// One receiving connection of the load tool and what it counts.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "conn.h"
#include "record.h"

namespace load {

// Published by the run: only records sent inside the window count towards
// latency; the counters are sampled at the window's ends.
struct window {
  std::atomic<uint64_t> start_ns{~uint64_t(0)};
  std::atomic<uint64_t> end_ns{~uint64_t(0)};
};

struct receiver {
  conn c;
  // With WebSocket senders only, every frame must hold exactly one record.
  bool frames_are_messages = false;
  const window* win = nullptr;
  std::vector<uint64_t> expected;   // next sequence number, by sender
  std::vector<uint64_t> received;   // in-order records, by sender
  std::atomic<uint64_t> records{0};
  std::atomic<uint64_t> bytes{0};
  uint64_t corrupt = 0;
  uint64_t reordered = 0;
  bool synced = false;   // a record has been seen: no hello bytes any more
  bool broken = false;   // the stream lost its framing; the rest is dropped
  histogram latency;
};

// Reads until the connection ends, checking every record.
void receive_loop(receiver* r);

}  // namespace load
