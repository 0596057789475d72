// Time values and their text forms. A time value is a signed 64-bit count of
// milliseconds since 1970-01-01 00:00:00 UTC; -1 is the error value of every
// parser. Text results are new ckxstr values owned by the caller. Nothing
// here sets the last error or logs.
#pragma once

#ifndef __cplusplus
#error "KXTime.h is a C++ header"
#endif

#include <openssl/asn1.h>

#include "ckxstr.h"
#include "kx_export.h"

// Now in milliseconds: from gettimeofday when `precise`, else whole seconds.
KX_EXPORT long KXGetTime(bool precise);
// Now in microseconds since 1970 (wall clock), for measuring intervals.
KX_EXPORT long KXGetTick();

// "YYYYMMDDhhmmss.fffZ" (19 characters, tag UTF-8) from UTC fields when
// `utc`, else from local-time fields (the "Z" is written in both cases).
// Empty when the time cannot be rendered in that form.
KX_EXPORT ckxstr KXTimeToGeneralized(long ms, bool utc);
// "YYYY-MM-DD hh:mm:ss" when `asn1` is false; otherwise UTCTime
// "YYMMDDhhmmssZ" for the years 1950 to 2049 and GeneralizedTime
// "YYYYMMDDhhmmssZ" for any other year. Empty on failure.
KX_EXPORT ckxstr KXTimeToStr(long ms, bool asn1, bool utc);

// Strict parser of the forms YYMMDDhhmmssZ, YYYYMMDDhhmmssZ,
// YYMMDDhhmmss+hhmm, YYYYMMDDhhmmss+hhmm, YYYYMMDDhhmmss.fffZ (all UTC) and
// "YYYY-MM-DD hh:mm:ss" (UTC when `utc`, else local time). len < 0 means
// strlen(text). Returns -1 for anything else.
KX_EXPORT long KXStrToTime(const char* text, int len, bool utc);
// Tolerant parser of the contents of an ASN.1 UTCTime (`generalized` false)
// or GeneralizedTime. text[len] must be the terminating zero.
KX_EXPORT long KXASN1ToTime(const char* text, int len, bool generalized);
// KXASN1ToTime on the contents of an ASN1_TIME-like string: a
// GeneralizedTime when its type says so, else a UTCTime. Null gives -1.
KX_EXPORT long KXASN1ToTime2(ASN1_STRING* time);
