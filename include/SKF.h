/* The key-device interface of GM/T 0016-2012 (smart cryptographic key
   application interface), written from the public standard: its types,
   records, algorithm identifiers, result codes and the functions the seal
   services bind. Plain C, so that drivers written in C can use it too. */
#ifndef SEALKIT_SKF_H
#define SEALKIT_SKF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Base types. The standard fixes their widths, not the C types behind them:
   LONG and ULONG are 32 bits, BOOL is a 32-bit integer. */
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef INT32 BOOL;
typedef UINT8 BYTE;
typedef char CHAR;
typedef INT16 SHORT;
typedef UINT16 USHORT;
typedef INT32 LONG;
typedef UINT32 ULONG;
typedef UINT32 UINT;
typedef UINT16 WORD;
typedef UINT32 DWORD;
typedef UINT32 FLAGS;
typedef CHAR* LPSTR;
typedef void* HANDLE;
typedef HANDLE DEVHANDLE;
typedef HANDLE HAPPLICATION;
typedef HANDLE HCONTAINER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Sizes of the record fields. */
#define MAX_RSA_MODULUS_LEN 256
#define MAX_RSA_EXPONENT_LEN 4
#define ECC_MAX_XCOORDINATE_BITS_LEN 512
#define ECC_MAX_YCOORDINATE_BITS_LEN 512
#define ECC_MAX_MODULUS_BITS_LEN 512
#define MAX_IV_LEN 32

/* Algorithm identifiers (GM/T 0006). */
#define SGD_SM1_ECB 0x00000101
#define SGD_SM1_CBC 0x00000102
#define SGD_SSF33_ECB 0x00000201
#define SGD_SSF33_CBC 0x00000202
#define SGD_SM4_ECB 0x00000401
#define SGD_SM4_CBC 0x00000402
#define SGD_RSA 0x00010000
#define SGD_SM2_1 0x00020100 /* signature */
#define SGD_SM2_2 0x00020200 /* key exchange */
#define SGD_SM2_3 0x00020400 /* encryption */
#define SGD_SM3 0x00000001
#define SGD_SHA1 0x00000002
#define SGD_SHA256 0x00000004

/* Access rights of files and PIN kinds. */
#define SECURE_NEVER_ACCOUNT 0x00000000
#define SECURE_ADM_ACCOUNT 0x00000001
#define SECURE_USER_ACCOUNT 0x00000010
#define SECURE_ANYONE_ACCOUNT 0x000000FF
#define ADMIN_TYPE 0
#define USER_TYPE 1

/* Container types answered by SKF_GetContainerType. */
#define SKF_CONTAINER_EMPTY 0
#define SKF_CONTAINER_RSA 1
#define SKF_CONTAINER_ECC 2

/* The records are byte-packed as the standard lays them out. */
#pragma pack(push, 1)

typedef struct Struct_Version {
  BYTE major;
  BYTE minor;
} VERSION;

typedef struct Struct_DEVINFO {
  VERSION Version;
  CHAR Manufacturer[64];
  CHAR Issuer[64];
  CHAR Label[32];
  CHAR SerialNumber[32];
  VERSION HWVersion;
  VERSION FirmwareVersion;
  ULONG AlgSymCap;
  ULONG AlgAsymCap;
  ULONG AlgHashCap;
  ULONG DevAuthAlgId;
  ULONG TotalSpace;
  ULONG FreeSpace;
  ULONG MaxECCBufferSize;
  ULONG MaxBufferSize;
  BYTE Reserved[64];
} DEVINFO, *PDEVINFO;

typedef struct Struct_RSAPUBLICKEYBLOB {
  ULONG AlgID;
  ULONG BitLen;
  BYTE Modulus[MAX_RSA_MODULUS_LEN];
  BYTE PublicExponent[MAX_RSA_EXPONENT_LEN];
} RSAPUBLICKEYBLOB, *PRSAPUBLICKEYBLOB;

typedef struct Struct_RSAPRIVATEKEYBLOB {
  ULONG AlgID;
  ULONG BitLen;
  BYTE Modulus[MAX_RSA_MODULUS_LEN];
  BYTE PublicExponent[MAX_RSA_EXPONENT_LEN];
  BYTE PrivateExponent[MAX_RSA_MODULUS_LEN];
  BYTE Prime1[MAX_RSA_MODULUS_LEN / 2];
  BYTE Prime2[MAX_RSA_MODULUS_LEN / 2];
  BYTE Prime1Exponent[MAX_RSA_MODULUS_LEN / 2];
  BYTE Prime2Exponent[MAX_RSA_MODULUS_LEN / 2];
  BYTE Coefficient[MAX_RSA_MODULUS_LEN / 2];
} RSAPRIVATEKEYBLOB, *PRSAPRIVATEKEYBLOB;

