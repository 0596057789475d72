// Certificates and keys: parsing, encoding, names, key identifiers and key
// types.
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXString.h"
#include "openssl_ptr.h"

namespace kx {
namespace {

// PEM reading never asks for a password (no prompt on a terminal).
int NoPassword(char*, int, int, void*) { return 0; }

// The key algorithm OIDs compared as dotted text.
const char kOidRsa[] = "1.2.840.113549.1.1.1";
const char kOidEcKey[] = "1.2.840.10045.2.1";
const char kOidSm2Curve[] = "1.2.156.10197.1.301";
const char kOidSm2WithSm3[] = "1.2.156.10197.1.501";

// Dotted text of an OID, at most 32 characters (longer ones are cut and
// match nothing in the comparisons).
void OidText(const ASN1_OBJECT* obj, char (&out)[33]) {
  out[0] = '\0';
  if (obj != nullptr && OBJ_obj2txt(out, sizeof out, obj, 1) < 0) out[0] = 0;
}

void LogEmpty(const char* function, int line) {
  KXLog(KX_LOG_ERROR, function, line, "%s", "");
}

shared_ptr<X509> DerToX509(const void* der, int length) {
  UniquePtr<BIO> bio(BIO_new_mem_buf(der, length));
  if (!bio) {
    KXSetLastError(KX_ERR_MEMORY);
    LogEmpty("KXStrToX509", __LINE__);
    return shared_ptr<X509>();
  }
  shared_ptr<X509> cert(d2i_X509_bio(bio.get(), nullptr));
  if (!cert) {
    KXSetLastError(KX_ERR_INVALID_CERT);
    LogEmpty("KXStrToX509", __LINE__);
  }
  return cert;
}

// Hex text of bytes [start, end) of an extension value, or empty when the
// range does not lie inside it.
ckxstr HexRange(const ASN1_OCTET_STRING* value, size_t start, size_t count) {
  const size_t length = static_cast<size_t>(ASN1_STRING_length(value));
  if (start > length || count > length - start || count == 0) return ckxstr();
  return KXHexToStr(ASN1_STRING_get0_data(value) + start,
                    static_cast<uint32_t>(count));
}

const ASN1_OCTET_STRING* ExtensionValue(const STACK_OF(X509_EXTENSION) * exts,
                                        int nid) {
  if (exts == nullptr) return nullptr;
  const int at = X509v3_get_ext_by_NID(exts, nid, -1);
  if (at < 0) return nullptr;
  return X509_EXTENSION_get_data(X509v3_get_ext(exts, at));
}

}  // namespace
}  // namespace kx

using kx::UniquePtr;

shared_ptr<X509> KXStrToX509(const void* bytes, int length) {
  if (bytes == nullptr) return shared_ptr<X509>();
  const char* text = static_cast<const char*>(bytes);
  if (length < 0) length = static_cast<int>(std::strlen(text));
  // Nothing to read: the first byte that chooses the form is not there.
  if (length == 0) {
    KXSetLastError(KX_ERR_INVALID_CERT);
    kx::LogEmpty("KXStrToX509", __LINE__);
    return shared_ptr<X509>();
  }
  if (text[0] == 0x30) return kx::DerToX509(bytes, length);
  if (text[0] == 'M') {
    ckxstr der = KXBase64Decode(text, length);
    if (der.empty()) {
      KXSetLastError(KX_ERR_INVALID_CERT);
      kx::LogEmpty("KXStrToX509", __LINE__);
      return shared_ptr<X509>();
    }
    return kx::DerToX509(der.c_str(), static_cast<int>(der.length()));
  }
  UniquePtr<BIO> bio(BIO_new_mem_buf(bytes, length));
  if (!bio) {
    KXSetLastError(KX_ERR_MEMORY);
    kx::LogEmpty("KXStrToX509", __LINE__);
    return shared_ptr<X509>();
  }
  shared_ptr<X509> cert(
      PEM_read_bio_X509(bio.get(), nullptr, kx::NoPassword, nullptr));
  if (!cert) {
    KXSetLastError(KX_ERR_INVALID_CERT);
    kx::LogEmpty("KXStrToX509", __LINE__);
  }
  return cert;
}

