// The text that describes one certificate in seal and signature properties:
//   "<subject> <serial in hex> <notBefore>-<notAfter>;"
// with the subject as "C=..,O=..,CN=..", the serial number's content octets
// in lowercase hex, and both times as ASN.1 text in local time. Shared by
// libsealcore and libsealverify (header only, so each library has its own
// copy of this one source).
#pragma once

#include <openssl/x509.h>

#include "KXCrypto.h"
#include "KXString.h"
#include "KXTime.h"
#include "ckxstr.h"

namespace kx {

// Appends the entry for `cert` to `out`; false when a validity time cannot
// be read or memory runs out (then `out` may hold part of the entry).
inline bool AppendCertDescription(X509* cert, ckxstr* out) {
  if (cert == nullptr) return false;
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  long notBefore =
      KXASN1ToTime2(const_cast<ASN1_TIME*>(X509_get0_notBefore(cert)));
  long notAfter = KXASN1ToTime2(const_cast<ASN1_TIME*>(X509_get0_notAfter(cert)));
  if (notBefore == -1 || notAfter == -1) return false;
  ckxstr subject = KXGetX509Name(X509_get_subject_name(cert), 0);
  ckxstr serialHex =
      serial == nullptr ? ckxstr()
                        : KXHexToStr(serial->data,
                                     static_cast<unsigned int>(serial->length));
  ckxstr from = KXTimeToStr(notBefore, true, false);
  ckxstr to = KXTimeToStr(notAfter, true, false);
  return out->append(subject) && out->append(" ", 1) &&
         out->append(serialHex) && out->append(" ", 1) && out->append(from) &&
         out->append("-", 1) && out->append(to) && out->append(";", 1);
}

}  // namespace kx
