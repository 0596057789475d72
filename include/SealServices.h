// Seal services of libsealcore for applications: offline authorization
// files, the server proxy identity and the web cookie slot.
//
// An offline authorization file is a text that lets seals be used without
// the seal server for given periods:
//
//   es_id=<seal identifier>
//   time_begin =2024-01-01 00:00:00
//   time_end =2024-12-31 23:59:59
//   ...further records: a "time_begin =" and a "time_end =" line each
//
// The keys are spelled exactly so (note the blank before "=" of the times);
// a value runs from the "=" to the line end. Times are read as by
// KXStrToTime with local time for "YYYY-MM-DD hh:mm:ss"; a value that does
// not parse, or is longer than 31 characters, counts as -1. A record runs
// from the end of the previous one to the line end ("\r\n", "\n" or "\r")
// after its "time_end =" value. The text ends at its first NUL byte and
// never beyond the length given. The application reads and stores the file;
// the functions here only look at its text.
#pragma once

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#endif

#include "kx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// The same check as SE_Verify_Offline_Time.
KX_EXPORT uint32_t SEBF_CheckTime_OffAuthFile(const unsigned char* text,
                                              uint32_t textLen);

// Stores `cookie` itself (not the text it points to) in gNetcookie.
KX_EXPORT void SEBF_SetWebcookie(const char* cookie);
// The last pointer given to SEBF_SetWebcookie; null until then.
KX_EXPORT extern const char* gNetcookie;

#ifdef __cplusplus
}

// 1 when now lies within [begin, end] (either may be null: no such bound;
// each value runs to its first "\r", "\n" or NUL), else 0. Both null: 0.
KX_EXPORT int SE_CheckTimeValid(const char* begin, const char* end);

// 0 when some record's end has not passed (its start is not checked);
// 5037 when none, 5002 for a null text or a record without "time_begin ="
// or "time_end =".
KX_EXPORT uint32_t SE_Verify_Offline_Time(const unsigned char* text,
                                          uint32_t textLen);

// The records whose period holds now, unchanged and in order, into `out`;
// when none of them carries the text's first "es_id=" line (it stood in a
// dropped record), that line comes first, so the seal stays named. `out`
// null asks for the length only; *outLen holds the capacity on entry and the
// length on return (5003 with the needed length when it is too small). 5002
// for a null argument or a malformed record, with no output.
KX_EXPORT uint32_t
SE_Del_InvalidTime_Offline_AuthFile(const unsigned char* text, uint32_t textLen,
                                    unsigned char* out, uint32_t* outLen);

// The first "es_id=" value, by the same output rule. 5002 when absent.
KX_EXPORT uint32_t SE_Get_Offline_ID(const unsigned char* text,
                                     uint32_t textLen, unsigned char* out,
                                     uint32_t* outLen);

// Writes `length` bytes to `path`, replacing it at once: the bytes go to a
// new file in the same folder that is then renamed over `path`, so the file
// is either the old one or the whole new one. A symbolic link at `path` is
// replaced itself, never written through; a replaced file keeps its
// permission bits. 0, 5002 (null path, null data with a length, negative
// length), 5005 (cannot create the file) or 5006 (cannot write or rename it;
// `path` is left as it was).
KX_EXPORT uint32_t SE_WriteFile(const char* path, const unsigned char* data,
                                int length);

// The "proxyName" of section "Default" of main.ini (beside libKXCommon),
// GBK text, returned in UTF-8; "" when none is configured. A non-empty value
// is read once and kept for the life of the process (the pointer stays
// valid); while there is none, every call reads main.ini again.
KX_EXPORT const char* GET_ESEAL_SERVER_PROXY_ID();

#endif
