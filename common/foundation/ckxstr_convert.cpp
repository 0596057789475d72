// ckxstr encoding conversions between GBK (code page 936), UTF-8 and wide
// text (32-bit code points), encoding detection, and the GBK lookups
// uni2char/char2uni.
//
// Every conversion decodes the input into code points and encodes them again.
// It runs the same decoder twice: once to validate the input and count the
// output size, once to write into a separate string of exactly that size,
// which replaces the content only when both passes agree. On any failure the
// content stays as it was.
#include <cstring>

#include "KXString.h"
#include "ckxstr.h"
#include "foundation/gbk_tables.h"

int uni2char(unsigned int code, unsigned char* out) {
  if (out == nullptr || code == 0 || code > 0xFFFF) return 0;
  uint16_t gbk = 0;
  if (code < 0x80) {
    out[0] = static_cast<unsigned char>(code);
    return 1;
  }
  if (code < 0x100) {
    // The Latin-1 range holds a few characters with two-byte GBK codes
    // (U+00B7 -> A1 A4); the rest has no GBK form. Writing such a code
    // point as its own byte would produce a lead byte, not that character.
    gbk = kx::kLatinToGbk[code - 0x80];
  } else {
    const uint16_t* page = kx::kUnicodeToGbk[code >> 8];
    if (page == nullptr) return 0;
    gbk = page[code & 0xFF];
  }
  if (gbk == 0) return 0;  // unmapped within a page: not representable
  out[0] = static_cast<unsigned char>(gbk >> 8);
  out[1] = static_cast<unsigned char>(gbk & 0xFF);
  return 2;
}

int char2uni(const unsigned char* in, unsigned int* out) {
  if (in == nullptr || out == nullptr) return 0;
  const uint32_t* page = kx::kGbkToUnicode[in[0]];
  if (page != nullptr && in[1] != 0) {
    *out = page[in[1]];
    return 2;
  }
  *out = in[0];
  return 1;
}

