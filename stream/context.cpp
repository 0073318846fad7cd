// The process's one TLS server context: created and loaded at start-up, read
// by every reader thread, freed at teardown.
#include "stream/context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>

#include "platform/console.h"

SSL_CTX* ssl_ctx = nullptr;
bool tls_ready = false;

namespace {

constexpr uint64_t path_units = 65536;

// Bare names, resolved against the working directory; each file holds a
// certificate chain and the private key of its first certificate.
constexpr const char16_t* cert_file_names[2] = {u"wsrelay-cert.pem", u"wsrelay-cert2.pem"};

const char* const cipher_lists[2] = {
    "CHACHA20:ECDHE+AESGCM:ECDHE+SHA384:ECDHE+SHA1:!CAMELLIA:!AES128",
    "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384",
};

char16_t cert_path_w[path_units];
char16_t key_path_w[path_units];
char cert_path[path_units];
char key_path[path_units];

void set_path(char16_t* path, const char16_t* name) {
  std::memset(path, 0, sizeof cert_path_w);
  for (uint64_t i = 0; name[i] != 0 && i + 1 < path_units; ++i) path[i] = name[i];
}

// Reads the private key once: a key with a pass phrase asks for it as it is
// read, through the library's own prompt (no callback is set).
EVP_PKEY* read_key() {
  BIO* in = BIO_new_file(key_path, "r");
  if (in == nullptr) return nullptr;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, SSL_CTX_get_default_passwd_cb(ssl_ctx),
                                          SSL_CTX_get_default_passwd_cb_userdata(ssl_ctx));
  BIO_free(in);
  return key;
}

// Loads the chain and `key` into `ctx`; true when they match.
bool use_pair(SSL_CTX* ctx, EVP_PKEY* key) {
  return SSL_CTX_use_certificate_chain_file(ctx, cert_path) > 0 &&
         SSL_CTX_use_PrivateKey(ctx, key) > 0 && SSL_CTX_check_private_key(ctx) != 0;
}

// Tries the pair in a context of its own first: a file whose key does not
// match its certificate, or whose chain the server context's security level
// refuses, must not displace a good pair already loaded (loading a
// certificate drops a key of the same type that does not fit it, before the
// chain is checked). A new context takes the library's default level, which
// a system-wide configuration can set lower than the server context's.
bool pair_matches(EVP_PKEY* key) {
  SSL_CTX* probe = SSL_CTX_new(TLS_server_method());
  if (probe == nullptr) return false;
  SSL_CTX_set_security_level(probe, SSL_CTX_get_security_level(ssl_ctx));
  bool ok = use_pair(probe, key);
  SSL_CTX_free(probe);
  return ok;
}

// Warns about an expired certificate; it stays in use.
void warn_expired() {
  X509* cert = SSL_CTX_get0_certificate(ssl_ctx);
  if (cert == nullptr) return;
  const ASN1_TIME* not_after = X509_get0_notAfter(cert);
  if (not_after == nullptr) return;
  int day = 0;
  int sec = 0;
  if (ASN1_TIME_diff(&day, &sec, nullptr, not_after) == 0) return;
  if (day > 0 || sec > 0) return;
  win::wprintf(L"certificate expired %i days ago\n\n", -day);
}

}  // namespace

void ctx_setup() {
  win::wprintf(L"%hs\n", OpenSSL_version(OPENSSL_VERSION));
  ssl_ctx = SSL_CTX_new(TLS_server_method());
  if (ssl_ctx == nullptr)
    win::wprintf(L"cannot create server SSL context\n\n");
  else
    ctx_configure();
  // Each file is tried whatever the other gave; either one offers TLS.
  for (const char16_t* name : cert_file_names) {
    set_path(cert_path_w, name);
    set_path(key_path_w, name);
    ctx_load();
  }
}

// Settings the library refuses are passed over: the context stays usable.
void ctx_configure() {
  if (ssl_ctx == nullptr) return;
  SSL_CTX_set_min_proto_version(ssl_ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ssl_ctx, cipher_lists[0]);
  SSL_CTX_set_ciphersuites(ssl_ctx, cipher_lists[1]);
  SSL_CTX_set_options(ssl_ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_security_level(ssl_ctx, 2);
  ERR_clear_error();
}

// 0 when the chain and a matching key were loaded (expired or not), else -1;
// a file that cannot be used is passed over without a message.
int32_t ctx_load() {
  if (ssl_ctx == nullptr) return -1;
  if (utf16_to_utf8(reinterpret_cast<uint8_t*>(cert_path), path_units, cert_path_w) == 0) return -1;
  if (utf16_to_utf8(reinterpret_cast<uint8_t*>(key_path), path_units, key_path_w) == 0) return -1;

  EVP_PKEY* key = read_key();
  bool loaded = key != nullptr && pair_matches(key) && use_pair(ssl_ctx, key);
  EVP_PKEY_free(key);   // the context holds its own reference
  // A failed load leaves errors on this thread's queue; they must not be
  // taken for the outcome of a later TLS call.
  ERR_clear_error();
  if (!loaded) return -1;
  tls_ready = true;
  warn_expired();
  return 0;
}

void ctx_free() {
  tls_ready = false;
  SSL_CTX* ctx = ssl_ctx;
  ssl_ctx = nullptr;
  if (ctx != nullptr) SSL_CTX_free(ctx);
}
