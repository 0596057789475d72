// The fixture kit makes what it promises: signatures that OpenSSL verifies
// over the bytes the verifier re-encodes, certificates with the asked-for
// validity, extensions and names, and property documents whose picture
// inflates back. OpenSSL is the oracle throughout.
#include <gtest/gtest.h>
#include <openssl/ecdsa.h>
#include <openssl/x509v3.h>
#include <zlib.h>

#include <algorithm>

#include "codecs.h"

namespace formats_test {
namespace {

using fx::Family;
using fx::KeyType;

Bytes Contents(const ASN1_STRING* s) {
  const uint8_t* p = ASN1_STRING_get0_data(s);
  return Bytes(p, p + ASN1_STRING_length(s));
}

template <class T>
Bytes Der(T* record) {
  Bytes out;
  EXPECT_TRUE(kx::der::Encode(record, &out));
  return out;
}

struct MakerView {
  Bytes cert, signedBytes, signature;
};

// The maker's certificate, the re-encoded signed part and the signature, as
// the verifier takes them from a decoded seal.
MakerView MakerOf(Family family, const Bytes& seal) {
  MakerView v;
  if (family == Family::kPlain) {
    auto s = kx::der::Decode<SESeal_t>(seal);
    if (!s) return v;
    // TBS_Seal shares the seal's members; it owns nothing and is not freed.
    TBS_Seal_t tbs{s->esealInfo, s->signInfo->cert,
                   s->signInfo->signatureAlgorithm};
    v = {Contents(s->signInfo->cert), Der(&tbs),
         Contents(s->signInfo->signData)};
  } else if (family == Family::kGin) {
    auto s = kx::der::Decode<GIN_SESeal_t>(seal);
    if (!s) return v;
    v = {Contents(s->esealInfo->cert), Der(s->esealInfo),
         Contents(s->signData)};
  } else {
    auto s = kx::der::Decode<GOV_SESeal_t>(seal);
    if (!s) return v;
    v = {Contents(s->cert), Der(s->esealInfo), Contents(s->signData)};
  }
  return v;
}

TEST(Fixtures, SealsAndSignaturesVerifyOverTheReencodedParts) {
  for (Family family : {Family::kPlain, Family::kGin, Family::kGov}) {
    for (KeyType key : {KeyType::kSm2, KeyType::kRsa}) {
      SCOPED_TRACE(std::string(fx::FamilyName(family)) +
                   (key == KeyType::kSm2 ? " SM2" : " RSA"));
      fx::SealSpec sealSpec;
      sealSpec.maker = fx::DefaultMaker(key);
      Bytes makerSigned;
      Bytes seal = fx::MakeSeal(family, sealSpec, &makerSigned);
      MakerView maker = MakerOf(family, seal);
      EXPECT_EQ(maker.cert, fx::DefaultMaker(key).certDer);
      EXPECT_EQ(maker.signedBytes, makerSigned);
      EXPECT_TRUE(fx::VerifyWithOpenSsl(maker.cert, maker.signedBytes,
                                        maker.signature));

      fx::SignatureSpec sigSpec;
      sigSpec.seal = seal;
      sigSpec.signer = fx::DefaultSigner(key);
      sigSpec.rsaHash = fx::RsaHash::kSha1;
      Bytes tbsSigned;
      Bytes sig = fx::MakeSignature(family, sigSpec, &tbsSigned);
      Bytes cert, tbs, value;
      if (family == Family::kPlain) {
        auto s = kx::der::Decode<kxsv::SESSignature_t>(sig);
        ASSERT_TRUE(s);
        cert = Contents(s->tbsSign->cert);
        tbs = Der(s->tbsSign);
        value = Contents(s->signature);
      } else if (family == Family::kGin) {
        auto s = kx::der::Decode<kxsv::GIN_SESSignature_t>(sig);
        ASSERT_TRUE(s);
        cert = Contents(s->tbsSign->cert);
        tbs = Der(s->tbsSign);
        value = Contents(s->signature);
        EXPECT_EQ(Contents(s->tbsSign->eseal), seal);
      } else {
        auto s = kx::der::Decode<kxsv::GOV_SESSignature_t>(sig);
        ASSERT_TRUE(s);
        cert = Contents(s->cert);
        tbs = Der(s->tbsSign);
        value = Contents(s->signature);
      }
      EXPECT_EQ(tbs, tbsSigned);
      EXPECT_TRUE(fx::VerifyWithOpenSsl(cert, tbs, value, fx::RsaHash::kSha1));
      if (key == KeyType::kRsa) {  // the asked-for digest, not the default
        EXPECT_FALSE(
            fx::VerifyWithOpenSsl(cert, tbs, value, fx::RsaHash::kSha256));
      }
    }
  }
}

// SM2 signatures are DER SEQUENCE {r, s} over SM3(Z || M) with the
// identifier 1234567812345678: without it OpenSSL 3.0 (empty identifier)
// must not accept them.
TEST(Fixtures, Sm2SignaturesAreDerAndBoundToTheDefaultIdentifier) {
  const fx::Credential& signer = fx::DefaultSigner();
  Bytes message = fx::ToBytes("message");
  Bytes sig = fx::Sign(signer, message);
  const unsigned char* p = sig.data();
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size()));
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(p, sig.data() + sig.size());
  ECDSA_SIG_free(parsed);
  EXPECT_TRUE(fx::VerifyWithOpenSsl(signer.certDer, message, sig));

  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ASSERT_EQ(
      EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, signer.key.get()),
      1);
  EXPECT_NE(EVP_DigestVerify(md, sig.data(), sig.size(), message.data(),
                             message.size()),
            1);
  EVP_MD_CTX_free(md);
}