namespace {

const uint32_t kMaxCodePoint = 0x10FFFF;

// Decoders: read one code point at *pos, advance *pos; false on bad input.

bool DecodeGbk(const unsigned char* s, size_t n, size_t* pos, uint32_t* cp) {
  unsigned char b = s[*pos];
  if (b < 0x80) {
    *cp = b;
    *pos += 1;
    return true;
  }
  // A lead byte needs a page and a non-zero trail byte inside the content;
  // an unmapped pair is refused rather than turned into U+0000.
  const uint32_t* page = kx::kGbkToUnicode[b];
  if (page == nullptr || *pos + 1 >= n || s[*pos + 1] == 0) return false;
  uint32_t v = page[s[*pos + 1]];
  if (v == 0) return false;
  *cp = v;
  *pos += 2;
  return true;
}

bool DecodeWide(const unsigned char* s, size_t n, size_t* pos, uint32_t* cp) {
  if (n - *pos < 4) return false;
  uint32_t v;
  memcpy(&v, s + *pos, 4);  // the buffer may be unaligned
  if (v > kMaxCodePoint) return false;
  *cp = v;
  *pos += 4;
  return true;
}

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// UTF-8 of one to four bytes. A sequence cut short by the end of the content
// or with a bad continuation byte is refused. Three-byte forms are decoded
// whatever their value (text written by three-byte-only encoders stays
// readable); two- and four-byte forms must be in their proper ranges.
bool DecodeUtf8(const unsigned char* s, size_t n, size_t* pos, uint32_t* cp) {
  const unsigned char* p = s + *pos;
  const size_t left = n - *pos;
  unsigned char b = p[0];
  if (b < 0x80) {
    *cp = b;
    *pos += 1;
    return true;
  }
  if (b >= 0xC2 && b <= 0xDF) {
    if (left < 2 || !IsContinuation(p[1])) return false;
    *cp = (b & 0x1Fu) << 6 | (p[1] & 0x3Fu);
    *pos += 2;
    return true;
  }
  if ((b & 0xF0) == 0xE0) {
    if (left < 3 || !IsContinuation(p[1]) || !IsContinuation(p[2]))
      return false;
    *cp = (b & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    *pos += 3;
    return true;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (left < 4 || !IsContinuation(p[1]) || !IsContinuation(p[2]) ||
        !IsContinuation(p[3]))
      return false;
    uint32_t v = (b & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 |
                 (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    if (v < 0x10000 || v > kMaxCodePoint) return false;
    *cp = v;
    *pos += 4;
    return true;
  }
  return false;  // stray continuation byte, C0/C1 or F5..FF
}

// Encoders: write the code point at out (when out is not null) and return
// the number of bytes, 0 when the code point has no form in the target.

size_t EncodeGbk(uint32_t cp, unsigned char* out) {
  unsigned char tmp[2];
  if (cp < 0x80) {  // ASCII and U+0000 are their own byte
    if (out) out[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  int n = uni2char(cp, tmp);
  if (n == 0) return 0;
  if (out) memcpy(out, tmp, static_cast<size_t>(n));
  return static_cast<size_t>(n);
}

size_t EncodeWide(uint32_t cp, unsigned char* out) {
  if (out) memcpy(out, &cp, 4);
  return 4;
}

size_t EncodeUtf8(uint32_t cp, unsigned char* out) {
  unsigned char tmp[4];
  size_t n;
  if (cp < 0x80) {
    tmp[0] = static_cast<unsigned char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    tmp[0] = static_cast<unsigned char>(0xC0 | cp >> 6);
    tmp[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    tmp[0] = static_cast<unsigned char>(0xE0 | cp >> 12);
    tmp[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    tmp[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    n = 3;
  } else if (cp <= kMaxCodePoint) {
    tmp[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
    tmp[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    tmp[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    tmp[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    n = 4;
  } else {
    return 0;
  }
  if (out) memcpy(out, tmp, n);
  return n;
}

using Decoder = bool (*)(const unsigned char*, size_t, size_t*, uint32_t*);
using Encoder = size_t (*)(uint32_t, unsigned char*);

// Runs decoder and encoder over the whole input; with out null it only
// counts. Returns false on bad input or an unrepresentable code point.
bool Transcode(const unsigned char* s, size_t n, Decoder decode, Encoder encode,
               unsigned char* out, unsigned long long* produced) {
  size_t pos = 0;
  unsigned long long total = 0;
  while (pos < n) {
    uint32_t cp = 0;
    if (!decode(s, n, &pos, &cp)) return false;
    size_t w = encode(cp, out ? out + total : nullptr);
    if (w == 0) return false;
    total += w;
    // Stop counting early once the result cannot fit.
    if (total > ckxstr::kMaxLength) return false;
  }
  *produced = total;
  return true;
}

bool Convert(ckxstr* str, Decoder decode, Encoder encode) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(str->c_str());
  const size_t n = str->length();
  unsigned long long counted = 0;
  if (!Transcode(s, n, decode, encode, nullptr, &counted)) return false;
  ckxstr out;
  if (!out.resize(static_cast<uint32_t>(counted), false)) return false;
  unsigned long long written = 0;
  if (!Transcode(s, n, decode, encode,
                 reinterpret_cast<unsigned char*>(out.data()), &written) ||
      written != counted)
    return false;
  out.setTag(ckxstr::kBytes);
  str->swap(out);
  return true;
}

}  // namespace

bool ckxstr::mbcsToUnicode() { return Convert(this, DecodeGbk, EncodeWide); }
bool ckxstr::mbcsToUtf8() { return Convert(this, DecodeGbk, EncodeUtf8); }
bool ckxstr::unicodeToMbcs() { return Convert(this, DecodeWide, EncodeGbk); }
bool ckxstr::unicodeToUtf8() { return Convert(this, DecodeWide, EncodeUtf8); }
bool ckxstr::utf8ToMbcs() { return Convert(this, DecodeUtf8, EncodeGbk); }
bool ckxstr::utf8ToUnicode() { return Convert(this, DecodeUtf8, EncodeWide); }

int ckxstr::autoType() {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(c_str());
  const uint32_t n = length_;
  int detected = kMbcs;
  if (n < 2) {
    detected = kBytes;
  } else if (n % 2 == 0 && s[0] == 0xFF && s[1] == 0xFE) {
    detected = kUnicode;
  } else if (n % 2 == 0 && s[0] == 0xFE && s[1] == 0xFF) {
    detected = kUnicodeBE;
  } else if (n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
    detected = kUtf8;
  } else {
    uint32_t i = 0;
    while (i < n && s[i] < 0x80) ++i;
    if (i == n) {
      detected = kBytes;
    } else if (n - i >= 3 && (s[i] & 0xF0) == 0xE0 &&
               IsContinuation(s[i + 1]) && IsContinuation(s[i + 2])) {
      detected = kUtf8;
    }
  }
  setTag(detected);
  return detected;
}

bool ckxstr::toMbcs() {
  bool ok;
  switch (tag()) {
    case kMbcs:
      return true;
    case kUnicode:
      ok = unicodeToMbcs();
      break;
    case kUtf8:
      ok = utf8ToMbcs();
      break;
    default:
      return false;
  }
  if (ok) setTag(kMbcs);
  return ok;
}

bool ckxstr::toUtf8() {
  bool ok;
  switch (tag()) {
    case kUtf8:
      return true;
    case kMbcs:
      ok = mbcsToUtf8();
      break;
    case kUnicode:
      ok = unicodeToUtf8();
      break;
    default:
      return false;
  }
  if (ok) setTag(kUtf8);
  return ok;
}

bool ckxstr::toUnicode() {
  bool ok;
  switch (tag()) {
    case kUnicode:
      return true;
    case kMbcs:
      ok = mbcsToUnicode();
      break;
    case kUtf8:
      ok = utf8ToUnicode();
      break;
    default:
      return false;
  }
  if (ok) setTag(kUnicode);
  return ok;
}

bool ckxstr::toLocal(int tag) {
  switch (tag) {
    case kMbcs:
      return toMbcs();
    case kUnicode:
      return toUnicode();
    case kUtf8:
      return toUtf8();
    default:
      return false;
  }
}
