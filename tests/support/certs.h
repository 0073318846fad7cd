// Certificates made at run time for the TLS tests: self-signed P-256 with a
// chosen expiry, or a chosen key type and issuer, written with their private
// key as one PEM file (the form the relay's certificate files take). No key
// is ever kept in the tree.
//
//   temp_dir dir;   // support/process.h
//   ASSERT_TRUE(write_cert_file(dir.path + "/wsrelay-cert.pem", cert_days(30)));
//   std::string out = run_ctx_setup_in(dir.path);   // ctx_setup's console text
#pragma once
#include <string>

#include "support/process.h"

constexpr long cert_days(long days) { return days * 86400; }

// Writes a certificate whose notAfter lies `not_after_seconds` from now
// (negative: already expired), followed by its key, or by an unrelated key
// when `mismatched_key` is set; the key is encrypted under `pass_phrase`
// when one is given.
bool write_cert_file(const std::string& path, long not_after_seconds, bool mismatched_key = false,
                     const char* pass_phrase = nullptr);

// What a certificate file of the second form is made of; it is valid for
// thirty more days and signed with SHA-256.
struct cert_spec {
  int rsa_bits = 0;       // the first certificate's key: RSA of this size, P-256 when 0
  bool issued = false;    // issued by a CA of its own, whose self-signed
                          // certificate follows it in the chain; else self-signed
  int ca_rsa_bits = 0;    // the CA's key, as rsa_bits
};

// Writes the chain that `spec` describes, then the first certificate's key.
bool write_cert_file(const std::string& path, const cert_spec& spec);

// Frees any server context, runs ctx_setup with `dir` as the working
// directory (restored afterwards) and returns what it printed on standard
// output.
std::string run_ctx_setup_in(const std::string& dir);