ckxstr KXBioToStr(BIO* bio) {
  if (bio == nullptr) return ckxstr();
  const size_t pending = BIO_ctrl_pending(bio);
  if (pending == 0) return ckxstr();
  ckxstr out;
  if (pending > ckxstr::kMaxLength ||
      !out.resize(static_cast<uint32_t>(pending), false)) {
    KXSetLastError(KX_ERR_MEMORY);
    kx::LogEmpty("KXBioToStr", __LINE__);
    return ckxstr();
  }
  const int got = BIO_read(bio, out.data(), static_cast<int>(pending));
  if (got < 0 || static_cast<size_t>(got) != pending) {
    KXSetLastError(KX_ERR_FAIL);
    kx::LogEmpty("KXBioToStr", __LINE__);
    return ckxstr();
  }
  return out;
}

ckxstr KXX509ToStr(const X509* cert, bool pem) {
  if (cert == nullptr) return ckxstr();
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio) {
    KXSetLastError(KX_ERR_MEMORY);
    kx::LogEmpty("KXX509ToStr", __LINE__);
    return ckxstr();
  }
  const int ok =
      pem ? PEM_write_bio_X509(bio.get(), cert) : i2d_X509_bio(bio.get(), cert);
  if (ok != 1) {
    KXSetLastError(KX_ERR_FAIL);
    kx::LogEmpty("KXX509ToStr", __LINE__);
    return ckxstr();
  }
  return KXBioToStr(bio.get());
}

ckxstr KXASN1ToStr(const ASN1_STRING* value) {
  if (value == nullptr) return ckxstr();
  const int type = ASN1_STRING_type(value);
  // A negative INTEGER has its own type (V_ASN1_NEG_INTEGER) and is refused.
  if (type != V_ASN1_INTEGER && type != V_ASN1_BIT_STRING) return ckxstr();
  const int length = ASN1_STRING_length(value);
  if (length <= 0) return ckxstr();
  return KXHexToStr(ASN1_STRING_get0_data(value),
                    static_cast<uint32_t>(length));
}

ckxstr KXGetX509Name(const X509_NAME* name, int nid) {
  if (name == nullptr) return ckxstr();
  ckxstr out;
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const ASN1_OBJECT* obj = X509_NAME_ENTRY_get_object(entry);
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
    const int entryNid = OBJ_obj2nid(obj);
    const void* data = ASN1_STRING_get0_data(value);
    const uint32_t length =
        static_cast<uint32_t>(std::max(0, ASN1_STRING_length(value)));
    if (nid != 0) {
      if (entryNid != nid) continue;
      if (!out.assign(data, length)) return ckxstr();
      return out;
    }
    // Attributes without a short name are written as dotted OIDs.
    const char* shortName =
        entryNid == NID_undef ? nullptr : OBJ_nid2sn(entryNid);
    char oid[80];
    if (shortName == nullptr) {
      if (OBJ_obj2txt(oid, sizeof oid, obj, 1) <= 0) oid[0] = '\0';
      shortName = oid;
    }
    if ((i > 0 && !out.append(",", 1)) ||
        !out.append(shortName, static_cast<uint32_t>(std::strlen(shortName))) ||
        !out.append("=", 1) || !out.append(data, length))
      return ckxstr();
  }
  return out;
}

// The extension value is the DER OCTET STRING holding the identifier: skip
// its tag and one-byte length.
ckxstr KXGetSubjectKeyId(const STACK_OF(X509_EXTENSION) * exts) {
  const ASN1_OCTET_STRING* value =
      kx::ExtensionValue(exts, NID_subject_key_identifier);
  if (value == nullptr) return ckxstr();
  const int length = ASN1_STRING_length(value);
  if (length <= 2) return ckxstr();
  return kx::HexRange(value, 2, static_cast<size_t>(length) - 2);
}

// AuthorityKeyIdentifier ::= SEQUENCE { keyIdentifier [0] IMPLICIT OCTET
// STRING OPTIONAL, ... }, with [0] first. The outer length takes one octet
// (second byte below 0x81) or 1 + (second byte - 0x80) octets; the [0] tag
// and its one-byte length follow. Every offset is checked against the value,
// and anything but a short-form [0] element right there gives empty.
ckxstr KXGetAuthorKeyId(const STACK_OF(X509_EXTENSION) * exts) {
  const ASN1_OCTET_STRING* value =
      kx::ExtensionValue(exts, NID_authority_key_identifier);
  if (value == nullptr) return ckxstr();
  const unsigned char* v = ASN1_STRING_get0_data(value);
  const int signedLength = ASN1_STRING_length(value);
  if (v == nullptr || signedLength < 2) return ckxstr();
  const size_t length = static_cast<size_t>(signedLength);
  const size_t lengthAt = v[1] < 0x81 ? 3 : static_cast<size_t>(v[1]) - 0x7d;
  if (lengthAt >= length) return ckxstr();
  if (v[lengthAt - 1] != 0x80 || v[lengthAt] >= 0x80) return ckxstr();
  return kx::HexRange(value, lengthAt + 1, v[lengthAt]);
}

