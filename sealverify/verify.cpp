// SEF_OfdESealSign_Verify: is a seal signature valid for the caller's digest
// of the signed document data? The checks run in a fixed order and the first
// failure decides the result:
//   1. the signature decodes in its family;
//   2. the seal inside it was signed by its maker;
//   3. it carries a signer certificate;
//   4. with verifyCL on, that certificate is acceptable now;
//   5. the certificate parses as X.509;
//   6. the stored digest equals the caller's digest;
//   7. the signature verifies over the DER of the to-be-signed part.
#include <cstring>
#include <vector>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "SealCore.h"
#include "SealVerify.h"
#include "device/cert_keyless.h"
#include "formats_private.h"
#include "sealverify_internal.h"

namespace sv {
namespace {

namespace der = kx::der;
const char kVerify[] = "SEF_OfdESealSign_Verify";

const unsigned char* Bytes(const ASN1_STRING* s) {
  return s == nullptr ? nullptr : s->data;
}
unsigned int Length(const ASN1_STRING* s) {
  return s == nullptr || s->length < 0 ? 0u
                                       : static_cast<unsigned int>(s->length);
}

const unsigned char* NonNull(const unsigned char* p) {
  return p != nullptr ? p : reinterpret_cast<const unsigned char*>("");
}

// Maker check shared by the three seal families: with verifyCL on, the maker
// certificate must be acceptable (no period check); then the maker's
// signature must verify over `signedPart`. Each routine logs under its own
// name; the certificate-check line prints 5010 whatever code is returned.
struct MakerMessages {
  const char* routine;
  const char* arguments;
  const char* encode;
  const char* certLink;
  const char* verify;
};

unsigned int CheckMaker(const MakerMessages& m, const ASN1_OCTET_STRING* cert,
                        const std::vector<uint8_t>& signedPart,
                        const ASN1_BIT_STRING* signature) {
  if (GET_VERIFY_CERT_LIST_FLAG() == 1) {
    unsigned int rc = SEBF_VerifyUserCertLink(nullptr, NonNull(Bytes(cert)),
                                              Length(cert), 0, 1);
    if (rc != 0) {
      KX_LOG_ERR(m.routine, m.certLink, KX_ERR_INVALID_CERT);
      return rc;
    }
  }
  unsigned int rc = SEBF_VerifyData(
      signedPart.data(), static_cast<unsigned int>(signedPart.size()),
      NonNull(Bytes(cert)), Length(cert), NonNull(Bytes(signature)),
      Length(signature));
  if (rc != 0) KX_LOG_ERR(m.routine, m.verify, rc);
  return rc;
}

// Encodes the part of a seal that its maker signed; logs and returns false
// when that fails (no memory), so the signature is never checked over a
// missing buffer.
template <class T>
bool EncodeSignedPart(const MakerMessages& m, const T* part,
                      std::vector<uint8_t>* out) {
  if (der::Encode(part, out)) return true;
  KX_LOG_ERR(m.routine, m.encode, KX_ERR_INVALID_SEAL);
  return false;
}

unsigned int ES_VerifySealVaild(const kxsv::SESeal_t* seal) {
  static const MakerMessages m = {
      "ES_VerifySealVaild", "ES_VerifySealVaild-->%08x -- arguments error",
      "ES_VerifySealVaild-->%08x -- i2d_TBS_Seal() error",
      "ES_VerifySignVaild-->%08x -- SEBF_VerifyUserCertLink() error",
      "ES_VerifySealVaild-->%08x -- SEBF_VerifyData() error"};
  if (seal == nullptr || seal->esealInfo == nullptr ||
      seal->signInfo == nullptr) {
    KX_LOG_ERR(m.routine, m.arguments, KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  // The maker signed a TBS_Seal assembled from the seal's members; they are
  // borrowed, not copied, and the record only lives for the encoding.
  const kxsv::TBS_Seal_t tbs{seal->esealInfo, seal->signInfo->cert,
                             seal->signInfo->signatureAlgorithm};
  std::vector<uint8_t> signedPart;
  if (!EncodeSignedPart(m, &tbs, &signedPart)) return KX_ERR_INVALID_SEAL;
  return CheckMaker(m, seal->signInfo->cert, signedPart,
                    seal->signInfo->signData);
}

unsigned int ES_Gin_VerifySealVaild(const kxsv::GIN_SESeal_t* seal) {
  static const MakerMessages m = {
      "ES_Gin_VerifySealVaild",
      "ES_Gin_VerifySealVaild-->%08x -- arguments error",
      "ES_Gin_VerifySealVaild-->%08x -- i2d_GIN_SESSealInfo() error",
      "ES_Gin_VerifySealVaild-->%08x -- SEBF_VerifyUserCertLink() error",
      "ES_Gin_VerifySealVaild-->%08x -- SEBF_VerifyData() error"};
  if (seal == nullptr || seal->esealInfo == nullptr) {
    KX_LOG_ERR(m.routine, m.arguments, KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  std::vector<uint8_t> signedPart;
  if (!EncodeSignedPart(m, seal->esealInfo, &signedPart))
    return KX_ERR_INVALID_SEAL;
  return CheckMaker(m, seal->esealInfo->cert, signedPart, seal->signData);
}

unsigned int ES_Gov_VerifySealVaild(const kxsv::GOV_SESeal_t* seal) {
  static const MakerMessages m = {
      "ES_Gov_VerifySealVaild",
      "ES_Gov_VerifySealVaild-->%08x -- arguments error",
      "ES_Gov_VerifySealVaild-->%08x -- i2d_GOV_SESSealInfo() error",
      "ES_Gov_VerifySealVaild-->%08x -- SEBF_VerifyUserCertLink() error",
      "ES_Gov_VerifySealVaild-->%08x -- SEBF_VerifyData() error"};
  if (seal == nullptr || seal->esealInfo == nullptr) {
    KX_LOG_ERR(m.routine, m.arguments, KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  std::vector<uint8_t> signedPart;
  if (!EncodeSignedPart(m, seal->esealInfo, &signedPart))
    return KX_ERR_INVALID_SEAL;
  return CheckMaker(m, seal->cert, signedPart, seal->signData);
}

// The family-independent tail of the verification (steps 3 to 7). The
// messages differ per family; every line carries the name of the export.
struct SignerMessages {
  const char* noCert;
  const char* digest;
  const char* encode;
  const char* verify;
};

template <class Tbs>
unsigned int VerifySigner(const SignerMessages& m, const ASN1_OCTET_STRING* cert,
                          const ASN1_STRING* dataHash, const Tbs* tbsSign,
                          const ASN1_BIT_STRING* signature,
                          const unsigned char* pbData, unsigned int ulDataLen) {
  if (Length(cert) == 0) {
    KX_LOG_ERR(kVerify, m.noCert, KX_ERR_SEAL_PROPERTY);
    return KX_ERR_SEAL_PROPERTY;
  }
  if (GET_VERIFY_CERT_LIST_FLAG() == 1) {
    unsigned int rc =
        SEBF_VerifyUserCertLink(nullptr, Bytes(cert), Length(cert), 1, 0);
    if (rc != 0) {
      KX_LOG_ERR(kVerify,
                 "SEF_OfdESealSign_Verify==>%08x -- SEBF_VerifyUserCertLink() "
                 "error",
                 KX_ERR_INVALID_CERT);
      return rc;
    }
  }
  // Only whether the certificate parses matters here: the keyless parse
  // answers for DER, the full parser for Base64 and PEM (and confirms a
  // failure).
  if (!kx::ParseKeylessCert(Bytes(cert), Length(cert)) &&
      KXStrToX509(Bytes(cert), static_cast<int>(Length(cert))).get() == nullptr) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- KXStrToX509() error,invalid "
               "cert",
               KX_ERR_INVALID_CERT);
    return KX_ERR_INVALID_CERT;
  }
  const unsigned int hashLen = Length(dataHash);
  if (ulDataLen != hashLen ||
      (hashLen != 0 && std::memcmp(pbData, Bytes(dataHash), hashLen) != 0)) {
    KX_LOG_ERR(kVerify, m.digest, KX_ERR_DIGEST_MISMATCH);
    return KX_ERR_DIGEST_MISMATCH;
  }
  std::vector<uint8_t> tbs;
  if (!der::Encode(tbsSign, &tbs)) {
    KX_LOG_ERR(kVerify, m.encode, KX_ERR_INVALID_SEALSIGN);
    return KX_ERR_INVALID_SEALSIGN;
  }
  unsigned int rc = SEBF_VerifyData(
      tbs.data(), static_cast<unsigned int>(tbs.size()), Bytes(cert),
      Length(cert), NonNull(Bytes(signature)), Length(signature));
  if (rc != 0) KX_LOG_ERR(kVerify, m.verify, rc);
  return rc;
}

unsigned int VerifyGov(const unsigned char* pbData, unsigned int ulDataLen,
                       const unsigned char* sigData, unsigned int sigLen) {
  auto sig = der::Decode<kxsv::GOV_SESSignature_t>(sigData, sigLen);
  if (!sig || sig->tbsSign == nullptr) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- d2i_GOV_SESSignature() error",
               KX_ERR_INVALID_SEALSIGN);
    return KX_ERR_INVALID_SEALSIGN;
  }
  unsigned int rc = ES_Gov_VerifySealVaild(sig->tbsSign->eseal);
  if (rc != 0) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- ES_Gov_VerifySealVaild() error",
               rc);
    return rc;
  }
  static const SignerMessages kGov = {
      "SEF_OfdESealSign_Verify==>%08x -- govSeal cert in tbs sign error",
      "SEF_OfdESealSign_Verify==>%08x --govSeal verify esign datahash error",
      "SEF_OfdESealSign_Verify==>%08x -- i2d_GOV_TBS_Sign() error",
      "SEF_OfdESealSign_Verify==>%08x --govSeal SEBF_VerifyData() error"};
  return VerifySigner(kGov, sig->cert, sig->tbsSign->dataHash, sig->tbsSign,
                      sig->signature, pbData, ulDataLen);
}

unsigned int VerifyGin(const unsigned char* pbData, unsigned int ulDataLen,
                       const unsigned char* sigData, unsigned int sigLen) {
  auto sig = der::Decode<kxsv::GIN_SESSignature_t>(sigData, sigLen);
  if (!sig || sig->tbsSign == nullptr) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- d2i_GIN_SESSignature() error",
               KX_ERR_INVALID_SEALSIGN);
    return KX_ERR_INVALID_SEALSIGN;
  }
  const ASN1_OCTET_STRING* esealBytes = sig->tbsSign->eseal;
  auto seal = der::Decode<kxsv::GIN_SESeal_t>(Bytes(esealBytes),
                                              Length(esealBytes));
  if (!seal) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSignDataOnlyCertinKey_OnLine_Net==>%08x -- "
               "d2i_GIN_SESeal() error",
               KX_ERR_INVALID_SEAL);
    return KX_ERR_INVALID_SEAL;
  }
  unsigned int rc = ES_Gin_VerifySealVaild(seal.get());
  if (rc != 0) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- ES_Gin_VerifySealVaild() error",
               rc);
    return rc;
  }
  static const SignerMessages kGin = {
      "SEF_OfdESealSign_Verify==>%08x --ginSeal cert in tbs sign error",
      "SEF_ESealSign_Verify==>%08x --ginSeal verify esign datahash error",
      "ES_VerifySignVaild==>%08x --ginSeal i2d_GIN_TBS_Sign() error",
      "ES_VerifySignVaild==>%08x --ginSeal SEBF_VerifyData() error"};
  return VerifySigner(kGin, sig->tbsSign->cert, sig->tbsSign->dataHash,
                      sig->tbsSign, sig->signature, pbData, ulDataLen);
}

