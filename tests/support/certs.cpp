#include "support/certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "stream/context.h"

namespace {

// A certificate for `key` named `cn`, signed by `issuer_key` under the
// name of `issuer` (both null: self-signed).
X509* make_cert(EVP_PKEY* key, long not_after_seconds, const char* cn, EVP_PKEY* issuer_key,
                X509* issuer) {
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  static long serial = 1;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  // Valid for thirty days up to its notAfter, whether that is past or not.
  X509_gmtime_adj(X509_getm_notBefore(cert), not_after_seconds - cert_days(30));
  X509_gmtime_adj(X509_getm_notAfter(cert), not_after_seconds);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(cert, key);
  if (X509_sign(cert, issuer_key != nullptr ? issuer_key : key, EVP_sha256()) <= 0) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

X509* self_signed(EVP_PKEY* key, long not_after_seconds) {
  return make_cert(key, not_after_seconds, "localhost", nullptr, nullptr);
}

EVP_PKEY* make_key(int rsa_bits) {
  return rsa_bits != 0 ? EVP_RSA_gen(unsigned(rsa_bits)) : EVP_EC_gen("P-256");
}

}  // namespace

bool write_cert_file(const std::string& path, long not_after_seconds, bool mismatched_key,
                     const char* pass_phrase) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  EVP_PKEY* other = mismatched_key ? EVP_EC_gen("P-256") : nullptr;
  X509* cert = key != nullptr ? self_signed(key, not_after_seconds) : nullptr;
  bool ok = false;
  BIO* out = BIO_new_file(path.c_str(), "w");
  if (cert != nullptr && out != nullptr && (!mismatched_key || other != nullptr)) {
    const EVP_CIPHER* cipher = pass_phrase != nullptr ? EVP_aes_256_cbc() : nullptr;
    int pass_length = pass_phrase != nullptr ? int(strlen(pass_phrase)) : 0;
    auto* pass = reinterpret_cast<const unsigned char*>(pass_phrase);
    ok = PEM_write_bio_X509(out, cert) == 1 &&
         PEM_write_bio_PrivateKey(out, mismatched_key ? other : key, cipher, pass, pass_length,
                                  nullptr, nullptr) == 1;
  }
  BIO_free(out);
  X509_free(cert);
  EVP_PKEY_free(other);
  EVP_PKEY_free(key);
  return ok;
}

bool write_cert_file(const std::string& path, const cert_spec& spec) {
  EVP_PKEY* key = make_key(spec.rsa_bits);
  EVP_PKEY* ca_key = spec.issued ? make_key(spec.ca_rsa_bits) : nullptr;
  X509* ca = ca_key != nullptr ? make_cert(ca_key, cert_days(30), "test CA", nullptr, nullptr)
                               : nullptr;
  X509* cert = key != nullptr && (!spec.issued || ca != nullptr)
                   ? make_cert(key, cert_days(30), "localhost", ca_key, ca)
                   : nullptr;
  BIO* out = cert != nullptr ? BIO_new_file(path.c_str(), "w") : nullptr;
  bool ok = out != nullptr && PEM_write_bio_X509(out, cert) == 1 &&
            (ca == nullptr || PEM_write_bio_X509(out, ca) == 1) &&
            PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  BIO_free(out);
  X509_free(cert);
  X509_free(ca);
  EVP_PKEY_free(ca_key);
  EVP_PKEY_free(key);
  return ok;
}

std::string run_ctx_setup_in(const std::string& dir) {
  ctx_free();
  std::string text;
  char here[4096];
  FILE* capture = tmpfile();
  if (capture == nullptr || getcwd(here, sizeof here) == nullptr) return "(no capture)";
  fflush(stdout);
  int saved = dup(1);
  dup2(fileno(capture), 1);
  if (chdir(dir.c_str()) == 0) {
    ctx_setup();
    if (chdir(here) != 0) text = "(cannot return to the working directory)";
  }
  dup2(saved, 1);
  close(saved);
  rewind(capture);
  char block[4096];
  size_t n;
  while ((n = fread(block, 1, sizeof block, capture)) > 0) text.append(block, n);
  fclose(capture);
  return text;
}
