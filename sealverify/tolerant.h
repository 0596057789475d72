// Reading the seal signatures that encoders in the field produce.
//
// Genuine signatures carry a few encoding slips that strict DER decoding
// refuses although the signatures are sound. This module reads them, each
// slip by its own narrow rule and nothing looser:
//   - an SM2 signature value whose r or s INTEGER lacks its leading 0x00 (and
//     so reads as negative) or carries a superfluous one;
//   - a signature BIT STRING with unused bits whose inner SEQUENCE {r, s} is
//     shorter than its own header says (the encoder dropped trailing zero
//     bits): the missing zero bytes are put back;
//   - a GOV to-be-signed part with an extra [0] field after its last field;
//   - a GOV seal with context-tagged fields after its signature;
//   - a plain seal whose certificate list holds IA5String entries.
// Decoding works on a normalised copy of the bytes; the signatures are always
// checked over the bytes that were signed, taken from the original buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sv::tolerant {

// One element of a definite-length DER buffer and the elements inside it.
struct Node {
  uint8_t tag = 0;  // identifier octet (tag numbers below 31 only)
  size_t start = 0;
  size_t contentStart = 0;
  size_t end = 0;
  bool constructed = false;
  bool dropped = false;  // left out when the tree is written again
  bool changed = false;  // this element or one inside it was edited
  std::vector<Node> kids;
};

// The element tree of the first element of the buffer. False when the bytes
// do not start with a definite-length element. Constructed elements whose
// content is not a sequence of elements are kept whole, without children.
bool Parse(const uint8_t* data, size_t length, Node* root);

// A copy of a seal signature with the slips of the structure rewritten
// (the GOV extra fields dropped, IA5String owner entries read as OCTET
// STRINGs). False when nothing had to change: decode the original then.
bool NormalizeSignature(const uint8_t* data, size_t length,
                        std::vector<uint8_t>* out);
// The same for a bare seal.
bool NormalizeSeal(const uint8_t* data, size_t length,
                   std::vector<uint8_t>* out);

// The bytes that the signer and the seal maker signed, as they stand in the
// signature. Empty when the signature cannot be walked (then the signed parts
// are encoded again from the decoded records).
struct SignedParts {
  std::vector<uint8_t> tbsSign;
  std::vector<uint8_t> sealSigned;  // esealInfo, or the plain TBS_Seal
};
// `family`: 4 GOV, 3 GIN, anything else plain.
SignedParts SignedPartsOf(const uint8_t* data, size_t length, int family);

// An SM2 signature value (a BIT STRING's bytes and its unused-bit count) read
// as 64 bytes r || s, tolerating the slips above. 64-byte values are taken as
// r || s already. False when the value is not an SM2 signature value even by
// those rules (bytes after the SEQUENCE, r or s longer than 32 bytes, ...).
bool Sm2SignatureValue(const uint8_t* bits, size_t length, int unusedBits,
                       uint8_t rs[64]);

}  // namespace sv::tolerant
