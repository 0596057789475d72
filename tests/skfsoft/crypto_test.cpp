// The software key device's keys against OpenSSL: signatures it makes verify
// with OpenSSL and the reverse, its public-key blobs are the certificates'
// keys, its digests are OpenSSL's, and key pairs enveloped with OpenSSL's SM2
// and RSA encryption import.
#include <openssl/core_names.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>

#include <cstring>

#include "fixtures.h"
#include "skfsoft_kit.h"

namespace {

using kit::Bytes;
using skt::Root;
using skt::Session;

Bytes Cat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Digest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MD_get_size(md));
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr);
  return out;
}

Bytes Pad(const BIGNUM* bn, size_t length) {
  Bytes out(length);
  BN_bn2binpad(bn, out.data(), static_cast<int>(length));
  return out;
}

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA), all with OpenSSL.
Bytes Z(const Bytes& point) {
  std::unique_ptr<EC_GROUP, kit::Free> group(
      EC_GROUP_new_by_curve_name(NID_sm2));
  kit::Bn a(BN_new()), b(BN_new()), x(BN_new()), y(BN_new());
  EC_GROUP_get_curve(group.get(), nullptr, a.get(), b.get(), nullptr);
  EC_POINT_get_affine_coordinates(group.get(),
                                  EC_GROUP_get0_generator(group.get()), x.get(),
                                  y.get(), nullptr);
  const Bytes id(kit::kSm2Id, kit::kSm2Id + 16);
  return Digest(EVP_sm3(), Cat({{0x00, 0x80},
                                id,
                                Pad(a.get(), 32),
                                Pad(b.get(), 32),
                                Pad(x.get(), 32),
                                Pad(y.get(), 32),
                                Bytes(point.begin() + 1, point.end())}));
}

ECCPUBLICKEYBLOB Blob(const Bytes& point) {
  ECCPUBLICKEYBLOB blob = {};
  blob.BitLen = 256;
  if (point.size() != 65) return blob;
  std::memcpy(blob.XCoordinate + 32, point.data() + 1, 32);
  std::memcpy(blob.YCoordinate + 32, point.data() + 33, 32);
  return blob;
}

Bytes Point(const ECCPUBLICKEYBLOB& blob) {
  return Cat({{0x04},
              Bytes(blob.XCoordinate + 32, blob.XCoordinate + 64),
              Bytes(blob.YCoordinate + 32, blob.YCoordinate + 64)});
}

kit::Key KeyOfCert(const Bytes& der) {
  const unsigned char* p = der.data();
  kit::Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  return kit::Key(EVP_PKEY_dup(X509_get0_pubkey(cert.get())));
}

kit::Key ReadKeyFile(const std::string& path) {
  const std::string pem = ofdtest::Slurp(path);
  std::unique_ptr<BIO, kit::Free> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return kit::Key(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

Bytes RsaParam(EVP_PKEY* key, const char* name, size_t length) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  kit::Bn hold(bn);
  return Pad(bn, length);
}

// SHA-256 DigestInfo of `message` (RFC 8017).
Bytes DigestInfo(const Bytes& message) {
  return Cat({kit::FromHex("3031300d060960864801650304020105000420"),
              Digest(EVP_sha256(), message)});
}

Bytes Sm4Ecb(const Bytes& key, const Bytes& data, bool padding) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
      EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  Bytes out(data.size() + 16);
  int n = 0, last = 0;
  EVP_EncryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0);
  EVP_EncryptUpdate(ctx.get(), out.data(), &n, data.data(),
                    static_cast<int>(data.size()));
  EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &last);
  out.resize(static_cast<size_t>(n + last));
  return out;
}

