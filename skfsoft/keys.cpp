// Key pairs of the software key device: container types, public-key blobs,
// SM2 and RSA signatures, key generation and the import of enveloped key
// pairs. SM2 signing and verification and SM3 are libKXCommon's; RSA, SM4,
// random numbers and PEM are libcrypto's.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <array>
#include <cstring>

#include "KXSM.h"
#include "crypto/openssl_ptr.h"
#include "driver.h"

using kx::UniquePtr;
using skfsoft::Container;
using skfsoft::DeviceLock;
using skfsoft::EccBlobPoint;
using skfsoft::Export;
using skfsoft::Fd;
using skfsoft::Handles;
using skfsoft::ReadStatus;

namespace {

const size_t kSm2FieldLength = 32;       // bytes of a coordinate, of r, of s
const size_t kSm2SessionKeyLength = 16;  // SM4 key of an enveloped key pair
const ULONG kSm2Bits = 256;
const size_t kBlobField = 64;  // ECC fields hold up to 512 bits
const int kMinRsaBits = 1024;
const int kMaxRsaBits = MAX_RSA_MODULUS_LEN * 8;

// BIGNUMs that hold private values are wiped when freed.
struct ClearBn {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
using SecretBn = std::unique_ptr<BIGNUM, ClearBn>;

// Bytes that held a secret are wiped when they go.
template <size_t N>
struct SecretBytes {
  std::array<unsigned char, N> bytes{};
  ~SecretBytes() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  unsigned char* data() { return bytes.data(); }
};
struct SecretText {
  std::string text;
  ~SecretText() { OPENSSL_cleanse(&text[0], text.size()); }
};

enum KeyKind : ULONG {
  kNoKey = SKF_CONTAINER_EMPTY,
  kRsaKey = SKF_CONTAINER_RSA,
  kSm2Key = SKF_CONTAINER_ECC,
};

UniquePtr<EC_GROUP> Sm2Group() {
  return UniquePtr<EC_GROUP>(EC_GROUP_new_by_curve_name(NID_sm2));
}

KeyKind KindOf(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "RSA")) return kRsaKey;
  if (EVP_PKEY_is_a(key, "SM2")) return kSm2Key;
  // An EC key on the SM2 curve (as written by tools that do not tag SM2).
  char group[64] = {0};
  size_t length = 0;
  if (EVP_PKEY_is_a(key, "EC") &&
      EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group,
                                     sizeof group, &length) == 1 &&
      std::strcmp(group, "SM2") == 0)
    return kSm2Key;
  return kNoKey;
}

// Encrypted PEM keys are not read: there is no one to ask for a passphrase.
int NoPassphrase(char*, int, int, void*) { return -1; }

UniquePtr<EVP_PKEY> ParseKey(const std::string& pem) {
  if (pem.size() > 0x7FFFFFFF) return nullptr;
  UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return UniquePtr<EVP_PKEY>(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
}

// PKCS#8 PEM text of a private key.
bool KeyToPem(EVP_PKEY* key, SecretText* pem) {
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0,
                                       nullptr, nullptr) != 1)
    return false;
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  if (length <= 0 || data == nullptr) return false;
  pem->text.assign(data, static_cast<size_t>(length));
  OPENSSL_cleanse(data, static_cast<size_t>(length));
  return true;
}

struct Key {
  UniquePtr<EVP_PKEY> pkey;
  KeyKind kind = kNoKey;
};

// The signing (sign.key) or encryption (enc.key) key pair of a container:
// SAR_KEYNOTFOUNTERR when there is none, SAR_KEYINFOTYPEERR when it is
// neither an RSA nor an SM2 private key.
ULONG LoadKey(const Container& container, bool sign, Key* key) {
  Fd dir;
  ULONG rc = skfsoft::OpenContainerFolder(container, &dir);
  if (rc != SAR_OK) return rc;
  SecretText pem;
  switch (skfsoft::ReadFileAt(
      dir.get(), sign ? skfsoft::kSignKey : skfsoft::kEncKey, &pem.text)) {
    case ReadStatus::kOk:
      break;
    case ReadStatus::kMissing:
      return SAR_KEYNOTFOUNTERR;
    default:
      return SAR_READFILEERR;
  }
  key->pkey = ParseKey(pem.text);
  key->kind = key->pkey ? KindOf(key->pkey.get()) : kNoKey;
  return key->kind == kNoKey ? SAR_KEYINFOTYPEERR : SAR_OK;
}

// 04 || X || Y of a point of the SM2 curve.
bool PointBytes(const EC_GROUP* group, const EC_POINT* point,
                unsigned char out[65]) {
  return EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, out,
                            65, nullptr) == 65;
}