unsigned int VerifySes(const unsigned char* pbData, unsigned int ulDataLen,
                       const unsigned char* sigData, unsigned int sigLen) {
  auto sig = der::Decode<kxsv::SESSignature_t>(sigData, sigLen);
  if (!sig || sig->tbsSign == nullptr) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- d2i_SESSignature() error",
               KX_ERR_INVALID_SEALSIGN);
    return KX_ERR_INVALID_SEALSIGN;
  }
  unsigned int rc = ES_VerifySealVaild(sig->tbsSign->eseal);
  if (rc != 0) {
    KX_LOG_ERR(kVerify,
               "SEF_OfdESealSign_Verify==>%08x -- ES_VerifySignVaild() error", rc);
    return rc;
  }
  static const SignerMessages kSes = {
      "SEF_OfdESealSign_Verify==>%08x -- cert in tbs sign error",
      "SEF_ESealSign_Verify==>%08x -- verify esign datahash error",
      "ES_VerifySignVaild==>%08x -- i2d_TBS_Sign() error",
      "ES_VerifySignVaild==>%08x -- SEBF_VerifyData() error"};
  return VerifySigner(kSes, sig->tbsSign->cert, sig->tbsSign->dataHash,
                      sig->tbsSign, sig->signature, pbData, ulDataLen);
}

}  // namespace
}  // namespace sv

