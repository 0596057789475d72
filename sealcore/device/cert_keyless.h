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

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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
// back to the full parser for Base64 and PEM input). Callers use
// ParseKeylessCert below, which remembers recent certificates.
inline KeylessX509 ParseKeylessCertUncached(const unsigned char* der,
                                            size_t len) {
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

// The certificates parsed last, by their DER bytes. The documents of one
// issuer carry the same seal maker's and signer's certificates again and
// again, and a parse costs more than the rest of a verification's bookkeeping
// together; a certificate found here is shared (its reference count raised)
// rather than parsed again. Callers only read the certificates. Thread-safe.
class KeylessCache {
 public:
  static constexpr size_t kEntries = 16;
  static constexpr size_t kMaxBytes = 16 << 10;

  ~KeylessCache() {
    for (Entry& e : entries_) X509_free(e.second);
  }

  static KeylessCache& Instance() {
    static KeylessCache cache;
    return cache;
  }

  // A new reference to the cached certificate of exactly these bytes.
  KeylessX509 Find(const unsigned char* der, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i) {
      const std::string& key = entries_[i].first;
      if (key.size() != len || std::memcmp(key.data(), der, len) != 0)
        continue;
      X509* cert = entries_[i].second;
      if (X509_up_ref(cert) != 1) return nullptr;
      // The most recent first: a full cache drops the least used.
      std::rotate(entries_.begin(), entries_.begin() + i,
                  entries_.begin() + i + 1);
      return KeylessX509(cert);
    }
    return nullptr;
  }

  void Add(const unsigned char* der, size_t len, X509* cert) {
    if (len > kMaxBytes || X509_up_ref(cert) != 1) return;
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      entries_.insert(entries_.begin(),
                      Entry(std::string(reinterpret_cast<const char*>(der), len),
                            cert));
    } catch (...) {
      X509_free(cert);
      return;
    }
    if (entries_.size() > kEntries) {
      X509_free(entries_.back().second);
      entries_.pop_back();
    }
  }

 private:
  using Entry = std::pair<std::string, X509*>;  // owns one reference
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

// ParseKeylessCert through the cache.
inline KeylessX509 ParseKeylessCert(const unsigned char* der, size_t len) {
  if (der == nullptr || len == 0) return nullptr;
  KeylessCache& cache = KeylessCache::Instance();
  if (KeylessX509 found = cache.Find(der, len)) return found;
  KeylessX509 parsed = ParseKeylessCertUncached(der, len);
  if (parsed) cache.Add(der, len, parsed.get());
  return parsed;
}

}  // namespace kx
