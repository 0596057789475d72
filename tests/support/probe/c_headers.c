/* Compiled as C99 with -Wall -Werror -pedantic: every header that declares
   plain-named exports is usable from C, all of them in one translation
   unit. The functions below only take the addresses and call shapes the
   declarations give; they are never run. */
#include "KXCrypto.h"
#include "KXError.h"
#include "KXHost.h"
#include "KXLog.h"
#include "KXSM.h"
#include "KXTrust.h"
#include "SKF.h"
#include "SealCore.h"
#include "SealDevice.h"
#include "SealProperty.h"
#include "SealServices.h"
#include "SealVerify.h"
#include "kx_export.h"

uint32_t CheckFromC(const unsigned char* text, uint32_t textLen) {
  SEBF_SetWebcookie(gNetcookie);
  return SEBF_CheckTime_OffAuthFile(text, textLen);
}

unsigned int VerifyFromC(const unsigned char* digest, unsigned int digestLen,
                         const unsigned char* seal, unsigned int sealLen) {
  unsigned char name[64];
  unsigned int nameLen = sizeof name;
  unsigned int rc = SEF_OfdESealSign_Verify(digest, digestLen, seal, sealLen);
  if (rc != 0) {
    KXLog(KX_LOG_ERROR, "VerifyFromC", __LINE__, "%u %s", rc,
          SEF_FormatError(rc));
    return rc == (unsigned int)KX_ERR_VERIFY ? rc : SEF_GetLastError();
  }
  return SEBF_GetESealProperty(ES_SEAL_NAME, seal, sealLen, name, &nameLen);
}

int Sm3FromC(const unsigned char* data, uint32_t length, unsigned char out[32]) {
  SM3_CTX_1 ctx;
  if (!SM3_Init_1(&ctx)) return 0;
  SM3_Update_1(&ctx, data, length);
  SM3_Final_1(&ctx, out);
  return KXVerifyCertLink(NULL, false) == 0 && KXCertAlgo(NULL) != 0;
}
