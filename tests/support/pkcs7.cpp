// PKCS#7 SignedData values for the tests: the kit's DER writer for the
// structure, OpenSSL for the signatures, or OpenSSL's PKCS7_sign whole.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "pkcs7_kit.h"

namespace fx {

const char* const kOidP7SignedDataGm = "1.2.156.10197.6.1.4.2.2";
const char* const kOidP7DataGm = "1.2.156.10197.6.1.4.2.1";
const char* const kOidP7SignedData = "1.2.840.113549.1.7.2";
const char* const kOidP7Data = "1.2.840.113549.1.7.1";
const char* const kOidSm2Sign = "1.2.156.10197.1.301.1";
const char* const kOidRsaEncryption = "1.2.840.113549.1.1.1";
const char* const kOidSha256 = "2.16.840.1.101.3.4.2.1";
const char* const kOidSha1 = "1.3.14.3.2.26";
const char* const kOidContentTypeAttr = "1.2.840.113549.1.9.3";
const char* const kOidMessageDigestAttr = "1.2.840.113549.1.9.4";
const char* const kOidSigningTimeAttr = "1.2.840.113549.1.9.5";

namespace {

[[noreturn]] void Fail(const char* what) {
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  throw std::runtime_error(std::string("pkcs7 kit: ") + what + ": " + text);
}

struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// The writer of one encoding: DER, or BER with indefinite lengths and
// strings in pieces.
struct Writer {
  bool ber = false;

  Bytes Constructed(uint8_t tag, const std::vector<Bytes>& elements) const {
    if (!ber) return asn::Tlv(tag, Concat(elements));
    Bytes out{tag, 0x80};
    for (const Bytes& e : elements) out.insert(out.end(), e.begin(), e.end());
    out.push_back(0x00);
    out.push_back(0x00);
    return out;
  }
  Bytes Seq(const std::vector<Bytes>& elements) const {
    return Constructed(0x30, elements);
  }
  // An OCTET STRING; in BER a constructed one of pieces of at most 7 bytes.
  Bytes Octets(const Bytes& content) const {
    if (!ber) return asn::Octets(content);
    std::vector<Bytes> pieces;
    for (size_t at = 0; at < content.size(); at += 7) {
      const size_t n = std::min<size_t>(7, content.size() - at);
      pieces.push_back(asn::Octets(
          Bytes(content.begin() + static_cast<std::ptrdiff_t>(at),
                content.begin() + static_cast<std::ptrdiff_t>(at + n))));
    }
    return Constructed(0x24, pieces);
  }
};

Bytes Der(const unsigned char* p, int len) {
  if (len <= 0 || p == nullptr) Fail("i2d");
  return Bytes(p, p + len);
}

template <class T, int (*I2d)(const T*, unsigned char**)>
Bytes Encode(const T* value) {
  unsigned char* raw = nullptr;
  const int len = I2d(value, &raw);
  Bytes out = Der(raw, len);
  OPENSSL_free(raw);
  return out;
}

const EVP_MD* DigestOfOid(const std::string& oid) {
  const EVP_MD* md = EVP_get_digestbynid(OBJ_txt2nid(oid.c_str()));
  return md != nullptr ? md : EVP_sm3();  // unknown: a stand-in
}

Bytes DigestWith(const EVP_MD* md, const Bytes& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(data.data(), data.size(), out, &len, md, nullptr))
    Fail("EVP_Digest");
  return Bytes(out, out + len);
}

// AlgorithmIdentifier: SM identifiers without parameters, the others with
// NULL.
Bytes AlgorithmId(const Writer& w, const std::string& oid) {
  if (oid.rfind("1.2.156.", 0) == 0) return w.Seq({asn::Oid(oid)});
  return w.Seq({asn::Oid(oid), asn::Tlv(0x05, {})});
}

Bytes Attribute(const Writer& w, const std::string& oid,
                const std::vector<Bytes>& values) {
  return w.Seq({asn::Oid(oid), w.Constructed(0x31, values)});
}

// SET OF in DER order: elements sorted by their encodings.
Bytes DerSetContent(std::vector<Bytes> elements) {
  std::sort(elements.begin(), elements.end());
  return Concat(elements);
}

}  // namespace

Bytes Pkcs7Attribute(const std::string& oid, const std::vector<Bytes>& values) {
  return Attribute(Writer{}, oid, values);
}

Bytes Sm2RawSignature(const Bytes& derSignature) {
  const unsigned char* p = derSignature.data();
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
      d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derSignature.size())),
      ECDSA_SIG_free);
  if (!sig) Fail("d2i_ECDSA_SIG");
  Bytes raw(64);
  if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + 32, 32) != 32)
    Fail("BN_bn2binpad");
  return raw;
}

