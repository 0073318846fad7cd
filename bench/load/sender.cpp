#include "sender.h"

#include <cstdio>
#include <memory>
#include <thread>

#include "record.h"

namespace load {

namespace {

// Builds one record, framed for a WebSocket connection; returns its bytes.
size_t put_record(sender* s, uint8_t* out, uint64_t seq) {
  size_t h = is_ws(s->c.k) ? ws_header(&s->c, out, s->size) : 0;
  build_record(out + h, s->index, s->size, seq, now_ns());
  if (h != 0) ws_mask(&s->c, out + h, s->size);
  return h + s->size;
}

void sleep_until(uint64_t at_ns) {
  timespec ts{time_t(at_ns / 1000000000u), long(at_ns % 1000000000u)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}

}  // namespace

void send_loop(sender* s) {
  const size_t framed = s->size + 14;
  const size_t per_write = s->rate > 0 ? 1 : std::max<size_t>(1, s->batch / framed);
  std::unique_ptr<uint8_t[]> buf(new uint8_t[per_write * framed]);
  const uint64_t start = now_ns();
  const double interval = s->rate > 0 ? 1e9 / s->rate : 0;
  uint64_t seq = 0;
  while (!s->stop->load(std::memory_order_relaxed)) {
    if (s->rate > 0) sleep_until(start + uint64_t(double(seq) * interval));
    size_t n = 0;
    for (size_t i = 0; i < per_write; ++i) n += put_record(s, buf.get() + n, seq + i);
    if (!write_all(&s->c, buf.get(), n, true)) {
      s->failed = true;
      std::fprintf(stderr, "sender %u: write failed\n", unsigned(s->index));
      s->stopped.store(true);
      return;
    }
    seq += per_write;
    s->sent.store(seq, std::memory_order_relaxed);
    // What the relay sends us (other senders' records) must not back up,
    // or the relay's writer to us would hold up everything we send.
    if (!drain_available(&s->c)) break;
  }
  s->stopped.store(true);
  // Until the last records have reached the receivers, others' records
  // still arrive here.
  drain_until(&s->c, s->done);
}

}  // namespace load
