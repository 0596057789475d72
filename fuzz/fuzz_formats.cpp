// Feeds arbitrary bytes to the decoder of every seal and signature structure
// (libsealcore's exported codecs and libsealverify's private copy) and to both
// family detectors. Whatever decodes is encoded again; that encoding must
// decode and encode to the very same bytes (DER is canonical), otherwise the
// harness traps.
#include <cstdint>
#include <cstring>
#include <vector>

#include "KXLog.h"
#include "SealFormats.h"
#include "formats/seal_der.h"
#include "formats_private.h"
#include "tolerant.h"

namespace {

[[noreturn]] void Fail() { __builtin_trap(); }

template <class T>
bool Encode(int (*i2d)(T*, unsigned char**), T* record,
            std::vector<uint8_t>* out) {
  int len = i2d(record, nullptr);
  if (len <= 0) return false;
  out->resize(static_cast<size_t>(len));
  unsigned char* p = out->data();
  if (i2d(record, &p) != len || p != out->data() + len) Fail();
  return true;
}

// Through the exported functions d2i_X, i2d_X and X_free.
template <class T>
void ThroughExports(T* (*d2i)(T**, const unsigned char**, long),
                    int (*i2d)(T*, unsigned char**), void (*release)(T*),
                    const uint8_t* data, size_t size) {
  const unsigned char* p = data;
  T* record = d2i(nullptr, &p, static_cast<long>(size));
  if (record == nullptr) {
    if (p != data) Fail();  // a failed decode consumes nothing
    return;
  }
  if (p <= data || p > data + size) Fail();
  std::vector<uint8_t> first, second;
  bool encoded = Encode(i2d, record, &first);
  release(record);
  if (!encoded) Fail();  // what decodes must encode
  const unsigned char* q = first.data();
  T* again = d2i(nullptr, &q, static_cast<long>(first.size()));
  if (again == nullptr || q != first.data() + first.size()) Fail();
  encoded = Encode(i2d, again, &second);
  release(again);
  if (!encoded || first != second) Fail();
}

// Through the typed helpers, for the private copy.
template <class T>
void ThroughHelpers(const uint8_t* data, size_t size) {
  kx::der::Ptr<T> record = kx::der::Decode<T>(data, size);
  if (!record) return;
  std::vector<uint8_t> first, second;
  if (!kx::der::Encode(record.get(), &first)) Fail();
  kx::der::Ptr<T> again = kx::der::Decode<T>(first);
  if (!again || !kx::der::Encode(again.get(), &second) || first != second)
    Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Failed detections log at ERROR; keep the log file out of the run.
  static const bool quiet = (KXSetLogLevel(KX_LOG_FATAL), true);
  (void)quiet;

#define FUZZ_CORE(X) ThroughExports(&d2i_##X, &i2d_##X, &X##_free, data, size);
  KX_SEAL_FORMAT_STRUCTURES(FUZZ_CORE)
#undef FUZZ_CORE
#define FUZZ_VERIFIER(X) ThroughHelpers<kxsv::X##_t>(data, size);
  KX_SEAL_FORMAT_STRUCTURES(FUZZ_VERIFIER)
#undef FUZZ_VERIFIER

  // Tolerant reading only drops or retags elements, and a rewritten copy
  // needs no second rewrite.
  std::vector<uint8_t> normalized, again;
  for (auto normalize : {&sv::tolerant::NormalizeSignature,
                         &sv::tolerant::NormalizeSeal}) {
    if (normalize(data, size, &normalized) &&
        (normalized.size() > size ||
         normalize(normalized.data(), normalized.size(), &again)))
      Fail();
  }
  for (int family : {0, 3, 4}) sv::tolerant::SignedPartsOf(data, size, family);
  uint8_t rs[64];
  sv::tolerant::Sm2SignatureValue(data, size, static_cast<int>(size % 8), rs);

  unsigned int version = 0xFFFFFFFFu;
  unsigned int len = static_cast<unsigned int>(size);
  unsigned int rc = SE_CheckSealVerson(data, len, &version);
  if (rc != 0 && rc != 5023) Fail();
  if (rc == 0 && version > 255) Fail();
  version = 0xFFFFFFFFu;
  rc = ES_CheckSealSignVerson(data, len, &version);
  if (rc != 0 && rc != 5023) Fail();
  if (rc == 0 && version > 255) Fail();
  return 0;
}
