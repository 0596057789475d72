// Family detection of a DER seal signature by trial decoding, with this
// library's private structures.
#include "KXError.h"
#include "KXLog.h"
#include "formats_private.h"

unsigned int ES_DetectSealSign(const unsigned char* data, unsigned int len,
                               DetectedSignature* out) {
  if ((out->gov = kx::der::TryDecode<kxsv::GOV_SESSignature_t>(data, len))) {
    out->version = KX_SEAL_FAMILY_GOV;
    return KX_OK;
  }
  // Only the layout with the seal in an OCTET STRING is a GIN signature here;
  // libsealcore's embedded-seal layout falls through and fails below.
  if ((out->gin = kx::der::TryDecode<kxsv::GIN_SESSignature_t>(data, len))) {
    out->version = KX_SEAL_FAMILY_GIN;
    return KX_OK;
  }
  if ((out->ses = kx::der::TryDecode<kxsv::SESSignature_t>(data, len))) {
    out->version = kx::der::FirstContentOctet(out->ses->tbsSign->version);
    return KX_OK;
  }
  KX_LOG_ERR("ES_CheckSealSignVerson",
             "ES_CheckSealSignVerson-->%d -- sealsign data error",
             KX_ERR_INVALID_SEAL);
  return KX_ERR_INVALID_SEAL;
}

unsigned int ES_CheckSealSignVerson(const unsigned char* data, unsigned int len,
                                    unsigned int* pulVersion) {
  DetectedSignature detected;
  const unsigned int rc = ES_DetectSealSign(data, len, &detected);
  if (rc == KX_OK) *pulVersion = detected.version;
  return rc;
}
