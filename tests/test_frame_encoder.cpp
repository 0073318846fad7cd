// Frame encoding into a recipient's send half: where the frame lies, its
// header, and when no frame is built.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/guarded_bytes.h"
#include "websocket/ws.h"

namespace {

using bytes = std::vector<uint8_t>;

class Encoder : public ::testing::Test {
 protected:
  QOR_WS ws;

  void SetUp() override {
    std::memset(static_cast<void*>(&ws), 0, sizeof ws);
    ws.ws = 1;
    ws.version = 13;
    ws.type = 1;
    ws.utf8_pending = 3;
    ws.utf8_lenient = 1;
  }
};

struct header_case {
  uint64_t n;
  uint64_t offset;
  bytes header;
};

TEST_F(Encoder, ShortestHeaderInFrontOfThePayloadAtOffsetTen) {
  const header_case cases[] = {
      {1, 8, {0x81, 0x01}},
      {125, 8, {0x81, 0x7D}},
      {126, 6, {0x81, 0x7E, 0x00, 0x7E}},
      {65535, 6, {0x81, 0x7E, 0xFF, 0xFF}},
      {65536, 0, {0x81, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}},
  };
  bytes src(65536);
  for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t('a' + i % 26);
  guarded_bytes half(65546);
  for (const header_case& c : cases) {
    SCOPED_TRACE(c.n);
    SetUp();
    // The half is exactly as large as the frame needs.
    uint8_t* dst = half.place(nullptr, 0, 10 + c.n);
    uint64_t len = c.n;
    uint8_t* f = encrypt(&ws, dst, 10 + c.n, src.data(), &len);
    ASSERT_EQ(f, dst + c.offset);
    EXPECT_EQ(len, c.n + c.header.size());
    EXPECT_EQ(bytes(f, f + c.header.size()), c.header);
    EXPECT_EQ(std::memcmp(dst + 10, src.data(), c.n), 0);
  }
}

TEST_F(Encoder, PayloadLimitsOfAFourKilobyteHalf) {
  constexpr uint64_t L = 4096;
  bytes src(L, 'x');
  guarded_bytes half(L);
  uint8_t* dst = half.place(nullptr, 0, L);
  struct limit_case {
    uint32_t version;
    uint64_t n;
    bool fits;
  };
  const limit_case cases[] = {{13, L - 10, true}, {13, L - 9, false}, {8, L - 2, true}, {8, L - 1, false}};
  for (const limit_case& c : cases) {
    SCOPED_TRACE(c.n);
    ws.version = c.version;
    uint64_t len = c.n;
    uint8_t* f = encrypt(&ws, dst, L, src.data(), &len);
    EXPECT_EQ(f != nullptr, c.fits);
    EXPECT_EQ(len, c.fits ? c.n + (c.version == 13 ? 4 : 2) : c.n);
  }
}

TEST_F(Encoder, Hixie76MessageIsFramedUncheckedAtTheStart) {
  ws.version = 8;
  uint8_t dst[64];
  // Not UTF-8 at all, and the check is not made: type stays text.
  const uint8_t src[] = {0x61, 0xFE, 0x63};
  uint64_t len = 3;
  uint8_t* f = encrypt(&ws, dst, sizeof dst, src, &len);
  ASSERT_EQ(f, dst);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(bytes(f, f + 5), (bytes{0x00, 0x61, 0xFE, 0x63, 0xFF}));
  EXPECT_EQ(ws.type, 1);
  EXPECT_EQ(ws.utf8_pending, 3);
}

// 0xFF ends a hixie-76 message: a payload holding one is not sent to such a
// recipient, or the rest of it would break the peer's framing.
TEST_F(Encoder, Hixie76RecipientGetsNoPayloadHoldingTheTerminator) {
  ws.version = 8;
  uint8_t dst[64] = {};
  for (const bytes& src : {bytes{0xFF}, bytes{0x74, 0x77, 0xFF, 0x6F}, bytes{0x61, 0x62, 0xFF}}) {
    uint64_t len = src.size();
    EXPECT_EQ(encrypt(&ws, dst, sizeof dst, src.data(), &len), nullptr);
    EXPECT_EQ(len, src.size());
  }
  ws.version = 13;   // an RFC 6455 recipient takes the same bytes as binary
  uint8_t src[] = {0x74, 0x77, 0xFF, 0x6F};
  uint64_t len = 4;
  uint8_t* f = encrypt(&ws, dst, sizeof dst, src, &len);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f[0], 0x82);
}

TEST_F(Encoder, NothingIsBuiltWithoutPayloadVersionOrBuffers) {
  uint8_t dst[64];
  const uint8_t src[] = {'a'};
  uint64_t len = 0;
  EXPECT_EQ(encrypt(&ws, dst, sizeof dst, src, &len), nullptr);
  EXPECT_EQ(len, 0u);
  len = 1;
  EXPECT_EQ(encrypt(&ws, nullptr, sizeof dst, src, &len), nullptr);
  EXPECT_EQ(encrypt(&ws, dst, sizeof dst, nullptr, &len), nullptr);
  EXPECT_EQ(encrypt(&ws, dst, 5, src, &len), nullptr);
  ws.version = 0;
  EXPECT_EQ(encrypt(&ws, dst, sizeof dst, src, &len), nullptr);
  EXPECT_EQ(len, 1u);
  // No frame: the text check has not seen the payload.
  EXPECT_EQ(ws.utf8_pending, 3);
}

TEST_F(Encoder, PayloadAlreadyInPlaceOrOverlappingItsPlace) {
  struct place_case {
    uint64_t at;       // where the payload lies, behind dst
    uint64_t n;
    uint64_t payload;  // where it is in the frame, behind dst
  };
  // 10 to 16 bytes in: left where it is; elsewhere moved to offset 10, also
  // when the ranges overlap.
  const place_case cases[] = {{12, 5, 12}, {16, 200, 16}, {10, 3, 10}, {9, 40, 10}, {17, 40, 10}, {3, 40, 10}};
  for (const place_case& c : cases) {
    SCOPED_TRACE(c.at);
    uint8_t dst[300];
    std::memset(dst, 0, sizeof dst);
    for (uint64_t i = 0; i < c.n; ++i) dst[c.at + i] = uint8_t('A' + i % 26);
    uint64_t len = c.n;
    uint8_t* f = encrypt(&ws, dst, sizeof dst, dst + c.at, &len);
    uint64_t header = c.n <= 125 ? 2 : 4;
    ASSERT_EQ(f, dst + c.payload - header);
    EXPECT_EQ(len, c.n + header);
    for (uint64_t i = 0; i < c.n; ++i) ASSERT_EQ(dst[c.payload + i], uint8_t('A' + i % 26)) << i;
  }
}

TEST_F(Encoder, OpcodeFollowsTheTextCheck) {
  uint8_t dst[64];
  const uint8_t text[] = {0xC3, 0xA9};
  const uint8_t not_text[] = {'a', 0xFE};
  uint64_t len = sizeof text;
  EXPECT_EQ(*encrypt(&ws, dst, sizeof dst, text, &len), 0x81);
  len = sizeof not_text;
  EXPECT_EQ(*encrypt(&ws, dst, sizeof dst, not_text, &len), 0x82);
  len = sizeof text;
  EXPECT_EQ(*encrypt(&ws, dst, sizeof dst, text, &len), 0x82);
}

}  // namespace
