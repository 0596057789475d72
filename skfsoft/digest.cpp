// Digests of the software key device (SM3, with the signer's Z value when a
// public key and an identifier are given, SHA-1 and SHA-256), and the
// symmetric functions it does not offer.
//
// A digest handle ends with the call that hands its digest out (SKF_Digest
// or SKF_DigestFinal), there being no SKF_CloseHandle among the bound
// functions; a length query or a buffer that is too small keeps it. It also
// ends with its device's connection.
#include <openssl/evp.h>

#include <cstring>

#include "KXSM.h"
#include "crypto/openssl_ptr.h"
#include "driver.h"

using skfsoft::Export;
using skfsoft::Handles;
using skfsoft::Kind;

namespace {

// ENTL, the bit length of the identifier, has 16 bits.
const ULONG kMaxIdLength = 0xFFFF / 8;

struct Hash : skfsoft::Object {
  static constexpr Kind kKind = Kind::kHash;
  Hash() : Object(kKind) {}
  std::mutex mutex;
  ULONG algorithm = 0;
  SM3_CTX_1 sm3 = {};
  kx::UniquePtr<EVP_MD_CTX> md;  // SHA-1 and SHA-256
  bool updated = false;          // SKF_DigestUpdate was called
};

size_t DigestLength(const Hash& hash) {
  return hash.algorithm == SGD_SHA1 ? 20 : 32;
}

bool Update(Hash* hash, const BYTE* data, ULONG length) {
  if (length == 0) return true;
  if (hash->algorithm == SGD_SM3) {
    SM3_Update_1(&hash->sm3, data, length);
    return true;
  }
  return EVP_DigestUpdate(hash->md.get(), data, length) == 1;
}

bool Finish(Hash* hash, unsigned char out[32]) {
  if (hash->algorithm == SGD_SM3) {
    SM3_Final_1(&hash->sm3, out);
    return true;
  }
  unsigned int length = 0;
  return EVP_DigestFinal_ex(hash->md.get(), out, &length) == 1;
}

// Hands the digest out by the output-buffer rule, then ends the handle. A
// length query or a too-small buffer hashes nothing and keeps it.
template <class Fn>
ULONG FinishAndDeliver(const char* fn, HANDLE handle, Hash* hash, BYTE* out,
                       ULONG* outLen, Fn&& lastData) {
  const size_t length = DigestLength(*hash);
  if (out == nullptr || *outLen < length) {
    ULONG rc = skfsoft::Deliver(nullptr, length, out, outLen);
    return rc == SAR_OK ? rc : SKFSOFT_FAIL(rc, "digest buffer too small");
  }
  unsigned char digest[32];
  const bool ok = lastData() && Finish(hash, digest);
  Handles().Remove(handle, Kind::kHash);
  if (!ok) return SKFSOFT_FAIL(SAR_HASHERR, "digest failed");
  return skfsoft::Deliver(digest, length, out, outLen);
}

}  // namespace

ULONG SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB* pPubKey,
                     unsigned char* pucID, ULONG ulIDLen, HANDLE* phHash) {
  return Export("SKF_DigestInit", [&](const char* fn) -> ULONG {
    if (!Handles().Get<skfsoft::Device>(hDev))
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a device handle");
    if (phHash == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no handle pointer");
    auto hash = std::make_shared<Hash>();
    hash->algorithm = ulAlgID;
    if (ulAlgID == SGD_SM3) {
      SM3_Init_1(&hash->sm3);
      // With a public key and an identifier the digest is SM3(Z || M),
      //   Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA).
      if (pPubKey != nullptr && pucID != nullptr && ulIDLen != 0) {
        if (ulIDLen > kMaxIdLength)
          return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "identifier too long");
        unsigned char pub[65];
        if (!skfsoft::EccBlobPoint(*pPubKey, pub))
          return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "not a 256-bit public key");
        shared_ptr<EC_POINT> point = KXStrToECPoint(pub, sizeof pub);
        unsigned char z[32];
        if (!point)
          return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "point off the curve");
        if (SM2_do_Z(z, pucID, ulIDLen, point.get()) != 1)
          return SKFSOFT_FAIL(SAR_HASHERR, "cannot compute Z");
        SM3_Update_1(&hash->sm3, z, sizeof z);
      }
    } else if (ulAlgID == SGD_SHA1 || ulAlgID == SGD_SHA256) {
      hash->md.reset(EVP_MD_CTX_new());
      if (!hash->md ||
          EVP_DigestInit_ex(hash->md.get(),
                            ulAlgID == SGD_SHA1 ? EVP_sha1() : EVP_sha256(),
                            nullptr) != 1)
        return SKFSOFT_FAIL(SAR_HASHOBJERR, "cannot start the digest");
    } else {
      return SKFSOFT_FAIL(SAR_NOTSUPPORTYETERR, "digest not offered");
    }
    *phHash = Handles().Add(hash, hDev);
    return SAR_OK;
  });
}

