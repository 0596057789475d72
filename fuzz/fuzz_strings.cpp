// Untrusted text through the ckxstr decoders and conversions: Base64, hex,
// GBK, UTF-8 and wide input. Checks the round trips that must hold and that
// a failed conversion leaves the content untouched.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KXString.h"
#include "ckxstr.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

std::string Bytes(const ckxstr& s) {
  return std::string(s.c_str(), s.length());
}

ckxstr Make(const uint8_t* data, size_t size, int tag) {
  ckxstr s;
  Check(s.assign(data, static_cast<uint32_t>(size), false, false, tag));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Base64: decoding anything is safe; encoding round-trips.
  ckxstr b64 = Make(data, size, ckxstr::kUtf8);
  b64.base64Decode();
  ckxstr enc = Make(data, size, ckxstr::kBytes);
  Check(enc.base64Encode(size % 2 ? "\r\n" : nullptr));
  Check(enc.base64Decode());
  Check(Bytes(enc) == input);

  // Hex: parsing anything is safe; rendering round-trips.
  ckxstr hex = Make(data, size, ckxstr::kUtf8);
  if (!hex.strToHex()) Check(Bytes(hex) == input);
  ckxstr render = Make(data, size, ckxstr::kBytes);
  Check(render.hexToStr(size % 2 == 0));
  Check(render.strToHex());
  Check(Bytes(render) == input);

  // Conversions: on failure unchanged; a decoded text re-encodes and decodes
  // back to the same code points.
  bool (ckxstr::*const decoders[])() = {&ckxstr::utf8ToUnicode,
                                        &ckxstr::mbcsToUnicode};
  bool (ckxstr::*const encoders[])() = {&ckxstr::unicodeToUtf8,
                                        &ckxstr::unicodeToMbcs};
  bool (ckxstr::*const redecoders[])() = {&ckxstr::utf8ToUnicode,
                                          &ckxstr::mbcsToUnicode};
  for (int i = 0; i < 2; ++i) {
    ckxstr s = Make(data, size, ckxstr::kUtf8);
    if (!(s.*decoders[i])()) {
      Check(Bytes(s) == input);
      continue;
    }
    const std::string wide = Bytes(s);
    if ((s.*encoders[i])()) {
      Check((s.*redecoders[i])());
      Check(Bytes(s) == wide);
    }
  }
  ckxstr wide = Make(data, size, ckxstr::kUnicode);
  if (wide.unicodeToUtf8()) {
    Check(wide.utf8ToUnicode());
    Check(Bytes(wide) == input);
  }
  ckxstr detect = Make(data, size, ckxstr::kBytes);
  detect.autoType();
  detect.toLocal(ckxstr::kUtf8);

  // Search and replace with a needle taken from the input itself.
  if (size >= 2) {
    ckxstr text = Make(data, size, ckxstr::kBytes);
    uint32_t nlen = data[0] % 4 + 1;
    if (nlen < size) {
      std::string needle = input.substr(1, nlen);
      Check(text.find(0, needle.data(), nlen) != ckxstr::npos);
      Check(text.replaceAll(needle.data(), nlen, "<>", 2, data[0] & 8));
      Check(text.find(0, needle.data(), nlen, data[0] & 8) == ckxstr::npos ||
            needle.find('<') != std::string::npos ||
            needle.find('>') != std::string::npos);
    }
  }
  return 0;
}
