// DER structures of electronic seals and seal signatures in their three
// families (plain, GIN_, GOV_), exported by libsealcore, and the detection of
// a seal's family.
//
// Each structure X has a record X_t, a descriptor X_it and the codec
// functions d2i_X, i2d_X, X_new and X_free; all are described in
// SealFormatsRecords.inc.
#pragma once

#ifndef __cplusplus
#error "SealFormats.h is a C++ header"
#endif

#include <openssl/asn1.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include "kx_export.h"

// Stacks of primitive strings used by the SEQUENCE OF fields; libcrypto
// defines none for these two types.
#ifndef KX_STACK_OF_ASN1_OCTET_STRING
#define KX_STACK_OF_ASN1_OCTET_STRING
DEFINE_STACK_OF(ASN1_OCTET_STRING)
#endif
#ifndef KX_STACK_OF_ASN1_BIT_STRING
#define KX_STACK_OF_ASN1_BIT_STRING
DEFINE_STACK_OF(ASN1_BIT_STRING)
#endif

#define SEAL_FORMATS_API KX_EXPORT
#define SEAL_GIN_ESEAL_AS_OCTETS 0
#include "SealFormatsRecords.inc"
#undef SEAL_GIN_ESEAL_AS_OCTETS
#undef SEAL_FORMATS_API

// Every structure, for code generated per structure: X(name) for each.
#define KX_SEAL_FORMAT_STRUCTURES(X)                                           \
  X(SESHeader)                                                                 \
  X(SESESPictrueInfo) X(SESESPropertyInfo) X(SESSealInfo) X(SESSignInfo)       \
      X(SESeal) X(TBS_Seal) X(GIN_CertDigest) X(GIN_CertList)                  \
          X(GIN_SESESPropertyInfo) X(GIN_SESSealInfo) X(GIN_SESeal)            \
              X(CertDigstObj) X(SESCertList) X(GOV_SESESPropertyInfo)          \
                  X(GOV_SESSealInfo) X(GOV_TBS_Seal) X(GOV_SESeal) X(TBS_Sign) \
                      X(SESSignature) X(ResultData) X(GIN_TBS_Sign)            \
                          X(GIN_SESSignature) X(GOV_TBS_Sign)                  \
                              X(GOV_SESSignature) X(TBS_Server)

// Family values reported by the detectors; any other value is the plain
// family's own version number.
enum : unsigned int {
  KX_SEAL_FAMILY_GIN = 3,
  KX_SEAL_FAMILY_GOV = 4,
};

// Tries the bytes as GOV_SESeal, GIN_SESeal and SESeal, in that order, each
// from the first byte with the whole length as the limit (bytes after the
// element are ignored). Writes 4, 3, or the first content octet of the plain
// seal's header version through pulVersion and returns 0; returns 5023 when
// none decodes, writing nothing. The pointers are not checked: callers do.
KX_EXPORT unsigned int SE_CheckSealVerson(const unsigned char* pchESealData,
                                          unsigned int ulESealDataLen,
                                          unsigned int* pulVersion);
