// Seals and seal signatures made with the seal library's own structures and
// codecs (SealFormats.h): the GOV family (version 4) and the plain family.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "signer.h"

namespace ofdseal {

enum class SealFamily { kGov, kPlain };

// Version of the plain family's seal header and signature.
const int kPlainVersion = 2;

// What a new seal says.
struct SealContent {
  SealFamily family = SealFamily::kGov;
  std::string id;      // esID, IA5 text
  std::string name;    // UTF-8
  long type = 1;       // 1 unit, 2 personal, other values: other seals
  std::string vendor;  // header sVid, IA5 text
  time_t created = 0;
  time_t validStart = 0;
  time_t validEnd = 0;
  std::string pictureType;  // "PNG", "JPG", "GIF"
  std::string picture;      // the picture file's bytes
  long width = 0;           // display size in millimetres
  long height = 0;
  std::vector<std::string> owners;  // DER owner certificates, in order
};

// The DER seal, signed by `maker` over the part its family names (GOV: DER
// of esealInfo; plain: DER of TBS_Seal {esealInfo, cert,
// signatureAlgorithm}). False with a reason.
bool MakeSeal(const SealContent& content, Signer& maker, std::string* der,
              std::string* error);

// What a signature needs to know of the seal it carries.
struct SealFacts {
  SealFamily family = SealFamily::kGov;
  std::string der;  // the seal element, exactly as stored
  std::string id;
  std::string name;
  std::vector<std::string> owners;  // DER owner certificates
  long validStart = -1;             // milliseconds since 1970; -1 unreadable
  long validEnd = -1;
  long width = 0;  // picture display size, millimetres
  long height = 0;
};

// Decodes a GOV or plain seal (GIN seals are refused: their signature
// layout is not the one the verification library reads) and checks that it
// is DER, so that the maker's signature survives its re-encoding inside a
// signature. Bytes after the seal are left out of `der`.
bool ReadSeal(const std::string& bytes, SealFacts* facts, std::string* error);

struct SignatureContent {
  time_t signingTime = 0;
  std::string dataHash;      // digest of the signed document data
  std::string propertyInfo;  // IA5 text (an XML property document)
};

// The DER seal signature of the seal's family around `seal`, the signer's
// signature over the DER of tbsSign. False with a reason.
bool MakeSignature(const SealFacts& seal, const SignatureContent& content,
                   Signer& signer, std::string* der, std::string* error);

// "YYYYMMDDhhmmssZ", the UTC text of a GeneralizedTime.
std::string GeneralizedTimeText(time_t t);

}  // namespace ofdseal
