// The frame decoder driven the way the relay loop drives it: reads of the
// input's own choosing into a buffer of L bytes that takes at most L - 1 of
// data plus the reserved byte behind them, an incomplete frame moved to the
// buffer's start, and the frames of one read decoded one after the other.
// ASan poisons every byte the decoder may not touch; what it relays and how
// the connection ends are compared with a model decoded from the whole stream.
//
// Input: byte 0 bit 0 picks RFC 6455 (set) or hixie-76; bytes 1-2 give L
// (2 to 4096); then reads: a size byte (bit 7: as much as fits, else
// 1 + its low 7 bits), followed by the bytes read.
#include <sanitizer/asan_interface.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "relay/globals.h"
#include "websocket/ws.h"

namespace {

using bytes = std::string;

constexpr int64_t still_open = 1;
constexpr int64_t buffer_full = 100;   // an incomplete frame filled L - 1 bytes
constexpr int64_t too_large = -3;      // a header whose frame exceeds L - 1 bytes
constexpr uint8_t sentinel = 0xA5;

struct outcome {
  std::vector<bytes> payloads;
  int64_t end = still_open;
  uint64_t held = 0;
};

// --- The model: the stream as a whole, frame after frame. ---

// A frame that is not whole in the buffer: the relay gives up once L - 1
// bytes of it are held, and waits otherwise.
void incomplete(outcome* o, uint64_t rest, uint64_t L) {
  if (rest >= L - 1) o->end = buffer_full;
  else o->held = rest;
}

outcome model_hixie(const bytes& s, uint64_t L) {
  outcome o;
  uint64_t pos = 0;
  while (pos < s.size()) {
    uint64_t rest = s.size() - pos;
    if (uint8_t(s[pos]) != 0x00) return o.end = -1, o;
    size_t t = s.find('\xFF', pos + 1);
    if (t == bytes::npos || t - pos + 1 > L - 1) return incomplete(&o, rest, L), o;
    if (t == pos + 1) return o.end = -8, o;
    o.payloads.push_back(s.substr(pos + 1, t - pos - 1));
    pos = t + 1;
  }
  return o;
}

outcome model_rfc6455(const bytes& s, uint64_t L) {
  outcome o;
  bool continuation = false;
  uint64_t pos = 0;
  auto at = [&](uint64_t i) { return uint8_t(s[pos + i]); };
  while (pos < s.size()) {
    uint64_t rest = s.size() - pos;
    uint8_t b0 = at(0);
    if (b0 == 0x88) return o.end = -8, o;
    if (b0 & 0x70) return o.end = -1, o;
    uint8_t opcode = b0 & 0x0F;
    bool control = opcode >= 8;
    if ((opcode > 2 && !control) || opcode > 10) return o.end = -1, o;   // reserved
    if (control) return o.end = (b0 & 0x80) ? 0 : -1, o;   // ping, pong; fragmented
    if (opcode == 0 && !continuation) return o.end = -2, o;
    if (opcode != 0) continuation = !(b0 & 0x80);
    if (rest < 2) return incomplete(&o, rest, L), o;
    uint64_t code = at(1) & 0x7F;
    uint64_t header = code == 126 ? 4 : code == 127 ? 10 : 2;
    if (rest < header) return incomplete(&o, rest, L), o;
    uint64_t length = code;
    if (code >= 126) {
      length = 0;
      for (uint64_t i = 2; i < header; ++i) length = length << 8 | at(i);
    }
    if (length >> 63) return o.end = -1, o;
    bool masked = at(1) & 0x80;
    uint64_t key_at = header;
    if (masked) header += 4;
    // Refused on its length alone, whether or not its key has come.
    if (header + length > L - 1) return o.end = too_large, o;
    if (rest < header || length > rest - header) return incomplete(&o, rest, L), o;
    if (length == 0) return o.end = 0, o;
    bytes payload = s.substr(pos + header, length);
    for (uint64_t i = 0; masked && i < length; ++i) payload[i] = char(payload[i] ^ at(key_at + i % 4));
    o.payloads.push_back(payload);
    if (opcode == 0 && (b0 & 0x80)) continuation = false;
    pos += header + length;
  }
  return o;
}

// --- The relay's way. ---

struct relay_buffer {
  uint8_t* ram;
  uint64_t L;

