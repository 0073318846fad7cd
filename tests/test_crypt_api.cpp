// The CryptoAPI digest calls: known answers, sizes, and the error numbers a
// caller sees through GetLastError.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/crypt.h"
#include "platform/sync.h"

namespace {

std::string hex(const uint8_t* data, DWORD size) {
  std::string out;
  char two[3];
  for (DWORD i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", data[i]);
    out += two;
  }
  return out;
}

struct crypt_fixture : ::testing::Test {
  HCRYPTPROV prov = 0;
  HCRYPTHASH hash = 0;

  void SetUp() override {
    ASSERT_TRUE(win::CryptAcquireContextW(&prov, nullptr, nullptr, win::PROV_RSA_AES,
                                          win::CRYPT_VERIFYCONTEXT));
  }
  void TearDown() override {
    if (hash) {
      EXPECT_TRUE(win::CryptDestroyHash(hash));
    }
    EXPECT_TRUE(win::CryptReleaseContext(prov, 0));
  }
  void create(ALG_ID alg) { ASSERT_TRUE(win::CryptCreateHash(prov, alg, 0, 0, &hash)); }
  void feed(const std::string& text) {
    ASSERT_TRUE(win::CryptHashData(hash, reinterpret_cast<const uint8_t*>(text.data()),
                                   static_cast<DWORD>(text.size()), 0));
  }
  std::string value() {
    uint8_t out[64] = {};
    DWORD size = sizeof out;
    EXPECT_TRUE(win::CryptGetHashParam(hash, win::HP_HASHVAL, out, &size, 0));
    return hex(out, size);
  }
};

struct known_answer {
  ALG_ID alg;
  const char* pieces[3];  // fed one after the other
  const char* digest;
};

const known_answer known_answers[] = {
    {win::CALG_SHA1, {"abc"}, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {win::CALG_SHA1, {""}, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    // The RFC 6455 example key with its GUID, fed in two pieces as a
    // handshake does.
    {win::CALG_SHA1, {"dGhlIHNhbXBsZSBub25jZQ==", "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"},
     "b37a4f2cc0624f1690f64606cf385945b2bec4ea"},
    {win::CALG_MD5, {"abc"}, "900150983cd24fb0d6963f7d28e17f72"},
    {win::CALG_MD5, {""}, "d41d8cd98f00b204e9800998ecf8427e"},
    {win::CALG_MD5, {"a", "b", "c"}, "900150983cd24fb0d6963f7d28e17f72"},
};

TEST_F(crypt_fixture, KnownAnswers) {
  for (const known_answer& k : known_answers) {
    SCOPED_TRACE(k.digest);
    create(k.alg);
    for (const char* piece : k.pieces)
      if (piece) feed(piece);
    EXPECT_EQ(value(), k.digest);
    EXPECT_TRUE(win::CryptDestroyHash(hash));
    hash = 0;
  }
}

TEST_F(crypt_fixture, HashSizeIsFourBytesAndMatchesTheAlgorithm) {
  for (auto [alg, expected] : {std::pair{win::CALG_SHA1, 20u}, std::pair{win::CALG_MD5, 16u}}) {
    create(alg);
    DWORD digest_size = 0;
    DWORD size = sizeof digest_size;
    ASSERT_TRUE(win::CryptGetHashParam(hash, win::HP_HASHSIZE, reinterpret_cast<uint8_t*>(&digest_size),
                                       &size, 0));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(digest_size, expected);
    // A size query (no buffer) gives the digest length and finishes nothing.
    size = 0;
    ASSERT_TRUE(win::CryptGetHashParam(hash, win::HP_HASHVAL, nullptr, &size, 0));
    EXPECT_EQ(size, expected);
    feed("abc");
    EXPECT_TRUE(win::CryptDestroyHash(hash));
    hash = 0;
  }
}

TEST_F(crypt_fixture, ShortBufferGivesBadLenAndTheNeededSizeAndLeavesTheHashOpen) {
  create(win::CALG_SHA1);
  feed("a");
  uint8_t out[20];
  DWORD size = 19;
  EXPECT_FALSE(win::CryptGetHashParam(hash, win::HP_HASHVAL, out, &size, 0));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_LEN);
  EXPECT_EQ(size, 20u);
  feed("bc");
  EXPECT_EQ(value(), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST_F(crypt_fixture, ReadingTheValueFinishesTheHash) {
  create(win::CALG_MD5);
  feed("abc");
  EXPECT_EQ(value(), "900150983cd24fb0d6963f7d28e17f72");
  const uint8_t more[] = {'x'};
  EXPECT_FALSE(win::CryptHashData(hash, more, 1, 0));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_HASH);
  // The value can be read again and is unchanged by the refused data.
  EXPECT_EQ(value(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(crypt_fixture, RefusedArguments) {
  HCRYPTHASH h = 1234;
  EXPECT_FALSE(win::CryptCreateHash(prov, 0x660E /* AES-128 */, 0, 0, &h));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_ALGID);
  EXPECT_EQ(h, 0u);
  EXPECT_FALSE(win::CryptCreateHash(prov, win::CALG_SHA1, 0, 0, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(win::CryptCreateHash(0, win::CALG_SHA1, 0, 0, &h));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);

  create(win::CALG_SHA1);
  uint8_t out[20];
  DWORD size = sizeof out;
  EXPECT_FALSE(win::CryptGetHashParam(hash, 0x0001 /* HP_ALGID */, out, &size, 0));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_TYPE);
  EXPECT_FALSE(win::CryptGetHashParam(hash, win::HP_HASHVAL, out, &size, 1));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_FLAGS);
  EXPECT_FALSE(win::CryptHashData(hash, out, 1, 1));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_FLAGS);
  EXPECT_FALSE(win::CryptHashData(0, out, 1, 0));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_HASH);
  EXPECT_FALSE(win::CryptDestroyHash(0));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_HASH);
}

TEST(crypt_provider, OnlyTheEphemeralAesProvider) {
  HCRYPTPROV prov = 99;
  EXPECT_FALSE(win::CryptAcquireContextW(&prov, nullptr, nullptr, 1 /* PROV_RSA_FULL */,
                                         win::CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(win::GetLastError(), NTE_BAD_PROV_TYPE);
  EXPECT_EQ(prov, 0u);
  EXPECT_FALSE(win::CryptAcquireContextW(nullptr, nullptr, nullptr, win::PROV_RSA_AES,
                                         win::CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(win::CryptReleaseContext(0, 0));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
