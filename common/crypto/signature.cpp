// RSA and SM2 signatures over data and over certificates.
#include <openssl/rsa.h>

#include <cstring>
#include <vector>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXSM.h"
#include "digest_internal.h"
#include "foundation/export_boundary.h"
#include "openssl_ptr.h"

namespace kx {
namespace {

// Picks the digest of a recovered PKCS #1 block from its length and, where
// two digests share a length, its DigestInfo prefix. Null: unknown.
const DigestEntry* IdentifyDigestInfo(const unsigned char* block,
                                      size_t length) {
  auto matches = [&](int nid) -> const DigestEntry* {
    const DigestEntry* entry = FindDigest(nid);
    if (length == entry->prefixLength + entry->size &&
        std::memcmp(block, entry->prefix, entry->prefixLength) == 0)
      return entry;
    return nullptr;
  };
  switch (length) {
    case 34:
      return matches(kNidMd5);
    case 35: {
      const DigestEntry* entry = matches(kNidSha1);
      return entry != nullptr ? entry : matches(kNidSha0);
    }
    case 47:
      return FindDigest(kNidSha224);
    case 50:
      return matches(kNidSm3);
    case 51:
      return FindDigest(kNidSha256);
    case 67:
      return FindDigest(kNidSha384);
    case 83:
      return FindDigest(kNidSha512);
    default:
      return nullptr;
  }
}

void LogEmpty(const char* function, int line) {
  KXLog(KX_LOG_ERROR, function, line, "%s", "");
}

uint32_t VerifyFailed(int line) {
  KXSetLastError(KX_ERR_VERIFY);
  LogEmpty("KXVerifyData", line);
  return KX_ERR_VERIFY;
}

// The RSA key of `key`, or null when it holds none.
EVP_PKEY* RsaKeyOf(const X509_PUBKEY* key) {
  EVP_PKEY* pkey = X509_PUBKEY_get0(key);  // owned by the X509_PUBKEY
  return pkey != nullptr && EVP_PKEY_get_base_id(pkey) == EVP_PKEY_RSA
             ? pkey
             : nullptr;
}

// Recovers the PKCS #1 v1.5 block an RSA signature carries into `block`.
bool RecoverRsaBlock(EVP_PKEY* pkey, const void* signature,
                     uint32_t signatureLength,
                     std::vector<unsigned char>* block) {
  const int modulusBytes = EVP_PKEY_get_size(pkey);
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(pkey, nullptr));
  if (modulusBytes <= 0 || !ctx) return false;
  block->resize(static_cast<size_t>(modulusBytes));
  size_t blockLength = block->size();
  if (EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_verify_recover(ctx.get(), block->data(), &blockLength,
                              static_cast<const unsigned char*>(signature),
                              signatureLength) != 1)
    return false;
  block->resize(blockLength);
  return true;
}

// MD5 and SHA-0 stay available as digests but no longer make a signature:
// collisions for both can be computed, so a signature over one of them says
// nothing about which data was signed.
bool AcceptedForSignatures(const DigestEntry& entry) {
  return entry.nid != kNidMd5 && entry.nid != kNidSha0;
}

// RSA PKCS #1 v1.5: recover the signed block with the public key, identify
// its digest, and compare it with the DigestInfo of the data.
uint32_t VerifyRsa(const X509_PUBKEY* key, const void* data,
                   uint32_t dataLength, const void* signature,
                   uint32_t signatureLength) {
  EVP_PKEY* pkey = RsaKeyOf(key);
  if (pkey == nullptr) {
    KXSetLastError(KX_ERR_INVALID_CERT);
    LogEmpty("KXVerifyData", __LINE__);
    return KX_ERR_INVALID_CERT;
  }
  std::vector<unsigned char> block;
  if (!RecoverRsaBlock(pkey, signature, signatureLength, &block))
    return VerifyFailed(__LINE__);
  const size_t blockLength = block.size();
  const DigestEntry* entry = IdentifyDigestInfo(block.data(), blockLength);
  if (entry == nullptr || !AcceptedForSignatures(*entry))
    return VerifyFailed(__LINE__);
  unsigned char expected[19 + 64];
  std::memcpy(expected, entry->prefix, entry->prefixLength);
  if (!ComputeDigest(*entry, data, dataLength, expected + entry->prefixLength))
    return VerifyFailed(__LINE__);
  if (entry->prefixLength + entry->size != blockLength ||
      std::memcmp(expected, block.data(), blockLength) != 0)
    return VerifyFailed(__LINE__);
  return 0;
}

// SM2 with SM3 and the default identifier over the data as given.
uint32_t VerifySm2(const X509_PUBKEY* key, const void* data,
                   uint32_t dataLength, const void* signature,
                   uint32_t signatureLength) {
  const unsigned char* pointBytes = nullptr;
  int pointLength = 0;
  X509_PUBKEY_get0_param(nullptr, &pointBytes, &pointLength, nullptr, key);
  shared_ptr<EC_POINT> point = KXStrToECPoint(pointBytes, pointLength);
  shared_ptr<ECDSA_SIG> sig =
      signatureLength > 0x7FFFFFFFu
          ? shared_ptr<ECDSA_SIG>()
          : KXStrToECSig(signature, static_cast<int>(signatureLength));
  if (!point || !sig) {
    KXSetLastError(KX_ERR_INVALID_CERT);
    LogEmpty("KXVerifyData", __LINE__);
    return KX_ERR_INVALID_CERT;
  }
  if (SM2_Verify(static_cast<const unsigned char*>(data), dataLength, sig.get(),
                 point.get()) != 1)
    return VerifyFailed(__LINE__);
  return 0;
}

// The to-be-signed part of a certificate exactly as it was read: the first
// element of the certificate's SEQUENCE in its DER form. libcrypto keeps the
// bytes a certificate was decoded from, so this is what the issuer signed even
// where a fresh encoding would differ.
bool TbsBytes(const X509* cert, std::vector<unsigned char>* out) {
  unsigned char* der = nullptr;
  const int derLength = i2d_X509(cert, &der);
  OpenSslBytes holder(der);
  if (derLength <= 0) return false;
  const unsigned char* p = der;
  long contentLength = 0;
  int tag = 0, cls = 0;
  // Outer SEQUENCE header, then the tbsCertificate element.
  if (ASN1_get_object(&p, &contentLength, &tag, &cls, derLength) & 0x80)
    return false;
  const unsigned char* tbs = p;
  const long left = derLength - (p - der);
  if (ASN1_get_object(&p, &contentLength, &tag, &cls, left) & 0x80 ||
      tag != V_ASN1_SEQUENCE)
    return false;
  const long tbsLength = (p - tbs) + contentLength;
  if (tbsLength <= 0 || tbsLength > left) return false;
  out->assign(tbs, tbs + tbsLength);
  return true;
}

}  // namespace
}  // namespace kx

