// QOR_CRYPT: the two digests by known answers, the record's states, and the
// exact failure reports.
#include <gtest/gtest.h>

#include <string>

#include "platform/crypt.h"
#include "support/fd_capture.h"
#include "websocket/crypt.h"

namespace {

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

bool is_released(const QOR_CRYPT& c) {
  return c.all_length == 0 && c.values_length == 0 && c.ctx == nullptr && c.h_prov == 0 &&
         c.hash_ready == 0 && c.alg == win::CALG_SHA1 && c.txt_hashes == nullptr &&
         c.txt_lengths == 0 && c.hash_count == 0;
}

struct digest_case {
  ALG_ID alg;
  uint32_t length;
  std::string data;
  std::string digest;
};

// FIPS 180 and RFC 1321 test values; the data fed in two pieces.
const digest_case digests[] = {
    {win::CALG_SHA1, 20, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {win::CALG_SHA1, 20, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {win::CALG_SHA1, 20, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {win::CALG_MD5, 16, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {win::CALG_MD5, 16, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {win::CALG_MD5, 16, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
};

TEST(Crypt, KnownDigestsThroughInitHashValueRelease) {
  QOR_CRYPT c;
  c.crypt_init_released();
  for (const digest_case& d : digests) {
    SCOPED_TRACE(d.digest);
    ASSERT_EQ(c.init(d.alg), 0u);
    ASSERT_EQ(c.hash_ready, 1);
    EXPECT_EQ(c.alg, d.alg);
    EXPECT_EQ(c.txt_lengths, d.length);
    size_t half = d.data.size() / 2;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(d.data.data());
    EXPECT_EQ(c.hash_data(p, uint32_t(half)), 0u);
    EXPECT_EQ(c.hash_data(p + half, uint32_t(d.data.size() - half)), 0u);
    ASSERT_EQ(c.hash_value(), 0u);
    EXPECT_EQ(hex(c.txt_hashes[0], c.txt_lengths), d.digest);
    c.release();
    // Back to SHA-1 whatever the digest was.
    EXPECT_TRUE(is_released(c));
  }
}

TEST(Crypt, ReleasedRecordRefusesDataSilentlyAndReleasesTwice) {
  QOR_CRYPT c;
  c.crypt_init_released();
  fd_capture out(1);
  EXPECT_EQ(c.hash_data(reinterpret_cast<const uint8_t*>("x"), 1), 0xFFFFFFFFu);
  c.release();
  c.release();
  EXPECT_TRUE(is_released(c));
  EXPECT_EQ(out.text(), "");
}

TEST(Crypt, InitReleasesWhatTheDigestBeforeHeld) {
  QOR_CRYPT c;
  c.crypt_init_released();
  ASSERT_EQ(c.init(win::CALG_MD5), 0u);
  // An abandoned digest (no hash_value, no release) is freed by the next init;
  // the sanitizers would report a leak otherwise.
  ASSERT_EQ(c.init(win::CALG_SHA1), 0u);
  EXPECT_EQ(c.txt_lengths, 20u);
  c.release();
  EXPECT_TRUE(is_released(c));
}

TEST(Crypt, CreateHashFailureReportsTheCallAsWrittenAndReleases) {
  QOR_CRYPT c;
  c.crypt_init_released();
  fd_capture out(1);
  // An algorithm the provider does not know: the report names CALG_SHA1, the
  // call's text, whatever was asked for.
  uint32_t code = c.init(0x6610);
  EXPECT_EQ(code, NTE_BAD_ALGID);
  EXPECT_EQ(c.hash_ready, 0);
  EXPECT_TRUE(is_released(c));
  std::string text = out.text();
  EXPECT_EQ(text.rfind("CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])\n   ^ERROR: 2148073480, ", 0),
            0u)
      << text;
}

}  // namespace
