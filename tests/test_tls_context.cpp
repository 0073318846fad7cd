// The server context: the version line, the two certificate files and the
// expiry warning, each run in a working directory of its own.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <string>

#include "stream/context.h"
#include "support/certs.h"
#include "support/tls_client.h"

namespace {

constexpr const char* first_file = "wsrelay-cert.pem";
constexpr const char* second_file = "wsrelay-cert2.pem";

std::string version_line() { return std::string(OpenSSL_version(OPENSSL_VERSION)) + "\n"; }

class TlsContext : public ::testing::Test {
 protected:
  void TearDown() override { ctx_free(); }
  temp_dir dir;
};

struct file_case {
  const char* name;
  long first;    // seconds to notAfter; 0: no file
  long second;
  bool second_mismatched;
  bool ready;
  const char* warnings;   // printed after the version line
};

class CertificateFiles : public TlsContext, public ::testing::WithParamInterface<file_case> {};

TEST_P(CertificateFiles, LoadWhatMatchesAndWarnOnlyAboutExpiry) {
  const file_case& c = GetParam();
  ASSERT_FALSE(dir.path.empty());
  if (c.first != 0) {
    ASSERT_TRUE(write_cert_file(dir.path + "/" + first_file, c.first));
  }
  if (c.second != 0) {
    ASSERT_TRUE(write_cert_file(dir.path + "/" + second_file, c.second, c.second_mismatched));
  }

  std::string out = run_ctx_setup_in(dir.path);

  EXPECT_EQ(out, version_line() + c.warnings);
  EXPECT_EQ(tls_ready, c.ready);
  ASSERT_NE(ssl_ctx, nullptr);
  // What tls_ready promises: a client gets its handshake.
  EXPECT_EQ(handshake_in_memory(ssl_ctx), c.ready);
}

constexpr long hours = 3600;

INSTANTIATE_TEST_SUITE_P(
    Cases, CertificateFiles,
    ::testing::Values(
        file_case{"no_file", 0, 0, false, false, ""},
        file_case{"only_second", 0, cert_days(30), false, true, ""},
        file_case{"first_valid_second_missing", cert_days(30), 0, false, true, ""},
        file_case{"first_valid_second_mismatched", cert_days(30), cert_days(30), true, true, ""},
        file_case{"only_mismatched", 0, cert_days(30), true, false, ""},
        file_case{"expired_three_days", -(cert_days(3) + 5 * hours), 0, false, true,
                  "certificate expired 3 days ago\n\n"},
        file_case{"expired_five_hours", -5 * hours, 0, false, true,
                  "certificate expired 0 days ago\n\n"},
        file_case{"both_expired", -cert_days(1) - hours, -(cert_days(7) + hours), false, true,
                  "certificate expired 1 days ago\n\ncertificate expired 7 days ago\n\n"},
        file_case{"valid_one_more_minute", 60, 0, false, true, ""}),
    [](const ::testing::TestParamInfo<file_case>& info) { return std::string(info.param.name); });

TEST_F(TlsContext, OffersTls12AndUpWithTheFixedSettings) {
  ASSERT_TRUE(write_cert_file(dir.path + "/" + first_file, cert_days(30)));
  run_ctx_setup_in(dir.path);
  ASSERT_NE(ssl_ctx, nullptr);
  EXPECT_EQ(SSL_CTX_get_min_proto_version(ssl_ctx), TLS1_2_VERSION);
  EXPECT_EQ(SSL_CTX_get_max_proto_version(ssl_ctx), 0);
  EXPECT_EQ(SSL_CTX_get_security_level(ssl_ctx), 2);
  EXPECT_NE(SSL_CTX_get_options(ssl_ctx) & SSL_OP_CIPHER_SERVER_PREFERENCE, 0u);
}

TEST_F(TlsContext, FileThatIsNotPemIsPassedOverSilently) {
  FILE* f = fopen((dir.path + "/" + first_file).c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("not a certificate\n", f);
  fclose(f);
  EXPECT_EQ(run_ctx_setup_in(dir.path), version_line());
  EXPECT_FALSE(tls_ready);
}

TEST_F(TlsContext, FreeClearsTheContextAndTheFlag) {
  ASSERT_TRUE(write_cert_file(dir.path + "/" + first_file, cert_days(30)));
  run_ctx_setup_in(dir.path);
  ASSERT_TRUE(tls_ready);
  ctx_free();
  EXPECT_EQ(ssl_ctx, nullptr);
  EXPECT_FALSE(tls_ready);
  ctx_free();   // a second free does nothing
  EXPECT_EQ(ssl_ctx, nullptr);
}

TEST_F(TlsContext, LoadWithoutAContextFails) {
  ctx_free();
  EXPECT_EQ(ctx_load(), -1);
  EXPECT_FALSE(tls_ready);
}

}  // namespace
