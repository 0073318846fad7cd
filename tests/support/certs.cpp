#include "support/certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "stream/context.h"

namespace {

X509* self_signed(EVP_PKEY* key, long not_after_seconds) {
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  static long serial = 1;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  // Valid for thirty days up to its notAfter, whether that is past or not.
  X509_gmtime_adj(X509_getm_notBefore(cert), not_after_seconds - cert_days(30));
  X509_gmtime_adj(X509_getm_notAfter(cert), not_after_seconds);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, key);
  if (X509_sign(cert, key, EVP_sha256()) <= 0) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
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
