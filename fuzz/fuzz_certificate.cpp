// Untrusted certificate and signature bytes through the parsers and every
// helper that reads a parsed certificate. Each input is copied into a buffer
// of exactly its size so that a read past the end is caught.
#include <cstdint>
#include <cstring>
#include <vector>

#include "KXCrypto.h"
#include "KXSM.h"
#include "SealCore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::vector<uint8_t> copy(data, data + size);
  const int length = static_cast<int>(size);
  shared_ptr<X509> cert = KXStrToX509(copy.data(), length);
  if (cert) {
    const X509_PUBKEY* key = X509_get_X509_PUBKEY(cert.get());
    const STACK_OF(X509_EXTENSION)* exts = X509_get0_extensions(cert.get());
    KXGetX509Name(X509_get_subject_name(cert.get()), 0);
    KXGetX509Name(X509_get_issuer_name(cert.get()), NID_commonName);
    KXGetSubjectKeyId(exts);
    KXGetAuthorKeyId(exts);
    KXCertAlgo(key);
    KXCertType(key);
    KXSignType(cert.get());
    KXASN1ToStr(X509_get0_serialNumber(cert.get()));
    KXVerifyX509(cert.get(), key);
    KXX509ToStr(cert.get(), true);
  }
  SEBF_VerifyUserCertLink(nullptr, copy.data(), static_cast<uint32_t>(size), 1,
                          0);
  unsigned char e[32];
  uint32_t eLength = sizeof e;
  SEBF_DigestData(920, copy.data(), static_cast<uint32_t>(size), copy.data(),
                  static_cast<uint32_t>(size), e, &eLength);
  KXStrToECSig(copy.data(), length);
  KXStrToECPoint(copy.data(), length);
  return 0;
}