  // Only [frame, end of data] stays addressable while the decoder runs.
  void fence(uint8_t* frame, uint64_t held) {
    ASAN_POISON_MEMORY_REGION(ram, size_t(frame - ram));
    uint8_t* after = frame + held + 1;
    ASAN_POISON_MEMORY_REGION(after, size_t(ram + L - after));
  }
  void open() { ASAN_UNPOISON_MEMORY_REGION(ram, size_t(L)); }
};

QOR_WS* connection(uint32_t version) {
  static QOR_WS* ws = [] {
    static QOR_WS w;
    ws_init(&w);   // no socket: the close reply's send fails harmlessly
    return &w;
  }();
  // What a successful handshake leaves.
  ws->ws = 1;
  ws->version = version;
  ws->partial = 0;
  ws->more = 0;
  ws->continuation = 0;
  return ws;
}

// Decodes the frames of one read as relay_frames does. Returns the bytes of
// an incomplete frame now at the buffer's start, or -1 once the connection ends.
int64_t decode_read(QOR_WS* ws, relay_buffer& buf, uint64_t msg_size_read, outcome* o) {
  const bool rfc6455 = ws->version >= 13;
  uint8_t* frame = buf.ram;
  uint8_t* reserved = buf.ram + msg_size_read;
  *reserved = sentinel;
  for (;;) {
    uint8_t* payload = nullptr;
    buf.fence(frame, msg_size_read);
    int64_t size = decrypt(ws, frame, msg_size_read, &payload);
    buf.open();
    if (size <= 0) {
      FUZZ_CHECK(!ws->partial);
      if (size == -8) FUZZ_CHECK(ws->version == 0);
      o->end = size;
      return -1;
    }
    if (ws->partial) {
      FUZZ_CHECK(uint64_t(size) == msg_size_read);
      FUZZ_CHECK(!ws->more);
      FUZZ_CHECK(*reserved == sentinel);   // nothing written behind an incomplete frame
      if (frame != buf.ram) std::memmove(buf.ram, frame, msg_size_read);
      if (msg_size_read >= buf.L - 1) return o->end = buffer_full, -1;
      return int64_t(msg_size_read);
    }
    // A whole frame: its payload, its NUL and its framing lie in the bytes held.
    FUZZ_CHECK(uint64_t(size) + 2 <= msg_size_read);
    FUZZ_CHECK(payload > frame && payload + size <= frame + msg_size_read);
    FUZZ_CHECK(payload[size] == 0);
    o->payloads.emplace_back(reinterpret_cast<char*>(payload), size_t(size));
    uint8_t* next = payload + size + (rfc6455 ? 0 : 1);
    FUZZ_CHECK(bool(ws->more) == (next < frame + msg_size_read));
    if (!ws->more) return 0;
    msg_size_read -= uint64_t(next - frame);
    frame = next;
  }
}

outcome relay(fuzz_input& in, QOR_WS* ws, uint64_t L, bytes* stream) {
  outcome o;
  relay_buffer buf{new uint8_t[L], L};
  uint64_t carried = 0;
  while (!in.empty()) {
    uint8_t s = in.byte();
    uint64_t room = L - 1 - carried;
    uint64_t want = (s & 0x80) ? room : 1 + (s & 0x7F);
    size_t n;
    const uint8_t* data = in.take(want < room ? want : room, &n);
    if (n == 0) break;
    std::memcpy(buf.ram + carried, data, n);
    stream->append(reinterpret_cast<const char*>(data), n);
    int64_t kept = decode_read(ws, buf, carried + n, &o);
    if (kept < 0) break;
    carried = uint64_t(kept);
  }
  o.held = o.end == still_open ? carried : 0;
  delete[] buf.ram;
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input in{data, size};
  const uint32_t version = (in.byte() & 1) ? 13 : 8;
  const uint64_t L = 2 + in.u16() % 4095;
  packet_length = L;   // the decoder refuses frames larger than a read by it
  bytes stream;
  outcome got = relay(in, connection(version), L, &stream);
  outcome want = version == 13 ? model_rfc6455(stream, L) : model_hixie(stream, L);
  FUZZ_CHECK(got.end == want.end);
  FUZZ_CHECK(got.payloads == want.payloads);
  FUZZ_CHECK(got.held == want.held);
  return 0;
}
