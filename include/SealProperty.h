// Properties of electronic seals, read by property number from the DER seal
// of any family (libsealcore). C and C++; the exports under C++ names
// (SE_GetESealProperty and the line scanners) are C++ only.
#pragma once

#include "kx_export.h"

// Seal property numbers.
#ifdef __cplusplus
enum : unsigned int {
#else
enum {
#endif
  ES_ADMIN_CERT = 6,          // maker certificate, DER
  ES_SEAL_VERSION = 7,        // content octets of header.version
  ES_SEAL_ID = 8,             // esID
  ES_SEAL_NAME = 9,           // seal name text
  ES_CREATE_DATE = 10,        // "YYYY-MM-DD hh:mm:ss", local time
  ES_VALID_START = 11,
  ES_VALID_END = 12,
  ES_SEAL_TYPE = 13,          // content octets of propertys.type
  ES_OWNER_CERT_STR = 21,     // hex of the owner certificate (or digest)
  ES_OWNER_CERT_SUBJECT = 22, // "subject serial notBefore-notAfter;" each
  ES_NAME_CERT_SUBJECT = 22,
  ES_SEAL_VID = 23,           // header.sVid
  ES_ADMIN_CERT_CN = 24,      // common name of the maker certificate
  ES_SEAL_NAME_RAW = 51,      // content octets of propertys.name
  ES_SEAL_INFO = 53,          // 1274-byte summary record
  ES_PIC_DATA = 54,           // picture bytes
  ES_OWNER_CERT = 55,         // owner certificate, DER
  ES_PIC_SIZE = 56,           // width, height: two little-endian int32
  ES_OWNER_CERT_OU = 57,      // organisational unit of the owner cert
  ES_NAME_CERT_OU = 57,
  ES_PIC_TYPE = 59,           // picture type text
  ES_OWNER_CERT_HASH = 60,    // first owner certificate digest
};

#ifdef __cplusplus
extern "C" {
#endif

// One property of a DER seal of any family. `pchData` null asks for the
// length only; `*pulDataLen` holds the buffer size on entry and the length on
// return. A buffer that is too small gives 5003 with the needed length stored
// and is left untouched; a failure leaves both the buffer and the length as
// they were. Text comes without a terminating NUL. An owner list without
// elements gives 5032 for the flags that read its first element; flag 22 on
// a GOV seal with no owner gives an empty text.
// 0, or 5002, 5003, 5009, 5010, 5022, 5023, 5029, 5032, 5039.
KX_EXPORT unsigned int SEBF_GetESealProperty(unsigned int ulFlag,
                                             unsigned char const* pchESealData,
                                             unsigned int ulESealDataLen,
                                             unsigned char* pchData,
                                             unsigned int* pulDataLen);

#ifdef __cplusplus
}

// The same under its C++ name.
KX_EXPORT unsigned int SE_GetESealProperty(unsigned int ulFlag,
                                           unsigned char const* pchESealData,
                                           unsigned int ulESealDataLen,
                                           unsigned char* pchData,
                                           unsigned int* pulDataLen);

// 1 when c is a line feed, a carriage return or NUL.
KX_EXPORT int newline(char c);
// Length of the first line of s.
KX_EXPORT int strnewline(char const* s);

#endif
