// The process's TLS server context and its two certificate files.
#pragma once
#include <cstdint>

typedef struct ssl_ctx_st SSL_CTX;

extern SSL_CTX* ssl_ctx;
extern bool tls_ready;

void ctx_setup();        // version line, context, both certificate files
void ctx_configure();
int32_t ctx_load();
void ctx_free();
uint64_t utf16_to_utf8(uint8_t* dst, uint64_t dst_size, const char16_t* src);
