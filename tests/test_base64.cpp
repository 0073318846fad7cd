// base64 text of byte strings: the RFC 4648 vectors, and no byte read or
// written beyond the input and the promised output room.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/guarded_bytes.h"
#include "websocket/crypt.h"

namespace {

struct vector_case {
  std::string in;
  std::string out;
};

// RFC 4648 section 10, plus bytes that reach the alphabet's last two letters.
const vector_case vectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"Man", "TWFu"},
    {"Ma", "TWE="},
    {"M", "TQ=="},
    {"\xFB\xFF", "+/8="},
    {"\xFF\xFF\xFF", "////"},
    {std::string("\x00\x00\x00", 3), "AAAA"},
};

TEST(Base64, Rfc4648VectorsWithExactRoom) {
  guarded_bytes input(4096);
  guarded_bytes output(4096);
  for (const vector_case& c : vectors) {
    SCOPED_TRACE(c.out);
    // Input right against the guard page; output given exactly its room,
    // 4 * ceil(n / 3) + 1, also against the guard page.
    const uint8_t* in = input.place(c.in.data(), c.in.size());
    char* out = reinterpret_cast<char*>(output.place(nullptr, 0, c.out.size() + 1, 0x5A));
    int64_t written = base64_encode(in, int64_t(c.in.size()), out);
    EXPECT_EQ(written, int64_t(c.out.size()));
    EXPECT_EQ(std::string(out, size_t(written)), c.out);
    EXPECT_EQ(out[written], '\0');
  }
}

TEST(Base64, NegativeLengthWritesOnlyTheNul) {
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t*>("abc"), -1, out), 0);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'x');
}

TEST(Base64, TwentyByteDigestGivesTwentyEightCharactersWithOnePad) {
  uint8_t digest[20];
  for (int i = 0; i < 20; ++i) digest[i] = uint8_t(i * 13 + 7);
  char out[29];
  ASSERT_EQ(base64_encode(digest, 20, out), 28);
  EXPECT_EQ(out[27], '=');
  EXPECT_NE(out[26], '=');
  EXPECT_EQ(std::strlen(out), 28u);
}

}  // namespace