extern "C" unsigned int SEF_OfdESealSign_Verify(const unsigned char* pbData,
                                                unsigned int ulDataLen,
                                                const unsigned char* pbSignData,
                                                unsigned int ulSignDataLen) {
  using namespace sv;
  KX_LOG(KX_LOG_DEBUG, kVerify, "==>SEF_OfdESealSign_Verify begin ");
  if (pbData == nullptr || pbSignData == nullptr) {
    KX_LOG_ERR(kVerify, "SEF_OfdESealSign_Verify==>%08x -- arguments error",
               KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  try {
    unsigned int version = 0;
    unsigned int rc = ES_CheckSealSignVerson(pbSignData, ulSignDataLen, &version);
    if (rc != 0) {
      KX_LOG_ERR(kVerify,
                 "SEF_OfdESealSign_Verify==>%08x -- ES_CheckSealSignVerson() "
                 "error",
                 rc);
      return rc;
    }
    if (version == KX_SEAL_FAMILY_GOV)
      return VerifyGov(pbData, ulDataLen, pbSignData, ulSignDataLen);
    if (version == KX_SEAL_FAMILY_GIN)
      return VerifyGin(pbData, ulDataLen, pbSignData, ulSignDataLen);
    return VerifySes(pbData, ulDataLen, pbSignData, ulSignDataLen);
  } catch (...) {
    KX_LOG_ERR(kVerify, "SEF_OfdESealSign_Verify==>%08x -- memory error",
               KX_ERR_MEMORY);
    return KX_ERR_MEMORY;
  }
}
