// Buffer-level text helpers of libKXCommon: Base64, hex, code-page
// conversions, case and trimming, a printf-style formatter, whole-file reading
// and writing, and the GBK (code page 936) character lookups.
//
// Every function that returns text returns a new ckxstr owned by the caller.
// The buffer wrappers take a pointer and a signed length, where a negative
// length means "up to the terminating zero" (strlen, or wcslen for wide
// text, counted in 32-bit characters). On failure they return an empty
// ckxstr and set the thread's last error to 5002; they write no log line.
#pragma once

#ifndef __cplusplus
#error "KXString.h is a C++ header"
#endif

#include <cstdint>

#include "ckxstr.h"
#include "kx_export.h"

// Base64 (RFC 4648 alphabet, "=" padding). A non-null, non-empty separator
// follows every 64 output characters and ends the last, shorter line.
KX_EXPORT ckxstr KXBase64Encode(const void* data, int len,
                                const char* separator);
KX_EXPORT ckxstr KXBase64Decode(const char* text, int len);
// Hexadecimal text (either case, blanks allowed between pairs) -> bytes.
KX_EXPORT ckxstr KXStrToHex(const char* text, int len);
// Bytes -> lowercase hexadecimal text.
KX_EXPORT ckxstr KXHexToStr(const void* data, unsigned int len);

// Code-page conversions. GBK is code page 936; wide text is 32-bit code
// points in native byte order (wchar_t).
KX_EXPORT ckxstr KXMbcsToUnicode(const char* text, int len);
KX_EXPORT ckxstr KXMbcsToUtf8(const char* text, int len);
KX_EXPORT ckxstr KXUnicodeToMbcs(const wchar_t* wide, int len);
KX_EXPORT ckxstr KXUnicodeToUtf8(const wchar_t* wide, int len);
KX_EXPORT ckxstr KXUtf8ToMbcs(const char* text, int len);
KX_EXPORT ckxstr KXUtf8ToUnicode(const char* text, int len);

// Byte-wise transforms.
KX_EXPORT ckxstr KXStrToLower(const char* text, int len);
KX_EXPORT ckxstr KXStrToUpper(const char* text, int len);
KX_EXPORT ckxstr KXStrToReverse(const char* text, int len);
KX_EXPORT ckxstr KXStrToTrim(const char* text, int len);

// printf-style formatting through an 8192-byte buffer: at most 8191 bytes,
// tagged UTF-8; empty when formatting fails.
KX_EXPORT ckxstr KXStrFormat(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// The whole file, read in binary mode. Empty on failure (last error 5005,
// 5051 or 5007, with a log line) or for a null path (nothing recorded).
KX_EXPORT ckxstr KXReadFile(const char* path);
// Writes len bytes (negative: strlen(data)) in place, appending or
// truncating. Returns 0 or a result code (5002, 5051, 5005, 5006).
KX_EXPORT int KXWriteFile(const char* path, const void* data, int len,
                          bool append);

// GBK bytes of one code point into out (room for two bytes): returns 2 for a
// two-byte code, 1 for a code point 1..0x7F (written as itself), 0 when the
// code point has no GBK form.
KX_EXPORT int uni2char(unsigned int code, unsigned char* out);
// One GBK character from in (two bytes readable when in[0] is a lead byte):
// when in[0] is a lead byte and in[1] is not 0, stores the table entry for
// the pair (0 if unmapped) and returns 2; otherwise stores in[0] itself and
// returns 1.
KX_EXPORT int char2uni(const unsigned char* in, unsigned int* out);