TEST(SkfsoftSm2, SignaturesAgreeWithOpenSsl) {
  Root root;
  const fx::Credential& signer = fx::DefaultSigner();
  root.Put("c", skfsoft::kTypeFromKey, skt::Pem(signer.key.get()),
           signer.certDer);
  Session s;
  HCONTAINER c = s.Open("c");
  kit::Key certKey = KeyOfCert(signer.certDer);
  const Bytes message = skt::ToBytes("the document's digest input");
  const Bytes e =
      Digest(EVP_sm3(), Cat({Z(kit::PublicPoint(certKey.get())), message}));
  ECCPUBLICKEYBLOB blob;
  ULONG length = sizeof blob;
  ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(c, TRUE, reinterpret_cast<BYTE*>(&blob),
                                        &length));

  ECCSIGNATUREBLOB sig;
  EXPECT_EQ(SAR_USER_NOT_LOGGED_IN,
            SKF_ECCSignData(c, const_cast<BYTE*>(e.data()), 32, &sig));
  ASSERT_EQ(SAR_OK, s.Login());
  EXPECT_EQ(SAR_INDATALENERR,
            SKF_ECCSignData(c, const_cast<BYTE*>(e.data()), 31, &sig));
  ASSERT_EQ(SAR_OK, SKF_ECCSignData(c, const_cast<BYTE*>(e.data()), 32, &sig));
  EXPECT_EQ(Bytes(sig.r, sig.r + 32), Bytes(32, 0));
  std::unique_ptr<ECDSA_SIG, kit::Free> der(ECDSA_SIG_new());
  ECDSA_SIG_set0(der.get(), BN_bin2bn(sig.r + 32, 32, nullptr),
                 BN_bin2bn(sig.s + 32, 32, nullptr));
  unsigned char* encoded = nullptr;
  int encodedLength = i2d_ECDSA_SIG(der.get(), &encoded);
  Bytes signature(encoded, encoded + encodedLength);
  OPENSSL_free(encoded);
  EXPECT_TRUE(kit::OsslSm2Verify(certKey.get(), message, signature));

  // OpenSSL's signature verifies on the device; a changed digest does not.
  const Bytes theirs = kit::OsslSm2Sign(signer.key.get(), message);
  const unsigned char* p = theirs.data();
  der.reset(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(theirs.size())));
  ECCSIGNATUREBLOB other = {};
  BN_bn2binpad(ECDSA_SIG_get0_r(der.get()), other.r + 32, 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(der.get()), other.s + 32, 32);
  Bytes digest = e;
  EXPECT_EQ(SAR_OK, SKF_ECCVerify(s.dev, &blob, digest.data(), 32, &other));
  digest[0] ^= 1;
  EXPECT_EQ(SAR_HASHNOTEQUALERR,
            SKF_ECCVerify(s.dev, &blob, digest.data(), 32, &other));
}

TEST(SkfsoftRsa, SignaturesAgreeWithOpenSsl) {
  Root root;
  const fx::Credential& signer = fx::DefaultSigner(fx::KeyType::kRsa);
  root.Put("c", skfsoft::kTypeFromKey, skt::Pem(signer.key.get()),
           signer.certDer);
  Session s;
  HCONTAINER c = s.Open("c");
  ASSERT_EQ(SAR_OK, s.Login());
  const Bytes message = skt::ToBytes("signed with SHA-256");
  Bytes info = DigestInfo(message);
  ULONG length = 0;
  ASSERT_EQ(SAR_OK,
            SKF_RSASignData(c, info.data(), static_cast<ULONG>(info.size()),
                            nullptr, &length));
  ASSERT_EQ(length, 256u);
  Bytes signature(length);
  ASSERT_EQ(SAR_OK,
            SKF_RSASignData(c, info.data(), static_cast<ULONG>(info.size()),
                            signature.data(), &length));
  EXPECT_TRUE(fx::VerifyWithOpenSsl(signer.certDer, message, signature));
  Bytes tooLong(246, 1);
  EXPECT_EQ(SAR_INDATALENERR,
            SKF_RSASignData(c, tooLong.data(), 246, signature.data(), &length));

  RSAPUBLICKEYBLOB blob;
  length = sizeof blob;
  ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(c, TRUE, reinterpret_cast<BYTE*>(&blob),
                                        &length));
  Bytes theirs = kit::RsaSignBlock(signer.key.get(), info);
  EXPECT_EQ(
      SAR_OK,
      SKF_RSAVerify(s.dev, &blob, info.data(), static_cast<ULONG>(info.size()),
                    theirs.data(), static_cast<ULONG>(theirs.size())));
  info.back() ^= 1;
  EXPECT_EQ(
      SAR_HASHNOTEQUALERR,
      SKF_RSAVerify(s.dev, &blob, info.data(), static_cast<ULONG>(info.size()),
                    theirs.data(), static_cast<ULONG>(theirs.size())));
}

