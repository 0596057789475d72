// Typed helpers over the seal and signature structures for the upper layers:
// an owning pointer per record type, decoding bytes into it and encoding a
// record into bytes. They work for libsealcore's exported records and for
// libsealverify's private copies alike; each record type names its descriptor
// through a specialisation of kx::der::Traits (KX_DER_TRAITS below).
#pragma once

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "SealFormats.h"
#include "crypto/openssl_ptr.h"

namespace kx::der {

// Traits<X_t>::item() returns the descriptor X_it.
template <class T>
struct Traits;

// Frees a record and everything it points to through its descriptor; the
// kx::Deleter of every record type (KX_DER_TRAITS below).
template <class T>
struct RecordDeleter {
  void operator()(T* record) const {
    ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(record), Traits<T>::item());
  }
};

// Owns a decoded or new record and everything it points to.
template <class T>
using Ptr = UniquePtr<T>;

// A new empty record, or null when memory runs out.
template <class T>
Ptr<T> New() {
  return Ptr<T>(
      static_cast<T*>(static_cast<void*>(ASN1_item_new(Traits<T>::item()))));
}

// Decodes one DER element from the start of `data`; bytes after it are
// ignored. Null when the bytes do not decode as T.
template <class T>
Ptr<T> Decode(const uint8_t* data, size_t len) {
  if (data == nullptr || len > static_cast<size_t>(LONG_MAX)) return nullptr;
  const unsigned char* p = data;
  ASN1_VALUE* value =
      ASN1_item_d2i(nullptr, &p, static_cast<long>(len), Traits<T>::item());
  return Ptr<T>(static_cast<T*>(static_cast<void*>(value)));
}

template <class T>
Ptr<T> Decode(const std::vector<uint8_t>& bytes) {
  return Decode<T>(bytes.data(), bytes.size());
}

// Decode for trial decoding (family detection): a failed attempt is an
// answer, not an error, so it leaves nothing on libcrypto's error queue.
template <class T>
Ptr<T> TryDecode(const uint8_t* data, size_t len) {
  ERR_set_mark();
  Ptr<T> record = Decode<T>(data, len);
  ERR_pop_to_mark();
  return record;
}

// DER of `record` into `out` (replaced). False when the record cannot be
// encoded (a missing mandatory field, an unset CHOICE, no memory).
template <class T>
bool Encode(const T* record, std::vector<uint8_t>* out) {
  if (record == nullptr || out == nullptr) return false;
  const ASN1_VALUE* value =
      static_cast<const ASN1_VALUE*>(static_cast<const void*>(record));
  unsigned char* raw = nullptr;
  int len = ASN1_item_i2d(value, &raw, Traits<T>::item());
  OpenSslBytes owned(raw);
  if (len <= 0 || raw == nullptr) return false;
  out->assign(raw, raw + len);
  return true;
}

// The first content octet of an INTEGER as it stands in the DER. A record
// keeps a negative value as its magnitude, so its two's complement octets are
// taken back from the encoding; 0 for an empty or unusable value.
inline unsigned int FirstContentOctet(const ASN1_INTEGER* n) {
  if (n == nullptr || n->length <= 0 || n->data == nullptr) return 0;
  if ((n->type & V_ASN1_NEG) == 0) return n->data[0];
  unsigned char* raw = nullptr;
  const int len = i2d_ASN1_INTEGER(n, &raw);
  OpenSslBytes der(raw);
  if (len <= 0 || raw == nullptr) return 0;
  const unsigned char* p = raw;
  long contentLen = 0;
  int tag = 0, cls = 0;
  if ((ASN1_get_object(&p, &contentLen, &tag, &cls, len) & 0x80) != 0 ||
      contentLen <= 0 || contentLen > len - (p - raw))
    return 0;
  return p[0];
}

}  // namespace kx::der

// Declares kx::der::Traits and kx::Deleter for the record NS::X_t of every
// structure X.
#define KX_DER_TRAITS_ONE(NS, X)                           \
  template <>                                              \
  struct kx::der::Traits<NS::X##_t> {                      \
    static const ASN1_ITEM* item() { return &NS::X##_it; } \
  };                                                       \
  template <>                                              \
  struct kx::Deleter<NS::X##_t> : kx::der::RecordDeleter<NS::X##_t> {};
#define KX_DER_TRAITS_GLOBAL(X) KX_DER_TRAITS_ONE(, X)
KX_SEAL_FORMAT_STRUCTURES(KX_DER_TRAITS_GLOBAL)
#undef KX_DER_TRAITS_GLOBAL
