// A minimal DER writer (definite lengths, minimal forms) and byte helpers.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "fixtures.h"

namespace fx {

Bytes ToBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

std::string ToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (uint8_t b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    int v = std::isdigit(static_cast<unsigned char>(c))
                ? c - '0'
                : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (v < 0 || v > 15) throw std::invalid_argument("bad hex: " + hex);
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex: " + hex);
  return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

namespace asn {

Bytes Length(size_t length) {
  if (length < 0x80) return {static_cast<uint8_t>(length)};
  Bytes octets;
  for (size_t v = length; v != 0; v >>= 8)
    octets.insert(octets.begin(), static_cast<uint8_t>(v & 0xFF));
  octets.insert(octets.begin(), static_cast<uint8_t>(0x80 | octets.size()));
  return octets;
}

Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  Bytes len = Length(content.size());
  out.insert(out.end(), len.begin(), len.end());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Seq(const std::vector<Bytes>& elements) {
  return Tlv(0x30, Concat(elements));
}

Bytes Integer(int64_t value) {
  // Big-endian two's complement, then drop leading octets that only repeat
  // the sign.
  Bytes octets;
  for (int i = 7; i >= 0; --i)
    octets.push_back(
        static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
  size_t start = 0;
  while (start + 1 < octets.size() &&
         ((octets[start] == 0x00 && !(octets[start + 1] & 0x80)) ||
          (octets[start] == 0xFF && (octets[start + 1] & 0x80))))
    ++start;
  return Tlv(0x02, Bytes(octets.begin() + start, octets.end()));
}

Bytes IntegerContent(const Bytes& content) { return Tlv(0x02, content); }

Bytes Bool(bool value) {
  return Tlv(0x01, {static_cast<uint8_t>(value ? 0xFF : 0x00)});
}

Bytes Octets(const Bytes& content) { return Tlv(0x04, content); }

Bytes Bits(const Bytes& content, uint8_t unusedBits) {
  Bytes body{unusedBits};
  body.insert(body.end(), content.begin(), content.end());
  return Tlv(0x03, body);
}

Bytes Ia5(const std::string& text) { return Tlv(0x16, ToBytes(text)); }
Bytes Utf8(const std::string& text) { return Tlv(0x0C, ToBytes(text)); }
Bytes Printable(const std::string& text) { return Tlv(0x13, ToBytes(text)); }

Bytes Oid(const std::string& dotted) {
  std::vector<uint64_t> arcs;
  const char* p = dotted.c_str();
  while (*p != '\0') {
    char* end = nullptr;
    arcs.push_back(std::strtoull(p, &end, 10));
    if (end == p) throw std::invalid_argument("bad OID: " + dotted);
    p = *end == '.' ? end + 1 : end;
  }
  if (arcs.size() < 2) throw std::invalid_argument("short OID: " + dotted);
  Bytes content;
  auto base128 = [&content](uint64_t v) {
    Bytes groups{static_cast<uint8_t>(v & 0x7F)};
    for (v >>= 7; v != 0; v >>= 7)
      groups.insert(groups.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
    content.insert(content.end(), groups.begin(), groups.end());
  };
  base128(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) base128(arcs[i]);
  return Tlv(0x06, content);
}

static Bytes TimeText(uint8_t tag, const char* format, time_t t) {
  struct tm fields;
  gmtime_r(&t, &fields);
  char text[32];
  std::snprintf(text, sizeof text, format,
                tag == 0x17 ? fields.tm_year % 100 : fields.tm_year + 1900,
                fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                fields.tm_min, fields.tm_sec);
  return Tlv(tag, ToBytes(text));
}

Bytes UtcTime(time_t t) {
  return TimeText(0x17, "%02d%02d%02d%02d%02d%02dZ", t);
}

Bytes GeneralizedTime(time_t t) {
  return TimeText(0x18, "%04d%02d%02d%02d%02d%02dZ", t);
}

}  // namespace asn
}  // namespace fx
