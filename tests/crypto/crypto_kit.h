// Keys, certificates and OpenSSL reference operations for the crypto and
// seal-service tests. OpenSSL's own SM2/SM3 serve as the independent oracle;
// SM2 operations always name the identifier 1234567812345678 explicitly.
#pragma once

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kit {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(PKCS12* p) const { PKCS12_free(p); }
  void operator()(X509_PUBKEY* p) const { X509_PUBKEY_free(p); }
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
  void operator()(EC_POINT* p) const { EC_POINT_free(p); }
  void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Cert = std::unique_ptr<X509, Free>;
using Bn = std::unique_ptr<BIGNUM, Free>;
using Bytes = std::vector<unsigned char>;

inline const char kSm2Id[] = "1234567812345678";

inline Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(
        static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}
inline std::string ToHex(const void* data, size_t len, bool upper = true) {
  static const char* kUpper = "0123456789ABCDEF";
  static const char* kLower = "0123456789abcdef";
  const char* digits = upper ? kUpper : kLower;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}
inline std::string ToHex(const Bytes& b, bool upper = true) {
  return ToHex(b.data(), b.size(), upper);
}
inline Bytes RandomBytes(size_t n) {
  Bytes b(n);
  if (n > 0) RAND_bytes(b.data(), static_cast<int>(n));
  return b;
}

// "key = value" lines of a vector file, in order ('#' starts a comment).
inline std::vector<std::pair<std::string, std::string>> ReadVectors(
    const std::string& name) {
  std::ifstream in(std::string(KX_VECTORS_DIR) + "/" + name);
  std::vector<std::pair<std::string, std::string>> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(" \t"));
      s.erase(s.find_last_not_of(" \t\r") + 1);
      return s;
    };
    out.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
  }
  return out;
}

inline Key Sm2Key() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }
inline Key RsaKey(size_t bits = 2048) {
  return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", bits));
}
inline Key P256Key() {
  return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

// 65-byte uncompressed public point of an EC/SM2 key.
inline Bytes PublicPoint(EVP_PKEY* key) {
  unsigned char buf[133];
  size_t len = 0;
  EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, buf, sizeof buf,
                                  &len);
  return Bytes(buf, buf + len);
}
inline Bn PrivateScalar(EVP_PKEY* key) {
  BIGNUM* d = nullptr;
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d);
  return Bn(d);
}

// OpenSSL's own SM2 signature (DER) with SM3 and the default identifier.
inline Bytes OsslSm2Sign(EVP_PKEY* key, const Bytes& msg) {
  std::unique_ptr<EVP_MD_CTX, Free> md(EVP_MD_CTX_new());
  std::unique_ptr<EVP_PKEY_CTX, Free> pctx(EVP_PKEY_CTX_new(key, nullptr));
  EVP_PKEY_CTX_set1_id(pctx.get(), kSm2Id, 16);
  EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
  Bytes sig(80);
  size_t len = sig.size();
  if (EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, key) != 1 ||
      EVP_DigestSign(md.get(), sig.data(), &len, msg.data(), msg.size()) != 1)
    return Bytes();
  sig.resize(len);
  return sig;
}
inline bool OsslSm2Verify(EVP_PKEY* key, const Bytes& msg, const Bytes& sig) {
  std::unique_ptr<EVP_MD_CTX, Free> md(EVP_MD_CTX_new());
  std::unique_ptr<EVP_PKEY_CTX, Free> pctx(EVP_PKEY_CTX_new(key, nullptr));
  EVP_PKEY_CTX_set1_id(pctx.get(), kSm2Id, 16);
  EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
  return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key) ==
             1 &&
         EVP_DigestVerify(md.get(), sig.data(), sig.size(), msg.data(),
                          msg.size()) == 1;
}

// Raw PKCS #1 v1.5 type 1 signature over `block` (a DigestInfo or anything).
inline Bytes RsaSignBlock(EVP_PKEY* key, const Bytes& block) {
  std::unique_ptr<EVP_PKEY_CTX, Free> ctx(EVP_PKEY_CTX_new(key, nullptr));
  Bytes sig(static_cast<size_t>(EVP_PKEY_get_size(key)));
  size_t len = sig.size();
  if (EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_sign(ctx.get(), sig.data(), &len, block.data(), block.size()) !=
          1)
    return Bytes();
  sig.resize(len);
  return sig;
}

struct CertOptions {
  std::string subject = "Subject";
  std::string issuer = "Issuer";
  long notBeforeDays = -1;  // relative to now
  long notAfterDays = 365;
  bool keyIds = true;  // subject and authority key identifiers
};

inline void AddName(X509_NAME* name, const std::string& cn) {
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("CN"), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Org"), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()),
                             -1, -1, 0);
}

// Signs the certificate with the issuer key: SM2 with SM3 and the default
// identifier, else SHA-256.
inline bool SignCert(X509* cert, EVP_PKEY* issuerKey) {
  std::unique_ptr<EVP_MD_CTX, Free> md(EVP_MD_CTX_new());
  const bool sm2 = EVP_PKEY_is_a(issuerKey, "SM2");
  EVP_PKEY_CTX* pctx = nullptr;
  if (EVP_DigestSignInit(md.get(), &pctx, sm2 ? EVP_sm3() : EVP_sha256(),
                         nullptr, issuerKey) != 1)
    return false;
  if (sm2) EVP_PKEY_CTX_set1_id(pctx, kSm2Id, 16);
  return X509_sign_ctx(cert, md.get()) > 0;
}

inline Cert MakeCert(EVP_PKEY* subjectKey, EVP_PKEY* issuerKey,
                     const CertOptions& o = CertOptions()) {
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x1234567);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), o.notBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), o.notAfterDays * 86400L);
  AddName(X509_get_subject_name(cert.get()), o.subject);
  AddName(X509_get_issuer_name(cert.get()), o.issuer);
  X509_set_pubkey(cert.get(), subjectKey);
  if (o.keyIds) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ski =
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_key_identifier, "hash");
    X509_add_ext(cert.get(), ski, -1);
    X509_EXTENSION_free(ski);
    // The authority key identifier names the subject key of a self-signed
    // certificate; for others a fixed 20-byte identifier will do.
    X509_EXTENSION* aki = X509V3_EXT_conf_nid(
        nullptr, &ctx, NID_authority_key_identifier, "keyid:always");
    X509_add_ext(cert.get(), aki, -1);
    X509_EXTENSION_free(aki);
  }
  if (!SignCert(cert.get(), issuerKey)) return Cert();
  return cert;
}

inline Bytes Der(const X509* cert) {
  unsigned char* der = nullptr;
  int len = i2d_X509(cert, &der);
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  return out;
}
inline std::string Pem(const X509* cert) {
  std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}
inline std::string Base64(const Bytes& b) {
  std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), b.data(),
                          static_cast<int>(b.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// SubjectPublicKeyInfo of a key, as the X509_PUBKEY the helpers take.
inline std::unique_ptr<X509_PUBKEY, Free> PubKeyOf(EVP_PKEY* key) {
  X509_PUBKEY* pub = nullptr;
  X509_PUBKEY_set(&pub, key);
  return std::unique_ptr<X509_PUBKEY, Free>(pub);
}

}  // namespace kit
