// Frame decoding in place. Every table case is fed the way the relay feeds
// it, whole and in pieces (one byte at a time, and cut where the input's own
// bytes say), with the held bytes right against a guard page so that any
// read past them faults. The packet length is the relay's default, 4096:
// one read holds a frame of up to 4095 bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/globals.h"
#include "support/guarded_bytes.h"
#include "support/loopback_pair.h"
#include "websocket/ws.h"

namespace {

constexpr uint64_t default_packet_length = 4096;

using bytes = std::string;

bytes frame(uint8_t b0, const bytes& payload, bool masked, int length_form = 0) {
  bytes f(1, char(b0));
  uint64_t n = payload.size();
  uint8_t m = masked ? 0x80 : 0;
  int form = length_form ? length_form : n <= 125 ? 7 : n <= 0xFFFF ? 16 : 64;
  if (form == 7) {
    f += char(m | n);
  } else if (form == 16) {
    f += char(m | 126);
    f += char(n >> 8);
    f += char(n);
  } else {
    f += char(m | 127);
    for (int i = 7; i >= 0; --i) f += char(n >> (8 * i));
  }
  if (!masked) return f + payload;
  const uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
  for (int i = 0; i < 4; ++i) f += char(key[i]);
  for (size_t i = 0; i < n; ++i) f += char(uint8_t(payload[i]) ^ key[i % 4]);
  return f;
}

bytes hixie(const bytes& payload) { return bytes(1, '\0') + payload + "\xFF"; }

bytes pattern(size_t n) {
  bytes s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(i * 7 + 3);
  return s;
}

// What the relay would see of one connection.
struct outcome {
  std::vector<bytes> payloads;
  int64_t end = 1;    // the result that ended the connection; 1 while it is open
  uint64_t held = 0;  // bytes of an incomplete frame waiting for more
};

// Feeds `input` in chunks as the relay's loop does: an incomplete frame is
// carried to the front and decoded again from its first byte with the next
// chunk behind it. `reserve` is the writable byte behind the data held (0
// only where the case writes nothing behind it).
outcome feed(uint32_t version, const bytes& input, const std::vector<size_t>& chunks,
             size_t reserve = 1) {
  QOR_WS ws;
  ws_init(&ws);
  ws.ws = 1;
  ws.version = version;
  guarded_bytes page(input.size() + 16);
  outcome o;
  bytes carried;
  size_t at = 0;
  for (size_t chunk : chunks) {
    carried += input.substr(at, chunk);
    at += chunk;
    uint8_t* buffer = page.place(carried.data(), carried.size(), reserve);
    uint8_t* reserved = buffer + carried.size();
    uint8_t* start = buffer;
    uint64_t held = carried.size();
    carried.clear();
    for (;;) {
      uint8_t* payload = nullptr;
      int64_t r = decrypt(&ws, start, held, &payload);
      if (r <= 0) {
        o.end = r;
        ws_close(&ws);
        return o;
      }
      if (ws.partial) {
        EXPECT_EQ(uint64_t(r), held);
        if (reserve) {
          EXPECT_EQ(*reserved, 0xA5) << "write behind a partial";
        }
        carried.assign(reinterpret_cast<char*>(start), held);
        break;
      }
      // Every complete frame carries two bytes of framing besides its payload.
      EXPECT_LE(uint64_t(r) + 2, held);
      EXPECT_EQ(payload[r], 0) << "no NUL behind the payload";
      o.payloads.emplace_back(reinterpret_cast<char*>(payload), size_t(r));
      if (!ws.more) break;
      uint8_t* next = payload + r + (ws.version < 13 ? 1 : 0);
      held -= uint64_t(next - start);
      start = next;
    }
  }
  o.held = carried.size();
  ws_close(&ws);
  return o;
}

std::vector<size_t> whole(const bytes& in) { return {in.size()}; }

std::vector<size_t> one_by_one(const bytes& in) { return std::vector<size_t>(in.size(), 1); }

// Cut points taken from the input itself, so that every case is split in its
// own places, inside headers and keys included.
std::vector<size_t> self_cut(const bytes& in) {
  std::vector<size_t> chunks;
  for (size_t at = 0; at < in.size();) {
    size_t c = 1 + (uint8_t(in[at]) * 31u + at) % 13;
    if (c > in.size() - at) c = in.size() - at;
    chunks.push_back(c);
    at += c;
  }
  return chunks;
}

struct decode_case {
  const char* what;
  uint32_t version;
  bytes input;
  std::vector<bytes> payloads;
  int64_t end;        // 1: still open
  uint64_t held;
  bool nul_behind;    // the decoder writes into the byte behind the input
};

std::vector<decode_case> cases() {
  const bytes hello = "Hello";
  bytes lengths;
  std::vector<bytes> length_payloads;
  for (size_t n = 1; n <= 17; ++n) {
    lengths += frame(0x82, pattern(n), true);
    length_payloads.push_back(pattern(n));
  }
  bytes top_bit = "\x82\x7F\x80" + bytes(7, '\0') + "abc";
  // 8 header bytes and 4088 of payload, one more than a read holds.
  const bytes too_large_header = "\x82\xFE\x0F\xF8";
  return {
      {"masked text", 13, frame(0x81, hello, true), {hello}, 1, 0, true},
      {"unmasked binary", 13, "\x82\x03" "abc", {"abc"}, 1, 0, true},
      {"16-bit length form, masked", 13, frame(0x81, hello, true, 16), {hello}, 1, 0, true},
      {"16-bit length form, unmasked", 13, frame(0x82, hello, false, 16), {hello}, 1, 0, true},
      {"16-bit length", 13, frame(0x82, pattern(300), true), {pattern(300)}, 1, 0, true},
      {"64-bit length form", 13, frame(0x82, pattern(1000), true, 64), {pattern(1000)}, 1, 0, true},
      {"unmasking of every tail length", 13, lengths, length_payloads, 1, 0, true},
      {"two frames in one buffer", 13, frame(0x81, "abc", true) + frame(0x82, "defg", false),
       {"abc", "defg"}, 1, 0, true},
      {"a frame and the start of the next", 13, frame(0x81, hello, true) + frame(0x81, hello, true).substr(0, 3),
       {hello}, 1, 3, false},
      {"message in three fragments", 13,
       frame(0x01, "ab", true) + frame(0x00, "cd", true) + frame(0x80, "ef", true),
       {"ab", "cd", "ef"}, 1, 0, true},
      {"continuation after the final fragment", 13,
       frame(0x01, "ab", true) + frame(0x80, "ef", true) + frame(0x80, "x", true), {"ab", "ef"}, -2, 0, false},
      {"a data frame begins a new message", 13,
       frame(0x01, "ab", true) + frame(0x81, "cd", true) + frame(0x00, "x", true), {"ab", "cd"}, -2, 0, false},
      {"first frame a continuation, FIN", 13, frame(0x80, "x", true), {}, -2, 0, false},
      {"first frame a continuation", 13, frame(0x00, "x", true), {}, -2, 0, false},
      {"ping ends the connection", 13, frame(0x81, "a", true) + frame(0x89, "p", true), {"a"}, 0, 0, false},
      {"pong", 13, frame(0x8A, "", true), {}, 0, 0, false},
      {"close without FIN", 13, frame(0x08, "", true), {}, -1, 0, false},
      {"ping without FIN", 13, frame(0x09, "p", true), {}, -1, 0, false},
      {"reserved data opcode", 13, frame(0x83, "a", true), {}, -1, 0, false},
      {"reserved control opcode", 13, frame(0x8F, "a", true), {}, -1, 0, false},
      {"RSV1 and RSV2", 13, frame(0xC1, "a", true), {}, -1, 0, false},
      {"RSV3 on a close", 13, frame(0x98, "", true), {}, -1, 0, false},
      {"empty text frame", 13, frame(0x81, "", true), {}, 0, 0, true},
      {"close after a frame", 13, frame(0x82, "hi", true) + frame(0x88, "\x03\xE8", true), {"hi"}, -8, 0, false},
      {"64-bit length with its top bit", 13, top_bit, {}, -1, 0, false},
      {"largest frame a read holds", 13, frame(0x82, pattern(4087), true), {pattern(4087)}, 1, 0, true},
      {"largest unmasked frame a read holds", 13, frame(0x82, pattern(4091), false), {pattern(4091)},
       1, 0, true},
      {"one byte more, refused on its length before its key", 13, too_large_header, {}, -3, 0, false},
      {"one byte more, unmasked", 13, "\x82\x7E\x0F\xFC", {}, -3, 0, false},
      {"a 64-bit length too large", 13, "\x82\xFF" + bytes(5, '\0') + bytes("\x01\0\0", 3), {}, -3, 0, false},
      {"too large behind a frame", 13, frame(0x81, hello, true) + too_large_header, {hello}, -3, 0, false},
      {"lone first byte", 13, "\x81", {}, 1, 1, false},
      {"cut inside the 16-bit length", 13, frame(0x81, pattern(300), true).substr(0, 3), {}, 1, 3, false},
      {"cut inside the 64-bit length", 13, frame(0x82, pattern(300), true, 64).substr(0, 9), {}, 1, 9, false},
      {"cut inside the key", 13, frame(0x81, hello, true).substr(0, 5), {}, 1, 5, false},
      {"header without payload", 13, frame(0x81, hello, true).substr(0, 6), {}, 1, 6, false},
      {"payload one byte short", 13, frame(0x81, hello, true).substr(0, 10), {}, 1, 10, false},
      {"hixie-76 message", 8, hixie("abc"), {"abc"}, 1, 0, false},
      {"hixie-76 two messages", 8, hixie("abc") + hixie("de"), {"abc", "de"}, 1, 0, false},
      {"hixie-76 payload keeps 0x00 and 0x80", 8, hixie(bytes("a\0\x80", 3)), {bytes("a\0\x80", 3)}, 1, 0, false},
      {"hixie-76 without terminator", 8, bytes("\0ab", 3), {}, 1, 3, false},
      {"hixie-76 lone opening byte", 8, bytes(1, '\0'), {}, 1, 1, false},
      {"hixie-76 message and a lone opening byte", 8, hixie("abc") + bytes(1, '\0'), {"abc"}, 1, 1, false},
      {"hixie-76 close", 8, hixie("abc") + hixie(""), {"abc"}, -8, 0, false},
      {"hixie-76 wrong first byte", 8, bytes("\xFF\0", 2), {}, -1, 0, false},
      {"hixie-76 length-prefixed frame", 8, "\x80\x03" "abc", {}, -1, 0, false},
  };
}

TEST(FrameDecoder, CasesWholeAndInPieces) {
  const uint64_t saved_length = packet_length;
  packet_length = default_packet_length;
  for (const decode_case& c : cases()) {
    SCOPED_TRACE(c.what);
    using splitter = std::vector<size_t> (*)(const bytes&);
    const splitter splits[] = {whole, one_by_one, self_cut};
    for (splitter split : splits) {
      outcome o = feed(c.version, c.input, split(c.input));
      EXPECT_EQ(o.payloads, c.payloads);
      EXPECT_EQ(o.end, c.end);
      EXPECT_EQ(o.held, c.held);
    }
    // Whole, with no spare byte where none is written: a read of it faults.
    outcome strict = feed(c.version, c.input, whole(c.input), c.nul_behind ? 1 : 0);
    EXPECT_EQ(strict.payloads, c.payloads);
  }
  packet_length = saved_length;
}

class Decoder : public ::testing::Test {
 protected:
  QOR_WS ws;
  guarded_bytes page{1 << 16};
  uint8_t* payload = nullptr;

