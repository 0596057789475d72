// Owning holders for the libcrypto and Mini-XML objects used inside the three
// libraries: one deleter per type and UniquePtr<T>, so that every path
// releases what it created. The decoded seal and signature records get theirs
// beside their descriptors (sealcore/formats/seal_der.h).
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "KXXml.h"

namespace kx {

template <class T>
struct Deleter;

#define KX_OSSL_DELETER(type, freefn)             \
  template <>                                     \
  struct Deleter<type> {                          \
    void operator()(type* p) const { freefn(p); } \
  }

KX_OSSL_DELETER(BIGNUM, BN_free);
KX_OSSL_DELETER(BN_CTX, BN_CTX_free);
KX_OSSL_DELETER(EC_POINT, EC_POINT_free);
KX_OSSL_DELETER(EC_GROUP, EC_GROUP_free);
KX_OSSL_DELETER(ECDSA_SIG, ECDSA_SIG_free);
KX_OSSL_DELETER(BIO, BIO_free);
KX_OSSL_DELETER(X509, X509_free);
KX_OSSL_DELETER(X509_SIG, X509_SIG_free);
KX_OSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
KX_OSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
KX_OSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
KX_OSSL_DELETER(PKCS12, PKCS12_free);
KX_OSSL_DELETER(ASN1_OCTET_STRING, ASN1_OCTET_STRING_free);
KX_OSSL_DELETER(AUTHORITY_KEYID, AUTHORITY_KEYID_free);
KX_OSSL_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
KX_OSSL_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);
KX_OSSL_DELETER(OSSL_PARAM, OSSL_PARAM_free);
// Trees of KXStrToXml and KXXmlNew.
KX_OSSL_DELETER(mxml_node_t, KXXmlFree);

#undef KX_OSSL_DELETER

// A stack of PEM entries frees every entry with it.
template <>
struct Deleter<STACK_OF(X509_INFO)> {
  void operator()(STACK_OF(X509_INFO) * p) const {
    sk_X509_INFO_pop_free(p, X509_INFO_free);
  }
};

template <class T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

// Buffers that libcrypto allocates for us (i2d_* with a null output pointer).
struct OpenSslFree {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using OpenSslBytes = std::unique_ptr<unsigned char, OpenSslFree>;

// BN_CTX_start/BN_CTX_end as a scope.
class BnCtxScope {
 public:
  explicit BnCtxScope(BN_CTX* ctx) : ctx_(ctx) { BN_CTX_start(ctx_); }
  ~BnCtxScope() { BN_CTX_end(ctx_); }
  BnCtxScope(const BnCtxScope&) = delete;
  BnCtxScope& operator=(const BnCtxScope&) = delete;

 private:
  BN_CTX* ctx_;
};

}  // namespace kx
