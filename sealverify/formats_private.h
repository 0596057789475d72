// libsealverify's private copy of the seal and signature structures, in
// namespace kxsv, hidden from the dynamic symbol table. The definitions are
// libsealcore's own (one source, SealFormatsRecords.inc and
// seal_templates.inc); only GIN_TBS_Sign differs: here it carries the seal as
// DER bytes in an OCTET STRING and timeInfo and dataHash as OCTET STRINGs.
//
// Use the kxsv:: records with the typed helpers of formats/seal_der.h, e.g.
//   auto sig = kx::der::Decode<kxsv::GIN_SESSignature_t>(data, len);
//   auto seal = kx::der::Decode<kxsv::GIN_SESeal_t>(
//       sig->tbsSign->eseal->data, sig->tbsSign->eseal->length);
#pragma once

#include <openssl/asn1.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include "SealFormats.h"
#include "formats/seal_der.h"
#include "kx_export.h"

namespace kxsv {
#define SEAL_FORMATS_API KX_HIDDEN
#define SEAL_GIN_ESEAL_AS_OCTETS 1
#include "SealFormatsRecords.inc"
#undef SEAL_GIN_ESEAL_AS_OCTETS
#undef SEAL_FORMATS_API
}  // namespace kxsv

#define KX_DER_TRAITS_KXSV(X) KX_DER_TRAITS_ONE(kxsv, X)
KX_SEAL_FORMAT_STRUCTURES(KX_DER_TRAITS_KXSV)
#undef KX_DER_TRAITS_KXSV

// Tries the bytes as GOV_SESSignature, GIN_SESSignature (this library's
// layout) and SESSignature, in that order, each from the first byte with the
// whole length as the limit. Writes 4, 3, or the first content octet of the
// plain signature's tbsSign.version through pulVersion and returns 0; returns
// 5023 when none decodes, writing nothing. The pointers are not checked.
KX_HIDDEN unsigned int ES_CheckSealSignVerson(const unsigned char* data,
                                              unsigned int len,
                                              unsigned int* pulVersion);

// The same detection, handing over the record it decoded so that callers
// read every field from that one decoding: `gov`, `gin` or `ses` is set to
// match the family found (a plain-layout signature whose version is 3 or 4
// has `ses` set).
struct DetectedSignature {
  unsigned int version = 0;
  kx::der::Ptr<kxsv::GOV_SESSignature_t> gov;
  kx::der::Ptr<kxsv::GIN_SESSignature_t> gin;
  kx::der::Ptr<kxsv::SESSignature_t> ses;
};
KX_HIDDEN unsigned int ES_DetectSealSign(const unsigned char* data,
                                         unsigned int len,
                                         DetectedSignature* out);
