// GBK (code page 936) lookup tables, generated into gbk_tables.cpp.
#pragma once

#include <cstdint>

namespace kx {

// Byte -> code point: indexed by the lead byte, then the trail byte; 0 where
// the pair is not mapped. Pages exist for the lead bytes 0x81..0xFE.
extern const uint32_t* const kGbkToUnicode[256];
// Code point -> bytes: indexed by bits 8..15, then bits 0..7 of a code point
// of 0x100..0xFFFF; each entry is (lead << 8) | trail, 0 where unmapped.
extern const uint16_t* const kUnicodeToGbk[256];
// Two-byte codes of the code points 0x80..0xFF (index cp - 0x80), 0 where
// GBK has none.
extern const uint16_t kLatinToGbk[128];

}  // namespace kx
