// Keys, certificates and signatures for the fixtures, with OpenSSL 3.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

#include "fixtures.h"

namespace fx {

const char* const kOidSm2WithSm3 = "1.2.156.10197.1.501";
const char* const kOidSm3 = "1.2.156.10197.1.401";
const char* const kOidRsaWithSha256 = "1.2.840.113549.1.1.11";
const char* const kOidRsaWithSha1 = "1.2.840.113549.1.1.5";

namespace {

// The SM2 user identifier of GM/T 0009. OpenSSL 3.0 uses an empty one unless
// told, so every SM2 context gets it explicitly.
const char kSm2Id[] = "1234567812345678";

struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct ExtFree {
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

[[noreturn]] void Fail(const char* what) {
  unsigned long err = ERR_get_error();
  char text[256] = "";
  ERR_error_string_n(err, text, sizeof text);
  throw std::runtime_error(std::string("fixtures: ") + what + ": " + text);
}

std::shared_ptr<EVP_PKEY> Share(EVP_PKEY* key) {
  return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

bool IsSm2(const EVP_PKEY* key) { return EVP_PKEY_is_a(key, "SM2"); }

const EVP_MD* DigestFor(const EVP_PKEY* key, RsaHash hash) {
  if (IsSm2(key)) return EVP_sm3();
  if (hash == RsaHash::kMd5) return EVP_md5();
  return hash == RsaHash::kSha1 ? EVP_sha1() : EVP_sha256();
}

// A digest-sign or digest-verify context for `key`; for SM2 the identifier is
// set on a key context of our own before the digest starts. The digest
// context does not take that key context over, so both are kept here (the
// digest context goes first).
struct DigestCtx {
  PkeyCtx pctx;
  MdCtx md;
  EVP_MD_CTX* get() const { return md.get(); }
};

DigestCtx DigestContext(EVP_PKEY* key, RsaHash hash, bool sign) {
  DigestCtx ctx;
  ctx.md.reset(EVP_MD_CTX_new());
  if (!ctx.md) Fail("EVP_MD_CTX_new");
  if (IsSm2(key)) {
    ctx.pctx.reset(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx.pctx ||
        EVP_PKEY_CTX_set1_id(ctx.pctx.get(), kSm2Id, sizeof kSm2Id - 1) <= 0)
      Fail("EVP_PKEY_CTX_set1_id");
    EVP_MD_CTX_set_pkey_ctx(ctx.md.get(), ctx.pctx.get());
  }
  int ok = sign ? EVP_DigestSignInit(ctx.get(), nullptr, DigestFor(key, hash),
                                     nullptr, key)
                : EVP_DigestVerifyInit(ctx.get(), nullptr, DigestFor(key, hash),
                                       nullptr, key);
  if (ok <= 0) Fail("EVP_Digest{Sign,Verify}Init");
  return ctx;
}

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  std::unique_ptr<X509_EXTENSION, ExtFree> ext(
      X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  if (!ext || !X509_add_ext(cert, ext.get(), -1)) Fail("X509_add_ext");
}

void AddNameEntry(X509_NAME* name, const char* field,
                  const std::string& value) {
  if (value.empty()) return;
  if (!X509_NAME_add_entry_by_txt(
          name, field, MBSTRING_UTF8,
          reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0))
    Fail("X509_NAME_add_entry_by_txt");
}

std::atomic<long> g_nextSerial{0x1001};

}  // namespace

std::shared_ptr<EVP_PKEY> MakeKey(KeyType type, int rsaBits) {
  EVP_PKEY* key =
      type == KeyType::kSm2
          ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")
          : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA",
                              static_cast<size_t>(rsaBits));
  if (key == nullptr) Fail("EVP_PKEY_Q_keygen");
  return Share(key);
}

Credential MakeCredential(const CertSpec& params, const Credential* issuer) {
  Credential out;
  out.keyType = params.keyType;
  out.key = params.key ? params.key : MakeKey(params.keyType, params.rsaBits);
  std::shared_ptr<X509> cert(X509_new(), X509_free);
  if (!cert) Fail("X509_new");
  X509* x = cert.get();
  X509_set_version(x, 2);
  long serial = params.serial != 0 ? params.serial : g_nextSerial++;
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);

