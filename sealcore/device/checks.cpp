// Digest, signature and certificate checks of the seal services.
#include <openssl/x509.h>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXSM.h"
#include "KXTime.h"
#include "SealCore.h"
#include "cert_keyless.h"
#include "fail.h"
#include "crypto/openssl_ptr.h"
#include "foundation/export_boundary.h"

namespace {

const int kSha1Nid = 64;
const uint32_t kSha1DigestInfoLength = 35;
const uint32_t kSm2DigestLength = 32;

// Certificates come in with 32-bit unsigned lengths; the parser takes a signed
// one where a negative value means "up to the NUL". A length that does not fit
// is refused instead of turning into an unbounded read.
shared_ptr<X509> ParseCert(const unsigned char* cert, uint32_t certLen) {
  if (certLen > 0x7FFFFFFFu) return shared_ptr<X509>();
  return KXStrToX509(cert, static_cast<int>(certLen));
}

}  // namespace

extern "C" uint32_t SEBF_DigestData(uint32_t alg, const unsigned char* data,
                                    uint32_t dataLen, const unsigned char* cert,
                                    uint32_t certLen, unsigned char* out,
                                    uint32_t* outLen) {
  static const char kFn[] = "SEBF_DigestData";
  if (data == nullptr || outLen == nullptr)
    return KX_FAIL(kFn, "SEBF_DigestData==>%d -- arguments error",
                   KX_ERR_INVALID_INPUT);
  // The lengths are answered and the capacity checked before the work, each
  // with its own line; the delivery below then always copies.
  if (out == nullptr) {
    *outLen = alg == kSha1Nid ? kSha1DigestInfoLength : kSm2DigestLength;
    return 0;
  }
  if (alg == kSha1Nid) {
    if (*outLen < kSha1DigestInfoLength) {
      *outLen = kSha1DigestInfoLength;
      return KX_FAIL(kFn,
                     "SEBF_DigestData==>%d -- arguments sha1 dig buffer too "
                     "small",
                     KX_ERR_INVALID_LENGTH);
    }
    ckxstr digest = KXDigestASN1ByNID(data, dataLen, kSha1Nid);
    if (digest.empty())
      return KX_FAIL(kFn,
                     "SEBF_DigestData==>%d -- KXDigestByNID() digest error",
                     KX_ERR_DIGEST);
    return kx::DeliverOutput(digest.c_str(), digest.length(), out, outLen);
  }
  if (*outLen < kSm2DigestLength) {
    *outLen = kSm2DigestLength;
    return KX_FAIL(kFn,
                   "SEBF_DigestData==>%d -- arguments sm3 dig buffer too small",
                   KX_ERR_INVALID_LENGTH);
  }
  if (cert == nullptr)
    return KX_FAIL(kFn, "SEBF_DigestData==>%d -- the arg pchCert is NULL",
                   KX_ERR_INVALID_INPUT);
  // DER only here.
  const unsigned char* p = cert;
  kx::UniquePtr<X509> x509(
      certLen > 0x7FFFFFFFu
          ? nullptr
          : d2i_X509(nullptr, &p, static_cast<long>(certLen)));
  if (!x509)
    return KX_FAIL(kFn, "SEBF_DigestData==>%d -- d2i_X509() pchCert error",
                   KX_ERR_INVALID_CERT);
  const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(x509.get());
  shared_ptr<EC_POINT> point =
      key == nullptr
          ? shared_ptr<EC_POINT>()
          : KXStrToECPoint(ASN1_STRING_get0_data(key), ASN1_STRING_length(key));
  if (!point)
    return KX_FAIL(
        kFn, "SEBF_DigestData==>%d -- KXStrToECPoint() gen ecc hash error",
        KX_ERR_DIGEST);
  unsigned char e[32];
  if (SM2_do_dgst(e, data, dataLen, point.get()) != 1)
    return KX_FAIL(kFn, "SEBF_DigestData==>%d -- SM2_do_dgst() error",
                   KX_ERR_DIGEST);
  return kx::DeliverOutput(e, sizeof e, out, outLen);
}

