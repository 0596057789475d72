// Properties of seals and seal signatures through the verification library's
// property calls, and their rendering as text and JSON.
#pragma once

#include <string>
#include <vector>

#include "text.h"

namespace ofdseal {

enum class PropertyKind {
  kText,      // text, shown whole
  kLongText,  // text, shortened on a terminal
  kInteger,   // content octets of an INTEGER
  kBytes,     // raw bytes
  kCert,      // DER certificate
  kPicture,   // picture bytes
  kSize,      // width and height, two little-endian 32-bit integers
  kSealInfo,  // the 1274-byte seal summary record
};

struct PropertyInfo {
  unsigned int number;
  const char* name;
  PropertyKind kind;
};

// The numbers served by a signature itself, then those of a seal.
const std::vector<PropertyInfo>& SignatureProperties();
const std::vector<PropertyInfo>& SealProperties();

// Signature property numbers used by the verify command.
enum : unsigned int {
  kSigCert = 2,
  kSigWritePic = 3,
  kSigTime = 5,
  kSigVersion = 14,
  kSigCertOu = 18,
  kSealMakerCert = 6,
  kSealVersion = 7,
  kSealId = 8,
  kSealName = 9,
  kSealValidStart = 11,
  kSealValidEnd = 12,
  kSealOwnerCert = 55,
  kSealOwnerHash = 60,
  kSealPicData = 54,
  kSealPicType = 59,
};

// One property by the size-query-then-fetch protocol. `ofSignature` selects
// SEF_ESealSignDataGetProperty (numbers it does not serve go to the seal in
// the signature), otherwise SEF_AnalyzeESealData. Returns the result code.
unsigned int ReadProperty(bool ofSignature, unsigned int number,
                          const std::string& object, std::string* value);

// "plain", "GIN" or "GOV" from the first content octet of a version.
const char* FamilyName(const std::string& versionContent);

// The value of an INTEGER's content octets (two's complement, up to 8).
long long IntegerValue(const std::string& content);

// The subject of a DER certificate ("C=CN,O=...,CN=..."), or empty.
std::string CertificateSubject(const std::string& der);

// "png", "jpg", "gif", "bmp", "svg", "ofd", "tif" or "bin": from the stated
// picture type when it is a known one, else from the bytes.
std::string PictureExtension(const std::string& statedType,
                             const std::string& bytes);

// Reads every property of the object and renders it.
struct PropertyValue {
  PropertyInfo info;
  unsigned int code = 0;
  std::string value;
};
std::vector<PropertyValue> ReadAllProperties(bool ofSignature,
                                             const std::string& object);
// One line "  NAME (n): value" for a terminal; empty for a property the
// object's family does not serve.
std::string PropertyLine(const PropertyValue& property);
Json PropertyJson(const PropertyValue& property);

}  // namespace ofdseal
