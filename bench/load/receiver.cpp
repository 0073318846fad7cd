// Receivers parse a byte stream of records: the relay forwards reads, not
// messages, so a record may arrive split or several together. WebSocket
// receivers first take the frames apart and feed their payloads to the
// same parser; a frame that holds exactly one record is checked in place.
#include "receiver.h"

#include <cstdio>
#include <cstring>

namespace load {

namespace {

constexpr size_t read_chunk = 256 * 1024;
constexpr size_t buffer_size = read_chunk + 2 * max_record;

void mark_broken(receiver* r, const char* why) {
  if (!r->broken) std::fprintf(stderr, "receiver: stream broken: %s\n", why);
  r->corrupt += 1;
  r->broken = true;
}

void check_record(receiver* r, const uint8_t* p, const record_header& h) {
  if (h.sender >= r->expected.size()) return mark_broken(r, "unknown sender");
  if (std::memcmp(p + header_size, payload_of(h.sender, h.seq), h.length - header_size) != 0) {
    r->corrupt += 1;
    return;
  }
  uint64_t& next = r->expected[h.sender];
  if (h.seq < next) {
    r->reordered += 1;
  } else {
    next = h.seq + 1;   // a gap shows as lost at the end
    r->received[h.sender] += 1;
  }
  uint64_t sent = h.sent_ns;
  if (sent >= r->win->start_ns.load(std::memory_order_relaxed) &&
      sent < r->win->end_ns.load(std::memory_order_relaxed))
    r->latency.add(now_ns() - sent);
  r->records.store(r->records.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  r->bytes.store(r->bytes.load(std::memory_order_relaxed) + h.length, std::memory_order_relaxed);
}

// Parses whole records from data; returns the bytes consumed.
size_t parse_records(receiver* r, const uint8_t* data, size_t n) {
  size_t i = 0;
  while (!r->broken) {
    // Hello bytes of clients that joined after us come before any record.
    while (!r->synced && i < n && data[i] == 0) ++i;
    if (n - i < header_size) break;
    record_header h;
    std::memcpy(&h, data + i, header_size);
    if (h.magic != record_magic || h.length < header_size || h.length > max_record) {
      mark_broken(r, "bad record header");
      return n;
    }
    if (n - i < h.length) break;
    r->synced = true;
    check_record(r, data + i, h);
    i += h.length;
  }
  return r->broken ? n : i;
}

struct frame {
  size_t header = 0;    // 0: incomplete
  uint64_t payload = 0;
};

frame next_frame(const uint8_t* p, size_t n) {
  frame f;
  if (n < 2) return f;
  uint64_t len = p[1] & 0x7F;
  size_t h = 2;
  if (len == 126) {
    if (n < 4) return f;
    len = uint64_t(p[2]) << 8 | p[3];
    h = 4;
  } else if (len == 127) {
    if (n < 10) return f;
    len = 0;
    for (int i = 0; i < 8; ++i) len = len << 8 | p[2 + i];
    h = 10;
  }
  if (n - h < len) return f;
  f.header = h;
  f.payload = len;
  return f;
}

// Stream state of a WebSocket receiver: payload bytes not yet parsed.
struct ws_stream {
  std::unique_ptr<uint8_t[]> buf{new uint8_t[buffer_size]};
  size_t have = 0;
};

void take_payload(receiver* r, ws_stream* s, const uint8_t* p, size_t n) {
  if (s->have == 0) {
    size_t used = parse_records(r, p, n);
    if (used == n) return;
    if (r->frames_are_messages && r->synced) return mark_broken(r, "a frame that is not one record");
    p += used;
    n -= used;
  }
  if (s->have + n > buffer_size) return mark_broken(r, "stream buffer overflow");
  std::memcpy(s->buf.get() + s->have, p, n);
  s->have += n;
  size_t used = parse_records(r, s->buf.get(), s->have);
  std::memmove(s->buf.get(), s->buf.get() + used, s->have - used);
  s->have -= used;
}

// Takes the complete frames from data; returns the bytes consumed.
size_t parse_frames(receiver* r, ws_stream* s, const uint8_t* data, size_t n) {
  size_t i = 0;
  while (!r->broken) {
    if (n - i >= 1 && (data[i] & 0x0F) != 1 && (data[i] & 0x0F) != 2) {
      mark_broken(r, "unexpected frame opcode");
      return n;
    }
    frame f = next_frame(data + i, n - i);
    if (f.header == 0) break;
    take_payload(r, s, data + i + f.header, size_t(f.payload));
    i += f.header + size_t(f.payload);
  }
  return r->broken ? n : i;
}

}  // namespace

void receive_loop(receiver* r) {
  std::unique_ptr<uint8_t[]> buf(new uint8_t[buffer_size]);
  ws_stream ws;
  size_t have = 0;
  bool frames = is_ws(r->c.k);
  for (;;) {
    long got = read_some(&r->c, buf.get() + have, read_chunk);
    if (got <= 0) return;
    have += size_t(got);
    size_t used = frames ? parse_frames(r, &ws, buf.get(), have) : parse_records(r, buf.get(), have);
    std::memmove(buf.get(), buf.get() + used, have - used);
    have -= used;
  }
}

}  // namespace load