  void SetUp() override {
    ws_init(&ws);
    ws.ws = 1;
    ws.version = 13;
  }
  void TearDown() override { ws_close(&ws); }
};

TEST_F(Decoder, MaskedFramePositionsAndSavedByte) {
  bytes first = frame(0x81, "Hello", true);
  bytes input = first + frame(0x82, "xyz", true).substr(0, 3);
  uint8_t* buf = page.place(input.data(), input.size(), 1);
  ASSERT_EQ(decrypt(&ws, buf, input.size(), &payload), 5);
  EXPECT_EQ(payload, buf + 6);
  EXPECT_EQ(bytes(reinterpret_cast<char*>(payload), 6), bytes("Hello\0", 6));
  EXPECT_EQ(ws.more, 1);
  EXPECT_EQ(ws.partial, 0);
  EXPECT_EQ(ws.saved_byte, 0x82);
  // The next call restores the byte under the NUL and holds the frame.
  ASSERT_EQ(decrypt(&ws, payload + 5, 3, &payload), 3);
  EXPECT_EQ(ws.partial, 1);
  EXPECT_EQ(ws.more, 0);
  EXPECT_EQ(buf[first.size()], 0x82);
}

TEST_F(Decoder, FragmentStateFollowsTheMessage) {
  bytes first = frame(0x01, "ab", false);
  uint8_t* buf = page.place(first.data(), first.size(), 1);
  ASSERT_EQ(decrypt(&ws, buf, first.size(), &payload), 2);
  EXPECT_EQ(ws.continuation, 1);
  // The final fragment cut in two: still in progress until it completes.
  bytes last = frame(0x80, "cd", false);
  buf = page.place(last.data(), 3, 1);
  ASSERT_EQ(decrypt(&ws, buf, 3, &payload), 3);
  EXPECT_EQ(ws.partial, 1);
  EXPECT_EQ(ws.continuation, 1);
  buf = page.place(last.data(), last.size(), 1);
  ASSERT_EQ(decrypt(&ws, buf, last.size(), &payload), 2);
  EXPECT_EQ(ws.continuation, 0);
}

TEST_F(Decoder, CloseIsAnsweredWithNormalClosure) {
  loopback_pair pair;
  ASSERT_TRUE(pair.open());
  ws.tls.so = pair.take_server();
  bytes input = frame(0x88, "\x03\xE9" "bye", true);
  uint8_t* buf = page.place(input.data(), input.size());
  EXPECT_EQ(decrypt(&ws, buf, input.size(), &payload), -8);
  EXPECT_EQ(ws.version, 0u);
  EXPECT_EQ(pair.client_read(4, 300), bytes("\x88\x02\x03\xE8", 4));
  EXPECT_EQ(pair.client_read_available(30), "");
}

TEST_F(Decoder, Hixie76NextMessageStartsBehindTheTerminator) {
  ws.version = 8;
  bytes input = hixie("abc") + hixie("de");
  uint8_t* buf = page.place(input.data(), input.size());
  ASSERT_EQ(decrypt(&ws, buf, input.size(), &payload), 3);
  EXPECT_EQ(payload, buf + 1);
  EXPECT_EQ(buf[4], 0);
  EXPECT_EQ(ws.more, 1);
  ASSERT_EQ(decrypt(&ws, payload + 4, input.size() - 5, &payload), 2);
  EXPECT_EQ(bytes(reinterpret_cast<char*>(payload), 2), "de");
  EXPECT_EQ(ws.more, 0);
  bytes close = hixie("");
  buf = page.place(close.data(), close.size());
  EXPECT_EQ(decrypt(&ws, buf, close.size(), &payload), -8);
  EXPECT_EQ(ws.version, 0u);
}

}  // namespace
