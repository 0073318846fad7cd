// QOR_CRYPT: one SHA-1 or MD5 digest at a time through the CryptoAPI layer.
// Every failure is reported with the failing call's text and returned; the
// caller judges success by `hash_ready`.
#include "websocket/crypt.h"

#include <cstring>

#include "common/report.h"
#include "platform/crypt.h"
#include "platform/memory.h"
#include "platform/sync.h"

namespace {

constexpr uint64_t digest_alignment = 256;

// Through a volatile pointer, so that the wipe is not dropped as a dead store
// before the free.
void wipe(void* p, uint64_t n) {
  volatile uint8_t* b = static_cast<volatile uint8_t*>(p);
  while (n--) *b++ = 0;
}

// The code is read before the report, which may itself touch the last error.
uint32_t report_last(const wchar_t* call) {
  DWORD code = win::GetLastError();
  report_error(code, call);
  return code;
}

}  // namespace

void QOR_CRYPT::crypt_init_released() {
  all_length = 0;
  values_length = 0;
  ctx = nullptr;
  h_prov = 0;
  hash_ready = 0;
  alg = win::CALG_SHA1;
  txt_hashes = nullptr;
  txt_lengths = 0;
  hash_count = 0;
}

uint32_t QOR_CRYPT::init(ALG_ID algorithm) {
  release();
  alg = algorithm;
  hash_count = 1;
  if (!win::CryptAcquireContextW(&h_prov, nullptr, nullptr, win::PROV_RSA_AES,
                                 win::CRYPT_VERIFYCONTEXT)) {
    h_prov = 0;
    return report_last(L"CryptAcquireContext(&h_prov, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)");
  }
  all_length = hash_count * 16;
  txt_hashes = static_cast<uint8_t**>(win::HeapAlloc(win::GetProcessHeap(), 0, all_length));
  if (!txt_hashes) return report_last(L"QOR_CRYPT::init(){ txt_hashes = malloc(all_length); }");
  std::memset(txt_hashes, 0, all_length);
  ctx = reinterpret_cast<HCRYPTHASH*>(txt_hashes + hash_count);

  for (uint64_t i = 0; i < hash_count; ++i) {
    if (win::CryptCreateHash(h_prov, alg, 0, 0, &ctx[i])) continue;
    // The text names CALG_SHA1 whatever the algorithm: it is the call as written.
    uint32_t code = report_last(L"CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])");
    for (uint64_t j = 0; j <= i; ++j) {
      if (ctx[j]) win::CryptDestroyHash(ctx[j]);
      ctx[j] = 0;
    }
    release();
    return code;
  }

  DWORD size = sizeof(txt_lengths);
  if (!win::CryptGetHashParam(ctx[0], win::HP_HASHSIZE, reinterpret_cast<uint8_t*>(&txt_lengths),
                              &size, 0))
    txt_lengths = 256;

  values_length = uint64_t(txt_lengths) * hash_count;
  uint8_t* values = static_cast<uint8_t*>(win::_aligned_malloc(values_length, digest_alignment));
  if (!values) {
    uint32_t code = report_last(L"QOR_CRYPT::init(){ txt_values = malloc(); }");
    release();
    return code;
  }
  std::memset(values, 0, values_length);
  txt_hashes[0] = values;
  for (uint64_t i = 1; i < hash_count; ++i) txt_hashes[i] = txt_hashes[i - 1] + txt_lengths;
  hash_ready = 1;
  return 0;
}

uint32_t QOR_CRYPT::hash_data(const uint8_t* data, uint32_t length) {
  if (!hash_ready) return 0xFFFFFFFF;
  if (win::CryptHashData(ctx[0], data, length, 0)) return 0;
  return report_last(L"CryptHashData(ctx[index], data, length, 0)");
}

uint32_t QOR_CRYPT::hash_value() {
  uint32_t code = 0;
  for (uint64_t i = 0; i < hash_count; ++i) {
    DWORD size = txt_lengths;
    if (win::CryptGetHashParam(ctx[i], win::HP_HASHVAL, txt_hashes[i], &size, 0)) continue;
    // Only the first failure is reported and returned; the rest are read anyway.
    if (code == 0)
      code = report_last(L"CryptGetHashParam(ctx[i], HP_HASHVAL, txt_hashes[i], &txt_lengths[i], 0)");
  }
  return code;
}

void QOR_CRYPT::release() {
  hash_ready = 0;
  if (ctx) {
    for (uint64_t i = 0; i < hash_count; ++i)
      if (ctx[i]) win::CryptDestroyHash(ctx[i]);
  }
  if (txt_hashes) {
    if (txt_hashes[0]) {
      wipe(txt_hashes[0], values_length);
      win::_aligned_free(txt_hashes[0]);
    }
    wipe(txt_hashes, all_length);
    win::HeapFree(win::GetProcessHeap(), 0, txt_hashes);
  }
  if (h_prov) win::CryptReleaseContext(h_prov, 0);
  crypt_init_released();
}