TEST(SkfsoftKeys, PublicKeyBlobsAreTheCertificateKeys) {
  std::unique_ptr<EVP_PKEY_CTX, kit::Free> gen(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  kit::Bn three(BN_new());
  BN_set_word(three.get(), 3);
  EVP_PKEY* raw = nullptr;
  ASSERT_TRUE(EVP_PKEY_keygen_init(gen.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(gen.get(), 1024) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(gen.get(), three.get()) ==
                  1 &&
              EVP_PKEY_keygen(gen.get(), &raw) == 1);
  fx::CertSpec exponent3;
  exponent3.keyType = fx::KeyType::kRsa;
  exponent3.key = std::shared_ptr<EVP_PKEY>(raw, EVP_PKEY_free);
  const fx::Credential rows[] = {fx::DefaultSigner(),
                                 fx::DefaultSigner(fx::KeyType::kRsa),
                                 fx::MakeCredential(exponent3)};
  Root root;
  for (const fx::Credential& row : rows) {
    const bool sm2 = row.keyType == fx::KeyType::kSm2;
    SCOPED_TRACE(sm2 ? "SM2" : "RSA");
    root.Put("c", skfsoft::kTypeFromKey, skt::Pem(row.key.get()), row.certDer);
    Session s;
    HCONTAINER c = s.Open("c");
    kit::Key key = KeyOfCert(row.certDer);
    ULONG length = 0;
    ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(c, TRUE, nullptr, &length));
    ASSERT_EQ(length, sm2 ? 132u : 268u);
    Bytes blob(length);
    length -= 1;
    EXPECT_EQ(SAR_BUFFER_TOO_SMALL,
              SKF_ExportPublicKey(c, TRUE, blob.data(), &length));
    ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(c, TRUE, blob.data(), &length));
    if (sm2) {
      const auto* ecc = reinterpret_cast<const ECCPUBLICKEYBLOB*>(blob.data());
      EXPECT_EQ(ULONG{ecc->BitLen}, 256u);
      EXPECT_EQ(Point(*ecc), kit::PublicPoint(key.get()));
      EXPECT_EQ(Bytes(ecc->XCoordinate, ecc->XCoordinate + 32), Bytes(32, 0));
    } else {
      const auto* rsa = reinterpret_cast<const RSAPUBLICKEYBLOB*>(blob.data());
      EXPECT_EQ(ULONG{rsa->AlgID}, static_cast<ULONG>(SGD_RSA));
      EXPECT_EQ(ULONG{rsa->BitLen},
                static_cast<ULONG>(EVP_PKEY_get_bits(key.get())));
      EXPECT_EQ(Bytes(rsa->Modulus, rsa->Modulus + 256),
                RsaParam(key.get(), OSSL_PKEY_PARAM_RSA_N, 256));
      EXPECT_EQ(Bytes(rsa->PublicExponent, rsa->PublicExponent + 4),
                RsaParam(key.get(), OSSL_PKEY_PARAM_RSA_E, 4));
    }
    EXPECT_EQ(SAR_KEYNOTFOUNTERR,
              SKF_ExportPublicKey(c, FALSE, nullptr, &length));
  }
}

TEST(SkfsoftDigest, AgreesWithOpenSsl) {
  Root root;
  Session s;
  struct Row {
    ULONG alg;
    const EVP_MD* md;
  };
  const Row rows[] = {
      {SGD_SM3, EVP_sm3()}, {SGD_SHA1, EVP_sha1()}, {SGD_SHA256, EVP_sha256()}};
  for (const Row& row : rows) {
    for (size_t size : {0, 3, 1000}) {
      SCOPED_TRACE(std::to_string(row.alg) + " " + std::to_string(size));
      Bytes data = kit::RandomBytes(size);
      const Bytes expected = Digest(row.md, data);
      // One call, after a length query that keeps the handle.
      HANDLE hash = nullptr;
      ASSERT_EQ(SAR_OK,
                SKF_DigestInit(s.dev, row.alg, nullptr, nullptr, 0, &hash));
      ULONG length = 0;
      ASSERT_EQ(SAR_OK, SKF_Digest(hash, data.data(), static_cast<ULONG>(size),
                                   nullptr, &length));
      Bytes out(length);
      ASSERT_EQ(SAR_OK, SKF_Digest(hash, data.data(), static_cast<ULONG>(size),
                                   out.data(), &length));
      EXPECT_EQ(out, expected);
      // In two updates.
      ASSERT_EQ(SAR_OK,
                SKF_DigestInit(s.dev, row.alg, nullptr, nullptr, 0, &hash));
      ASSERT_EQ(SAR_OK, SKF_DigestUpdate(hash, data.data(),
                                         static_cast<ULONG>(size / 3)));
      ASSERT_EQ(SAR_OK, SKF_DigestUpdate(hash, data.data() + size / 3,
                                         static_cast<ULONG>(size - size / 3)));
      EXPECT_EQ(SAR_HASHOBJERR,
                SKF_Digest(hash, out.data(), 1, out.data(), &length));
      ASSERT_EQ(SAR_OK, SKF_DigestFinal(hash, out.data(), &length));
      EXPECT_EQ(out, expected);
    }
  }
  HANDLE hash = nullptr;
  EXPECT_EQ(SAR_NOTSUPPORTYETERR,
            SKF_DigestInit(s.dev, SGD_SM4_ECB, nullptr, nullptr, 0, &hash));
}

