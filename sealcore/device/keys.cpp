// The container whose signing key pair is the key of a certificate, and the
// seal owner check on an opened application.
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "KXCrypto.h"
#include "KXError.h"
#include "SealFormats.h"
#include "SealProperty.h"
#include "foundation/export_boundary.h"
#include "skf_table.h"

namespace {

using kx::skf::Container;
using Bytes = std::vector<unsigned char>;

const int kSm3Nid = 920;

void AppendDerLength(size_t length, Bytes* out) {
  if (length < 0x80) {
    out->push_back(static_cast<unsigned char>(length));
    return;
  }
  unsigned char bytes[sizeof(size_t)];
  int count = 0;
  for (size_t rest = length; rest != 0; rest >>= 8)
    bytes[count++] = static_cast<unsigned char>(rest & 0xFF);
  out->push_back(static_cast<unsigned char>(0x80 | count));
  while (count > 0) out->push_back(bytes[--count]);
}

// DER INTEGER of the unsigned big-endian magnitude `bytes`.
Bytes DerInteger(const unsigned char* bytes, size_t length) {
  while (length > 1 && bytes[0] == 0) {
    ++bytes;
    --length;
  }
  const bool pad = length == 0 || (bytes[0] & 0x80) != 0;
  Bytes out{0x02};
  AppendDerLength(length + (pad ? 1 : 0), &out);
  if (pad) out.push_back(0x00);
  out.insert(out.end(), bytes, bytes + length);
  return out;
}

// RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER } of
// an RSA public-key blob: the last BitLen/8 bytes of the modulus field and
// the blob's own exponent. Empty for a bit length the field cannot hold.
Bytes RsaPublicKeyOfBlob(const RSAPUBLICKEYBLOB& blob) {
  const size_t modulusLength = blob.BitLen / 8;
  if (modulusLength == 0 || modulusLength > sizeof blob.Modulus) return Bytes();
  const Bytes modulus = DerInteger(
      blob.Modulus + sizeof blob.Modulus - modulusLength, modulusLength);
  const Bytes exponent =
      DerInteger(blob.PublicExponent, sizeof blob.PublicExponent);
  Bytes out{0x30};
  AppendDerLength(modulus.size() + exponent.size(), &out);
  out.insert(out.end(), modulus.begin(), modulus.end());
  out.insert(out.end(), exponent.begin(), exponent.end());
  return out;
}

// 0x04 || X || Y of an SM2 public-key blob (32 bytes of each coordinate).
Bytes Sm2PointOfBlob(const ECCPUBLICKEYBLOB& blob) {
  Bytes out{0x04};
  out.insert(out.end(), blob.XCoordinate + 32, blob.XCoordinate + 64);
  out.insert(out.end(), blob.YCoordinate + 32, blob.YCoordinate + 64);
  return out;
}

bool SameBytes(const Bytes& bytes, const ASN1_BIT_STRING* key) {
  return key != nullptr &&
         bytes.size() == static_cast<size_t>(ASN1_STRING_length(key)) &&
         std::memcmp(bytes.data(), ASN1_STRING_get0_data(key), bytes.size()) ==
             0;
}

// The container list of `app`; a failed length query or read logs its line
// under `function` with the driver's code and answers that code.
uint32_t ListContainers(const char* function, HAPPLICATION app,
                        const char* sizeLine, const char* readLine,
                        std::vector<std::string>* names) {
  kx::skf::ListResult list =
      kx::skf::ReadList([app](char* buffer, ULONG* size) {
        return SKF_CALL(SKF_EnumContainer, app, buffer, size);
      });
  if (list.sizeCode != SAR_OK)
    return KX_FAIL(function, sizeLine, list.sizeCode);
  if (list.readCode != SAR_OK)
    return KX_FAIL(function, readLine, list.readCode);
  *names = std::move(list.names);
  return 0;
}

uint32_t FindPrivateSignKey(HAPPLICATION app, X509* cert, int alg,
                            void** marker) {
  static const char kFn[] = "SE_FindPrivateSignKey";
  KX_LOG(KX_LOG_DEBUG, kFn, "SEBF_FindPrivateSignKey==>begin");
  std::vector<std::string> containers;
  if (uint32_t code = ListContainers(
          kFn, app,
          "SE_FindPrivateSignKey-->%d -- SKF_EnumContainer() get conlist size "
          "error",
          "SE_FindPrivateSignKey-->%d -- SKF_EnumContainer() error",
          &containers))
    return code;
  KX_LOG(KX_LOG_DEBUG, kFn, "SEBF_FindPrivateSignKey==>EnumContainer end");
  const ASN1_BIT_STRING* certKey = X509_get0_pubkey_bitstr(cert);
  for (const std::string& name : containers) {
    KX_LOG(KX_LOG_DEBUG, kFn, "SE_FindPrivateSignKey-->find container %s",
           name.c_str());
    Container container;
    ULONG code = SKF_CALL(SKF_OpenContainer, app,
                          const_cast<LPSTR>(name.c_str()), container.Out());
    if (code != SAR_OK) {
      KX_LOG(KX_LOG_DEBUG, kFn, "SEBF_FindPrivateSignKey  end");
      return KX_FAIL(
          kFn, "SE_FindPrivateSignKey-->%d -- SKF_OpenContainer() error", code);
    }
    ULONG type = 0;
    code = SKF_CALL(SKF_GetContainerType, container.get(), &type);
    if (code != SAR_OK) {
      container.Close();
      KX_LOG(KX_LOG_DEBUG, kFn, "SEBF_FindPrivateSignKey  end");
      return KX_FAIL(kFn,
                     "SE_FindPrivateSignKey-->%d -- SKF_GetContainerType() "
                     "error",
                     code);
    }
    KX_LOG(KX_LOG_DEBUG, kFn,
           "SEBF_FindPrivateSignKey==>GetContainerType type is %d",
           static_cast<int>(type));
    if (static_cast<int>(type) != alg) continue;
    bool match = false;
    if (alg == 1) {
      KX_LOG(KX_LOG_DEBUG, kFn,
             "SEBF_FindPrivateSignKey==>GetContainerType end");
      RSAPUBLICKEYBLOB blob{};
      ULONG length = sizeof blob;
      if (SKF_CALL(SKF_ExportPublicKey, container.get(), TRUE,
                   reinterpret_cast<BYTE*>(&blob), &length) != SAR_OK)
        continue;
      KX_LOG(KX_LOG_DEBUG, kFn,
             "SEBF_FindPrivateSignKey==>ExportPublicKey end");
      match = SameBytes(RsaPublicKeyOfBlob(blob), certKey);
    } else if (alg == 2) {
      ECCPUBLICKEYBLOB blob{};
      ULONG length = sizeof blob;
      if (SKF_CALL(SKF_ExportPublicKey, container.get(), TRUE,
                   reinterpret_cast<BYTE*>(&blob), &length) != SAR_OK)
        continue;
      match = SameBytes(Sm2PointOfBlob(blob), certKey);
      KX_LOG(KX_LOG_DEBUG, kFn,
             match ? "SEBF_FindPrivateSignKey==>ExportPublicKey sm2 end"
                   : "SEBF_FindPrivateSignKey==>ExportPublicKey sm2 not same "
                     "with incert");
    }
    if (match) {
      // The handle tells the caller which container matched; it is closed.
      *marker = container.CloseKeepingValue();
      return 0;
    }
  }
  KX_LOG(KX_LOG_DEBUG, kFn, "SEBF_FindPrivateSignKey  end");
  return KX_FAIL(kFn,
                 "SE_FindPrivateSignKey-->%d -- find the device pubkey match "
                 "cert pubkey error",
                 KX_ERR_NO_UKEY);
}

// The seal's owner reference: its certificate (certificate mode) or the SM3
// DigestInfo of it (digest mode).
struct OwnerReference {
  Bytes value;
  bool digest = false;
};

uint32_t FetchProperty(unsigned int flag, const unsigned char* seal,
                       uint32_t sealLen, const char* sizeLine,
                       const char* fetchLine, Bytes* out) {
  static const char kFn[] = "SE_Verify_KEY_ESCert";
  unsigned int length = 0;
  unsigned int code =
      SE_GetESealProperty(flag, seal, sealLen, nullptr, &length);
  if (code != 0) return KX_FAIL(kFn, sizeLine, code);
  out->assign(length, 0);
  code = SE_GetESealProperty(flag, seal, sealLen, out->data(), &length);
  if (code != 0) return KX_FAIL(kFn, fetchLine, code);
  out->resize(length);
  return 0;
}

uint32_t OwnerOf(const unsigned char* seal, uint32_t sealLen,
                 OwnerReference* owner) {
  static const char kFn[] = "SE_Verify_KEY_ESCert";
  unsigned int version = 0;
  unsigned int code = SE_CheckSealVerson(seal, sealLen, &version);
  if (code != 0)
    return KX_FAIL(
        kFn, "SE_Verify_KEY_ESCert-->%d -- SE_CheckSealVerson() error", code);
  if (version == 3) {
    owner->digest = true;
    return FetchProperty(
        ES_OWNER_CERT_HASH, seal, sealLen,
        "SE_Verify_KEY_ESCert-->%d --ginSeal SE_GetESealProperty() get cert "
        "hash size error",
        "SE_Verify_KEY_ESCert-->%d --ginSeal SE_GetESealProperty() get cert "
        "hash error",
        &owner->value);
  }
  if (version == 4) {
    unsigned int length = 0;
    if (SE_GetESealProperty(ES_OWNER_CERT, seal, sealLen, nullptr, &length) ==
        0) {
      owner->value.assign(length, 0);
      code = SE_GetESealProperty(ES_OWNER_CERT, seal, sealLen,
                                 owner->value.data(), &length);
      if (code != 0)
        return KX_FAIL(kFn,
                       "SE_Verify_KEY_ESCert-->%d --govSeal "
                       "SE_GetESealProperty() get cert error",
                       code);
      owner->value.resize(length);
      return 0;
    }
    // The seal names its owner by digest only.
    owner->digest = true;
    return FetchProperty(
        ES_OWNER_CERT_HASH, seal, sealLen,
        "SE_Verify_KEY_ESCert-->%d --govSeal SE_GetESealProperty() get cert "
        "hash size error",
        "SE_Verify_KEY_ESCert-->%d --govSeal SE_GetESealProperty() get cert "
        "hash error",
        &owner->value);
  }
  return FetchProperty(
      ES_OWNER_CERT, seal, sealLen,
      "SE_Verify_KEY_ESCert-->%d -- SE_GetESealProperty() get cert size error",
      "SE_Verify_KEY_ESCert-->%d -- SE_GetESealProperty() get cert error",
      &owner->value);
}

uint32_t VerifyKeyESCert(HAPPLICATION app, const unsigned char* seal,
                         uint32_t sealLen) {
  static const char kFn[] = "SE_Verify_KEY_ESCert";
  OwnerReference owner;
  if (uint32_t code = OwnerOf(seal, sealLen, &owner)) return code;
  std::vector<std::string> containers;
  if (uint32_t code = ListContainers(
          kFn, app,
          "SE_Verify_KEY_ESCert-->%d -- SKF_EnumContainer() get conlist size "
          "error",
          "SE_Verify_KEY_ESCert-->%d -- SKF_EnumContainer() error",
          &containers))
    return code;
  for (const std::string& name : containers) {
    KX_LOG(KX_LOG_TRACE, kFn, "SE_Verify_KEY_ESCert-->find container %s",
           name.c_str());
    Container container;
    ULONG code = SKF_CALL(SKF_OpenContainer, app,
                          const_cast<LPSTR>(name.c_str()), container.Out());
    if (code != SAR_OK)
      return KX_FAIL(
          kFn, "SE_Verify_KEY_ESCert-->%d -- SKF_OpenContainer() error", code);
    ULONG length = 0;
    // A container without a signing certificate is skipped.
    if (SKF_CALL(SKF_ExportCertificate, container.get(), TRUE,
                 static_cast<BYTE*>(nullptr), &length) != SAR_OK)
      continue;
    Bytes cert(length);
    code = SKF_CALL(SKF_ExportCertificate, container.get(), TRUE, cert.data(),
                    &length);
    if (code != SAR_OK)
      return KX_FAIL(kFn,
                     "SE_Verify_KEY_ESCert-->%d -- SKF_ExportCertificate() "
                     "error",
                     code);
    if (length < cert.size()) cert.resize(length);
    if (owner.digest) {
      const ckxstr digest = KXDigestASN1ByNID(
          cert.data(), static_cast<uint32_t>(cert.size()), kSm3Nid);
      if (digest.empty())
        return KX_FAIL(kFn,
                       "SE_Verify_KEY_ESCert-->%d -- KXDigestByNID() error",
                       KX_ERR_DIGEST);
      // Seals name their owner by the SM3 DigestInfo, as devices compare
      // certificates, or by the bare SM3 value; either identifies it.
      const Bytes digestInfo(digest.c_str(), digest.c_str() + digest.length());
      const Bytes bare(
          digestInfo.size() >= 32 ? digestInfo.end() - 32 : digestInfo.begin(),
          digestInfo.end());
      if (owner.value == digestInfo || owner.value == bare) return 0;
      continue;
    }
    if (cert == owner.value) return 0;
  }
  return KX_FAIL(kFn,
                 "SE_Verify_KEY_ESCert-->%d -- verify the input eseal cert "
                 "error",
                 KX_ERR_CERT_NOT_FOUND);
}

}  // namespace

uint32_t SE_FindPrivateSignKey(void* app, X509* cert, int alg,
                               void** container) {
  if (cert == nullptr || container == nullptr)
    return KX_FAIL("SE_FindPrivateSignKey",
                   "SE_FindPrivateSignKey-->%d -- arguments error",
                   KX_ERR_INVALID_INPUT);
  return kx::GuardCode(DEVICE_EXPORT_FAILURE("SE_FindPrivateSignKey"), [&] {
    return FindPrivateSignKey(app, cert, alg, container);
  });
}

uint32_t SE_Verify_KEY_ESCert(void* app, const unsigned char* seal,
                              uint32_t sealLen) {
  if (seal == nullptr)
    return KX_FAIL("SE_Verify_KEY_ESCert",
                   "SE_Verify_KEY_ESCert-->%d -- arguments error",
                   KX_ERR_INVALID_INPUT);
  return kx::GuardCode(DEVICE_EXPORT_FAILURE("SE_Verify_KEY_ESCert"),
                       [&] { return VerifyKeyESCert(app, seal, sealLen); });
}