// The public point d*G of an SM2 private value d in [1, n-2].
bool Sm2PublicOf(const BIGNUM* d, unsigned char pub[65]) {
  UniquePtr<EC_GROUP> group = Sm2Group();
  if (!group) return false;
  UniquePtr<BIGNUM> limit(BN_dup(EC_GROUP_get0_order(group.get())));
  if (!limit || !BN_sub_word(limit.get(), 1) || BN_is_zero(d) ||
      BN_is_negative(d) || BN_cmp(d, limit.get()) >= 0)
    return false;
  UniquePtr<EC_POINT> q(EC_POINT_new(group.get()));
  return q &&
         EC_POINT_mul(group.get(), q.get(), d, nullptr, nullptr, nullptr) ==
             1 &&
         PointBytes(group.get(), q.get(), pub);
}

// The private value of an SM2 key and its public point, computed rather
// than trusted from the file.
bool Sm2Private(EVP_PKEY* key, SecretBn* d, unsigned char pub[65]) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1)
    return false;
  d->reset(raw);
  return Sm2PublicOf(d->get(), pub);
}

// A key on the SM2 curve from d and its public point (libcrypto's key
// management types keys on that curve as SM2; the PEM is an EC key).
UniquePtr<EVP_PKEY> Sm2Key(const BIGNUM* d, const unsigned char pub[65]) {
  UniquePtr<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
  if (!build ||
      OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME,
                                      "SM2", 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY,
                                       pub, 65) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, d) != 1)
    return nullptr;
  UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build.get()));
  UniquePtr<EVP_PKEY_CTX> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1)
    return nullptr;
  return UniquePtr<EVP_PKEY>(key);
}

// `value` right-aligned in a zeroed big-endian field.
void PutRight(BYTE* field, size_t fieldLength, const unsigned char* value,
              size_t length) {
  std::memset(field, 0, fieldLength);
  std::memcpy(field + fieldLength - length, value, length);
}

// The last `length` bytes of a field, when every byte before them is zero.
bool TakeRight(const BYTE* field, size_t fieldLength, size_t length,
               const unsigned char** value) {
  if (length > fieldLength) return false;
  for (size_t i = 0; i < fieldLength - length; ++i)
    if (field[i] != 0) return false;
  *value = field + fieldLength - length;
  return true;
}

ECCPUBLICKEYBLOB EccBlob(const unsigned char pub[65]) {
  ECCPUBLICKEYBLOB blob;
  blob.BitLen = kSm2Bits;
  PutRight(blob.XCoordinate, kBlobField, pub + 1, kSm2FieldLength);
  PutRight(blob.YCoordinate, kBlobField, pub + 1 + kSm2FieldLength,
           kSm2FieldLength);
  return blob;
}

UniquePtr<BIGNUM> RsaParam(EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  EVP_PKEY_get_bn_param(key, name, &raw);
  return UniquePtr<BIGNUM>(raw);
}

// The RSA public-key blob: the modulus and the key's own exponent,
// big-endian and right-aligned; BitLen is the modulus length in whole bytes.
ULONG RsaBlob(EVP_PKEY* key, RSAPUBLICKEYBLOB* blob) {
  UniquePtr<BIGNUM> n = RsaParam(key, OSSL_PKEY_PARAM_RSA_N);
  UniquePtr<BIGNUM> e = RsaParam(key, OSSL_PKEY_PARAM_RSA_E);
  if (!n || !e) return SAR_KEYINFOTYPEERR;
  if (BN_num_bytes(n.get()) > MAX_RSA_MODULUS_LEN) return SAR_MODULUSLENERR;
  if (BN_num_bytes(e.get()) > MAX_RSA_EXPONENT_LEN) return SAR_KEYINFOTYPEERR;
  std::memset(blob, 0, sizeof *blob);
  blob->AlgID = SGD_RSA;
  blob->BitLen = static_cast<ULONG>(BN_num_bytes(n.get())) * 8;
  if (BN_bn2binpad(n.get(), blob->Modulus, MAX_RSA_MODULUS_LEN) < 0 ||
      BN_bn2binpad(e.get(), blob->PublicExponent, MAX_RSA_EXPONENT_LEN) < 0)
    return SAR_FAIL;
  return SAR_OK;
}

// A value of BitLen / divisor bits at the right of a blob field.
UniquePtr<BIGNUM> BlobNumber(const BYTE* field, size_t fieldLength,
                             ULONG bitLen, ULONG divisor) {
  const unsigned char* value = nullptr;
  if (!TakeRight(field, fieldLength, bitLen / 8 / divisor, &value))
    return nullptr;
  return UniquePtr<BIGNUM>(
      BN_bin2bn(value, static_cast<int>(bitLen / 8 / divisor), nullptr));
}

