// CryptoAPI digests (SHA-1, MD5) in place of the Windows provider, with its
// results and error numbers (GetLastError): NTE_BAD_ALGID for another
// algorithm, NTE_BAD_HASH for a finished or unknown hash object, NTE_BAD_LEN
// for a short output buffer, ERROR_INVALID_PARAMETER for bad arguments.
#pragma once
#include "platform/types.h"

namespace win {

constexpr DWORD PROV_RSA_AES = 24;
constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
constexpr ALG_ID CALG_MD5 = 0x8003;
constexpr ALG_ID CALG_SHA1 = 0x8004;
constexpr DWORD HP_HASHVAL = 0x0002;
constexpr DWORD HP_HASHSIZE = 0x0004;

BOOL CryptAcquireContextW(HCRYPTPROV* prov, const wchar_t* container, const wchar_t* provider,
                          DWORD prov_type, DWORD flags);
BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTHASH key, DWORD flags, HCRYPTHASH* hash);
BOOL CryptHashData(HCRYPTHASH hash, const uint8_t* data, DWORD length, DWORD flags);
BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, uint8_t* data, DWORD* length, DWORD flags);
BOOL CryptDestroyHash(HCRYPTHASH hash);

}  // namespace win
