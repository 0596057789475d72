// libsealverify: verify seal signatures on OFD documents against the caller's
// digest, read properties of seal signatures and seals, compute digests.
// Every function returns 0 on success or a result code (see KXError.h).
// Output buffers: a null buffer asks for the length only; a buffer that is
// too small gives 5003 with the needed length stored.
//
// C and C++; SEF_GetServerTime, exported under its C++ name, is C++ only.
#pragma once

#include "kx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// 0 when `pbSignData` (a DER seal signature of any family) is valid for the
// digest `pbData` of the signed document data.
KX_EXPORT unsigned int SEF_OfdESealSign_Verify(const unsigned char* pbData,
                                               unsigned int ulDataLen,
                                               const unsigned char* pbSignData,
                                               unsigned int ulSignDataLen);

// One property of a seal signature by number; numbers the signature does not
// serve are read from the seal embedded in it.
KX_EXPORT unsigned int SEF_ESealSignDataGetProperty(
    unsigned int ulFlag, const unsigned char* pchSealSignData,
    unsigned int ulSealSignDataLen, unsigned char* pchData,
    unsigned int* pulDataLen);
// One property of a DER seal.
KX_EXPORT unsigned int SEF_AnalyzeESealData(unsigned int ulFlag,
                                            const unsigned char* pchESealData,
                                            unsigned int ulESealDataLen,
                                            unsigned char* pchData,
                                            unsigned int* pulDataLen);
// Releases a picture buffer allocated with new[]; null is ignored.
KX_EXPORT void SEF_EPicture_Free(void* p);

// Digest by algorithm identifier: 4 MD5, 41 SHA-0, 64 SHA-1, 672 SHA-256,
// 673 SHA-384, 674 SHA-512, 675 SHA-224, 920 SM3.
KX_EXPORT unsigned int SEF_DigestDatabyAlg(unsigned int ulAlgID,
                                           const unsigned char* pbData,
                                           unsigned int ulDataLen,
                                           unsigned char* pbDigest,
                                           unsigned int* pulDigLen);
// The same digest in three calls over one process-wide holder: Final gives
// the digest of everything fed by Update since Init. The handle is always 1.
KX_EXPORT unsigned int SEF_DigestDataInitbyAlg(unsigned int ulAlgID,
                                               void** phHandle);
KX_EXPORT unsigned int SEF_DigestDataUpdate(void* hHandle,
                                            const unsigned char* pbData,
                                            unsigned int ulDataLen);
KX_EXPORT unsigned int SEF_DigestDataFinal(void* hHandle,
                                           unsigned char* pbDigest,
                                           unsigned int* pulDigLen);

// The calling thread's last error recorded by the lower libraries.
KX_EXPORT unsigned int SEF_GetLastError(void);
// Message text of a result code; static, never freed by the caller.
KX_EXPORT const char* SEF_FormatError(unsigned int code);

#ifdef __cplusplus
}

// Current UTC time as ASN.1 text (UTCTime for 1950..2049, else
// GeneralizedTime) with its NUL, into `out` of at least 16 bytes. `flag` is
// not used.
KX_EXPORT unsigned int SEF_GetServerTime(unsigned char flag, char* out);

#endif