bool RsaBitsAllowed(ULONG bits) {
  return bits >= static_cast<ULONG>(kMinRsaBits) &&
         bits <= static_cast<ULONG>(kMaxRsaBits) && bits % 16 == 0;
}

// An RSA key from named big numbers (public: n and e; private: all eight).
UniquePtr<EVP_PKEY> RsaKey(
    const std::vector<std::pair<const char*, const BIGNUM*>>& parts,
    int selection) {
  UniquePtr<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
  if (!build) return nullptr;
  for (const auto& [name, value] : parts)
    if (value == nullptr ||
        OSSL_PARAM_BLD_push_BN(build.get(), name, value) != 1)
      return nullptr;
  UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build.get()));
  UniquePtr<EVP_PKEY_CTX> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) != 1)
    return nullptr;
  return UniquePtr<EVP_PKEY>(key);
}

UniquePtr<EVP_PKEY> RsaPublicKey(const RSAPUBLICKEYBLOB& blob) {
  if (!RsaBitsAllowed(blob.BitLen)) return nullptr;
  UniquePtr<BIGNUM> n =
      BlobNumber(blob.Modulus, MAX_RSA_MODULUS_LEN, blob.BitLen, 1);
  UniquePtr<BIGNUM> e(
      BN_bin2bn(blob.PublicExponent, MAX_RSA_EXPONENT_LEN, nullptr));
  if (!n || !e || BN_is_zero(e.get())) return nullptr;
  return RsaKey(
      {{OSSL_PKEY_PARAM_RSA_N, n.get()}, {OSSL_PKEY_PARAM_RSA_E, e.get()}},
      EVP_PKEY_PUBLIC_KEY);
}

// SM4-ECB without padding; the input is whole blocks.
bool Sm4EcbDecrypt(const unsigned char key[16], const unsigned char* in,
                   size_t length, unsigned char* out) {
  if (length % 16 != 0 || length > 0x7FFFFFFF) return false;
  UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  int last = 0;
  return ctx &&
         EVP_DecryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key, nullptr) ==
             1 &&
         EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
         EVP_DecryptUpdate(ctx.get(), out, &written, in,
                           static_cast<int>(length)) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), out + written, &last) == 1 &&
         static_cast<size_t>(written + last) == length;
}

void Sm3(const std::vector<std::pair<const unsigned char*, size_t>>& parts,
         unsigned char out[32]) {
  SM3_CTX_1 ctx;
  SM3_Init_1(&ctx);
  for (const auto& [data, length] : parts)
    SM3_Update_1(&ctx, data, static_cast<uint32_t>(length));
  SM3_Final_1(&ctx, out);
}

// SM2 decryption (GB/T 32918.4) of a session key:
//   (x2, y2) = d * C1;  t = KDF(x2 || y2, klen);  M = C2 xor t;
//   accepted when t is not all zero and C3 = SM3(x2 || M || y2).
// KDF(Z, klen) = SM3(Z || 1) || SM3(Z || 2) || ..., cut to klen bytes.
bool Sm2DecryptKey(const BIGNUM* d, const ECCCIPHERBLOB& blob,
                   const unsigned char* cipher, unsigned char* key) {
  unsigned char c1[65];
  ECCPUBLICKEYBLOB point;
  point.BitLen = kSm2Bits;
  std::memcpy(point.XCoordinate, blob.XCoordinate, kBlobField);
  std::memcpy(point.YCoordinate, blob.YCoordinate, kBlobField);
  UniquePtr<EC_GROUP> group = Sm2Group();
  if (!group || !EccBlobPoint(point, c1)) return false;
  UniquePtr<EC_POINT> p(EC_POINT_new(group.get()));
  // A point off the curve is refused here; the cofactor is 1, so any point
  // on it but infinity is of order n.
  if (!p ||
      EC_POINT_oct2point(group.get(), p.get(), c1, sizeof c1, nullptr) != 1 ||
      EC_POINT_is_at_infinity(group.get(), p.get()) ||
      EC_POINT_mul(group.get(), p.get(), nullptr, p.get(), d, nullptr) != 1)
    return false;
  SecretBytes<65> shared;
  if (!PointBytes(group.get(), p.get(), shared.data())) return false;
  const unsigned char* x2 = shared.data() + 1;
  const unsigned char* y2 = shared.data() + 1 + kSm2FieldLength;
  SecretBytes<32> t;
  const unsigned char counter[4] = {0, 0, 0, 1};  // one block: klen <= 32
  Sm3({{x2, 64}, {counter, 4}}, t.data());
  unsigned char any = 0;
  for (size_t i = 0; i < kSm2SessionKeyLength; ++i) {
    any |= t.data()[i];
    key[i] = cipher[i] ^ t.data()[i];
  }
  unsigned char check[32];
  Sm3({{x2, kSm2FieldLength},
       {key, kSm2SessionKeyLength},
       {y2, kSm2FieldLength}},
      check);
  return any != 0 && CRYPTO_memcmp(check, blob.HASH, sizeof check) == 0;
}

