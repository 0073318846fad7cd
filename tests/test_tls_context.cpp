// The server context: the version line, the two certificate files and the
// expiry warning, each run in a working directory of its own; and a relay
// whose library default security level is set lower than its context's.
#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "stream/context.h"
#include "support/certs.h"
#include "support/relay_session.h"
#include "support/tls_client.h"
#include "support/ws_peers.h"

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

// A system-wide configuration of the kind that lowers the library's default
// security level (read by SSL_CTX_new from its system_default section).
constexpr const char* level_one_conf =
    "openssl_conf = init\n"
    "[init]\n"
    "ssl_conf = ssl_sect\n"
    "[ssl_sect]\n"
    "system_default = system_default_sect\n"
    "[system_default_sect]\n"
    "CipherString = DEFAULT@SECLEVEL=1\n";

bool write_text(const std::string& path, const char* text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = fputs(text, f) >= 0;
  return fclose(f) == 0 && ok;
}

// The security level a new server context gets once `conf` is loaded, or -1.
// Found in a child: a configuration once loaded stays for the process.
int default_level_under(const std::string& conf) {
  pid_t pid = fork();
  if (pid == 0) {
    int level = -1;
    if (CONF_modules_load_file(conf.c_str(), nullptr, 0) > 0) {
      SSL_CTX* probe = SSL_CTX_new(TLS_server_method());
      if (probe != nullptr) level = SSL_CTX_get_security_level(probe);
    }
    _exit(level >= 0 ? level : 100);
  }
  if (pid == -1) return -1;
  int status = 0;
  for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) == 0; waited_ms += 10) {
    if (waited_ms >= 10000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    timespec tick{0, 10 * 1000 * 1000};
    nanosleep(&tick, nullptr);
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 100;
  return code == 100 ? -1 : code;
}

// OPENSSL_CONF set to `path` for the children started while it lives. This
// process reads its own configuration first, so only they take the file.
struct children_openssl_conf {
  explicit children_openssl_conf(const std::string& path) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    const char* old = getenv("OPENSSL_CONF");
    had = old != nullptr;
    if (had) saved = old;
    setenv("OPENSSL_CONF", path.c_str(), 1);
  }
  ~children_openssl_conf() {
    if (had)
      setenv("OPENSSL_CONF", saved.c_str(), 1);
    else
      unsetenv("OPENSSL_CONF");
  }
  bool had = false;
  std::string saved;
};

// The first certificate in a PEM file, or null.
X509* first_certificate(const std::string& path) {
  BIO* in = BIO_new_file(path.c_str(), "r");
  if (in == nullptr) return nullptr;
  X509* cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  return cert;
}

struct weak_case {
  const char* name;
  cert_spec good;   // the first file
  cert_spec weak;   // the second, of the same key type: level 1 takes it, level 2 does not
};

void PrintTo(const weak_case& c, std::ostream* os) { *os << c.name; }

class WeakSecondFile : public relay_session, public ::testing::WithParamInterface<weak_case> {};

// The pair is tried in a throwaway context before the real one. At a lower
// level than the real context's, a file whose first certificate passes but
// whose chain does not passes the trial, then replaces the good certificate
// of its key type in the real context (dropping its key) before its chain is
// refused: TLS is offered but no handshake completes.
TEST_P(WeakSecondFile, UnderALowerDefaultLevelIsPassedOverAndTheFirstPairServes) {
  const weak_case& c = GetParam();
  const std::string conf = relay.dir.path + "/level-one.cnf";
  ASSERT_TRUE(write_text(conf, level_one_conf));
  ASSERT_EQ(default_level_under(conf), 1) << "the configuration does not lower the default level";
  ASSERT_TRUE(write_cert_file(relay.dir.path + "/" + first_file, c.good));
  ASSERT_TRUE(write_cert_file(relay.dir.path + "/" + second_file, c.weak));
  {
    children_openssl_conf lowered(conf);
    ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4"}));
  }
  EXPECT_NE(relay.out().find("  RAW TLS WS WSS  max connections: 4\n"), std::string::npos)
      << relay.out();

  wire tls;
  ASSERT_TRUE(tls.connect(relay.port, wire::tls)) << "TLS is offered but no handshake completes";
  X509* served = SSL_get1_peer_certificate(tls.secure->ssl);
  X509* good = first_certificate(relay.dir.path + "/" + first_file);
  ASSERT_NE(good, nullptr);
  EXPECT_TRUE(served != nullptr && X509_cmp(served, good) == 0)
      << "the client did not get the first file's certificate";
  X509_free(served);
  X509_free(good);
  ASSERT_TRUE(wait_kinds("TLS", 1, 5000)) << relay.out();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WeakSecondFile,
    ::testing::Values(
        // The chain's CA has a 1024-bit key; the first certificate is sound.
        weak_case{"p256_issued_by_rsa1024_ca", {}, {.issued = true, .ca_rsa_bits = 1024}},
        weak_case{"rsa2048_issued_by_rsa1024_ca", {.rsa_bits = 2048},
                  {.rsa_bits = 2048, .issued = true, .ca_rsa_bits = 1024}},
        // Refused as it is set in the real context, before anything is
        // replaced: passed over at either level of the trial.
        weak_case{"rsa1024_self_signed", {.rsa_bits = 2048}, {.rsa_bits = 1024}}),
    [](const ::testing::TestParamInfo<weak_case>& info) { return std::string(info.param.name); });

}  // namespace
