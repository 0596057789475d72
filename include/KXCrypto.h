// Certificate, key, digest and signature helpers of libKXCommon, and the
// reference-counted holder in which they hand out libcrypto objects.
#pragma once

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "ckxstr.h"
#include "kx_export.h"

// ---------------------------------------------------------------------------
// shared_ptr<T>: a raw pointer plus a count block. The block starts with a use
// count of 1; copying a holder adds one, and the holder that drops the count
// to 0 frees the object (dispose) and then the block (destroy). An empty
// holder stands for "no object".

class shared_ptr_count_base {
 public:
  shared_ptr_count_base() : use_count_(1) {}
  virtual ~shared_ptr_count_base() {}
  // Frees the held object.
  virtual void dispose() = 0;
  // Frees this count block.
  virtual void destroy() { delete this; }

  void add_ref() { use_count_.fetch_add(1, std::memory_order_relaxed); }
  void release() {
    if (use_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      dispose();
      destroy();
    }
  }
  int32_t use_count() const {
    return use_count_.load(std::memory_order_acquire);
  }

 private:
  shared_ptr_count_base(const shared_ptr_count_base&) = delete;
  shared_ptr_count_base& operator=(const shared_ptr_count_base&) = delete;
  std::atomic<int32_t> use_count_;
};

template <class T, class D>
class shared_ptr_count_impld : public shared_ptr_count_base {
 public:
  shared_ptr_count_impld(T* ptr, D deleter) : ptr_(ptr), deleter_(deleter) {}
  void dispose() override { deleter_(ptr_); }

 private:
  T* ptr_;
  D deleter_;
};

// Deleters of the libcrypto objects handed out in holders.
struct _destructor_X509 {
  void operator()(X509* p) const { X509_free(p); }
};
struct _destructor_PKEY {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct _destructor_EC_POINT {
  void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};
struct _destructor_ECDSA_SIG {
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};

// The deleter a holder of T uses when none is given.
template <class T>
struct shared_ptr_default_deleter;
template <>
struct shared_ptr_default_deleter<X509> {
  typedef _destructor_X509 type;
};
template <>
struct shared_ptr_default_deleter<EVP_PKEY> {
  typedef _destructor_PKEY type;
};
template <>
struct shared_ptr_default_deleter<EC_POINT> {
  typedef _destructor_EC_POINT type;
};
template <>
struct shared_ptr_default_deleter<ECDSA_SIG> {
  typedef _destructor_ECDSA_SIG type;
};

template <class T>
class shared_ptr {
 public:
  shared_ptr() : ptr_(nullptr), count_(nullptr) {}
  // Takes ownership of `ptr` (null gives an empty holder). Should the count
  // block not be allocated, the object is freed and the holder stays empty.
  explicit shared_ptr(T* ptr)
      : shared_ptr(ptr, typename shared_ptr_default_deleter<T>::type()) {}
  template <class D>
  shared_ptr(T* ptr, D deleter) : ptr_(nullptr), count_(nullptr) {
    if (ptr == nullptr) return;
    count_ = new (std::nothrow) shared_ptr_count_impld<T, D>(ptr, deleter);
    if (count_ == nullptr) {
      deleter(ptr);
      return;
    }
    ptr_ = ptr;
  }
  shared_ptr(const shared_ptr& other) : ptr_(other.ptr_), count_(other.count_) {
    if (count_ != nullptr) count_->add_ref();
  }
  shared_ptr(shared_ptr&& other) noexcept
      : ptr_(other.ptr_), count_(other.count_) {
    other.ptr_ = nullptr;
    other.count_ = nullptr;
  }
  shared_ptr& operator=(shared_ptr other) noexcept {
    swap(other);
    return *this;
  }
  ~shared_ptr() {
    if (count_ != nullptr) count_->release();
  }

  void swap(shared_ptr& other) noexcept {
    T* p = ptr_;
    ptr_ = other.ptr_;
    other.ptr_ = p;
    shared_ptr_count_base* c = count_;
    count_ = other.count_;
    other.count_ = c;
  }
  void reset() { shared_ptr().swap(*this); }
  void reset(T* ptr) { shared_ptr(ptr).swap(*this); }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  bool empty() const { return ptr_ == nullptr; }
  int32_t use_count() const {
    return count_ == nullptr ? 0 : count_->use_count();
  }

