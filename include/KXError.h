/* Result codes, the per-thread last error and last message of libKXCommon.
   C and C++; C++ callers also get the thread-local-storage and mutex
   wrappers these rest on (KXThread.h). */
#pragma once

#include <pthread.h>

#include "kx_export.h"

/* Result codes shared by the three libraries. 0 is success; 5000..5071 have
   fixed message texts (KXFormatError). */
#ifdef __cplusplus
enum KXResult : int {
#else
enum KXResult {
#endif
  KX_OK = 0,
  KX_ERR_UNKNOWN = 5000,
  KX_ERR_FAIL = 5001,
  KX_ERR_INVALID_INPUT = 5002,
  KX_ERR_INVALID_LENGTH = 5003,
  KX_ERR_AUTH = 5004,
  KX_ERR_OPEN_FILE = 5005,
  KX_ERR_WRITE_FILE = 5006,
  KX_ERR_READ_FILE = 5007,
  KX_ERR_DATA = 5008,
  KX_ERR_MEMORY = 5009,
  KX_ERR_INVALID_CERT = 5010,
  KX_ERR_CERT_VERIFY = 5011,
  KX_ERR_CERT_ALGO = 5012,
  KX_ERR_DIGEST_MISMATCH = 5013,
  KX_ERR_NOT_IN_PERIOD = 5014,
  KX_ERR_PROPERTY_FORMAT = 5015,
  KX_ERR_DIGEST = 5016,
  KX_ERR_DOC_TYPE = 5017,
  KX_ERR_ASN1 = 5018,
  KX_ERR_CERT_EXPIRED = 5019,
  KX_ERR_SEAL_EXPIRED = 5020,
  KX_ERR_SIGN_EXPIRED = 5021,
  KX_ERR_INVALID_FLAG = 5022,
  KX_ERR_INVALID_SEAL = 5023,
  KX_ERR_INVALID_SEALSIGN = 5024,
  KX_ERR_INVALID_P7 = 5025,
  KX_ERR_INVALID_P7_ATTR = 5026,
  KX_ERR_INVALID_TBS = 5027,
  KX_ERR_NO_SEAL_ON_KEY = 5028,
  KX_ERR_SEAL_PROPERTY = 5029,
  KX_ERR_NO_UKEY = 5030,
  KX_ERR_OPEN_APP = 5031,
  KX_ERR_CERT_NOT_FOUND = 5032,
  KX_ERR_SEAL_NOT_FOUND = 5033,
  KX_ERR_SIGN = 5034,
  KX_ERR_VERIFY = 5035,
  KX_ERR_PIN = 5036,
  KX_ERR_TIME_PERIOD = 5037,
  KX_ERR_NO_FILE = 5038,
  KX_ERR_TIME_FORMAT = 5039,
  KX_ERR_CHAIN_NOT_FOUND = 5047,
  KX_ERR_CRL = 5048,
  KX_ERR_CHARSET = 5050,
  KX_ERR_SIZE_LIMIT = 5051,
  KX_ERR_CERT_ABSENT = 5052,
  KX_ERR_CONTAINER = 5053,
  KX_ERR_ENUM_FILES = 5058,
  KX_ERR_CONFIG = 5063,
  KX_ERR_OPENSSL = 5069,
  KX_ERR_MAX_SIZE = 5071,
};

#ifdef __cplusplus
extern "C" {
#endif

/* Process-wide thread key whose per-thread value is the thread's store. */
KX_EXPORT extern pthread_key_t g_tlsKey;

KX_EXPORT void KXSetLastError(int code);
KX_EXPORT int KXGetLastError(void);
KX_EXPORT void KXSetLastMsg(const char* text);
KX_EXPORT const char* KXGetLastMsg(void);
/* Display text of any code; static or the thread's last message, never
   null. */
KX_EXPORT const char* KXFormatError(int code);

/* Frees one thread's store (null: the calling thread's). */
KX_EXPORT void basic_tls_destructor(void* map);

#ifdef __cplusplus
}

#include "KXThread.h"
#endif
