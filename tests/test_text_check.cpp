// The text/binary choice for RFC 6455 recipients: the cases of its rules,
// and the properties, checked by an independent strict decoder over random
// and adversarial payload sequences, that every text frame is well-formed
// by itself and that well-formed payloads to a recipient still text go out
// as text.
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
    // Every well-formed character is text, whatever its lead byte.
    {"Arabic, then more text", {{0xD8, 0xA7}, {'h', 'e', 'l', 'l', 'o'}, {'c', 'a', 'f', 0xC3, 0xA9}},
     {1, 1, 1}, 1},
    {"Devanagari", {{0xE0, 0xA4, 0x85}, {'h', 'e', 'l', 'l', 'o'}}, {1, 1}, 1},
    {"emoji", {{0xF0, 0x9F, 0x98, 0x80}, {'h', 'e', 'l', 'l', 'o'}}, {1, 1}, 1},
    {"last two-byte character", {{0xDF, 0xBF}, {'o', 'k'}}, {1, 1}, 1},
    {"first of each length", {{0xC2, 0x80, 0xE0, 0xA0, 0x80, 0xF0, 0x90, 0x80, 0x80}}, {1}, 1},
    {"last of each range", {{0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80, 0xEF, 0xBF, 0xBF}}, {1}, 1},
    // Overlong forms, surrogates and what lies beyond U+10FFFF are not.
    {"overlong three bytes", {{0xE0, 0x80, 0x80}, {'o', 'k'}}, {2, 2}, 2},
    {"overlong three bytes, highest", {{0xE0, 0x9F, 0xBF}, {'o', 'k'}}, {2, 2}, 2},
    {"overlong four bytes", {{0xF0, 0x8F, 0xBF, 0xBF}, {'o', 'k'}}, {2, 2}, 2},
    {"overlong 0xC0", {{0xC0, 0x80}, {'o', 'k'}}, {2, 2}, 2},
    {"overlong 0xC1", {{0xC1, 0x81}, {'a'}}, {2, 2}, 2},
    {"lead 0xF5", {{0xF5, 0x80, 0x80, 0x80}}, {2}, 2},
    {"lead 0xF7", {{'a', 0xF7, 0xBF, 0xBF, 0xBF}}, {2}, 2},
    {"surrogate", {{0xED, 0xA0, 0x80}}, {2}, 2},
    {"last before the surrogates", {{0xED, 0x9F, 0xBF}}, {1}, 1},
    {"beyond U+10FFFF", {{0xF4, 0x90, 0x80, 0x80}}, {2}, 2},
    {"character split in two", {{'a', 0xE2, 0x82}, {0xAC, 'b'}, {'c'}}, {2, 2, 1}, 1},
    {"character split in three", {{0xF1}, {0x80}, {0x80, 0x80}, {'x'}}, {2, 2, 2, 1}, 1},
    {"emoji cut after its second byte", {{'h', 'i', ' ', 0xF0, 0x9F}, {0x98, 0x80, '!'}, {'o', 'k'}},
     {2, 2, 1}, 1},
    {"second byte of E0 in the next payload", {{0xE0}, {0xA4, 0x85}, {'a'}}, {2, 2, 1}, 1},
    {"overlong across payloads", {{0xE0}, {0x80, 0x80}, {'a'}}, {2, 2, 2}, 2},
    {"surrogate across payloads", {{0xED}, {0xA0, 0x80}, {'a'}}, {2, 2, 2}, 2},
    {"beyond U+10FFFF across payloads", {{'a', 0xF4}, {0x90, 0x80, 0x80}}, {2, 2}, 2},
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

// Both ways: a text frame holds well-formed UTF-8 by itself, and a
// well-formed payload to a recipient that is still text, with no character
// left open by the payload before (known here when that one was well-formed
// or ended in ASCII), goes out as text.
TEST(TextCheck, TextFramesAreWellFormedAndWellFormedPayloadsAreText) {
  std::mt19937 rng(20261210);
  int text_frames = 0;
  int well_formed_while_text = 0;
  for (int round = 0; round < 30000; ++round) {
    QOR_WS ws;
    handshake_state(&ws);
    bool binary_for_good = false;
    bool nothing_open = true;   // the payload before ended between characters
    for (const bytes& p : random_payloads(rng)) {
      const bool well_formed = strict_utf8(p.data(), p.size());
      int32_t opcode = text_or_binary(&ws, p.data(), p.size());
      ASSERT_TRUE(opcode == 1 || opcode == 2);
      if (opcode == 1) {
        ++text_frames;
        ASSERT_TRUE(well_formed) << "round " << round;
      }
      if (well_formed && !binary_for_good && nothing_open) {
        ++well_formed_while_text;
        ASSERT_EQ(opcode, 1) << "round " << round;
      }
      // Binary once is binary for the rest of the connection.
      if (binary_for_good) {
        ASSERT_EQ(opcode, 2);
      }
      binary_for_good = ws.type == 2;
      nothing_open = well_formed || p.back() < 0x80;
    }
  }
  // Either property would hold trivially if its case never came up.
  EXPECT_GT(text_frames, 3000);
  EXPECT_GT(well_formed_while_text, 3000);
}

// Any character, each length of encoding equally often.
uint32_t any_character(std::mt19937& rng) {
  switch (rng() % 4) {
    case 0: return 0x20 + rng() % 0x5F;
    case 1: return 0x80 + rng() % (0x800 - 0x80);
    case 2: {
      uint32_t cp = 0x800 + rng() % (0x10000 - 0x800 - 0x800);
      return cp < 0xD800 ? cp : cp + 0x800;   // no surrogates
    }
    default: return 0x10000 + rng() % (0x110000 - 0x10000);
  }
}

TEST(TextCheck, WellFormedTextStaysTextWhereverItIsCut) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    QOR_WS ws;
    handshake_state(&ws);
    bytes stream;
    std::vector<bool> boundary;
    for (int i = 0; i < 20; ++i) {
      size_t before = stream.size();
      append_code_point(&stream, any_character(rng));
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