 private:
  T* ptr_;
  shared_ptr_count_base* count_;
};

// ---------------------------------------------------------------------------
// Certificates and keys. A `ckxstr` result is a byte buffer; empty means
// failure or nothing found.

// DER (first byte 0x30), Base64 of DER (first byte 'M') or PEM. A negative
// length means NUL-terminated text. Failures set the last error (5009, 5010).
KX_EXPORT shared_ptr<X509> KXStrToX509(const void* bytes, int length);
// PEM text (pem true) or DER bytes of the certificate.
KX_EXPORT ckxstr KXX509ToStr(const X509* cert, bool pem);
// Every byte pending in the BIO.
KX_EXPORT ckxstr KXBioToStr(BIO* bio);
// Hex text of the content of a non-negative INTEGER or of a BIT STRING;
// empty for other types.
KX_EXPORT ckxstr KXASN1ToStr(const ASN1_STRING* value);
// nid != 0: raw value of the first entry with that attribute; nid == 0: the
// whole name as "C=CN,O=Org,CN=Name".
KX_EXPORT ckxstr KXGetX509Name(const X509_NAME* name, int nid);
// Hex text of the subject key identifier extension.
KX_EXPORT ckxstr KXGetSubjectKeyId(const STACK_OF(X509_EXTENSION) * exts);
// Hex text of the keyIdentifier of the authority key identifier extension.
KX_EXPORT ckxstr KXGetAuthorKeyId(const STACK_OF(X509_EXTENSION) * exts);
// "RSA_2048", "SM2_0256", "ECC_0256"...
KX_EXPORT ckxstr KXCertType(const X509_PUBKEY* key);
// "SM2_0256" for SM2-with-SM3 certificates, else "RSA_" and the bit length of
// the signature value.
KX_EXPORT ckxstr KXSignType(const X509* cert);
// Digest selected by NID: 4 MD5, 41 SHA-0, 64 SHA-1, 672 SHA-256,
// 673 SHA-384, 674 SHA-512, 675 SHA-224, 920 SM3.
KX_EXPORT ckxstr KXDigestByNID(const void* data, uint32_t length, int nid);
// DigestInfo prefix of the NID followed by the digest.
KX_EXPORT ckxstr KXDigestASN1ByNID(const void* data, uint32_t length, int nid);
// RSA PKCS#1 v1.5 signature over the SHA-1 DigestInfo of the data.
KX_EXPORT ckxstr KXSignData(const void* data, uint32_t length, EVP_PKEY* key);
// PKCS#12: the certificate, with its private key in `key`.
KX_EXPORT shared_ptr<X509> KXStrToP12(const void* bytes, uint32_t length,
                                      const char* password,
                                      shared_ptr<EVP_PKEY>& key);

// The NID of the digest whose DigestInfo an RSA PKCS #1 v1.5 signature
// carries (4, 41, 64, 672..675, 920), read with the key; 0 when the key is not
// RSA, the signature does not open with it or the block names no digest of the
// table. Says nothing about whether the signature matches any data.
KX_EXPORT int KXRsaSignatureDigest(const X509_PUBKEY* key, const void* signature,
                                   uint32_t signatureLength);

extern "C" {
// 1 RSA, 2 SM2, 3 other elliptic curve, 0 other algorithm, 5002 null.
KX_EXPORT int KXCertAlgo(const X509_PUBKEY* key);
// 0 when the signature verifies; 5002, 5001, 5010 or 5035 otherwise. RSA
// signatures over MD5 or SHA-0 DigestInfos are refused (5035); an SM2
// signature value in DER must be exactly one SEQUENCE { r, s }.
KX_EXPORT uint32_t KXVerifyData(const X509_PUBKEY* key, const void* data,
                                uint32_t dataLength, const void* signature,
                                uint32_t signatureLength);
// 0 when the issuer's key verifies the certificate's signature; 5002, 5010
// or 5011 otherwise.
KX_EXPORT int KXVerifyX509(const X509* cert, const X509_PUBKEY* issuerKey);
}