/* Coordinates are big-endian, right-aligned in their 64-byte fields. */
typedef struct Struct_ECCPUBLICKEYBLOB {
  ULONG BitLen;
  BYTE XCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
  BYTE YCoordinate[ECC_MAX_YCOORDINATE_BITS_LEN / 8];
} ECCPUBLICKEYBLOB, *PECCPUBLICKEYBLOB;

typedef struct Struct_ECCPRIVATEKEYBLOB {
  ULONG BitLen;
  BYTE PrivateKey[ECC_MAX_MODULUS_BITS_LEN / 8];
} ECCPRIVATEKEYBLOB, *PECCPRIVATEKEYBLOB;

typedef struct Struct_ECCCIPHERBLOB {
  BYTE XCoordinate[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
  BYTE YCoordinate[ECC_MAX_YCOORDINATE_BITS_LEN / 8];
  BYTE HASH[32];
  ULONG CipherLen;
  BYTE Cipher[1]; /* CipherLen bytes follow */
} ECCCIPHERBLOB, *PECCCIPHERBLOB;

/* r and s big-endian, right-aligned in their 64-byte fields. */
typedef struct Struct_ECCSIGNATUREBLOB {
  BYTE r[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
  BYTE s[ECC_MAX_XCOORDINATE_BITS_LEN / 8];
} ECCSIGNATUREBLOB, *PECCSIGNATUREBLOB;

typedef struct Struct_BLOCKCIPHERPARAM {
  BYTE IV[MAX_IV_LEN];
  ULONG IVLen;
  ULONG PaddingType;
  ULONG FeedBitLen;
} BLOCKCIPHERPARAM, *PBLOCKCIPHERPARAM;

typedef struct SKF_ENVELOPEDKEYBLOB {
  ULONG Version;
  ULONG ulSymmAlgID;
  ULONG ulBits;
  BYTE cbEncryptedPriKey[64];
  ECCPUBLICKEYBLOB PubKey;
  ECCCIPHERBLOB ECCCipherBlob;
} ENVELOPEDKEYBLOB, *PENVELOPEDKEYBLOB;

typedef struct Struct_FILEATTRIBUTE {
  CHAR FileName[32];
  ULONG FileSize;
  ULONG ReadRights;
  ULONG WriteRights;
} FILEATTRIBUTE, *PFILEATTRIBUTE;

#pragma pack(pop)

/* Result codes. */
#define SAR_OK 0x00000000
#define SAR_FAIL 0x0A000001
#define SAR_UNKNOWNERR 0x0A000002
#define SAR_NOTSUPPORTYETERR 0x0A000003
#define SAR_FILEERR 0x0A000004
#define SAR_INVALIDHANDLEERR 0x0A000005
#define SAR_INVALIDPARAMERR 0x0A000006
#define SAR_READFILEERR 0x0A000007
#define SAR_WRITEFILEERR 0x0A000008
#define SAR_NAMELENERR 0x0A000009
#define SAR_KEYUSAGEERR 0x0A00000A
#define SAR_MODULUSLENERR 0x0A00000B
#define SAR_NOTINITIALIZEERR 0x0A00000C
#define SAR_OBJERR 0x0A00000D
#define SAR_MEMORYERR 0x0A00000E
#define SAR_TIMEOUTERR 0x0A00000F
#define SAR_INDATALENERR 0x0A000010
#define SAR_INDATAERR 0x0A000011
#define SAR_GENRANDERR 0x0A000012
#define SAR_HASHOBJERR 0x0A000013
#define SAR_HASHERR 0x0A000014
#define SAR_GENRSAKEYERR 0x0A000015
#define SAR_RSAMODULUSLENERR 0x0A000016
#define SAR_CSPIMPRTPUBKEYERR 0x0A000017
#define SAR_RSAENCERR 0x0A000018
#define SAR_RSADECERR 0x0A000019
#define SAR_HASHNOTEQUALERR 0x0A00001A
#define SAR_KEYNOTFOUNTERR 0x0A00001B
#define SAR_CERTNOTFOUNTERR 0x0A00001C
#define SAR_NOTEXPORTERR 0x0A00001D
#define SAR_DECRYPTPADERR 0x0A00001E
#define SAR_MACLENERR 0x0A00001F
#define SAR_BUFFER_TOO_SMALL 0x0A000020
#define SAR_KEYINFOTYPEERR 0x0A000021
#define SAR_NOT_EVENTERR 0x0A000022
#define SAR_DEVICE_REMOVED 0x0A000023
#define SAR_PIN_INCORRECT 0x0A000024
#define SAR_PIN_LOCKED 0x0A000025
#define SAR_PIN_INVALID 0x0A000026
#define SAR_PIN_LEN_RANGE 0x0A000027
#define SAR_USER_ALREADY_LOGGED_IN 0x0A000028
#define SAR_USER_PIN_NOT_INITIALIZED 0x0A000029
#define SAR_USER_TYPE_INVALID 0x0A00002A
#define SAR_APPLICATION_NAME_INVALID 0x0A00002B
#define SAR_APPLICATION_EXISTS 0x0A00002C
#define SAR_USER_NOT_LOGGED_IN 0x0A00002D
#define SAR_APPLICATION_NOT_EXISTS 0x0A00002E
#define SAR_FILE_ALREADY_EXIST 0x0A00002F
#define SAR_NO_ROOM 0x0A000030
#define SAR_FILE_NOT_EXIST 0x0A000031
#define SAR_REACH_MAX_CONTAINER_COUNT 0x0A000032

/* The functions a driver exports. Each is also given as a pointer type
   (PFN_<name>) for binding at run time. X(name, result, parameters) lists
   them in the order of the seal services' binding table. */
#define SKF_BOUND_FUNCTIONS(X)                                                \
  X(SKF_EnumDev, (BOOL bPresent, LPSTR szNameList, ULONG * pulSize))          \
  X(SKF_ConnectDev, (LPSTR szName, DEVHANDLE * phDev))                        \
  X(SKF_DisConnectDev, (DEVHANDLE hDev))                                      \
  X(SKF_GetDevInfo, (DEVHANDLE hDev, DEVINFO * pDevInfo))                     \
  X(SKF_VerifyPIN, (HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN,  \
                    ULONG * pulRetryCount))                                   \
  X(SKF_EnumApplication, (DEVHANDLE hDev, LPSTR szAppName, ULONG * pulSize))  \
  X(SKF_OpenApplication,                                                      \
    (DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION * phApplication))          \
  X(SKF_CloseApplication, (HAPPLICATION hApplication))                        \
  X(SKF_CreateFile, (HAPPLICATION hApplication, LPSTR szFileName,             \
                     ULONG ulFileSize, ULONG ulReadRights,                    \
                     ULONG ulWriteRights))                                    \
  X(SKF_DeleteFile, (HAPPLICATION hApplication, LPSTR szFileName))            \
  X(SKF_EnumFiles,                                                            \
    (HAPPLICATION hApplication, LPSTR szFileList, ULONG * pulSize))           \
  X(SKF_GetFileInfo, (HAPPLICATION hApplication, LPSTR szFileName,            \
                      FILEATTRIBUTE * pFileInfo))                             \
  X(SKF_ReadFile, (HAPPLICATION hApplication, LPSTR szFileName,               \
                   ULONG ulOffset, ULONG ulSize, BYTE * pbOutData,            \
                   ULONG * pulOutLen))                                        \
  X(SKF_WriteFile, (HAPPLICATION hApplication, LPSTR szFileName,              \
                    ULONG ulOffset, BYTE * pbData, ULONG ulSize))             \
  X(SKF_CreateContainer, (HAPPLICATION hApplication, LPSTR szContainerName,   \
                          HCONTAINER * phContainer))                          \
  X(SKF_DeleteContainer, (HAPPLICATION hApplication, LPSTR szContainerName))  \
  X(SKF_EnumContainer,                                                        \
    (HAPPLICATION hApplication, LPSTR szContainerName, ULONG * pulSize))      \
  X(SKF_OpenContainer, (HAPPLICATION hApplication, LPSTR szContainerName,     \
                        HCONTAINER * phContainer))                            \
  X(SKF_CloseContainer, (HCONTAINER hContainer))                              \
  X(SKF_GetContainerType, (HCONTAINER hContainer, ULONG * pulContainerType))  \
  X(SKF_ImportCertificate,                                                    \
    (HCONTAINER hContainer, BOOL bSignFlag, BYTE * pbCert, ULONG ulCertLen))  \
  X(SKF_ExportCertificate, (HCONTAINER hContainer, BOOL bSignFlag,            \
                            BYTE * pbCert, ULONG * pulCertLen))               \
  X(SKF_GenRandom, (DEVHANDLE hDev, BYTE * pbRandom, ULONG ulRandomLen))      \
  X(SKF_GenRSAKeyPair,                                                        \
    (HCONTAINER hContainer, ULONG ulBitsLen, RSAPUBLICKEYBLOB * pBlob))       \
  X(SKF_ImportRSAKeyPair,                                                     \
    (HCONTAINER hContainer, ULONG ulSymAlgId, BYTE * pbWrappedKey,            \
     ULONG ulWrappedKeyLen, BYTE * pbEncryptedData,                           \
     ULONG ulEncryptedDataLen))                                               \
  X(SKF_RSASignData, (HCONTAINER hContainer, BYTE * pbData, ULONG ulDataLen,  \
                      BYTE * pbSignature, ULONG * pulSignLen))                \
  X(SKF_RSAVerify, (DEVHANDLE hDev, RSAPUBLICKEYBLOB * pRSAPubKeyBlob,        \
                    BYTE * pbData, ULONG ulDataLen, BYTE * pbSignature,       \
                    ULONG ulSignLen))                                         \
  X(SKF_GenECCKeyPair,                                                        \
    (HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB * pBlob))         \
  X(SKF_ImportECCKeyPair,                                                     \
    (HCONTAINER hContainer, PENVELOPEDKEYBLOB pEnvelopedKeyBlob))             \
  X(SKF_ECCSignData, (HCONTAINER hContainer, BYTE * pbData, ULONG ulDataLen,  \
                      PECCSIGNATUREBLOB pSignature))                          \
  X(SKF_ECCVerify, (DEVHANDLE hDev, ECCPUBLICKEYBLOB * pECCPubKeyBlob,        \
                    BYTE * pbData, ULONG ulDataLen,                           \
                    PECCSIGNATUREBLOB pSignature))                            \
  X(SKF_ExportPublicKey, (HCONTAINER hContainer, BOOL bSignFlag,              \
                          BYTE * pbBlob, ULONG * pulBlobLen))                 \
  X(SKF_ImportSessionKey, (HCONTAINER hContainer, ULONG ulAlgId,              \
                           BYTE * pbWrapedData, ULONG ulWrapedLen,            \
                           HANDLE * phKey))                                   \
  X(SKF_SetSymmKey,                                                           \
    (DEVHANDLE hDev, BYTE * pbKey, ULONG ulAlgID, HANDLE * phKey))            \
  X(SKF_EncryptInit, (HANDLE hKey, BLOCKCIPHERPARAM EncryptParam))            \
  X(SKF_Encrypt, (HANDLE hKey, BYTE * pbData, ULONG ulDataLen,                \
                  BYTE * pbEncryptedData, ULONG * pulEncryptedLen))           \
  X(SKF_EncryptUpdate, (HANDLE hKey, BYTE * pbData, ULONG ulDataLen,          \
                        BYTE * pbEncryptedData, ULONG * pulEncryptedLen))     \
  X(SKF_EncryptFinal,                                                         \
    (HANDLE hKey, BYTE * pbEncryptedData, ULONG * pulEncryptedDataLen))       \
  X(SKF_DecryptInit, (HANDLE hKey, BLOCKCIPHERPARAM DecryptParam))            \
  X(SKF_Decrypt, (HANDLE hKey, BYTE * pbEncryptedData, ULONG ulEncryptedLen,  \
                  BYTE * pbData, ULONG * pulDataLen))                         \
  X(SKF_DecryptUpdate,                                                        \
    (HANDLE hKey, BYTE * pbEncryptedData, ULONG ulEncryptedLen,               \
     BYTE * pbData, ULONG * pulDataLen))                                      \
  X(SKF_DecryptFinal,                                                         \
    (HANDLE hKey, BYTE * pbDecryptedData, ULONG * pulDecryptedDataLen))       \
  X(SKF_DigestInit,                                                           \
    (DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB * pPubKey,               \
     unsigned char* pucID, ULONG ulIDLen, HANDLE* phHash))                    \
  X(SKF_Digest, (HANDLE hHash, BYTE * pbData, ULONG ulDataLen,                \
                 BYTE * pbHashData, ULONG * pulHashLen))                      \
  X(SKF_DigestUpdate, (HANDLE hHash, BYTE * pbData, ULONG ulDataLen))         \
  X(SKF_DigestFinal, (HANDLE hHash, BYTE * pHashData, ULONG * pulHashLen))

/* A driver defines SKF_API (for example as default visibility) before it
   includes this header to export the functions it defines. */
#ifndef SKF_API
#define SKF_API
#endif
#define SKF_DECLARE_FUNCTION(name, params) \
  SKF_API ULONG name params;               \
  typedef ULONG(*PFN_##name) params;
SKF_BOUND_FUNCTIONS(SKF_DECLARE_FUNCTION)
#undef SKF_DECLARE_FUNCTION

#ifdef __cplusplus
}
#endif

#endif /* SEALKIT_SKF_H */