// Writes a key file of the container under the device lock and, when the
// container states its type, the type of the new signing key.
ULONG StoreKey(const Container& container, bool sign, EVP_PKEY* key,
               KeyKind kind) {
  SecretText pem;
  if (!KeyToPem(key, &pem)) return SAR_FAIL;
  DeviceLock lock;
  ULONG rc = skfsoft::LockDevice(*container.application->device, &lock);
  if (rc != SAR_OK) return rc;
  Fd dir;
  rc = skfsoft::OpenContainerFolder(container, &dir);
  if (rc != SAR_OK) return rc;
  if (!skfsoft::WriteFileAtomic(lock, dir.get(),
                                sign ? skfsoft::kSignKey : skfsoft::kEncKey,
                                pem.text))
    return SAR_WRITEFILEERR;
  std::string ini;
  if (sign && skfsoft::ReadFileAt(dir.get(), skfsoft::kContainerIni, &ini) ==
                  ReadStatus::kOk) {
    skfsoft::IniText text(ini);
    text.Set("Type", std::to_string(kind));
    if (!skfsoft::WriteFileAtomic(lock, dir.get(), skfsoft::kContainerIni,
                                  text.text()))
      return SAR_WRITEFILEERR;
  }
  return SAR_OK;
}

// The container of a handle whose application verified the user PIN.
ULONG UserContainer(HCONTAINER handle, std::shared_ptr<Container>* out) {
  *out = Handles().Get<Container>(handle);
  if (!*out) return SAR_INVALIDHANDLEERR;
  return skfsoft::RequireUser(*(*out)->application);
}

}  // namespace

namespace skfsoft {

bool EccBlobPoint(const ECCPUBLICKEYBLOB& blob, unsigned char pub[65]) {
  const unsigned char* x = nullptr;
  const unsigned char* y = nullptr;
  if (blob.BitLen != kSm2Bits ||
      !TakeRight(blob.XCoordinate, kBlobField, kSm2FieldLength, &x) ||
      !TakeRight(blob.YCoordinate, kBlobField, kSm2FieldLength, &y))
    return false;
  pub[0] = 0x04;
  std::memcpy(pub + 1, x, kSm2FieldLength);
  std::memcpy(pub + 1 + kSm2FieldLength, y, kSm2FieldLength);
  return true;
}

}  // namespace skfsoft

ULONG SKF_GetContainerType(HCONTAINER hContainer, ULONG* pulContainerType) {
  return Export("SKF_GetContainerType", [&](const char* fn) -> ULONG {
    auto container = Handles().Get<Container>(hContainer);
    if (!container)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a container handle");
    if (pulContainerType == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no type pointer");
    Fd dir;
    ULONG rc = skfsoft::OpenContainerFolder(*container, &dir);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "container is gone");
    std::string ini;
    if (skfsoft::ReadFileAt(dir.get(), skfsoft::kContainerIni, &ini) ==
        ReadStatus::kOk) {
      const unsigned long type = skfsoft::IniText(ini).GetNumber("Type", 99);
      if (type <= SKF_CONTAINER_ECC) {
        *pulContainerType = static_cast<ULONG>(type);
        return SAR_OK;
      }
    }
    // No stated type: the signing key tells; a container without a usable
    // one is empty.
    Key key;
    *pulContainerType =
        LoadKey(*container, true, &key) == SAR_OK ? key.kind : kNoKey;
    return SAR_OK;
  });
}

ULONG SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE* pbBlob,
                          ULONG* pulBlobLen) {
  return Export("SKF_ExportPublicKey", [&](const char* fn) -> ULONG {
    auto container = Handles().Get<Container>(hContainer);
    if (!container)
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a container handle");
    if (pulBlobLen == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no length pointer");
    Key key;
    ULONG rc = LoadKey(*container, bSignFlag != FALSE, &key);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no usable key pair");
    if (key.kind == kRsaKey) {
      RSAPUBLICKEYBLOB blob;
      rc = RsaBlob(key.pkey.get(), &blob);
      if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "RSA key does not fit a blob");
      rc = skfsoft::Deliver(&blob, sizeof blob, pbBlob, pulBlobLen);
    } else {
      SecretBn d;
      unsigned char pub[65];
      if (!Sm2Private(key.pkey.get(), &d, pub))
        return SKFSOFT_FAIL(SAR_KEYINFOTYPEERR, "SM2 key out of range");
      const ECCPUBLICKEYBLOB blob = EccBlob(pub);
      rc = skfsoft::Deliver(&blob, sizeof blob, pbBlob, pulBlobLen);
    }
    return rc == SAR_OK ? rc : SKFSOFT_FAIL(rc, "blob buffer too small");
  });
}