Bytes MakePkcs7(const Bytes& signatureXml, const Pkcs7Spec& params) {
  const Credential signer = params.signer ? *params.signer : DefaultSigner();
  const bool sm2 = signer.keyType == KeyType::kSm2;
  const std::string digestOid = !params.digestAlgorithm.empty()
                                    ? params.digestAlgorithm
                                : sm2                              ? kOidSm3
                                : params.rsaHash == RsaHash::kSha1 ? kOidSha1
                                                                   : kOidSha256;
  const std::string signatureOid = !params.signatureAlgorithm.empty()
                                       ? params.signatureAlgorithm
                                   : sm2 ? kOidSm2Sign
                                         : kOidRsaEncryption;
  const std::string dataOid = params.rfcOids ? kOidP7Data : kOidP7DataGm;
  const EVP_MD* md = DigestOfOid(digestOid);
  const Writer w{params.ber};
  const Writer der{false};

  // What is signed: the DER SET OF the signed attributes, or the content.
  const bool withAttributes =
      params.signedAttributes.value_or(!params.encapsulated);
  const Bytes content =
      params.encapsulated
          ? params.content.value_or(DigestWith(md, signatureXml))
          : signatureXml;
  Bytes message = content;
  Bytes storedAttributes;
  if (withAttributes) {
    // Each attribute in DER (signed) and in the output's encoding (stored).
    std::vector<std::pair<Bytes, Bytes>> attrs;
    auto add = [&](const std::string& oid, const Bytes& derValue,
                   const Bytes& storedValue) {
      attrs.emplace_back(Attribute(der, oid, {derValue}),
                         Attribute(w, oid, {storedValue}));
    };
    if (params.contentTypeAttribute) {
      const Bytes type =
          asn::Oid(params.contentType.empty() ? dataOid : params.contentType);
      add(kOidContentTypeAttr, type, type);
    }
    if (params.signingTime) {
      const Bytes time = asn::UtcTime(*params.signingTime);
      add(kOidSigningTimeAttr, time, time);
    }
    if (params.messageDigestAttribute) {
      const Bytes digest =
          params.messageDigest.value_or(DigestWith(md, content));
      add(kOidMessageDigestAttr, der.Octets(digest), w.Octets(digest));
    }
    for (const Bytes& extra : params.extraAttributes)
      attrs.emplace_back(extra, extra);
    // DER order: sorted by encoding. BER stores the reverse of it.
    std::sort(attrs.begin(), attrs.end());
    if (params.ber) std::reverse(attrs.begin(), attrs.end());
    std::vector<Bytes> signedForm, storedForm;
    for (const auto& a : attrs) {
      signedForm.push_back(a.first);
      storedForm.push_back(a.second);
    }
    message = asn::Tlv(0x31, DerSetContent(signedForm));
    storedAttributes = w.Constructed(0xA0, storedForm);
  }

  Bytes signature;
  if (params.signature) {
    signature = *params.signature;
  } else {
    Credential key = signer;
    if (params.signingKey) key.key = params.signingKey;
    signature = Sign(key, message, params.rsaHash);
    if (params.rawSignature) signature = Sm2RawSignature(signature);
  }

  // SignerIdentifier.
  X509* cert = signer.cert.get();
  Bytes sid;
  if (params.subjectKeyIdentifier) {
    const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(cert);
    if (keyId == nullptr) Fail("X509_get0_subject_key_id");
    sid = asn::Tlv(
        0x80, Bytes(ASN1_STRING_get0_data(keyId),
                    ASN1_STRING_get0_data(keyId) + ASN1_STRING_length(keyId)));
  } else {
    sid = w.Seq(
        {Encode<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(cert)),
         Encode<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(cert))});
  }

  std::vector<Bytes> signerInfo{
      asn::Integer(params.subjectKeyIdentifier ? 3 : 1), sid,
      AlgorithmId(w, digestOid)};
  if (withAttributes) signerInfo.push_back(storedAttributes);
  signerInfo.push_back(AlgorithmId(w, signatureOid));
  signerInfo.push_back(w.Octets(signature));

  std::vector<Bytes> encap{asn::Oid(dataOid)};
  if (params.encapsulated)
    encap.push_back(w.Constructed(0xA0, {w.Octets(content)}));

  const std::vector<Bytes> certs =
      params.certificates.value_or(std::vector<Bytes>{signer.certDer});
  std::vector<Bytes> signedData{
      asn::Integer(params.subjectKeyIdentifier ? 3 : 1),
      w.Constructed(0x31, {AlgorithmId(w, digestOid)}), w.Seq(encap)};
  if (!certs.empty()) signedData.push_back(w.Constructed(0xA0, certs));
  signedData.push_back(w.Constructed(0x31, {w.Seq(signerInfo)}));

  return w.Seq(
      {asn::Oid(params.rfcOids ? kOidP7SignedData : kOidP7SignedDataGm),
       w.Constructed(0xA0, {w.Seq(signedData)})});
}

Bytes MakePkcs7WithOpenSsl(const Bytes& signatureXml, const Credential& signer,
                           bool ber) {
  // OpenSSL streams only attached content: the BER value carries
  // Signature.xml itself.
  const int flags = PKCS7_BINARY | (ber ? PKCS7_STREAM : PKCS7_DETACHED);
  Bio data(BIO_new_mem_buf(signatureXml.data(),
                           static_cast<int>(signatureXml.size())));
  if (!data) Fail("BIO_new_mem_buf");
  std::unique_ptr<PKCS7, Pkcs7Free> p7(PKCS7_sign(
      signer.cert.get(), signer.key.get(), nullptr, data.get(), flags));
  if (!p7) Fail("PKCS7_sign");
  if (!ber) return Encode<PKCS7, i2d_PKCS7>(p7.get());
  // Streaming: the signature is made while the output is written.
  Bio out(BIO_new(BIO_s_mem()));
  Bio again(BIO_new_mem_buf(signatureXml.data(),
                            static_cast<int>(signatureXml.size())));
  if (!out || !again ||
      i2d_PKCS7_bio_stream(out.get(), p7.get(), again.get(), flags) != 1)
    Fail("i2d_PKCS7_bio_stream");
  char* bytes = nullptr;
  const long len = BIO_get_mem_data(out.get(), &bytes);
  return Der(reinterpret_cast<const unsigned char*>(bytes),
             static_cast<int>(len));
}

}  // namespace fx
