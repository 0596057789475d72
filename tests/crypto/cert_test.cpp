// Certificate parsing, encoding, names, key identifiers and key types.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "KXCrypto.h"
#include "KXError.h"
#include "crypto/crypto_kit.h"

namespace {

using kit::Bytes;

Bytes Of(const ckxstr& s) { return Bytes(s.c_str(), s.c_str() + s.length()); }
std::string Text(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

TEST(Cert, ParsesDerBase64AndPem) {
  kit::Key key = kit::Sm2Key();
  kit::Cert cert = kit::MakeCert(key.get(), key.get());
  const Bytes der = kit::Der(cert.get());
  const std::string b64 = kit::Base64(der);
  const std::string pem = kit::Pem(cert.get());
  ASSERT_EQ(b64.substr(0, 3), "MII");

  struct Row {
    const char* name;
    const void* bytes;
    int length;
  } rows[] = {
      {"DER", der.data(), static_cast<int>(der.size())},
      {"Base64", b64.data(), static_cast<int>(b64.size())},
      {"PEM", pem.data(), static_cast<int>(pem.size())},
      {"PEM up to the NUL", pem.c_str(), -1},
  };
  for (const Row& row : rows) {
    shared_ptr<X509> parsed = KXStrToX509(row.bytes, row.length);
    ASSERT_TRUE(parsed) << row.name;
    EXPECT_EQ(kit::Der(parsed.get()), der) << row.name;
  }
  EXPECT_EQ(Of(KXX509ToStr(cert.get(), false)), der);
  EXPECT_EQ(Text(KXX509ToStr(cert.get(), true)), pem);
  EXPECT_TRUE(KXX509ToStr(nullptr, false).empty());
}

TEST(Cert, RefusesWhatDoesNotParse) {
  kit::Key key = kit::RsaKey();
  kit::Cert cert = kit::MakeCert(key.get(), key.get());
  const Bytes der = kit::Der(cert.get());
  struct Row {
    const char* name;
    Bytes bytes;
  } rows[] = {
      {"truncated DER", Bytes(der.begin(), der.end() - 1)},
      {"DER header only", Bytes(der.begin(), der.begin() + 4)},
      {"Base64 garbage", Bytes{'M', 'I', 'I', '*', '*'}},
      {"text", Bytes{'h', 'e', 'l', 'l', 'o'}},
      {"one byte", Bytes{0x30}},
  };
  for (const Row& row : rows) {
    KXSetLastError(0);
    EXPECT_FALSE(
        KXStrToX509(row.bytes.data(), static_cast<int>(row.bytes.size())))
        << row.name;
    EXPECT_EQ(KXGetLastError(), KX_ERR_INVALID_CERT) << row.name;
  }
  EXPECT_FALSE(KXStrToX509(nullptr, 10));
  EXPECT_FALSE(KXStrToX509(der.data(), 0));
}

TEST(Cert, NamesAndKeyTypes) {
  kit::Key rsa = kit::RsaKey(2048), sm2 = kit::Sm2Key(), p256 = kit::P256Key();
  kit::CertOptions o;
  o.subject = "Name";
  kit::Cert rsaCert = kit::MakeCert(rsa.get(), rsa.get(), o);
  kit::Cert sm2Cert = kit::MakeCert(sm2.get(), sm2.get(), o);
  kit::Cert p256Cert = kit::MakeCert(p256.get(), p256.get(), o);

  const X509_NAME* subject = X509_get_subject_name(rsaCert.get());
  EXPECT_EQ(Text(KXGetX509Name(subject, 0)), "C=CN,O=Org,CN=Name");
  EXPECT_EQ(Text(KXGetX509Name(subject, NID_commonName)), "Name");
  EXPECT_EQ(Text(KXGetX509Name(subject, NID_organizationName)), "Org");
  EXPECT_TRUE(KXGetX509Name(subject, NID_localityName).empty());
  EXPECT_TRUE(KXGetX509Name(nullptr, 0).empty());

  struct Row {
    X509* cert;
    int algo;
    const char* type;
    const char* signType;
  } rows[] = {
      {rsaCert.get(), 1, "RSA_2048", "RSA_2048"},
      {sm2Cert.get(), 2, "SM2_0256", "SM2_0256"},
      // ECDSA signatures are DER of varying length: 8 x their byte count.
      {p256Cert.get(), 3, "ECC_0256", nullptr},
  };
  for (const Row& row : rows) {
    const X509_PUBKEY* pub = X509_get_X509_PUBKEY(row.cert);
    EXPECT_EQ(KXCertAlgo(pub), row.algo) << row.type;
    EXPECT_EQ(Text(KXCertType(pub)), row.type);
    if (row.signType != nullptr) {
      EXPECT_EQ(Text(KXSignType(row.cert)), row.signType);
    }
  }
  const ASN1_BIT_STRING* sig = nullptr;
  X509_get0_signature(&sig, nullptr, p256Cert.get());
  char expected[16];
  std::snprintf(expected, sizeof expected, "RSA_%04d",
                8 * ASN1_STRING_length(sig));
  EXPECT_EQ(Text(KXSignType(p256Cert.get())), expected);
  EXPECT_EQ(KXCertAlgo(nullptr), KX_ERR_INVALID_INPUT);

  // A key algorithm that is neither RSA nor EC.
  kit::Key ed(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  auto edPub = kit::PubKeyOf(ed.get());
  EXPECT_EQ(KXCertAlgo(edPub.get()), 0);
  KXSetLastError(0);
  EXPECT_TRUE(KXCertType(edPub.get()).empty());
  EXPECT_EQ(KXGetLastError(), KX_ERR_FAIL);
}

TEST(Cert, Asn1ToStr) {
  std::unique_ptr<ASN1_INTEGER, void (*)(ASN1_INTEGER*)> positive(
      ASN1_INTEGER_new(), ASN1_INTEGER_free);
  ASN1_INTEGER_set(positive.get(), 0x0AFF);
  EXPECT_EQ(Text(KXASN1ToStr(positive.get())), "0aff");
  std::unique_ptr<ASN1_INTEGER, void (*)(ASN1_INTEGER*)> negative(
      ASN1_INTEGER_new(), ASN1_INTEGER_free);
  ASN1_INTEGER_set(negative.get(), -5);
  EXPECT_TRUE(KXASN1ToStr(negative.get()).empty());
  std::unique_ptr<ASN1_BIT_STRING, void (*)(ASN1_BIT_STRING*)> bits(
      ASN1_BIT_STRING_new(), ASN1_BIT_STRING_free);
  ASN1_BIT_STRING_set(bits.get(),
                      const_cast<unsigned char*>(
                          reinterpret_cast<const unsigned char*>("\x01\xab")),
                      2);
  EXPECT_EQ(Text(KXASN1ToStr(bits.get())), "01ab");
  std::unique_ptr<ASN1_OCTET_STRING, void (*)(ASN1_OCTET_STRING*)> octets(
      ASN1_OCTET_STRING_new(), ASN1_OCTET_STRING_free);
  ASN1_OCTET_STRING_set(octets.get(),
                        reinterpret_cast<const unsigned char*>("ab"), 2);
  EXPECT_TRUE(KXASN1ToStr(octets.get()).empty());
  EXPECT_TRUE(KXASN1ToStr(nullptr).empty());
}

TEST(Cert, KeyIdentifiersMatchOpenssl) {
  kit::Key key = kit::Sm2Key();
  kit::Cert cert = kit::MakeCert(key.get(), key.get());
  const STACK_OF(X509_EXTENSION)* exts = X509_get0_extensions(cert.get());
  const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert.get());
  const ASN1_OCTET_STRING* aki = X509_get0_authority_key_id(cert.get());
  ASSERT_TRUE(ski && aki);
  EXPECT_EQ(
      Text(KXGetSubjectKeyId(exts)),
      kit::ToHex(ASN1_STRING_get0_data(ski), ASN1_STRING_length(ski), false));
  EXPECT_EQ(
      Text(KXGetAuthorKeyId(exts)),
      kit::ToHex(ASN1_STRING_get0_data(aki), ASN1_STRING_length(aki), false));
  kit::CertOptions none;
  none.keyIds = false;
  kit::Cert bare = kit::MakeCert(key.get(), key.get(), none);
  EXPECT_TRUE(KXGetSubjectKeyId(X509_get0_extensions(bare.get())).empty());
  EXPECT_TRUE(KXGetAuthorKeyId(X509_get0_extensions(bare.get())).empty());
  EXPECT_TRUE(KXGetAuthorKeyId(nullptr).empty());
}

// Authority key identifier values, well-formed and not: a short or malformed
// value gives empty and is never read past its end (the sanitizer build
// checks the reads: each value lives in a buffer of exactly its size).
TEST(Cert, AuthorKeyIdNeverReadsOutsideTheValue) {
  struct Row {
    const char* name;
    const char* hex;
    const char* expected;
  } rows[] = {
      {"short form", "30068004AABBCCDD", "aabbccdd"},
      {"long form 81", "30810680040A0B0C0D", "0a0b0c0d"},
      {"long form 82", "3082000680040A0B0C0D", "0a0b0c0d"},
      {"with issuer and serial after", "300C8002ABCDA1028000820201FF", "abcd"},
      {"empty", "", ""},
      {"one byte", "30", ""},
      {"two bytes", "3006", ""},
      {"length byte missing", "300680", ""},
      {"identifier cut short", "3006800AAABB", ""},
      {"length past the value", "308106800AAA", ""},
      {"huge length-octets count", "30FF", ""},
      {"issuer first, no [0]", "3006A1048202AABB", ""},
      {"long-form [0] length", "300880810401020304", ""},
  };
  for (const Row& row : rows) {
    const Bytes value = kit::FromHex(row.hex);
    // The extension value, in an exact-size heap copy.
    std::unique_ptr<ASN1_OCTET_STRING, void (*)(ASN1_OCTET_STRING*)> octets(
        ASN1_OCTET_STRING_new(), ASN1_OCTET_STRING_free);
    ASN1_OCTET_STRING_set(octets.get(), value.data(),
                          static_cast<int>(value.size()));
    STACK_OF(X509_EXTENSION)* exts = sk_X509_EXTENSION_new_null();
    X509_EXTENSION* ext = X509_EXTENSION_create_by_NID(
        nullptr, NID_authority_key_identifier, 0, octets.get());
    sk_X509_EXTENSION_push(exts, ext);
    EXPECT_EQ(Text(KXGetAuthorKeyId(exts)), row.expected) << row.name;
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
  }
}

TEST(Cert, SubjectKeyIdOfShortValuesIsEmpty) {
  for (const char* hex : {"", "04", "0400"}) {
    const Bytes value = kit::FromHex(hex);
    std::unique_ptr<ASN1_OCTET_STRING, void (*)(ASN1_OCTET_STRING*)> octets(
        ASN1_OCTET_STRING_new(), ASN1_OCTET_STRING_free);
    ASN1_OCTET_STRING_set(octets.get(), value.data(),
                          static_cast<int>(value.size()));
    STACK_OF(X509_EXTENSION)* exts = sk_X509_EXTENSION_new_null();
    sk_X509_EXTENSION_push(
        exts, X509_EXTENSION_create_by_NID(nullptr, NID_subject_key_identifier,
                                           0, octets.get()));
    EXPECT_TRUE(KXGetSubjectKeyId(exts).empty()) << hex;
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
  }
}

TEST(Cert, Pkcs12) {
  kit::Key key = kit::RsaKey();
  kit::Cert cert = kit::MakeCert(key.get(), key.get());
  std::unique_ptr<PKCS12, kit::Free> p12(PKCS12_create(
      "secret", "name", key.get(), cert.get(), nullptr, 0, 0, 0, 0, 0));
  ASSERT_TRUE(p12);
  unsigned char* der = nullptr;
  const int len = i2d_PKCS12(p12.get(), &der);
  const Bytes bytes(der, der + len);
  OPENSSL_free(der);

  shared_ptr<EVP_PKEY> pkey;
  shared_ptr<X509> parsed =
      KXStrToP12(bytes.data(), bytes.size(), "secret", pkey);
  ASSERT_TRUE(parsed);
  ASSERT_TRUE(pkey);
  EXPECT_EQ(kit::Der(parsed.get()), kit::Der(cert.get()));
  EXPECT_EQ(EVP_PKEY_eq(pkey.get(), key.get()), 1);

  shared_ptr<EVP_PKEY> none;
  EXPECT_FALSE(KXStrToP12(bytes.data(), bytes.size(), "wrong", none));
  EXPECT_FALSE(none);
  EXPECT_FALSE(KXStrToP12(bytes.data(), bytes.size() / 2, "secret", none));
  EXPECT_FALSE(KXStrToP12(nullptr, 10, "secret", none));
}

}  // namespace