// ---------------------------------------------------------------------------
// SM2

ULONG SKF_GenECCKeyPair(HCONTAINER hContainer, ULONG ulAlgId,
                        ECCPUBLICKEYBLOB* pBlob) {
  return Export("SKF_GenECCKeyPair", [&](const char* fn) -> ULONG {
    std::shared_ptr<Container> container;
    ULONG rc = UserContainer(hContainer, &container);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no container or no user PIN");
    if (pBlob == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no blob pointer");
    if (ulAlgId != SGD_SM2_1)
      return SKFSOFT_FAIL(SAR_NOTSUPPORTYETERR, "only SM2 signing keys");
    UniquePtr<EC_GROUP> group = Sm2Group();
    SecretBn d(BN_secure_new());
    UniquePtr<BIGNUM> range(group ? BN_dup(EC_GROUP_get0_order(group.get()))
                                  : nullptr);
    // d uniform in [1, n-2]: a draw below n-2, plus one.
    unsigned char pub[65];
    UniquePtr<EC_POINT> q(group ? EC_POINT_new(group.get()) : nullptr);
    if (!d || !range || !q || !BN_sub_word(range.get(), 2) ||
        BN_priv_rand_range(d.get(), range.get()) != 1 ||
        !BN_add_word(d.get(), 1) ||
        EC_POINT_mul(group.get(), q.get(), d.get(), nullptr, nullptr,
                     nullptr) != 1 ||
        !PointBytes(group.get(), q.get(), pub))
      return SKFSOFT_FAIL(SAR_GENRANDERR, "key generation failed");
    UniquePtr<EVP_PKEY> key = Sm2Key(d.get(), pub);
    if (!key) return SKFSOFT_FAIL(SAR_FAIL, "cannot build the key");
    rc = StoreKey(*container, true, key.get(), kSm2Key);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot store the key");
    *pBlob = EccBlob(pub);
    return SAR_OK;
  });
}

// Signs the digest e = SM3(Z || M) that the caller prepared.
ULONG SKF_ECCSignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                      PECCSIGNATUREBLOB pSignature) {
  return Export("SKF_ECCSignData", [&](const char* fn) -> ULONG {
    std::shared_ptr<Container> container;
    ULONG rc = UserContainer(hContainer, &container);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no container or no user PIN");
    if (pbData == nullptr || pSignature == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "null argument");
    if (ulDataLen != kSm2FieldLength)
      return SKFSOFT_FAIL(SAR_INDATALENERR, "the digest must be 32 bytes");
    Key key;
    rc = LoadKey(*container, true, &key);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no signing key");
    SecretBn d;
    unsigned char pub[65];
    if (key.kind != kSm2Key || !Sm2Private(key.pkey.get(), &d, pub))
      return SKFSOFT_FAIL(SAR_KEYINFOTYPEERR, "not an SM2 signing key");
    UniquePtr<ECDSA_SIG> sig(ECDSA_SIG_new());
    if (!sig || SM2_do_sign(sig.get(), pbData, d.get()) != 1)
      return SKFSOFT_FAIL(SAR_FAIL, "SM2 signing failed");
    unsigned char r[32];
    unsigned char s[32];
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), r, sizeof r) < 0 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), s, sizeof s) < 0)
      return SKFSOFT_FAIL(SAR_FAIL, "signature out of range");
    PutRight(pSignature->r, kBlobField, r, sizeof r);
    PutRight(pSignature->s, kBlobField, s, sizeof s);
    return SAR_OK;
  });
}