  const long kDay = 24 * 3600;
  long from = -kDay, to = 2 * 365 * kDay;
  if (params.validity == Validity::kExpired) {
    from = -2 * 365 * kDay;
    to = -kDay;
  } else if (params.validity == Validity::kNotYetValid) {
    from = 30 * kDay;
    to = 2 * 365 * kDay;
  }
  if (params.periodDays) {
    from = params.periodDays->first * kDay;
    to = params.periodDays->second * kDay;
  }
  const auto bound = [](ASN1_TIME* field, const std::optional<time_t>& at,
                        long offset) {
    return at ? ASN1_TIME_set(field, *at) != nullptr
              : X509_gmtime_adj(field, offset) != nullptr;
  };
  if (!bound(X509_getm_notBefore(x), params.notBefore, from) ||
      !bound(X509_getm_notAfter(x), params.notAfter, to))
    Fail("X509_gmtime_adj");

  X509_NAME* subject = X509_get_subject_name(x);
  AddNameEntry(subject, "C", params.subject.C);
  AddNameEntry(subject, "O", params.subject.O);
  AddNameEntry(subject, "OU", params.subject.OU);
  AddNameEntry(subject, "CN", params.subject.CN);
  X509* issuerCert = issuer ? issuer->cert.get() : x;
  EVP_PKEY* issuerKey = issuer ? issuer->key.get() : out.key.get();
  if (!X509_set_issuer_name(x, X509_get_subject_name(issuerCert)) ||
      !X509_set_pubkey(x, out.key.get()))
    Fail("X509_set_issuer_name/pubkey");

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuerCert, x, nullptr, nullptr, 0);
  if (params.ca) {
    AddExtension(x, &ctx, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(x, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(x, &ctx, NID_key_usage,
                 "critical,digitalSignature,nonRepudiation");
  }
  if (params.keyIdentifiers) {
    AddExtension(x, &ctx, NID_subject_key_identifier, "hash");
    AddExtension(x, &ctx, NID_authority_key_identifier, "keyid:always");
  }

  DigestCtx md = DigestContext(issuerKey, RsaHash::kSha256, true);
  if (X509_sign_ctx(x, md.get()) <= 0) Fail("X509_sign_ctx");

  unsigned char* der = nullptr;
  int len = i2d_X509(x, &der);
  if (len <= 0) Fail("i2d_X509");
  out.certDer.assign(der, der + len);
  OPENSSL_free(der);
  out.cert = cert;
  return out;
}

// Each default is made on first use only, so a test that never asks for an
// RSA credential never waits for an RSA key.
const Credential& DefaultRoot(KeyType type) {
  auto make = [](KeyType t, const char* cn) {
    return MakeCredential(
        {t, {"CN", "测试根证书机构", "", cn}, Validity::kNow, true, true, 0});
  };
  if (type == KeyType::kSm2) {
    static const Credential sm2 = make(type, "Fixture SM2 Root CA");
    return sm2;
  }
  static const Credential rsa = make(type, "Fixture RSA Root CA");
  return rsa;
}

const Credential& DefaultMaker(KeyType type) {
  auto make = [](KeyType t) {
    return MakeCredential({t, {"CN", "测试印章制作中心", "制作部", "印章制作"}},
                          &DefaultRoot(t));
  };
  if (type == KeyType::kSm2) {
    static const Credential sm2 = make(type);
    return sm2;
  }
  static const Credential rsa = make(type);
  return rsa;
}

const Credential& DefaultSigner(KeyType type) {
  auto make = [](KeyType t) {
    return MakeCredential({t, Name()}, &DefaultRoot(t));
  };
  if (type == KeyType::kSm2) {
    static const Credential sm2 = make(type);
    return sm2;
  }
  static const Credential rsa = make(type);
  return rsa;
}

Bytes Sign(const Credential& signer, const Bytes& message, RsaHash hash) {
  DigestCtx md = DigestContext(signer.key.get(), hash, true);
  size_t len = 0;
  if (EVP_DigestSign(md.get(), nullptr, &len, message.data(), message.size()) <=
      0)
    Fail("EVP_DigestSign (size)");
  Bytes sig(len);
  if (EVP_DigestSign(md.get(), sig.data(), &len, message.data(),
                     message.size()) <= 0)
    Fail("EVP_DigestSign");
  sig.resize(len);
  return sig;
}

SignatureBits SignWithSlip(const Credential& signer, const Bytes& message,
                           Sm2Slip slip) {
  for (int attempt = 0; attempt < 100000; ++attempt) {
    Bytes der = Sign(signer, message);
    // SEQUENCE { INTEGER r, INTEGER s } with one-octet lengths (SM2).
    if (der.size() < 8 || der[0] != 0x30 || der[1] >= 0x80 || der[2] != 0x02)
      continue;
    const size_t rLength = der[3];
    const Bytes r(der.begin() + 4, der.begin() + 4 + static_cast<long>(rLength));
    const Bytes rest(der.begin() + 4 + static_cast<long>(rLength), der.end());
    auto withR = [&](const Bytes& content) {
      Bytes inner = Concat({{0x02}, asn::Length(content.size()), content, rest});
      return Concat({{0x30}, asn::Length(inner.size()), inner});
    };
    switch (slip) {
      case Sm2Slip::kUnsignedR:
        if (r.size() == 33 && r[0] == 0x00)
          return {withR(Bytes(r.begin() + 1, r.end())), 0};
        break;
      case Sm2Slip::kPaddedR:
        return {withR(Concat({{0x00}, r})), 0};
      case Sm2Slip::kTruncatedBits: {
        // The encoder dropped the trailing zero byte and counted the zero
        // bits at the end of the byte before as unused.
        if (der.back() != 0x00 || der[der.size() - 2] == 0x00 ||
            (der[der.size() - 2] & 1) != 0)
          break;
        Bytes value(der.begin(), der.end() - 1);
        uint8_t unused = 0;
        while (unused < 7 && (value.back() & (1u << unused)) == 0) ++unused;
        return {value, unused};
      }
      case Sm2Slip::kNone:
        return {der, 0};
    }
  }
  Fail("no signature lends itself to the slip");
  return {};
}

bool VerifyWithOpenSsl(const Bytes& certDer, const Bytes& message,
                       const Bytes& signature, RsaHash hash) {
  const unsigned char* p = certDer.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      d2i_X509(nullptr, &p, static_cast<long>(certDer.size())), X509_free);
  if (!cert) return false;
  EVP_PKEY* key = X509_get0_pubkey(cert.get());  // owned by the certificate
  if (key == nullptr) return false;
  DigestCtx md = DigestContext(key, hash, false);
  int ok = EVP_DigestVerify(md.get(), signature.data(), signature.size(),
                            message.data(), message.size());
  ERR_clear_error();
  return ok == 1;
}

std::string SignatureAlgorithmOid(KeyType type, RsaHash hash) {
  if (type == KeyType::kSm2) return kOidSm2WithSm3;
  if (hash == RsaHash::kMd5) return "1.2.840.113549.1.1.4";
  return hash == RsaHash::kSha1 ? kOidRsaWithSha1 : kOidRsaWithSha256;
}

static Bytes DigestWith(const EVP_MD* md, const Bytes& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(data.data(), data.size(), out, &len, md, nullptr))
    Fail("EVP_Digest");
  return Bytes(out, out + len);
}

Bytes Sm3(const Bytes& data) { return DigestWith(EVP_sm3(), data); }
Bytes Sha256(const Bytes& data) { return DigestWith(EVP_sha256(), data); }

}  // namespace fx
