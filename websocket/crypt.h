// QOR_CRYPT: one digest at a time through the CryptoAPI layer.
// init(alg) -> hash_data ... -> hash_value -> digest at txt_hashes[0] -> release.
#pragma once
#include "platform/types.h"

struct QOR_CRYPT {
  uint64_t all_length;
  uint64_t values_length;
  HCRYPTHASH* ctx;
  HCRYPTPROV h_prov;
  uint8_t hash_ready;
  ALG_ID alg;
  uint8_t** txt_hashes;
  uint32_t txt_lengths;
  uint64_t hash_count;

  void crypt_init_released();   // the released state: all zero, alg SHA-1
  uint32_t init(ALG_ID alg);
  uint32_t hash_data(const uint8_t* data, uint32_t length);
  uint32_t hash_value();
  void release();
};

int64_t base64_encode(const uint8_t* data, int64_t length, char* out);
