// Family detection of a DER seal by trial decoding.
#include "KXError.h"
#include "KXLog.h"
#include "SealFormats.h"
#include "formats/seal_der.h"

unsigned int SE_CheckSealVerson(const unsigned char* pchESealData,
                                unsigned int ulESealDataLen,
                                unsigned int* pulVersion) {
  // GOV first, then GIN, then plain: the families have no marker, and the
  // order decides between layouts that might both accept the same bytes.
  if (kx::der::TryDecode<GOV_SESeal_t>(pchESealData, ulESealDataLen)) {
    *pulVersion = KX_SEAL_FAMILY_GOV;
    return KX_OK;
  }
  if (kx::der::TryDecode<GIN_SESeal_t>(pchESealData, ulESealDataLen)) {
    *pulVersion = KX_SEAL_FAMILY_GIN;
    return KX_OK;
  }
  if (auto seal = kx::der::TryDecode<SESeal_t>(pchESealData, ulESealDataLen)) {
    const ASN1_INTEGER* version = seal->esealInfo->header->version;
    // The plain family's version is the first content octet; the decoder
    // never yields an INTEGER without content, the guard keeps it so.
    *pulVersion = kx::der::FirstContentOctet(version);
    return KX_OK;
  }
  KX_LOG_ERR("SE_CheckSealVerson", "SE_CheckSealVerson-->%d -- seal data error",
             KX_ERR_INVALID_SEAL);
  return KX_ERR_INVALID_SEAL;
}
