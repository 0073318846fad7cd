// The text/binary choice for RFC 6455 recipients: the cases of its rules,
// and the property that every text frame holds valid UTF-8 by itself,
// checked by an independent strict decoder over random and adversarial
// payload sequences.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "websocket/ws.h"

namespace {

using bytes = std::vector<uint8_t>;

// The state every successful handshake leaves.
void handshake_state(QOR_WS* ws) {
  std::memset(static_cast<void*>(ws), 0, sizeof *ws);
  ws->ws = 1;
  ws->version = 13;
  ws->type = 1;
  ws->utf8_pending = 3;
  ws->utf8_lenient = 1;
}

// RFC 3629 by decoding each character: shortest form, no surrogates, at most
// U+10FFFF, nothing cut off at the end.
bool strict_utf8(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    uint32_t cp;
    size_t need;
    uint32_t least;
    if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F, need = 1, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F, need = 2, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07, need = 3, least = 0x10000;
    } else {
      return false;
    }
    for (size_t k = 1; k <= need; ++k) {
      if (i + k >= n || (p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += need + 1;
  }
  return true;
}

struct sequence_case {
  const char* what;
  std::vector<bytes> payloads;
  std::vector<int32_t> opcodes;
  int32_t type_after;
};

const sequence_case sequences[] = {
    {"ASCII", {{'h', 'e', 'l', 'l', 'o'}, {'!'}}, {1, 1}, 1},
    {"two- and three-byte characters", {{0xC3, 0xA9}, {0xE2, 0x82, 0xAC}}, {1, 1}, 1},
    {"four-byte character", {{0xF1, 0x80, 0x80, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF}}, {1, 1}, 1},
    {"refused lead 0xD8", {{0xD8, 0xA7}, {'a'}}, {2, 2}, 2},
    {"refused lead 0xE0", {{0xE0, 0xA4, 0x85}}, {2}, 2},
    {"refused lead 0xF0", {{0xF0, 0x9F, 0x98, 0x80}}, {2}, 2},
    {"overlong 0xC0", {{0xC0, 0x80}}, {2}, 2},
    {"overlong 0xC1", {{0xC1, 0x81}, {'a'}}, {2, 2}, 2},
    {"lead 0xF5", {{0xF5, 0x80, 0x80, 0x80}}, {2}, 2},
    {"lead 0xF7", {{'a', 0xF7, 0xBF, 0xBF, 0xBF}}, {2}, 2},
    {"surrogate", {{0xED, 0xA0, 0x80}}, {2}, 2},
    {"last before the surrogates", {{0xED, 0x9F, 0xBF}}, {1}, 1},
    {"beyond U+10FFFF", {{0xF4, 0x90, 0x80, 0x80}}, {2}, 2},
    {"character split in two", {{'a', 0xE2, 0x82}, {0xAC, 'b'}, {'c'}}, {2, 2, 1}, 1},
    {"character split in three", {{0xF1}, {0x80}, {0x80, 0x80}, {'x'}}, {2, 2, 2, 1}, 1},
    {"surrogate lead ending a payload", {{0xED}, {0xA0, 0x80}, {'a'}}, {2, 2, 1}, 1},
    {"character broken off by ASCII", {{0xE2, 0x82}, {'a'}, {'b'}}, {2, 2, 2}, 2},
    {"character broken off in one payload", {{0xC3, 'A'}}, {2}, 2},
    {"lead byte inside a character", {{0xE2, 0xC3, 0xA9}}, {2}, 2},
    {"stray continuation at the start", {{0xA9}, {'a'}}, {2, 1}, 1},
    {"continuation then ASCII at the start", {{0x80, 'A'}, {0xC3, 0xA9}}, {2, 1}, 1},
    {"four continuations at the start", {{0xA9, 0xA9, 0xA9, 0xA9}, {'a'}}, {2, 2}, 2},
    {"stray continuation later", {{'a'}, {0x80}}, {1, 2}, 2},
    {"0xFF alone at the start", {{0xFF}, {'a'}}, {2, 1}, 1},
    {"0x00 0xFF at the start", {{0x00, 0xFF}, {'a'}}, {2, 1}, 1},
    {"0xFF after an open character", {{0xC3}, {0xFF}}, {2, 2}, 2},
    {"0x00 0xFF after an open character", {{0xC3}, {0x00, 0xFF}}, {2, 2}, 2},
    {"0xF8 at the start, then again", {{0xF8}, {'a'}, {0xF8}}, {2, 1, 2}, 2},
    {"0xFE after ASCII", {{'a', 0xFE}, {'b'}}, {2, 2}, 2},
};

TEST(TextCheck, PayloadSequences) {
  for (const sequence_case& c : sequences) {
    SCOPED_TRACE(c.what);
    QOR_WS ws;
    handshake_state(&ws);
    std::vector<int32_t> got;
    for (const bytes& p : c.payloads) got.push_back(text_or_binary(&ws, p.data(), p.size()));
    EXPECT_EQ(got, c.opcodes);
    EXPECT_EQ(ws.type, c.type_after);
  }
}

void append_code_point(bytes* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(uint8_t(cp));
  } else if (cp < 0x800) {
    out->push_back(uint8_t(0xC0 | cp >> 6));
    out->push_back(uint8_t(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(uint8_t(0xE0 | cp >> 12));
    out->push_back(uint8_t(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(uint8_t(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(uint8_t(0xF0 | cp >> 18));
    out->push_back(uint8_t(0x80 | (cp >> 12 & 0x3F)));
    out->push_back(uint8_t(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(uint8_t(0x80 | (cp & 0x3F)));
  }
}

// Bytes where UTF-8 and the rules' corner cases lie.
const uint8_t edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                         0xC2, 0xD7, 0xD8, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
                         0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFE, 0xFF};

// A stream of characters (valid, also surrogates and beyond U+10FFFF as
// their byte patterns), edge bytes and random bytes, cut into payloads at
// random places, inside characters too.
std::vector<bytes> random_payloads(std::mt19937& rng) {
  bytes stream;
  int items = 1 + int(rng() % 24);
  for (int i = 0; i < items; ++i) {
    switch (rng() % 4) {
      case 0: append_code_point(&stream, rng() % 0x110000); break;
      case 1: append_code_point(&stream, rng() % 0x800); break;
      case 2: stream.push_back(edges[rng() % sizeof edges]); break;
      default: stream.push_back(uint8_t(rng())); break;
    }
  }
  std::vector<bytes> payloads;
  for (size_t at = 0; at < stream.size();) {
    size_t n = 1 + rng() % 6;
    if (n > stream.size() - at) n = stream.size() - at;
    payloads.emplace_back(stream.begin() + long(at), stream.begin() + long(at + n));
    at += n;
  }
  return payloads;
}

TEST(TextCheck, EveryTextFrameIsValidUtf8ByItself) {
  std::mt19937 rng(20261210);
  int text_frames = 0;
  for (int round = 0; round < 30000; ++round) {
    QOR_WS ws;
    handshake_state(&ws);
    bool binary_for_good = false;
    for (const bytes& p : random_payloads(rng)) {
      int32_t opcode = text_or_binary(&ws, p.data(), p.size());
      ASSERT_TRUE(opcode == 1 || opcode == 2);
      if (opcode == 1) {
        ++text_frames;
        ASSERT_TRUE(strict_utf8(p.data(), p.size())) << "round " << round;
      }
      // Binary once is binary for the rest of the connection.
      if (binary_for_good) {
        ASSERT_EQ(opcode, 2);
      }
      binary_for_good = ws.type == 2;
    }
  }
  // The property would hold trivially if nothing went out as text.
  EXPECT_GT(text_frames, 3000);
}

// Characters whose lead bytes the rules accept.
uint32_t accepted_code_point(std::mt19937& rng) {
  switch (rng() % 5) {
    case 0: return 0x20 + rng() % 0x5F;
    case 1: return 0x80 + rng() % (0x600 - 0x80);
    case 2: return 0x1000 + rng() % (0xD800 - 0x1000);
    case 3: return 0xE000 + rng() % (0x10000 - 0xE000);
    default: return 0x40000 + rng() % (0x110000 - 0x40000);
  }
}

TEST(TextCheck, AcceptedTextStaysTextWhereverItIsCut) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    QOR_WS ws;
    handshake_state(&ws);
    bytes stream;
    std::vector<bool> boundary;
    for (int i = 0; i < 20; ++i) {
      size_t before = stream.size();
      append_code_point(&stream, accepted_code_point(rng));
      boundary.resize(stream.size() + 1, false);
      boundary[before] = true;
    }
    boundary[stream.size()] = true;
    for (size_t at = 0; at < stream.size();) {
      size_t n = 1 + rng() % 9;
      if (n > stream.size() - at) n = stream.size() - at;
      int32_t opcode = text_or_binary(&ws, stream.data() + at, n);
      // Whole characters go out as text; a cut character only makes its own
      // pieces binary.
      if (boundary[at] && boundary[at + n]) {
        ASSERT_EQ(opcode, 1) << "round " << round;
      }
      at += n;
    }
    ASSERT_EQ(ws.type, 1);
  }
}

}  // namespace