ckxstr KXSignData(const void* data, uint32_t length, EVP_PKEY* key) {
  if (key == nullptr || data == nullptr) return ckxstr();
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    KX_LOG(KX_LOG_ERROR, "KXSignData", "pkey->type %d",
           EVP_PKEY_get_base_id(key));
    return ckxstr();
  }
  ckxstr digestInfo = KXDigestASN1ByNID(data, length, kx::kNidSha1);
  if (digestInfo.empty()) return ckxstr();
  // PKCS #1 v1.5 type 1 padding over the DigestInfo as given (no digest set
  // on the operation), i.e. the private-key block operation. libcrypto
  // clears the private components of its key copies when it frees them.
  kx::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t sigLength = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &sigLength,
                    reinterpret_cast<const unsigned char*>(digestInfo.c_str()),
                    digestInfo.length()) != 1)
    return ckxstr();
  ckxstr out;
  if (sigLength > ckxstr::kMaxLength ||
      !out.resize(static_cast<uint32_t>(sigLength), false))
    return ckxstr();
  if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()),
                    &sigLength,
                    reinterpret_cast<const unsigned char*>(digestInfo.c_str()),
                    digestInfo.length()) != 1 ||
      !out.resize(static_cast<uint32_t>(sigLength), true))
    return ckxstr();
  return out;
}

int KXRsaSignatureDigest(const X509_PUBKEY* key, const void* signature,
                         uint32_t signatureLength) {
  if (key == nullptr || signature == nullptr) return 0;
  return kx::GuardValue(kx::CommonFailure("KXRsaSignatureDigest"), [&] {
    EVP_PKEY* pkey = kx::RsaKeyOf(key);
    std::vector<unsigned char> block;
    if (pkey == nullptr ||
        !kx::RecoverRsaBlock(pkey, signature, signatureLength, &block))
      return 0;
    const kx::DigestEntry* entry =
        kx::IdentifyDigestInfo(block.data(), block.size());
    return entry == nullptr ? 0 : entry->nid;
  });
}

extern "C" uint32_t KXVerifyData(const X509_PUBKEY* key, const void* data,
                                 uint32_t dataLength, const void* signature,
                                 uint32_t signatureLength) {
  if (key == nullptr || data == nullptr || signature == nullptr) {
    kx::LogEmpty("KXVerifyData", __LINE__);
    return KX_ERR_INVALID_INPUT;
  }
  return kx::GuardCode(kx::CommonFailure("KXVerifyData"), [&]() -> uint32_t {
    switch (KXCertAlgo(key)) {
      case 1:
        return kx::VerifyRsa(key, data, dataLength, signature, signatureLength);
      case 2:
        return kx::VerifySm2(key, data, dataLength, signature, signatureLength);
      default:
        kx::LogEmpty("KXVerifyData", __LINE__);
        return KX_ERR_FAIL;
    }
  });
}

extern "C" int KXVerifyX509(const X509* cert, const X509_PUBKEY* issuerKey) {
  if (cert == nullptr || issuerKey == nullptr) return KX_ERR_INVALID_INPUT;
  // The to-be-signed bytes that cannot be had, for want of memory too, are a
  // certificate that cannot be encoded: 5010 as the last error, no line.
  constexpr kx::ExportFailure kFailure{
      "KXVerifyX509",      nullptr, nullptr, KX_ERR_INVALID_CERT,
      KX_ERR_INVALID_CERT, true};
  return kx::GuardCode(kFailure, [&]() -> int {
    std::vector<unsigned char> tbs;
    if (!kx::TbsBytes(cert, &tbs)) {
      KXSetLastError(KX_ERR_INVALID_CERT);
      return KX_ERR_INVALID_CERT;
    }
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, cert);
    if (signature == nullptr ||
        KXVerifyData(issuerKey, tbs.data(), static_cast<uint32_t>(tbs.size()),
                     ASN1_STRING_get0_data(signature),
                     static_cast<uint32_t>(ASN1_STRING_length(signature))) != 0)
      return KX_ERR_CERT_VERIFY;
    return 0;
  });
}
