// PKCS#7 signatures (Type="Sign") in the verify and inspect reports: the
// sealofd verifier's answer over the exact bytes of Signature.xml, and the
// checks the tool adds on the signer certificate (its validity at the signing
// time, its chain to the trust anchors).
#pragma once

#include <string>

#include "ofd.h"
#include "ofd/pkcs7.h"
#include "text.h"
#include "trust.h"
#include "verify.h"

namespace ofdseal {

// The verifier's result for the signature value and Signature.xml of `sig`.
ofd::Pkcs7Result VerifyPkcs7(const LoadedSignature& sig);

// Fills the report of a Type="Sign" signature whose value was read: the
// verifier's code and facts, the signer, the signing time, and a problem for
// each failed check of the signer certificate. Without a signing time
// attribute the certificate must be valid now.
void CheckPkcs7Signature(const LoadedSignature& sig, const TrustStore& trust,
                         SignatureReport* r);

// "detached content, signed attributes, SM3 digest, 2 certificates".
std::string Pkcs7FormText(const ofd::Pkcs7Result& p);
// "0 成功", or "5013 摘要校验错误: messageDigest is not ...".
std::string Pkcs7ResultText(const ofd::Pkcs7Result& p);
// {"code", "message", "reason"}.
Json Pkcs7ResultJson(const ofd::Pkcs7Result& p);
// The form, the algorithms, the signing time and the certificates.
Json Pkcs7Json(const ofd::Pkcs7Result& p);
// The lines of `ofdseal inspect` for one PKCS#7 signature.
std::string Pkcs7InspectText(const ofd::Pkcs7Result& p);

}  // namespace ofdseal
