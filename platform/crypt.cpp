// CryptoAPI digests on OpenSSL's EVP interface. A provider handle and a
// hash handle are pointers to small objects of this layer; each carries a
// tag so that a zero or foreign handle is refused rather than used.
#include "platform/crypt.h"

#include <openssl/evp.h>

#include <cstring>
#include <new>

#include "platform/sync.h"

namespace win {
namespace {

constexpr uint32_t provider_tag = 0x50524F56;  // "PROV"
constexpr uint32_t hash_tag = 0x48415348;      // "HASH"
constexpr unsigned max_digest = 20;            // SHA-1; MD5 is 16

struct crypt_provider {
  uint32_t tag;
};

struct crypt_hash {
  uint32_t tag;
  EVP_MD_CTX* context;
  DWORD size;
  bool finished;  // the value has been read; no more data may be added
  uint8_t value[max_digest];
};

BOOL fail(DWORD error) {
  SetLastError(error);
  return 0;
}

crypt_provider* provider_of(HCRYPTPROV handle) {
  auto* p = reinterpret_cast<crypt_provider*>(handle);
  return p && p->tag == provider_tag ? p : nullptr;
}

crypt_hash* hash_of(HCRYPTHASH handle) {
  auto* h = reinterpret_cast<crypt_hash*>(handle);
  return h && h->tag == hash_tag ? h : nullptr;
}

const EVP_MD* digest_of(ALG_ID alg) {
  if (alg == CALG_SHA1) return EVP_sha1();
  if (alg == CALG_MD5) return EVP_md5();
  return nullptr;
}

// Finishes the digest once; later reads return the same value.
bool finish(crypt_hash* hash) {
  if (hash->finished) return true;
  unsigned size = 0;
  if (EVP_DigestFinal_ex(hash->context, hash->value, &size) != 1 || size != hash->size) return false;
  hash->finished = true;
  return true;
}

// Copies a value of `size` bytes out, or reports the size needed: a NULL
// `data` asks for the size; a short buffer is NTE_BAD_LEN.
BOOL copy_out(const void* value, DWORD size, uint8_t* data, DWORD* length) {
  DWORD room = *length;
  *length = size;
  if (!data) return 1;
  if (room < size) return fail(NTE_BAD_LEN);
  std::memcpy(data, value, size);
  return 1;
}

}  // namespace

// Only the ephemeral (CRYPT_VERIFYCONTEXT) AES provider: no key containers.
BOOL CryptAcquireContextW(HCRYPTPROV* prov, const wchar_t* container, const wchar_t*,
                          DWORD prov_type, DWORD flags) {
  if (!prov) return fail(ERROR_INVALID_PARAMETER);
  *prov = 0;
  if (prov_type != PROV_RSA_AES) return fail(NTE_BAD_PROV_TYPE);
  if (flags != CRYPT_VERIFYCONTEXT || container) return fail(NTE_BAD_FLAGS);
  auto* p = new (std::nothrow) crypt_provider{provider_tag};
  if (!p) return fail(NTE_NO_MEMORY);
  *prov = reinterpret_cast<HCRYPTPROV>(p);
  return 1;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
  crypt_provider* p = provider_of(prov);
  if (!p) return fail(ERROR_INVALID_HANDLE);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  p->tag = 0;
  delete p;
  return 1;
}

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTHASH key, DWORD flags, HCRYPTHASH* hash) {
  if (!hash || !provider_of(prov) || key != 0) return fail(ERROR_INVALID_PARAMETER);
  *hash = 0;
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  const EVP_MD* md = digest_of(alg);
  if (!md) return fail(NTE_BAD_ALGID);
  auto* h = new (std::nothrow) crypt_hash{};
  EVP_MD_CTX* context = h ? EVP_MD_CTX_new() : nullptr;
  if (!context || EVP_DigestInit_ex(context, md, nullptr) != 1) {
    EVP_MD_CTX_free(context);
    delete h;
    return fail(NTE_NO_MEMORY);
  }
  h->tag = hash_tag;
  h->context = context;
  h->size = static_cast<DWORD>(EVP_MD_get_size(md));
  *hash = reinterpret_cast<HCRYPTHASH>(h);
  return 1;
}

BOOL CryptHashData(HCRYPTHASH hash, const uint8_t* data, DWORD length, DWORD flags) {
  crypt_hash* h = hash_of(hash);
  if (!h) return fail(NTE_BAD_HASH);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (!data && length > 0) return fail(ERROR_INVALID_PARAMETER);
  if (h->finished) return fail(NTE_BAD_HASH);
  if (length > 0 && EVP_DigestUpdate(h->context, data, length) != 1) return fail(NTE_BAD_HASH);
  return 1;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, uint8_t* data, DWORD* length, DWORD flags) {
  crypt_hash* h = hash_of(hash);
  if (!h) return fail(NTE_BAD_HASH);
  if (!length) return fail(ERROR_INVALID_PARAMETER);
  if (flags != 0) return fail(NTE_BAD_FLAGS);
  if (param == HP_HASHSIZE) {
    DWORD size = h->size;
    return copy_out(&size, sizeof size, data, length);
  }
  if (param != HP_HASHVAL) return fail(NTE_BAD_TYPE);
  // A size query or a short buffer leaves the hash open for more data.
  if (!data || *length < h->size) return copy_out(h->value, h->size, data, length);
  if (!finish(h)) return fail(NTE_BAD_HASH);
  return copy_out(h->value, h->size, data, length);
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
  crypt_hash* h = hash_of(hash);
  if (!h) return fail(NTE_BAD_HASH);
  h->tag = 0;
  EVP_MD_CTX_free(h->context);
  delete h;
  return 1;
}

}  // namespace win
