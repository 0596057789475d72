/* Key devices of libsealcore: binding of the SKF driver named in main.ini,
   certificate, key serial and seal retrieval from the devices, and the seal
   owner check on an opened application. */
#ifndef SEALKIT_SEAL_DEVICE_H
#define SEALKIT_SEAL_DEVICE_H

#include <stdint.h>

#include "kx_export.h"

/* Slots of the binding table: slot 0 holds the driver's handle (null while
   no driver is bound), the others the driver functions at fixed numbers. */
#define SKF_TABLE_SLOTS 79

#ifdef __cplusplus
extern "C" {
#endif

/* The binding table. Read it only while slot 0 is set. */
KX_EXPORT extern void* funcList[SKF_TABLE_SLOTS];

/* Loads the driver `fileName` into `table` (79 slots): 0 on success or when
   the table is already bound; 0x0A000006 for a null table or name,
   0x0A000001 when the file does not load, 0x0A000003 when the driver lacks
   one of the bound functions (it is then unloaded again). */
KX_EXPORT uint32_t SKF_LoadLibrary(const char* fileName, void** table);
/* Unloads the driver of `table` and marks the table unbound. */
KX_EXPORT uint32_t SKF_FreeLibrary(void** table);

/* The one certificate of the one device present. kind (low byte): 0 signing
   or encryption, 1 encryption only, 2 signing only. Several devices or
   several certificates: result 0 with *certLen 0. A buffer smaller than the
   certificate receives nothing; *certLen then tells the size needed. */
KX_EXPORT uint32_t SEBF_GetCert(uint32_t kind, unsigned char* cert,
                                uint32_t* certLen);
/* The signing certificate whose serial number, as lowercase hexadecimal
   text, equals `sn`, searched on every device. */
KX_EXPORT uint32_t SEBF_GetCertbySN(const char* sn, uint32_t snLen,
                                    unsigned char* cert, uint32_t* certLen);
/* The signing certificate whose subject OU ("OU=name") or O ("O=name")
   equals the name, given in UTF-8 or GBK. */
KX_EXPORT uint32_t SEBF_GetCertforPrint(const char* selector,
                                        unsigned char* cert, uint32_t* certLen);
/* The identifiers of the seals stored on the devices, lowercase hexadecimal,
   each followed by a NUL, the list ended by one more NUL. */
KX_EXPORT uint32_t SEBF_GetESealList(unsigned char* list, uint32_t* listLen,
                                     uint32_t* count);
/* The printable serial number of the one device present (no NUL). */
KX_EXPORT uint32_t SEBF_GetKeySn(unsigned char* keySn, uint32_t* keySnLen);
/* The printable serial number of the device that holds the signing key of
   the DER certificate `cert`. */
KX_EXPORT uint32_t SEBF_GetKeySnbyCert(const unsigned char* cert,
                                       uint32_t certLen, unsigned char* keySn,
                                       uint32_t* keySnLen);

#ifdef __cplusplus
}

typedef struct x509_st X509;

/* Binds the driver named in main.ini once: 1 when a driver is bound. */
KX_EXPORT uint32_t SE_Initialize();
/* The SKF application name the device walks open ("Default" unless main.ini
   names another). */
KX_EXPORT const char* GET_ESEAL_APP_NAME();
/* 0 when a container of the open application `app` holds a signing key pair
   of algorithm `alg` (1 RSA, 2 SM2) whose public key is that of `cert`;
   *container is then set as a marker (the container is already closed). */
KX_EXPORT uint32_t SE_FindPrivateSignKey(void* app, X509* cert, int alg,
                                         void** container);
/* 0 when a container of the open application `app` holds the signing
   certificate that the seal names as its owner (by certificate or by SM3
   digest). */
KX_EXPORT uint32_t SE_Verify_KEY_ESCert(void* app, const unsigned char* seal,
                                        uint32_t sealLen);
#endif

#endif /* SEALKIT_SEAL_DEVICE_H */