extern "C" int KXCertAlgo(const X509_PUBKEY* key) {
  if (key == nullptr) return KX_ERR_INVALID_INPUT;
  ASN1_OBJECT* algorithm = nullptr;
  X509_ALGOR* params = nullptr;
  if (X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, &params, key) != 1)
    return 0;
  char oid[33];
  kx::OidText(algorithm, oid);
  if (std::strcmp(oid, kx::kOidRsa) == 0) return 1;
  if (std::strcmp(oid, kx::kOidEcKey) != 0) return 0;
  int paramType = V_ASN1_UNDEF;
  const void* paramValue = nullptr;
  X509_ALGOR_get0(nullptr, &paramType, &paramValue, params);
  if (paramType != V_ASN1_OBJECT || paramValue == nullptr) return 3;
  kx::OidText(static_cast<const ASN1_OBJECT*>(paramValue), oid);
  return std::strcmp(oid, kx::kOidSm2Curve) == 0 ? 2 : 3;
}

ckxstr KXCertType(const X509_PUBKEY* key) {
  const int algo = KXCertAlgo(key);
  char text[32];
  if (algo == 1) {
    EVP_PKEY* pkey = X509_PUBKEY_get0(key);  // owned by the X509_PUBKEY
    const int bytes = pkey == nullptr ? 0 : EVP_PKEY_get_size(pkey);
    if (bytes <= 0) {
      KXSetLastError(KX_ERR_INVALID_INPUT);
      return ckxstr();
    }
    std::snprintf(text, sizeof text, "RSA_%04d", bytes * 8);
  } else if (algo == 2 || algo == 3) {
    const unsigned char* point = nullptr;
    int pointLength = 0;
    if (X509_PUBKEY_get0_param(nullptr, &point, &pointLength, nullptr, key) !=
            1 ||
        point == nullptr || pointLength < 2) {
      KXSetLastError(KX_ERR_INVALID_INPUT);
      return ckxstr();
    }
    // Field size from the point's encoding: a compressed point (first byte
    // below 4) holds one coordinate, an uncompressed one two.
    const int bits =
        point[0] < 4 ? 8 * (pointLength - 1) : 4 * (pointLength - 1);
    std::snprintf(text, sizeof text, "%s%04d", algo == 2 ? "SM2_" : "ECC_",
                  bits);
  } else {
    KXSetLastError(algo == KX_ERR_INVALID_INPUT ? KX_ERR_INVALID_INPUT
                                                : KX_ERR_FAIL);
    return ckxstr();
  }
  ckxstr out;
  if (!out.assign(text, static_cast<uint32_t>(std::strlen(text))))
    return ckxstr();
  return out;
}

ckxstr KXSignType(const X509* cert) {
  if (cert == nullptr) return ckxstr();
  const ASN1_BIT_STRING* signature = nullptr;
  const X509_ALGOR* algorithm = nullptr;
  X509_get0_signature(&signature, &algorithm, cert);
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, algorithm);
  char oid[33];
  kx::OidText(obj, oid);
  char text[32];
  if (std::strcmp(oid, kx::kOidSm2WithSm3) == 0) {
    std::snprintf(text, sizeof text, "SM2_0256");
  } else {
    const int length = signature == nullptr ? 0 : ASN1_STRING_length(signature);
    std::snprintf(text, sizeof text, "RSA_%04d", 8 * length);
  }
  ckxstr out;
  if (!out.assign(text, static_cast<uint32_t>(std::strlen(text))))
    return ckxstr();
  return out;
}

shared_ptr<X509> KXStrToP12(const void* bytes, uint32_t length,
                            const char* password, shared_ptr<EVP_PKEY>& key) {
  key.reset();
  if (bytes == nullptr || length > 0x7FFFFFFFu) return shared_ptr<X509>();
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  UniquePtr<PKCS12> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(length)));
  if (!p12) return shared_ptr<X509>();
  EVP_PKEY* pkey = nullptr;
  X509* cert = nullptr;
  const int parsed = PKCS12_parse(p12.get(), password, &pkey, &cert, nullptr);
  // Whatever came back is owned by these holders, on every path.
  shared_ptr<X509> certHolder(cert);
  shared_ptr<EVP_PKEY> keyHolder(pkey);
  if (parsed != 1 || !certHolder || !keyHolder) return shared_ptr<X509>();
  key = keyHolder;
  return certHolder;
}
