// Helpers of the formats tests: a DER walker that cuts nested elements out of
// a fixture, and a uniform view of the codec functions of every structure in
// both copies (libsealcore's exports and libsealverify's private kxsv copy).
#pragma once

#include <openssl/asn1.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>

#include "SealFormats.h"
#include "fixtures.h"
#include "formats_private.h"

namespace formats_test {

using fx::Bytes;

// Length of the TLV at data[0..len), or 0 when it is not a definite-length
// element that fits.
inline size_t TlvSize(const uint8_t* data, size_t len, size_t* header) {
  if (len < 2) return 0;
  size_t pos = 1, content = data[pos++];
  if (content & 0x80) {
    size_t n = content & 0x7F;
    if (n == 0 || n > 4 || pos + n > len) return 0;
    content = 0;
    for (size_t i = 0; i < n; ++i) content = content << 8 | data[pos++];
  }
  if (pos + content > len) return 0;
  *header = pos;
  return pos + content;
}

// The element reached from the outer element by taking, at each level, the
// child with the given index.
inline Bytes ChildAt(const Bytes& der, std::initializer_list<int> path) {
  Bytes current = der;
  for (int index : path) {
    size_t header = 0;
    size_t total = TlvSize(current.data(), current.size(), &header);
    if (total == 0) throw std::runtime_error("ChildAt: bad element");
    size_t pos = header;
    for (int i = 0;; ++i) {
      size_t childHeader = 0;
      size_t size = TlvSize(current.data() + pos, total - pos, &childHeader);
      if (size == 0) throw std::runtime_error("ChildAt: no such child");
      if (i == index) {
        current = Bytes(current.begin() + pos, current.begin() + pos + size);
        break;
      }
      pos += size;
    }
  }
  return current;
}

// What the tests need of one structure's codec.
struct Codec {
  std::string name;
  const ASN1_ITEM* item;
  // Decodes with d2i_X; on success re-encodes with i2d_X into *reencoded and
  // stores the bytes consumed; frees with X_free. False when d2i fails (the
  // input pointer must then be unchanged, checked inside).
  std::function<bool(const Bytes& in, Bytes* reencoded, size_t* consumed)> run;
};

template <class T>
bool RunCodec(T* (*d2i)(T**, const unsigned char**, long),
              int (*i2d)(T*, unsigned char**), void (*release)(T*),
              const Bytes& in, Bytes* reencoded, size_t* consumed) {
  const unsigned char* p = in.data();
  T* record = d2i(nullptr, &p, static_cast<long>(in.size()));
  if (record == nullptr) {
    if (p != in.data()) throw std::runtime_error("failed d2i moved the input");
    return false;
  }
  *consumed = static_cast<size_t>(p - in.data());
  unsigned char* out = nullptr;
  int len = i2d(record, &out);
  release(record);
  if (len <= 0) {
    reencoded->clear();
  } else {
    reencoded->assign(out, out + len);
  }
  OPENSSL_free(out);
  return true;
}

#define FORMATS_TEST_CODEC(NS, X)                                        \
  {#X, &NS::X##_it, [](const Bytes& in, Bytes* out, size_t* consumed) {  \
     return RunCodec(&NS::d2i_##X, &NS::i2d_##X, &NS::X##_free, in, out, \
                     consumed);                                          \
   }},

// Codecs by structure name: libsealcore's exports, libsealverify's copy.
inline const std::map<std::string, Codec>& CoreCodecs() {
  static const std::map<std::string, Codec> codecs = [] {
    std::map<std::string, Codec> m;
    for (Codec c : std::initializer_list<Codec>{
#define FORMATS_TEST_CORE(X) FORMATS_TEST_CODEC(, X)
             KX_SEAL_FORMAT_STRUCTURES(FORMATS_TEST_CORE)
#undef FORMATS_TEST_CORE
         })
      m.emplace(c.name, c);
    return m;
  }();
  return codecs;
}

inline const std::map<std::string, Codec>& VerifierCodecs() {
  static const std::map<std::string, Codec> codecs = [] {
    std::map<std::string, Codec> m;
    for (Codec c : std::initializer_list<Codec>{
#define FORMATS_TEST_SV(X) FORMATS_TEST_CODEC(kxsv, X)
             KX_SEAL_FORMAT_STRUCTURES(FORMATS_TEST_SV)
#undef FORMATS_TEST_SV
         })
      m.emplace(c.name, c);
    return m;
  }();
  return codecs;
}

// Decodes with the descriptor through the generic engine and re-encodes.
inline bool RunItem(const ASN1_ITEM* item, const Bytes& in, Bytes* reencoded) {
  const unsigned char* p = in.data();
  ASN1_VALUE* value =
      ASN1_item_d2i(nullptr, &p, static_cast<long>(in.size()), item);
  if (value == nullptr) return false;
  unsigned char* out = nullptr;
  int len = ASN1_item_i2d(value, &out, item);
  ASN1_item_free(value, item);
  reencoded->assign(out, out + (len > 0 ? len : 0));
  OPENSSL_free(out);
  return true;
}

}  // namespace formats_test