// SAR_OK for a valid signature of the 32-byte digest, SAR_HASHNOTEQUALERR
// for one that does not verify.
ULONG SKF_ECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB* pECCPubKeyBlob,
                    BYTE* pbData, ULONG ulDataLen,
                    PECCSIGNATUREBLOB pSignature) {
  return Export("SKF_ECCVerify", [&](const char* fn) -> ULONG {
    if (!Handles().Get<skfsoft::Device>(hDev))
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a device handle");
    if (pECCPubKeyBlob == nullptr || pbData == nullptr || pSignature == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "null argument");
    if (ulDataLen != kSm2FieldLength)
      return SKFSOFT_FAIL(SAR_INDATALENERR, "the digest must be 32 bytes");
    unsigned char pub[65];
    if (!EccBlobPoint(*pECCPubKeyBlob, pub))
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "not a 256-bit public key");
    shared_ptr<EC_POINT> point = KXStrToECPoint(pub, sizeof pub);
    if (!point) return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "point off the curve");
    const unsigned char* r = nullptr;
    const unsigned char* s = nullptr;
    // r and s below 2^256; larger values cannot be valid.
    if (!TakeRight(pSignature->r, kBlobField, kSm2FieldLength, &r) ||
        !TakeRight(pSignature->s, kBlobField, kSm2FieldLength, &s))
      return SKFSOFT_FAIL(SAR_HASHNOTEQUALERR, "signature out of range");
    UniquePtr<ECDSA_SIG> sig(ECDSA_SIG_new());
    UniquePtr<BIGNUM> rn(BN_bin2bn(r, kSm2FieldLength, nullptr));
    UniquePtr<BIGNUM> sn(BN_bin2bn(s, kSm2FieldLength, nullptr));
    if (!sig || !rn || !sn ||
        ECDSA_SIG_set0(sig.get(), rn.get(), sn.get()) != 1)
      return SKFSOFT_FAIL(SAR_MEMORYERR, "cannot hold the signature");
    rn.release();  // owned by sig now
    sn.release();  // owned by sig now
    // The inputs are checked; what is left to fail is the signature.
    if (SM2_do_verify(pbData, sig.get(), point.get()) != 1)
      return SKFSOFT_FAIL(SAR_HASHNOTEQUALERR, "signature does not verify");
    return SAR_OK;
  });
}

// The enveloped key pair becomes the container's encryption key pair: its
// SM4 session key is SM2-encrypted to the container's signing key, the
// private key SM4-ECB encrypted under it.
ULONG SKF_ImportECCKeyPair(HCONTAINER hContainer,
                           PENVELOPEDKEYBLOB pEnvelopedKeyBlob) {
  return Export("SKF_ImportECCKeyPair", [&](const char* fn) -> ULONG {
    std::shared_ptr<Container> container;
    ULONG rc = UserContainer(hContainer, &container);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no container or no user PIN");
    if (pEnvelopedKeyBlob == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no enveloped key");
    const ENVELOPEDKEYBLOB& envelope = *pEnvelopedKeyBlob;
    if (envelope.ulSymmAlgID != SGD_SM4_ECB)
      return SKFSOFT_FAIL(SAR_NOTSUPPORTYETERR, "only SM4-ECB envelopes");
    if (envelope.ulBits != kSm2Bits)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "not a 256-bit key");
    // The session key's cipher text runs past the record's one-byte Cipher
    // field; the caller's buffer holds CipherLen bytes there.
    if (envelope.ECCCipherBlob.CipherLen != kSm2SessionKeyLength)
      return SKFSOFT_FAIL(SAR_INDATALENERR, "session key is not 16 bytes");
    Key signing;
    rc = LoadKey(*container, true, &signing);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no signing key");
    SecretBn signingD;
    unsigned char signingPub[65];
    if (signing.kind != kSm2Key ||
        !Sm2Private(signing.pkey.get(), &signingD, signingPub))
      return SKFSOFT_FAIL(SAR_KEYINFOTYPEERR, "signing key is not SM2");
    SecretBytes<16> sessionKey;
    if (!Sm2DecryptKey(signingD.get(), envelope.ECCCipherBlob,
                       envelope.ECCCipherBlob.Cipher, sessionKey.data()))
      return SKFSOFT_FAIL(SAR_INDATAERR, "session key does not decrypt");
    SecretBytes<64> privateField;
    if (!Sm4EcbDecrypt(sessionKey.data(), envelope.cbEncryptedPriKey,
                       sizeof envelope.cbEncryptedPriKey, privateField.data()))
      return SKFSOFT_FAIL(SAR_INDATAERR, "private key does not decrypt");
    const unsigned char* value = nullptr;
    SecretBn d;
    if (TakeRight(privateField.data(), kBlobField, kSm2FieldLength, &value))
      d.reset(BN_bin2bn(value, kSm2FieldLength, nullptr));
    unsigned char pub[65];
    unsigned char stated[65];
    // The decrypted private key must be the one of the stated public key.
    if (!d || !Sm2PublicOf(d.get(), pub) ||
        !EccBlobPoint(envelope.PubKey, stated) ||
        std::memcmp(pub, stated, sizeof pub) != 0)
      return SKFSOFT_FAIL(SAR_INDATAERR, "private key does not match PubKey");
    UniquePtr<EVP_PKEY> key = Sm2Key(d.get(), pub);
    if (!key) return SKFSOFT_FAIL(SAR_FAIL, "cannot build the key");
    rc = StoreKey(*container, false, key.get(), kSm2Key);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot store the key");
    return SAR_OK;
  });
}

// ---------------------------------------------------------------------------
// RSA

