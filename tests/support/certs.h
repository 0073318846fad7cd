// Certificates made at run time for the TLS tests: self-signed P-256 with a
// chosen expiry, written with their private key as one PEM file (the form
// the relay's certificate files take). No key is ever kept in the tree.
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

// Frees any server context, runs ctx_setup with `dir` as the working
// directory (restored afterwards) and returns what it printed on standard
// output.
std::string run_ctx_setup_in(const std::string& dir);