TEST(SkfsoftDigest, Sm3WithTheSignersZ) {
  Root root;
  Session s;
  const Bytes point = kit::PublicPoint(fx::DefaultSigner().key.get());
  ECCPUBLICKEYBLOB blob = Blob(point);
  const Bytes message = skt::ToBytes("abc");
  HANDLE hash = nullptr;
  ASSERT_EQ(SAR_OK, SKF_DigestInit(s.dev, SGD_SM3, &blob,
                                   reinterpret_cast<unsigned char*>(
                                       const_cast<char*>(kit::kSm2Id)),
                                   16, &hash));
  Bytes out(32);
  ULONG length = 32;
  ASSERT_EQ(SAR_OK, SKF_Digest(hash, const_cast<BYTE*>(message.data()), 3,
                               out.data(), &length));
  EXPECT_EQ(out, Digest(EVP_sm3(), Cat({Z(point), message})));
  blob.YCoordinate[63] ^= 1;  // off the curve
  EXPECT_EQ(SAR_INVALIDPARAMERR,
            SKF_DigestInit(s.dev, SGD_SM3, &blob,
                           reinterpret_cast<unsigned char*>(
                               const_cast<char*>(kit::kSm2Id)),
                           16, &hash));
}

TEST(SkfsoftKeys, GeneratedKeyPairsWorkWithOpenSsl) {
  Root root;
  root.Put("g", skfsoft::kTypeRsa, "");
  Session s;
  HCONTAINER c = s.Open("g");
  ECCPUBLICKEYBLOB ecc;
  EXPECT_EQ(SAR_USER_NOT_LOGGED_IN, SKF_GenECCKeyPair(c, SGD_SM2_1, &ecc));
  ASSERT_EQ(SAR_OK, s.Login());
  EXPECT_EQ(SAR_NOTSUPPORTYETERR, SKF_GenECCKeyPair(c, SGD_SM2_3, &ecc));
  ASSERT_EQ(SAR_OK, SKF_GenECCKeyPair(c, SGD_SM2_1, &ecc));
  ULONG type = 0;
  ASSERT_EQ(SAR_OK, SKF_GetContainerType(c, &type));
  EXPECT_EQ(type,
            static_cast<ULONG>(SKF_CONTAINER_ECC));  // the stated type follows
  kit::Key stored = ReadKeyFile(root.App("containers/g/sign.key"));
  ASSERT_TRUE(stored);
  EXPECT_EQ(kit::PublicPoint(stored.get()), Point(ecc));
  const Bytes message = skt::ToBytes("generated");
  Bytes e = Digest(EVP_sm3(), Cat({Z(Point(ecc)), message}));
  ECCSIGNATUREBLOB sig;
  ASSERT_EQ(SAR_OK, SKF_ECCSignData(c, e.data(), 32, &sig));
  std::unique_ptr<ECDSA_SIG, kit::Free> der(ECDSA_SIG_new());
  ECDSA_SIG_set0(der.get(), BN_bin2bn(sig.r + 32, 32, nullptr),
                 BN_bin2bn(sig.s + 32, 32, nullptr));
  unsigned char* encoded = nullptr;
  int encodedLength = i2d_ECDSA_SIG(der.get(), &encoded);
  Bytes signature(encoded, encoded + encodedLength);
  OPENSSL_free(encoded);
  EXPECT_TRUE(kit::OsslSm2Verify(stored.get(), message, signature));

  RSAPUBLICKEYBLOB rsa;
  EXPECT_EQ(SAR_RSAMODULUSLENERR, SKF_GenRSAKeyPair(c, 1000, &rsa));
  ASSERT_EQ(SAR_OK, SKF_GenRSAKeyPair(c, 1024, &rsa));
  EXPECT_EQ(ULONG{rsa.BitLen}, 1024u);
  stored = ReadKeyFile(root.App("containers/g/sign.key"));
  ASSERT_TRUE(stored && EVP_PKEY_is_a(stored.get(), "RSA"));
  EXPECT_EQ(Bytes(rsa.Modulus, rsa.Modulus + 256),
            RsaParam(stored.get(), OSSL_PKEY_PARAM_RSA_N, 256));
}