ULONG SKF_GenRSAKeyPair(HCONTAINER hContainer, ULONG ulBitsLen,
                        RSAPUBLICKEYBLOB* pBlob) {
  return Export("SKF_GenRSAKeyPair", [&](const char* fn) -> ULONG {
    std::shared_ptr<Container> container;
    ULONG rc = UserContainer(hContainer, &container);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no container or no user PIN");
    if (pBlob == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "no blob pointer");
    if (ulBitsLen != 1024 && ulBitsLen != 2048)
      return SKFSOFT_FAIL(SAR_RSAMODULUSLENERR, "modulus not 1024 or 2048");
    UniquePtr<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA",
                                              static_cast<size_t>(ulBitsLen)));
    if (!key) return SKFSOFT_FAIL(SAR_GENRSAKEYERR, "key generation failed");
    RSAPUBLICKEYBLOB blob;
    rc = RsaBlob(key.get(), &blob);
    if (rc == SAR_OK) rc = StoreKey(*container, true, key.get(), kRsaKey);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot store the key");
    *pBlob = blob;
    return SAR_OK;
  });
}

// PKCS#1 v1.5 type-1 padding of the given bytes (a DigestInfo, usually),
// then the private-key operation.
ULONG SKF_RSASignData(HCONTAINER hContainer, BYTE* pbData, ULONG ulDataLen,
                      BYTE* pbSignature, ULONG* pulSignLen) {
  return Export("SKF_RSASignData", [&](const char* fn) -> ULONG {
    std::shared_ptr<Container> container;
    ULONG rc = UserContainer(hContainer, &container);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no container or no user PIN");
    if (pbData == nullptr || ulDataLen == 0 || pulSignLen == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "null argument");
    Key key;
    rc = LoadKey(*container, true, &key);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no signing key");
    if (key.kind != kRsaKey)
      return SKFSOFT_FAIL(SAR_KEYINFOTYPEERR, "not an RSA signing key");
    const size_t modulusLength =
        static_cast<size_t>(EVP_PKEY_get_size(key.pkey.get()));
    // Type-1 padding needs at least 11 bytes.
    if (ulDataLen + 11 > modulusLength)
      return SKFSOFT_FAIL(SAR_INDATALENERR, "data too long for the modulus");
    UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.pkey.get(), nullptr));
    std::vector<unsigned char> signature(modulusLength);
    size_t length = signature.size();
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &length, pbData,
                      ulDataLen) != 1 ||
        length != modulusLength)
      return SKFSOFT_FAIL(SAR_FAIL, "RSA signing failed");
    // A length query signs too: the answer is the signature's own length.
    rc = skfsoft::Deliver(signature.data(), length, pbSignature, pulSignLen);
    return rc == SAR_OK ? rc : SKFSOFT_FAIL(rc, "signature buffer too small");
  });
}

// SAR_OK when the signature is the PKCS#1 v1.5 type-1 padded data,
// SAR_HASHNOTEQUALERR when it is not.
ULONG SKF_RSAVerify(DEVHANDLE hDev, RSAPUBLICKEYBLOB* pRSAPubKeyBlob,
                    BYTE* pbData, ULONG ulDataLen, BYTE* pbSignature,
                    ULONG ulSignLen) {
  return Export("SKF_RSAVerify", [&](const char* fn) -> ULONG {
    if (!Handles().Get<skfsoft::Device>(hDev))
      return SKFSOFT_FAIL(SAR_INVALIDHANDLEERR, "not a device handle");
    if (pRSAPubKeyBlob == nullptr || pbData == nullptr || ulDataLen == 0 ||
        pbSignature == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "null argument");
    UniquePtr<EVP_PKEY> key = RsaPublicKey(*pRSAPubKeyBlob);
    if (!key) return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "not an RSA public key");
    if (ulSignLen != pRSAPubKeyBlob->BitLen / 8)
      return SKFSOFT_FAIL(SAR_HASHNOTEQUALERR, "signature of another length");
    UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
      return SKFSOFT_FAIL(SAR_FAIL, "cannot set up the verification");
    // 1: valid; 0: the padding or the data differ; below 0: a failure.
    const int verdict =
        EVP_PKEY_verify(ctx.get(), pbSignature, ulSignLen, pbData, ulDataLen);
    if (verdict == 1) return SAR_OK;
    return verdict == 0
               ? SKFSOFT_FAIL(SAR_HASHNOTEQUALERR, "signature does not verify")
               : SKFSOFT_FAIL(SAR_FAIL, "RSA verification failed");
  });
}