extern "C" uint32_t SEBF_VerifyData(const unsigned char* data, uint32_t dataLen,
                                    const unsigned char* cert, uint32_t certLen,
                                    const unsigned char* signature,
                                    uint32_t signatureLen) {
  static const char kFn[] = "SEBF_VerifyData";
  if (data == nullptr || cert == nullptr || signature == nullptr)
    return KX_FAIL(kFn, "SEBF_VerifyData==>%d -- arguments error",
                   KX_ERR_INVALID_INPUT);
  // An SM2 key is read from the certificate's key bytes, so the certificate
  // is parsed without building a key object; other keys (RSA) need OpenSSL's
  // key object and the full parse.
  kx::KeylessX509 keyless = kx::ParseKeylessCert(cert, certLen);
  const bool sm2 =
      keyless && KXCertAlgo(X509_get_X509_PUBKEY(keyless.get())) == 2;
  shared_ptr<X509> x509 = sm2 ? shared_ptr<X509>() : ParseCert(cert, certLen);
  if (!sm2 && !x509)
    return KX_FAIL(kFn, "SEBF_VerifyData==>%d -- KXStrToX509() error",
                   KX_ERR_INVALID_CERT);
  X509* parsed = sm2 ? keyless.get() : x509.get();
  if (KXVerifyData(X509_get_X509_PUBKEY(parsed), data, dataLen, signature,
                   signatureLen) != 0)
    return KX_FAIL(kFn, "SEBF_VerifyData==>%d -- KXVerifyData() error",
                   KX_ERR_VERIFY);
  return 0;
}

extern "C" uint32_t SEBF_VerifyUserCertLink(void* reserved,
                                            const unsigned char* cert,
                                            uint32_t certLen,
                                            unsigned char checkPeriod,
                                            uint32_t certKind) {
  static const char kFn[] = "SEBF_VerifyUserCertLink";
  if (cert == nullptr)
    return KX_FAIL(kFn, "SEBF_VerifyUserCertLink==>%d -- arguments error",
                   KX_ERR_INVALID_INPUT);
  // Only the structure and the validity times are read: the keyless parse
  // serves DER certificates, the full parser Base64 and PEM ones.
  kx::KeylessX509 keyless = kx::ParseKeylessCert(cert, certLen);
  shared_ptr<X509> x509 = keyless ? shared_ptr<X509>() : ParseCert(cert, certLen);
  const X509* parsed = keyless ? keyless.get() : x509.get();
  if (parsed == nullptr)
    return KX_FAIL(kFn,
                   "SEBF_VerifyUserCertLink==>%d -- KXStrToX509() cert to x509 "
                   "error,invalid cert",
                   KX_ERR_INVALID_CERT);
  if (checkPeriod == 0) return 0;
  // KXASN1ToTime2 only reads the string.
  const long notBefore =
      KXASN1ToTime2(const_cast<ASN1_TIME*>(X509_get0_notBefore(parsed)));
  if (notBefore == -1)
    return KX_FAIL(kFn,
                   "SEBF_VerifyUserCertLink==>%d -- KXASN1ToTime() cert start "
                   "time error",
                   KX_ERR_TIME_FORMAT);
  const long notAfter =
      KXASN1ToTime2(const_cast<ASN1_TIME*>(X509_get0_notAfter(parsed)));
  if (notAfter == -1)
    return KX_FAIL(kFn,
                   "SEBF_VerifyUserCertLink==>%d -- KXASN1ToTime() cert end "
                   "time error",
                   KX_ERR_TIME_FORMAT);
  const long now = KXGetTime(false);
  if (now > notAfter || now < notBefore)
    return KX_FAIL(kFn, "SEBF_VerifyUserCertLink==>%d -- cert time expired",
                   KX_ERR_CERT_EXPIRED);
  return 0;
}
