// Family detection of a DER seal signature by trial decoding, with this
// library's private structures.
#include "KXError.h"
#include "KXLog.h"
#include "formats_private.h"

unsigned int ES_CheckSealSignVerson(const unsigned char* data, unsigned int len,
                                    unsigned int* pulVersion) {
  if (kx::der::TryDecode<kxsv::GOV_SESSignature_t>(data, len)) {
    *pulVersion = KX_SEAL_FAMILY_GOV;
    return KX_OK;
  }
  // Only the layout with the seal in an OCTET STRING is a GIN signature here;
  // libsealcore's embedded-seal layout falls through and fails below.
  if (kx::der::TryDecode<kxsv::GIN_SESSignature_t>(data, len)) {
    *pulVersion = KX_SEAL_FAMILY_GIN;
    return KX_OK;
  }
  if (auto sig = kx::der::TryDecode<kxsv::SESSignature_t>(data, len)) {
    const ASN1_INTEGER* version = sig->tbsSign->version;
    *pulVersion = kx::der::FirstContentOctet(version);
    return KX_OK;
  }
  KX_LOG_ERR("ES_CheckSealSignVerson",
             "ES_CheckSealSignVerson-->%d -- sealsign data error",
             KX_ERR_INVALID_SEAL);
  return KX_ERR_INVALID_SEAL;
}
