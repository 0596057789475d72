/* Compiled as C: the seal services header declares its plain C exports for
   C callers. */
#include "SealServices.h"

uint32_t CheckFromC(const unsigned char* text, uint32_t textLen) {
  SEBF_SetWebcookie(gNetcookie);
  return SEBF_CheckTime_OffAuthFile(text, textLen);
}