TEST(SkfsoftKeys, EnvelopedSm2KeyPairImports) {
  Root root;
  const fx::Credential& signer = fx::DefaultSigner();
  root.Put("c", skfsoft::kTypeFromKey, skt::Pem(signer.key.get()),
           signer.certDer);
  kit::Key enc = kit::Sm2Key();
  const Bytes encPoint = kit::PublicPoint(enc.get());
  const Bytes session = kit::RandomBytes(16);
  // OpenSSL's SM2 encryption: SEQUENCE { x, y, C3 hash, C2 cipher }.
  kit::Key signerKey = KeyOfCert(signer.certDer);
  std::unique_ptr<EVP_PKEY_CTX, kit::Free> ctx(
      EVP_PKEY_CTX_new(signerKey.get(), nullptr));
  Bytes cipher(256);
  size_t cipherLength = cipher.size();
  ASSERT_TRUE(EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), cipher.data(), &cipherLength,
                               session.data(), 16) == 1);
  const unsigned char* p = cipher.data();
  std::unique_ptr<ASN1_SEQUENCE_ANY, void (*)(ASN1_SEQUENCE_ANY*)> parts(
      d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(cipherLength)),
      [](ASN1_SEQUENCE_ANY* s) { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); });
  ASSERT_TRUE(parts && sk_ASN1_TYPE_num(parts.get()) == 4);
  Bytes envelope(sizeof(ENVELOPEDKEYBLOB) + 15);
  auto* blob = reinterpret_cast<ENVELOPEDKEYBLOB*>(envelope.data());
  blob->Version = 1;
  blob->ulSymmAlgID = SGD_SM4_ECB;
  blob->ulBits = 256;
  kit::Bn d = kit::PrivateScalar(enc.get());
  const Bytes encrypted =
      Sm4Ecb(session, Cat({Bytes(32, 0), Pad(d.get(), 32)}), false);
  std::memcpy(blob->cbEncryptedPriKey, encrypted.data(), 64);
  blob->PubKey = Blob(encPoint);
  for (int i = 0; i < 2; ++i) {
    kit::Bn coordinate(ASN1_INTEGER_to_BN(
        sk_ASN1_TYPE_value(parts.get(), i)->value.integer, nullptr));
    BN_bn2binpad(coordinate.get(),
                 (i == 0 ? blob->ECCCipherBlob.XCoordinate
                         : blob->ECCCipherBlob.YCoordinate) +
                     32,
                 32);
  }
  const ASN1_OCTET_STRING* hash =
      sk_ASN1_TYPE_value(parts.get(), 2)->value.octet_string;
  const ASN1_OCTET_STRING* c2 =
      sk_ASN1_TYPE_value(parts.get(), 3)->value.octet_string;
  ASSERT_EQ(ASN1_STRING_length(hash), 32);
  ASSERT_EQ(ASN1_STRING_length(c2), 16);
  std::memcpy(blob->ECCCipherBlob.HASH, ASN1_STRING_get0_data(hash), 32);
  blob->ECCCipherBlob.CipherLen = 16;
  std::memcpy(blob->ECCCipherBlob.Cipher, ASN1_STRING_get0_data(c2), 16);

  Session s;
  HCONTAINER c = s.Open("c");
  EXPECT_EQ(SAR_USER_NOT_LOGGED_IN, SKF_ImportECCKeyPair(c, blob));
  ASSERT_EQ(SAR_OK, s.Login());
  struct Row {
    const char* what;
    std::function<void(ENVELOPEDKEYBLOB*)> change;
    ULONG result;
  };
  const Row rows[] = {
      {"another public key",
       [&](ENVELOPEDKEYBLOB* b) {
         b->PubKey = Blob(kit::PublicPoint(signerKey.get()));
       },
       SAR_INDATAERR},
      {"changed C3", [](ENVELOPEDKEYBLOB* b) { b->ECCCipherBlob.HASH[5] ^= 1; },
       SAR_INDATAERR},
      {"changed C2",
       [](ENVELOPEDKEYBLOB* b) { b->ECCCipherBlob.Cipher[0] ^= 1; },
       SAR_INDATAERR},
      {"SM1", [](ENVELOPEDKEYBLOB* b) { b->ulSymmAlgID = SGD_SM1_ECB; },
       SAR_NOTSUPPORTYETERR},
      {"as sent", [](ENVELOPEDKEYBLOB*) {}, SAR_OK},
  };
  for (const Row& row : rows) {
    Bytes copy = envelope;
    auto* changed = reinterpret_cast<ENVELOPEDKEYBLOB*>(copy.data());
    row.change(changed);
    EXPECT_EQ(row.result, SKF_ImportECCKeyPair(c, changed)) << row.what;
  }
  ECCPUBLICKEYBLOB exported;
  ULONG length = sizeof exported;
  ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(
                        c, FALSE, reinterpret_cast<BYTE*>(&exported), &length));
  EXPECT_EQ(Point(exported), encPoint);
  kit::Key stored = ReadKeyFile(root.App("containers/c/enc.key"));
  ASSERT_TRUE(stored);
  EXPECT_EQ(BN_cmp(kit::PrivateScalar(stored.get()).get(), d.get()), 0);
}