ULONG SKF_Digest(HANDLE hHash, BYTE* pbData, ULONG ulDataLen, BYTE* pbHashData,
                 ULONG* pulHashLen) {
  return Export("SKF_Digest", [&](const char* fn) -> ULONG {
    auto hash = Handles().Get<Hash>(hHash);
    if (!hash) return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a digest handle");
    if ((pbData == nullptr && ulDataLen != 0) || pulHashLen == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "null argument");
    std::lock_guard<std::mutex> hold(hash->mutex);
    if (hash->updated)
      return SKFSOFT_FAIL(SAR_HASHOBJERR, "digest already fed by updates");
    return FinishAndDeliver(fn, hHash, hash.get(), pbHashData, pulHashLen, [&] {
      return Update(hash.get(), pbData, ulDataLen);
    });
  });
}

ULONG SKF_DigestUpdate(HANDLE hHash, BYTE* pbData, ULONG ulDataLen) {
  return Export("SKF_DigestUpdate", [&](const char* fn) -> ULONG {
    auto hash = Handles().Get<Hash>(hHash);
    if (!hash) return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a digest handle");
    if (pbData == nullptr && ulDataLen != 0)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no data");
    std::lock_guard<std::mutex> hold(hash->mutex);
    hash->updated = true;
    if (!Update(hash.get(), pbData, ulDataLen))
      return SKFSOFT_FAIL(SAR_HASHERR, "digest update failed");
    return SAR_OK;
  });
}

ULONG SKF_DigestFinal(HANDLE hHash, BYTE* pHashData, ULONG* pulHashLen) {
  return Export("SKF_DigestFinal", [&](const char* fn) -> ULONG {
    auto hash = Handles().Get<Hash>(hHash);
    if (!hash) return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a digest handle");
    if (pulHashLen == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no length pointer");
    std::lock_guard<std::mutex> hold(hash->mutex);
    return FinishAndDeliver(fn, hHash, hash.get(), pHashData, pulHashLen,
                            [] { return true; });
  });
}

// ---------------------------------------------------------------------------
// Session keys and symmetric ciphers are not offered.

#define SKFSOFT_NOT_OFFERED(name, params)                                   \
  ULONG name params {                                                       \
    return skfsoft::Fail(#name, __LINE__, SAR_NOTSUPPORTYETERR,             \
                         "session keys and symmetric ciphers not offered"); \
  }

SKFSOFT_NOT_OFFERED(SKF_ImportSessionKey,
                    (HCONTAINER, ULONG, BYTE*, ULONG, HANDLE*))
SKFSOFT_NOT_OFFERED(SKF_SetSymmKey, (DEVHANDLE, BYTE*, ULONG, HANDLE*))
SKFSOFT_NOT_OFFERED(SKF_EncryptInit, (HANDLE, BLOCKCIPHERPARAM))
SKFSOFT_NOT_OFFERED(SKF_Encrypt, (HANDLE, BYTE*, ULONG, BYTE*, ULONG*))
SKFSOFT_NOT_OFFERED(SKF_EncryptUpdate, (HANDLE, BYTE*, ULONG, BYTE*, ULONG*))
SKFSOFT_NOT_OFFERED(SKF_EncryptFinal, (HANDLE, BYTE*, ULONG*))
SKFSOFT_NOT_OFFERED(SKF_DecryptInit, (HANDLE, BLOCKCIPHERPARAM))
SKFSOFT_NOT_OFFERED(SKF_Decrypt, (HANDLE, BYTE*, ULONG, BYTE*, ULONG*))
SKFSOFT_NOT_OFFERED(SKF_DecryptUpdate, (HANDLE, BYTE*, ULONG, BYTE*, ULONG*))
SKFSOFT_NOT_OFFERED(SKF_DecryptFinal, (HANDLE, BYTE*, ULONG*))

#undef SKFSOFT_NOT_OFFERED
