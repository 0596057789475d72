// Digest and signature-method names as OFD files and users write them, and
// the digests themselves through the verification library.
#pragma once

#include <memory>
#include <string>

#include "package.h"

namespace ofdseal {

struct Digest {
  unsigned int id = 0;    // the library's algorithm identifier
  const char* name = "";  // "sm3", "sha256", ...
};

// "1.2.156.10197.1.401", "SM3", "sm3", "SHA-256", "sha256", an OID of the
// SHA family or MD5, or the library's numeric identifier. Case, "-" and "_"
// do not matter.
bool DigestByName(const std::string& text, Digest* out);
// The names accepted by the digest command, for its help.
const char* DigestNames();

enum class KeyKind { kUnknown, kSm2, kRsa };

// What a signature method names: the key kind and the digest (SM2 with SM3;
// RSA with MD5 or the SHA family). False when it names neither.
bool SignatureMethodByName(const std::string& method, KeyKind* kind,
                           Digest* digest);

// The digest of `data` by the library (SEF_DigestDatabyAlg); false when the
// library refuses.
bool ComputeDigest(const Digest& digest, const std::string& data,
                   std::string* out, unsigned int* code);

// A sink that computes the same digest as ComputeDigest piece by piece, or
// null for a digest that is only computed whole (SHA-0).
std::unique_ptr<DigestSink> OpenDigestSink(const Digest& digest);

// "SM2 with SM3", "RSA with SHA-256".
std::string AlgorithmText(KeyKind kind, const Digest& digest);

}  // namespace ofdseal
