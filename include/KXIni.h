// Reading and editing INI text held in memory. Reading the file and writing
// it back is the caller's job (KXReadFile / KXWriteFile).
//
// Text rules: a line ends at "\r" or "\n" (any run of them); a line starting
// with "[" is a section header whose name runs to the next "]" on that line;
// a line starting with "#" or ";" is a comment; any other line is
// "key=value", the key being everything before the first "=" less trailing
// blanks, the value everything after the "=" and the blanks that follow it.
// Names match exactly and case-sensitively; the first matching section and,
// within it, the first matching key are used. A line without "=" ends the
// search for a key in its section. Nothing here takes a lock.
#pragma once

#ifndef __cplusplus
#error "KXIni.h is a C++ header"
#endif

#include "ckxstr.h"
#include "kx_export.h"

// The value text, or a copy of `def` (empty when `def` is null).
KX_EXPORT ckxstr KXIniReadStr(const ckxstr& ini, const char* section,
                              const char* key, const char* def);
// The value converted (decimal strtol / strtoll, strtod); `def` when the key
// is absent or its value empty.
KX_EXPORT int KXIniReadInt(const ckxstr& ini, const char* section,
                           const char* key, int def);
KX_EXPORT long long KXIniReadLong(const ckxstr& ini, const char* section,
                                  const char* key, long long def);
KX_EXPORT double KXIniReadDouble(const ckxstr& ini, const char* section,
                                 const char* key, double def);
// True for "TRUE" in any case or a number other than 0; `def` when absent or
// empty.
KX_EXPORT bool KXIniReadBool(const ckxstr& ini, const char* section,
                             const char* key, bool def);

// Sets a value in place (null counts as ""): replaces an existing value,
// adds the key as the last line of its section, or appends a new section.
// True when the text was edited.
KX_EXPORT bool KXIniWriteStr(ckxstr& ini, const char* section, const char* key,
                             const char* value);
KX_EXPORT bool KXIniWriteInt(ckxstr& ini, const char* section, const char* key,
                             int value);
KX_EXPORT bool KXIniWriteLong(ckxstr& ini, const char* section, const char* key,
                              long long value);
KX_EXPORT bool KXIniWriteDouble(ckxstr& ini, const char* section,
                                const char* key, double value);
// Writes "TRUE" or "FALSE".
KX_EXPORT bool KXIniWriteBool(ckxstr& ini, const char* section, const char* key,
                              bool value);

// Removes the key's line and the line breaks after it; false if not found.
KX_EXPORT bool KXIniEraseKey(ckxstr& ini, const char* section, const char* key);
// Removes the section header and its lines up to the next section header;
// false if the section is not found.
KX_EXPORT bool KXIniEraseSection(ckxstr& ini, const char* section);
