// Digests by NID: libcrypto's MD5 and SHA family, our own SHA-0 and SM3.
#include <openssl/evp.h>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "digest_internal.h"
#include "sha0.h"
#include "sm3_internal.h"

namespace kx {
namespace {

// DigestInfo ::= SEQUENCE { AlgorithmIdentifier { OID, NULL }, OCTET STRING }
// up to the digest bytes (PKCS #1, RFC 8017 section 9.2 note 1).
const unsigned char kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08,
                                    0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d,
                                    0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
// SHA-0: the SHA-1 form with OID 1.3.14.3.2.18.
const unsigned char kSha0Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06,
                                     0x05, 0x2b, 0x0e, 0x03, 0x02,
                                     0x12, 0x05, 0x00, 0x04, 0x14};
const unsigned char kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06,
                                     0x05, 0x2b, 0x0e, 0x03, 0x02,
                                     0x1a, 0x05, 0x00, 0x04, 0x14};
const unsigned char kSha224Prefix[] = {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                       0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                       0x04, 0x05, 0x00, 0x04, 0x1c};
const unsigned char kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                       0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                       0x01, 0x05, 0x00, 0x04, 0x20};
const unsigned char kSha384Prefix[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                       0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                       0x02, 0x05, 0x00, 0x04, 0x30};
const unsigned char kSha512Prefix[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                       0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                       0x03, 0x05, 0x00, 0x04, 0x40};
// SM3: OID 1.2.156.10197.1.401 with NULL parameters.
const unsigned char kSm3Prefix[] = {0x30, 0x30, 0x30, 0x0c, 0x06, 0x08,
                                    0x2a, 0x81, 0x1c, 0xcf, 0x55, 0x01,
                                    0x83, 0x11, 0x05, 0x00, 0x04, 0x20};

#define KX_DIGEST(nid, size, prefix) \
  { nid, size, prefix, sizeof prefix }
const DigestEntry kDigests[] = {
    KX_DIGEST(kNidMd5, 16, kMd5Prefix),
    KX_DIGEST(kNidSha0, 20, kSha0Prefix),
    KX_DIGEST(kNidSha1, 20, kSha1Prefix),
    KX_DIGEST(kNidSha256, 32, kSha256Prefix),
    KX_DIGEST(kNidSha384, 48, kSha384Prefix),
    KX_DIGEST(kNidSha512, 64, kSha512Prefix),
    KX_DIGEST(kNidSha224, 28, kSha224Prefix),
    KX_DIGEST(kNidSm3, 32, kSm3Prefix),
};
#undef KX_DIGEST

const EVP_MD* LibcryptoDigest(int nid) {
  switch (nid) {
    case kNidMd5:
      return EVP_md5();
    case kNidSha1:
      return EVP_sha1();
    case kNidSha256:
      return EVP_sha256();
    case kNidSha384:
      return EVP_sha384();
    case kNidSha512:
      return EVP_sha512();
    case kNidSha224:
      return EVP_sha224();
    default:
      return nullptr;
  }
}

// The digest into a fresh ckxstr, optionally behind its DigestInfo prefix.
ckxstr DigestToStr(const void* data, uint32_t length, int nid, bool withPrefix,
                   bool logPass) {
  const DigestEntry* entry = FindDigest(nid);
  if (data == nullptr || entry == nullptr) return ckxstr();
  if (logPass && nid != kNidSm3)
    KX_LOG(KX_LOG_DEBUG, "KXDigestByNID", "==>nid is %d, EVP_MD end ", nid);
  unsigned char out[19 + 64];
  const size_t prefixLength = withPrefix ? entry->prefixLength : 0;
  for (size_t i = 0; i < prefixLength; ++i) out[i] = entry->prefix[i];
  if (!ComputeDigest(*entry, data, length, out + prefixLength)) return ckxstr();
  ckxstr result;
  if (!result.assign(out, static_cast<uint32_t>(prefixLength + entry->size)))
    return ckxstr();
  return result;
}

}  // namespace

const DigestEntry* FindDigest(int nid) {
  for (const DigestEntry& entry : kDigests)
    if (entry.nid == nid) return &entry;
  return nullptr;
}

bool ComputeDigest(const DigestEntry& entry, const void* data, size_t length,
                   unsigned char* out) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  if (entry.nid == kNidSm3) {
    Sm3Digest(bytes, length, out);
    return true;
  }
  if (entry.nid == kNidSha0) {
    Sha0Digest(bytes, length, out);
    return true;
  }
  unsigned int outLength = 0;
  return EVP_Digest(data, length, out, &outLength, LibcryptoDigest(entry.nid),
                    nullptr) == 1 &&
         outLength == entry.size;
}

}  // namespace kx

ckxstr KXDigestByNID(const void* data, uint32_t length, int nid) {
  return kx::DigestToStr(data, length, nid, false, true);
}

ckxstr KXDigestASN1ByNID(const void* data, uint32_t length, int nid) {
  return kx::DigestToStr(data, length, nid, true, false);
}
