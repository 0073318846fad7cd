// Decodes one received frame (RFC 6455) or message (hixie-76) in place: the
// payload is unmasked where it lies and a NUL is put behind it. No byte
// beyond the msg_size_read held is read; the only byte written beyond them is
// that NUL, into the byte the relay keeps free behind the data.
//
// A frame the relay does not take is refused as soon as its first bytes show
// it, each kind with its own result, so that the relay can tell its client
// why with the close status that fits.
#include <cstring>

#include "common/atomic.h"
#include "relay/globals.h"
#include "websocket/ws.h"

namespace {

constexpr uint8_t fin_bit = 0x80;
constexpr uint8_t rsv_bits = 0x70;
constexpr uint8_t opcode_bits = 0x0F;
constexpr uint8_t mask_bit = 0x80;
constexpr uint8_t close_fin = 0x88;
// FIN + close, unmasked, length 2, status 1000 (normal closure).
const uint8_t close_reply[4] = {0x88, 0x02, 0x03, 0xE8};

int64_t held_partial(QOR_WS* ws, uint64_t msg_size_read) {
  ws->partial = 1;
  return int64_t(msg_size_read);
}

// The 4-byte key doubled to 8 bytes, so that 8 payload bytes go per step.
void unmask(uint8_t* p, uint64_t len, const uint8_t* key) {
  uint8_t key8[8] = {key[0], key[1], key[2], key[3], key[0], key[1], key[2], key[3]};
  uint64_t k;
  std::memcpy(&k, key8, 8);
  uint64_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    w ^= k;
    std::memcpy(p + i, &w, 8);
  }
  for (; i < len; ++i) p[i] ^= key[i & 3];
}

uint64_t read_be(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

// hixie-76: 0x00, payload, 0xFF. A lone 0x00 is held like any message whose
// terminator has not come yet.
int64_t decrypt_hixie76(QOR_WS* ws, uint8_t* frame, uint64_t msg_size_read, uint8_t** payload) {
  ws->more = 0;
  if (frame[0] != 0x00) return -1;
  const void* ff = std::memchr(frame + 1, 0xFF, size_t(msg_size_read - 1));
  if (!ff) return held_partial(ws, msg_size_read);
  uint64_t t = uint64_t(static_cast<const uint8_t*>(ff) - frame);
  if (t == 1) {
    // The empty message 0x00 0xFF is the draft's close.
    a_store(ws->version, 0u);
    return -8;
  }
  frame[t] = 0;
  *payload = frame + 1;
  ws->more = t < msg_size_read - 1;
  return int64_t(t - 1);
}

int64_t decrypt_rfc6455(QOR_WS* ws, uint8_t* frame, uint64_t msg_size_read, uint8_t** payload) {
  // The previous payload's NUL lies over this frame's first byte.
  if (ws->more) frame[0] = ws->saved_byte;
  ws->more = 0;

  uint8_t b0 = frame[0];
  // Close with FIN: answered at once, its length, key and status unread.
  // The reply follows the frame the writer may be sending to this client,
  // and nothing follows the reply.
  if (b0 == close_fin) {
    a_store(ws->version, 0u);
    ws->tls.send_last(close_reply, sizeof(close_reply));
    return -8;
  }
  // No extension is negotiated, so any RSV bit is malformed.
  if (b0 & rsv_bits) return -1;
  uint8_t opcode = b0 & opcode_bits;
  // Reserved opcodes: 3-7 data, 11-15 control.
  if ((opcode > 2 && opcode < 8) || opcode > 10) return -1;
  if (opcode >= 8) {
    // A control frame cannot be fragmented (a close without FIN among them).
    if (!(b0 & fin_bit)) return -1;
    // Ping and pong are well formed, but the relay does not take them.
    return 0;
  }
  if (opcode == 0) {
    // A continuation without a message in progress.
    if (!ws->continuation) return -2;
  } else {
    // A data frame begins a new message; without FIN, more fragments follow.
    ws->continuation = !(b0 & fin_bit);
  }

  if (msg_size_read < 2) return held_partial(ws, msg_size_read);
  uint64_t code = frame[1] & 0x7F;
  uint64_t header = 2;
  uint64_t length = code;
  if (code == 126) {
    if (msg_size_read < 4) return held_partial(ws, msg_size_read);
    length = read_be(frame + 2, 2);
    header = 4;
  } else if (code == 127) {
    if (msg_size_read < 10) return held_partial(ws, msg_size_read);
    length = read_be(frame + 2, 8);
    header = 10;
    // The most significant bit of a 64-bit length must be 0.
    if (length >> 63) return -1;
  }
  const bool masked = frame[1] & mask_bit;
  const uint64_t key_at = header;
  if (masked) header += 4;
  // One read holds at most packet_length - 1 bytes: a larger frame can never
  // be held whole, so it is refused on its length, before its key comes.
  if (header + length > packet_length - 1) return -3;
  if (msg_size_read < header) return held_partial(ws, msg_size_read);
  const uint8_t* key = masked ? frame + key_at : nullptr;
  uint64_t available = msg_size_read - header;
  if (length > available) return held_partial(ws, msg_size_read);

  uint8_t* p = frame + header;
  if (key) unmask(p, length, key);
  if (length < available) {
    ws->more = 1;
    ws->saved_byte = p[length];
  }
  p[length] = 0;
  // The final fragment ends the message.
  if (opcode == 0 && (b0 & fin_bit)) ws->continuation = 0;
  *payload = p;
  return int64_t(length);
}

}  // namespace

// Results: n >= 1 a payload at *payload; the count held with `partial` set;
// 0 a ping, a pong or an empty data frame; -1 malformed (RSV bit, reserved
// opcode, control frame without FIN, 64-bit length with its top bit set);
// -2 stray continuation; -3 a frame larger than one read holds; -8 close.
// hixie-76 gives only payloads, held counts, -1 and -8.
int64_t decrypt(QOR_WS* ws, uint8_t* frame, uint64_t msg_size_read, uint8_t** payload) {
  ws->partial = 0;
  // Nothing held is nothing to decode; the relay never passes it.
  if (msg_size_read == 0) return -1;
  if (ws->version < 13) return decrypt_hixie76(ws, frame, msg_size_read, payload);
  return decrypt_rfc6455(ws, frame, msg_size_read, payload);
}