std::shared_ptr<X509> Parse(const Bytes& der) {
  const unsigned char* p = der.data();
  return std::shared_ptr<X509>(
      d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
}

std::string NameEntry(X509* cert, int nid) {
  char text[256] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), nid, text,
                            sizeof text);
  return text;
}

TEST(Fixtures, CertificatesHaveTheAskedForShape) {
  struct Row {
    KeyType key;
    fx::Validity validity;
    bool keyIds;
    int notBefore;  // sign of X509_cmp_current_time
    int notAfter;
  } rows[] = {
      {KeyType::kSm2, fx::Validity::kNow, true, -1, 1},
      {KeyType::kSm2, fx::Validity::kExpired, false, -1, -1},
      {KeyType::kSm2, fx::Validity::kNotYetValid, true, 1, 1},
      {KeyType::kRsa, fx::Validity::kExpired, true, -1, -1},
  };
  for (const Row& row : rows) {
    fx::CertSpec params;
    params.keyType = row.key;
    params.validity = row.validity;
    params.keyIdentifiers = row.keyIds;
    const fx::Credential& root = fx::DefaultRoot(row.key);
    fx::Credential c = fx::MakeCredential(params, &root);
    std::shared_ptr<X509> cert = Parse(c.certDer);
    ASSERT_TRUE(cert);
    EXPECT_EQ(X509_cmp_current_time(X509_get0_notBefore(cert.get())),
              row.notBefore);
    EXPECT_EQ(X509_cmp_current_time(X509_get0_notAfter(cert.get())),
              row.notAfter);
    EXPECT_EQ(
        X509_get_ext_by_NID(cert.get(), NID_subject_key_identifier, -1) >= 0,
        row.keyIds);
    EXPECT_EQ(
        X509_get_ext_by_NID(cert.get(), NID_authority_key_identifier, -1) >= 0,
        row.keyIds);
    EXPECT_EQ(NameEntry(cert.get(), NID_countryName), "CN");
    EXPECT_EQ(NameEntry(cert.get(), NID_organizationName), "测试科技有限公司");
    EXPECT_EQ(NameEntry(cert.get(), NID_organizationalUnitName),
              "电子印章测试部");
    EXPECT_EQ(NameEntry(cert.get(), NID_commonName), "测试用户");
    EXPECT_EQ(X509_check_issued(root.cert.get(), cert.get()), X509_V_OK);

    // The issuer's signature over the TBSCertificate verifies.
    unsigned char* tbs = nullptr;
    int tbsLen = i2d_re_X509_tbs(cert.get(), &tbs);
    ASSERT_GT(tbsLen, 0);
    const ASN1_BIT_STRING* value = nullptr;
    X509_get0_signature(&value, nullptr, cert.get());
    EXPECT_TRUE(fx::VerifyWithOpenSsl(root.certDer, Bytes(tbs, tbs + tbsLen),
                                      Contents(value)));
    OPENSSL_free(tbs);
  }
  std::shared_ptr<X509> root = Parse(fx::DefaultRoot().certDer);
  EXPECT_EQ(X509_check_ca(root.get()), 1);
  EXPECT_EQ(X509_check_ca(fx::DefaultSigner().cert.get()), 0);
}

std::string Element(const std::string& xml, const std::string& name) {
  std::string open = "<" + name + ">", close = "</" + name + ">";
  size_t start = xml.find(open);
  if (start == std::string::npos) return "<absent>";
  start += open.size();
  size_t end = xml.find(close, start);
  return end == std::string::npos ? "<unclosed>"
                                  : xml.substr(start, end - start);
}

TEST(Fixtures, PropertyDocumentCarriesTheCompressedPicture) {
  fx::PropertySpec params;
  params.picture = fx::PicturePattern(1000);
  params.userProperty = "a<b&c";
  std::string xml = fx::PropertyXml(params);
  EXPECT_EQ(Element(xml, "esignId"), "ESIGN-0001");
  EXPECT_EQ(Element(xml, "Esign_LastID"), "ESIGN-0000");
  EXPECT_EQ(Element(xml, "WebState"), "1");
  EXPECT_EQ(Element(xml, "UserProperty"), "a&lt;b&amp;c");
  EXPECT_EQ(Element(xml, "WriPicLen"), "1000");

  std::string b64 = Element(xml, "WriPicData");
  Bytes compressed(b64.size());
  int len = EVP_DecodeBlock(compressed.data(),
                            reinterpret_cast<const unsigned char*>(b64.data()),
                            static_cast<int>(b64.size()));
  ASSERT_GT(len, 0);
  compressed.resize(
      static_cast<size_t>(len - std::count(b64.end() - 2, b64.end(), '=')));
  Bytes picture(1000);
  uLongf size = picture.size();
  ASSERT_EQ(
      uncompress(picture.data(), &size, compressed.data(), compressed.size()),
      Z_OK);
  EXPECT_EQ(size, 1000u);
  EXPECT_EQ(picture, fx::PicturePattern(1000));

  fx::PropertySpec bare;
  bare.picture.reset();
  bare.esignId.reset();
  std::string none = fx::PropertyXml(bare);
  EXPECT_EQ(Element(none, "WriPicLen"), "<absent>");
  EXPECT_EQ(Element(none, "esignId"), "<absent>");
  EXPECT_EQ(Element(fx::PropertyXml(), "WriPicLen"), "0");
}

}  // namespace
}  // namespace formats_test
