// PKCS#7 signatures of OFD documents (Type="Sign"): SignedData values made by
// the fixture kit and by OpenSSL's own PKCS7_sign, verified against the
// bytes of Signature.xml.
#include "ofd/pkcs7.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>

#include "KXError.h"
#include "pkcs7_kit.h"

namespace {

using fx::Bytes;

const Bytes kXml = fx::ToBytes(
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<ofd:Signature xmlns:ofd=\"http://www.ofdspec.org/2016\">"
    "<ofd:SignedInfo><ofd:Provider ProviderName=\"fixtures\"/>"
    "<ofd:SignatureMethod>1.2.156.10197.1.501</ofd:SignatureMethod>"
    "</ofd:SignedInfo><ofd:SignedValue>/Doc_0/Signs/Sign_0/SignedValue.dat"
    "</ofd:SignedValue></ofd:Signature>\n");

ofd::Pkcs7Result Verify(const Bytes& value, const Bytes& xml = kXml) {
  return ofd::VerifyPkcs7Signature(value.data(), value.size(), xml.data(),
                                   xml.size());
}

fx::Pkcs7Spec Encapsulated() {
  fx::Pkcs7Spec params;
  params.encapsulated = true;
  return params;
}

fx::Pkcs7Spec Rsa() {
  fx::Pkcs7Spec params;
  params.signer = fx::DefaultSigner(fx::KeyType::kRsa);
  return params;
}

// A certificate for a new SM2 key under the default root; serial 0 takes
// the next free one.
fx::Credential OtherSigner(long serial = 0) {
  fx::CertSpec cert;
  cert.subject.CN = "其他用户";
  cert.serial = serial;
  return fx::MakeCredential(cert, &fx::DefaultRoot());
}

struct Row {
  const char* name;
  Bytes value;
  uint32_t code;
  const char* reason;  // part of the reason text
  Bytes xml = kXml;
};

TEST(Pkcs7Verify, ShapesEncodingsAndFaults) {
  const Bytes changedXml = [] {
    Bytes x = kXml;
    x[x.size() / 2] ^= 0x01;
    return x;
  }();
  const fx::Credential& signer = fx::DefaultSigner();
  const fx::Credential other = OtherSigner();
  const fx::Credential sameSerial =
      OtherSigner(ASN1_INTEGER_get(X509_get0_serialNumber(signer.cert.get())));

  std::vector<Row> rows;
  auto add = [&rows](const char* name, const fx::Pkcs7Spec& params, uint32_t code,
                     const char* reason, Bytes xml = kXml) {
    rows.push_back({name, fx::MakePkcs7(kXml, params), code, reason, xml});
  };
  const char* kOk = "the signature verifies";

  // Valid: both shapes, both identifier sets, BER, both signer identifiers,
  // RSA, and OpenSSL's own SignedData.
  add("detached, GM/T identifiers", {}, 0, kOk);
  {
    fx::Pkcs7Spec s;
    s.rfcOids = true;
    add("detached, RFC 5652 identifiers", s, 0, kOk);
    s = {};
    s.subjectKeyIdentifier = true;
    add("detached, signer by subject key identifier", s, 0, kOk);
    s = {};
    s.certificates = {
        {fx::DefaultRoot().certDer, other.certDer, signer.certDer}};
    add("signer certificate last of three", s, 0, kOk);
    s = {};
    s.signatureAlgorithm = fx::kOidSm2WithSm3;
    s.signingTime.reset();
    add("SM2-with-SM3 identifier, no signingTime", s, 0, kOk);
    s = {};
    s.digestAlgorithm = fx::kOidSha256;
    add("SM2 signer, SHA-256 messageDigest", s, 0, kOk);
    s = {};
    s.ber = true;
    add("detached, BER, attributes out of DER order", s, 0, kOk);
    s = Encapsulated();
    add("encapsulated SM3 of Signature.xml, DER r s", s, 0, kOk);
    s.rawSignature = true;
    add("encapsulated, raw r || s", s, 0, kOk);
    s = Encapsulated();
    s.content = kXml;
    add("encapsulated Signature.xml itself", s, 0, kOk);
    s = Encapsulated();
    s.ber = true;
    s.rfcOids = true;
    add("encapsulated, BER, content in pieces", s, 0, kOk);
    s = Encapsulated();
    s.signedAttributes = true;
    add("encapsulated with signed attributes", s, 0, kOk);
    s = {};
    s.signedAttributes = false;
    add("detached without signed attributes", s, 0, kOk);
    add("RSA PKCS#1 v1.5 with SHA-256", Rsa(), 0, kOk);
    s = Rsa();
    s.rsaHash = fx::RsaHash::kSha1;
    s.signatureAlgorithm = fx::kOidRsaWithSha1;
    add("RSA with SHA-1 by its own identifier", s, 0, kOk);
  }
  const fx::Credential& rsa = fx::DefaultSigner(fx::KeyType::kRsa);
  rows.push_back(
      {"OpenSSL PKCS7_sign, DER", fx::MakePkcs7WithOpenSsl(kXml, rsa), 0, kOk});
  rows.push_back({"OpenSSL PKCS7_sign, streamed BER, content inside",
                  fx::MakePkcs7WithOpenSsl(kXml, rsa, true), 0, kOk});
  ASSERT_EQ(0x80, rows.back().value[1]) << "the stream is not BER";

  // Signature.xml or the signed digest changed.
  add("detached, Signature.xml changed", {}, KX_ERR_DIGEST_MISMATCH,
      "messageDigest is not the SM3 digest of Signature.xml", changedXml);
  add("encapsulated, Signature.xml changed", Encapsulated(),
      KX_ERR_DIGEST_MISMATCH, "neither Signature.xml nor its SM3 digest",
      changedXml);
  rows.push_back({"OpenSSL, Signature.xml changed",
                  fx::MakePkcs7WithOpenSsl(kXml, rsa), KX_ERR_DIGEST_MISMATCH,
                  "SHA-256 digest of Signature.xml", changedXml});
  {
    fx::Pkcs7Spec s;
    s.messageDigest = fx::Sm3(changedXml);
    add("messageDigest of other bytes, signed", s, KX_ERR_DIGEST_MISMATCH,
        "messageDigest is not the SM3 digest");
    s = Encapsulated();
    s.content = Bytes(32, 0x5A);
    add("encapsulated content of other bytes", s, KX_ERR_DIGEST_MISMATCH,
        "neither Signature.xml");
  }

  // The signer certificate and the signing key.
  {
    fx::Pkcs7Spec s;
    s.certificates = {{other.certDer}};
    add("only another signer's certificate", s, KX_ERR_CERT_NOT_FOUND,
        "no signer certificate");
    s.certificates = std::vector<Bytes>();
    add("no certificates", s, KX_ERR_CERT_NOT_FOUND, "no signer certificate");
    s.certificates = {{sameSerial.certDer}};
    add("certificate of another key, same issuer and serial", s, KX_ERR_VERIFY,
        "SM2 signature does not verify");
    s = {};
    s.signingKey = other.key;
    add("detached, signed by another key", s, KX_ERR_VERIFY,
        "SM2 signature does not verify");
    s = Encapsulated();
    s.signingKey = other.key;
    s.rawSignature = true;
    add("encapsulated, signed by another key", s, KX_ERR_VERIFY,
        "SM2 signature does not verify");
    s = {};
    s.signedAttributes = false;
    s.signingKey = other.key;
    add("detached without attributes, signed by another key", s, KX_ERR_VERIFY,
        "SM2 signature does not verify");
    s = Rsa();
    s.signingKey = fx::MakeKey(fx::KeyType::kRsa);
    add("RSA, signed by another key", s, KX_ERR_VERIFY,
        "RSA signature does not verify");
    s = Rsa();
    s.rsaHash = fx::RsaHash::kSha1;
    s.digestAlgorithm = fx::kOidSha256;
    add("RSA block with SHA-1 where SHA-256 is named", s, KX_ERR_VERIFY,
        "carries a SHA-1 digest; the identifiers name SHA-256");
    s = {};
    s.signer = rsa;
    s.signatureAlgorithm = fx::kOidSm2Sign;
    add("SM2 identifier, RSA certificate", s, KX_ERR_VERIFY,
        "holds no SM2 key");
    s = Encapsulated();
    s.signature = Bytes(70, 0x30);
    add("signature value neither r || s nor DER", s, KX_ERR_VERIFY,
        "neither r || s nor a DER");
  }

  // Signed attributes.
  {
    fx::Pkcs7Spec s;
    s.messageDigestAttribute = false;
    add("no messageDigest", s, KX_ERR_INVALID_P7_ATTR, "lack messageDigest");
    s = {};
    s.contentTypeAttribute = false;
    add("no contentType", s, KX_ERR_INVALID_P7_ATTR, "lack contentType");
    s = {};
    s.extraAttributes = {fx::Pkcs7Attribute(fx::kOidMessageDigestAttr,
                                            {fx::asn::Octets(fx::Sm3(kXml))})};
    add("messageDigest twice", s, KX_ERR_INVALID_P7_ATTR,
        "messageDigest appears more than once");
    s = {};
    s.messageDigestAttribute = false;
    s.extraAttributes = {fx::Pkcs7Attribute(
        fx::kOidMessageDigestAttr, {fx::asn::Octets(fx::Sm3(kXml)),
                                    fx::asn::Octets(fx::Sm3(changedXml))})};
    add("messageDigest with two values", s, KX_ERR_INVALID_P7_ATTR,
        "holds 2 values");
    s = {};
    s.contentType = fx::kOidP7SignedDataGm;
    add("contentType other than data", s, KX_ERR_INVALID_P7_ATTR,
        "names 1.2.156.10197.6.1.4.2.2, not data");
    s = {};
    s.signingTime.reset();
    s.extraAttributes = {
        fx::Pkcs7Attribute(fx::kOidSigningTimeAttr, {fx::asn::Integer(5)})};
    add("signingTime not a time", s, KX_ERR_INVALID_P7_ATTR,
        "signingTime has a value of the wrong type");
  }

  // Unusable values.
  {
    fx::Pkcs7Spec s;
    s.digestAlgorithm = "1.2.3.4";
    add("unknown digest algorithm", s, KX_ERR_INVALID_P7,
        "unsupported digest algorithm 1.2.3.4");
    s = {};
    s.signatureAlgorithm = "1.2.840.10045.4.3.2";
    add("ECDSA signature algorithm", s, KX_ERR_INVALID_P7,
        "unsupported signature algorithm 1.2.840.10045.4.3.2");
    s = Rsa();
    s.signatureAlgorithm = fx::kOidRsaWithSha1;
    add("RSA identifier and digest algorithm disagree", s, KX_ERR_INVALID_P7,
        "names SHA-1, the digest algorithm SHA-256");
  }
  const Bytes good = fx::MakePkcs7(kXml);
  const Bytes der = fx::Sign(signer, kXml);
  rows.push_back({"empty", {}, KX_ERR_INVALID_P7, "empty"});
  rows.push_back({"garbage", fx::ToBytes("not a signature at all, no"),
                  KX_ERR_INVALID_P7, "not a PKCS#7 ContentInfo"});
  rows.push_back({"truncated", Bytes(good.begin(), good.end() - 1),
                  KX_ERR_INVALID_P7, "not a PKCS#7 ContentInfo"});
  rows.push_back({"trailing byte", fx::Concat({good, {0x00}}),
                  KX_ERR_INVALID_P7,
                  "trailing bytes after the SignedData (1)"});
  rows.push_back({"Data rather than SignedData",
                  fx::asn::Seq({fx::asn::Oid(fx::kOidP7Data),
                                fx::asn::Tlv(0xA0, fx::asn::Octets(kXml))}),
                  KX_ERR_INVALID_P7, "is not SignedData"});
  rows.push_back({"bare SM2 signature, DER", der, KX_ERR_CERT_NOT_FOUND,
                  "cannot be verified: no signer certificate"});
  rows.push_back({"bare SM2 signature, r || s", fx::Sm2RawSignature(der),
                  KX_ERR_CERT_NOT_FOUND,
                  "cannot be verified: no signer certificate"});

  for (const Row& row : rows) {
    const ofd::Pkcs7Result r = Verify(row.value, row.xml);
    EXPECT_EQ(row.code, r.code) << row.name << ": " << r.reason;
    EXPECT_NE(std::string::npos, r.reason.find(row.reason))
        << row.name << ": " << r.reason;
  }
}

// What a report shows: the signer certificate (to chain it), its subject,
// the signing time and the algorithms.
TEST(Pkcs7Verify, ReportsSignerTimeAndAlgorithms) {
  const fx::Credential& sm2 = fx::DefaultSigner();
  const fx::Credential& rsa = fx::DefaultSigner(fx::KeyType::kRsa);
  fx::Pkcs7Spec chain;
  chain.certificates = {{fx::DefaultRoot().certDer, sm2.certDer}};

  ofd::Pkcs7Result r = Verify(fx::MakePkcs7(kXml, chain));
  ASSERT_EQ(0u, r.code) << r.reason;
  EXPECT_TRUE(r.detached);
  EXPECT_TRUE(r.signedAttributes);
  EXPECT_EQ(sm2.certDer, r.signerCertificate);
  EXPECT_EQ(chain.certificates, r.certificates);
  EXPECT_EQ("C=CN,O=测试科技有限公司,OU=电子印章测试部,CN=测试用户",
            r.signerSubject);
  EXPECT_EQ(int64_t{fx::kPkcs7SigningTime} * 1000, r.signingTime);
  EXPECT_EQ("SM2 with SM3", r.signatureAlgorithm);
  EXPECT_EQ(fx::kOidSm2Sign, r.signatureAlgorithmOid);
  EXPECT_EQ("SM3", r.digestAlgorithm);
  EXPECT_EQ(fx::kOidSm3, r.digestAlgorithmOid);

  r = Verify(fx::MakePkcs7(kXml, Encapsulated()));
  ASSERT_EQ(0u, r.code) << r.reason;
  EXPECT_FALSE(r.detached);
  EXPECT_FALSE(r.signedAttributes);
  EXPECT_EQ(-1, r.signingTime);
  EXPECT_EQ(sm2.certDer, r.signerCertificate);

  // OpenSSL stamps the current time: within a day of this machine's clock.
  r = Verify(fx::MakePkcs7WithOpenSsl(kXml, rsa));
  ASSERT_EQ(0u, r.code) << r.reason;
  EXPECT_EQ(rsa.certDer, r.signerCertificate);
  EXPECT_EQ("RSA with SHA-256", r.signatureAlgorithm);
  EXPECT_EQ(fx::kOidRsaEncryption, r.signatureAlgorithmOid);
  EXPECT_EQ(fx::kOidSha256, r.digestAlgorithmOid);
  EXPECT_LT(std::llabs(r.signingTime / 1000 - int64_t{time(nullptr)}),
            24 * 3600);

  // A failure still names what was read before it.
  fx::Pkcs7Spec changed;
  changed.messageDigest = Bytes(32, 0);
  r = Verify(fx::MakePkcs7(kXml, changed));
  EXPECT_EQ(uint32_t{KX_ERR_DIGEST_MISMATCH}, r.code);
  EXPECT_EQ(sm2.certDer, r.signerCertificate);
  EXPECT_EQ("SM2 with SM3", r.signatureAlgorithm);
}

}  // namespace