TEST(SkfsoftKeys, EnvelopedRsaKeyPairImports) {
  Root root;
  const fx::Credential& signer = fx::DefaultSigner(fx::KeyType::kRsa);
  root.Put("c", skfsoft::kTypeFromKey, skt::Pem(signer.key.get()),
           signer.certDer);
  kit::Key enc = kit::RsaKey(1024);
  const Bytes session = kit::RandomBytes(16);
  kit::Key signerKey = KeyOfCert(signer.certDer);
  std::unique_ptr<EVP_PKEY_CTX, kit::Free> ctx(
      EVP_PKEY_CTX_new(signerKey.get(), nullptr));
  Bytes wrapped(256);
  size_t wrappedLength = wrapped.size();
  ASSERT_TRUE(EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &wrappedLength,
                               session.data(), 16) == 1);
  RSAPRIVATEKEYBLOB key = {};
  key.AlgID = SGD_RSA;
  key.BitLen = 1024;
  const auto put = [&](BYTE* field, size_t fieldLength, const char* name,
                       size_t length) {
    Bytes value = RsaParam(enc.get(), name, length);
    std::memcpy(field + fieldLength - length, value.data(), length);
  };
  put(key.Modulus, 256, OSSL_PKEY_PARAM_RSA_N, 128);
  put(key.PublicExponent, 4, OSSL_PKEY_PARAM_RSA_E, 4);
  put(key.PrivateExponent, 256, OSSL_PKEY_PARAM_RSA_D, 128);
  put(key.Prime1, 128, OSSL_PKEY_PARAM_RSA_FACTOR1, 64);
  put(key.Prime2, 128, OSSL_PKEY_PARAM_RSA_FACTOR2, 64);
  put(key.Prime1Exponent, 128, OSSL_PKEY_PARAM_RSA_EXPONENT1, 64);
  put(key.Prime2Exponent, 128, OSSL_PKEY_PARAM_RSA_EXPONENT2, 64);
  put(key.Coefficient, 128, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 64);
  const BYTE* raw = reinterpret_cast<const BYTE*>(&key);
  Bytes encrypted = Sm4Ecb(session, Bytes(raw, raw + sizeof key), true);
  Session s;
  HCONTAINER c = s.Open("c");
  ASSERT_EQ(SAR_OK, s.Login());
  wrapped[10] ^= 1;
  EXPECT_EQ(
      SAR_RSADECERR,
      SKF_ImportRSAKeyPair(c, SGD_SM4_ECB, wrapped.data(),
                           static_cast<ULONG>(wrappedLength), encrypted.data(),
                           static_cast<ULONG>(encrypted.size())));
  wrapped[10] ^= 1;
  ASSERT_EQ(SAR_OK, SKF_ImportRSAKeyPair(c, SGD_SM4_ECB, wrapped.data(),
                                         static_cast<ULONG>(wrappedLength),
                                         encrypted.data(),
                                         static_cast<ULONG>(encrypted.size())));
  RSAPUBLICKEYBLOB exported;
  ULONG length = sizeof exported;
  ASSERT_EQ(SAR_OK, SKF_ExportPublicKey(
                        c, FALSE, reinterpret_cast<BYTE*>(&exported), &length));
  EXPECT_EQ(Bytes(exported.Modulus, exported.Modulus + 256),
            RsaParam(enc.get(), OSSL_PKEY_PARAM_RSA_N, 256));
}

}  // namespace
