// Parses DER X.509 certificates without turning their public key into a
// libcrypto key object.
//
// OpenSSL 3.0 builds a decoder chain for the public key of every certificate
// it parses, which costs about ten times the parse itself. The checks on the
// verification path need the certificate's structure, its validity times and
// the bytes of its SubjectPublicKeyInfo (an SM2 key is read from those bytes),
// not a key object. Parsing in a library context that holds only the null
// provider leaves the key undecoded; the certificate is otherwise the same,
// and a parse fails exactly where OpenSSL's own certificate parser fails.
// Header only: libsealcore and libsealverify each compile their own copy.
#pragma once

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cstddef>

#include "crypto/openssl_ptr.h"

namespace kx {

using KeylessX509 = UniquePtr<X509>;

// The library context with only the null provider; created once, kept for the
// life of the process.
inline OSSL_LIB_CTX* KeylessContext() {
  static OSSL_LIB_CTX* const ctx = [] {
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    if (c != nullptr && OSSL_PROVIDER_load(c, "null") == nullptr) {
      OSSL_LIB_CTX_free(c);
      c = nullptr;
    }
    return c;
  }();
  return ctx;
}

// The certificate that starts at `der`, with its key left undecoded, or null
// when the bytes are not a DER certificate (or not DER at all: callers fall
// back to the full parser for Base64 and PEM input).
inline KeylessX509 ParseKeylessCert(const unsigned char* der, size_t len) {
  OSSL_LIB_CTX* ctx = KeylessContext();
  if (ctx == nullptr || der == nullptr || len == 0 || der[0] != 0x30 ||
      len > 0x7FFFFFFF)
    return nullptr;
  const unsigned char* p = der;
  ERR_set_mark();
  ASN1_VALUE* value = ASN1_item_d2i_ex(nullptr, &p, static_cast<long>(len),
                                       ASN1_ITEM_rptr(X509), ctx, nullptr);
  // The skipped key decoding leaves errors behind; they mean nothing here.
  ERR_pop_to_mark();
  return KeylessX509(reinterpret_cast<X509*>(value));
}

}  // namespace kx