// The session key is RSA PKCS#1 v1.5 encrypted to the container's signing
// key; the RSAPRIVATEKEYBLOB is SM4-ECB encrypted under it (the last block
// padded in any way). It becomes the container's encryption key pair.
ULONG SKF_ImportRSAKeyPair(HCONTAINER hContainer, ULONG ulSymAlgId,
                           BYTE* pbWrappedKey, ULONG ulWrappedKeyLen,
                           BYTE* pbEncryptedData, ULONG ulEncryptedDataLen) {
  return Export("SKF_ImportRSAKeyPair", [&](const char* fn) -> ULONG {
    std::shared_ptr<Container> container;
    ULONG rc = UserContainer(hContainer, &container);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no container or no user PIN");
    if (pbWrappedKey == nullptr || ulWrappedKeyLen == 0 ||
        pbEncryptedData == nullptr)
      return SKFSOFT_FAIL(SAR_INVALIDPARAMERR, "null argument");
    if (ulSymAlgId != SGD_SM4_ECB)
      return SKFSOFT_FAIL(SAR_NOTSUPPORTYETERR, "only SM4-ECB envelopes");
    const size_t blobLength = sizeof(RSAPRIVATEKEYBLOB);
    if (ulEncryptedDataLen % 16 != 0 || ulEncryptedDataLen < blobLength ||
        ulEncryptedDataLen >= blobLength + 16)
      return SKFSOFT_FAIL(SAR_INDATALENERR, "not an encrypted key blob");
    Key signing;
    rc = LoadKey(*container, true, &signing);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "no signing key");
    if (signing.kind != kRsaKey)
      return SKFSOFT_FAIL(SAR_KEYINFOTYPEERR, "signing key is not RSA");
    UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(signing.pkey.get(), nullptr));
    SecretBytes<MAX_RSA_MODULUS_LEN> session;
    size_t sessionLength = MAX_RSA_MODULUS_LEN;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), session.data(), &sessionLength,
                         pbWrappedKey, ulWrappedKeyLen) != 1 ||
        sessionLength != 16)
      return SKFSOFT_FAIL(SAR_RSADECERR, "session key does not decrypt");
    SecretBytes<blobLength + 16> plain;
    if (!Sm4EcbDecrypt(session.data(), pbEncryptedData, ulEncryptedDataLen,
                       plain.data()))
      return SKFSOFT_FAIL(SAR_INDATAERR, "key blob does not decrypt");
    RSAPRIVATEKEYBLOB blob;
    std::memcpy(&blob, plain.data(), blobLength);
    const ULONG bits = blob.BitLen;
    const size_t half = MAX_RSA_MODULUS_LEN / 2;
    std::vector<UniquePtr<BIGNUM>> parts;
    if (blob.AlgID == SGD_RSA && RsaBitsAllowed(bits)) {
      parts.push_back(BlobNumber(blob.Modulus, MAX_RSA_MODULUS_LEN, bits, 1));
      parts.emplace_back(
          BN_bin2bn(blob.PublicExponent, MAX_RSA_EXPONENT_LEN, nullptr));
      parts.push_back(
          BlobNumber(blob.PrivateExponent, MAX_RSA_MODULUS_LEN, bits, 1));
      parts.push_back(BlobNumber(blob.Prime1, half, bits, 2));
      parts.push_back(BlobNumber(blob.Prime2, half, bits, 2));
      parts.push_back(BlobNumber(blob.Prime1Exponent, half, bits, 2));
      parts.push_back(BlobNumber(blob.Prime2Exponent, half, bits, 2));
      parts.push_back(BlobNumber(blob.Coefficient, half, bits, 2));
    }
    OPENSSL_cleanse(&blob, sizeof blob);
    if (parts.size() != 8)
      return SKFSOFT_FAIL(SAR_INDATAERR, "not an RSA private key blob");
    const char* names[8] = {
        OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
        OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
        OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    std::vector<std::pair<const char*, const BIGNUM*>> named;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (parts[i]) BN_set_flags(parts[i].get(), BN_FLG_CONSTTIME);
      named.emplace_back(names[i], parts[i].get());
    }
    UniquePtr<EVP_PKEY> key = RsaKey(named, EVP_PKEY_KEYPAIR);
    for (auto& part : parts)
      if (part) BN_clear(part.get());
    UniquePtr<EVP_PKEY_CTX> check(key ? EVP_PKEY_CTX_new(key.get(), nullptr)
                                      : nullptr);
    // The parts must make one consistent key pair.
    if (!check || EVP_PKEY_check(check.get()) != 1)
      return SKFSOFT_FAIL(SAR_INDATAERR, "inconsistent RSA key pair");
    rc = StoreKey(*container, false, key.get(), kRsaKey);
    if (rc != SAR_OK) return SKFSOFT_FAIL(rc, "cannot store the key");
    return SAR_OK;
  });
}
