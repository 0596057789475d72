// Internal routines shared by the SEF_ functions of libsealverify.
#pragma once

#include <openssl/asn1.h>

#include "foundation/export_boundary.h"

// What a SEF_ export answers when an exception ends its work: 5009 with
// "<name>==>%08x -- memory error", any other exception 5001 with
// "<name>==>%08x -- unexpected error".
#define SV_EXPORT_FAILURE(name)                                              \
  ::kx::ExportFailure {                                                      \
    name, name "==>%08x -- memory error", name "==>%08x -- unexpected error" \
  }

namespace sv {

// The verifyCL switch of main.ini beside libKXCommon: -1 while no non-empty
// main.ini was found (read again on the next call), else 0 or 1, cached for
// the life of the process. Only 1 turns the certificate checks on.
int GET_VERIFY_CERT_LIST_FLAG();

// The switches of main.ini that decide which checks a verification makes,
// read together with verifyCL (and cached with it). Without a main.ini the
// defaults hold.
struct VerifySwitches {
  int verifyCL = -1;            // 1: certificate checks of libsealcore
  bool checkSealOwner = true;   // the signer must be an owner of the seal
  bool checkSealPeriod = false; // the signing time must lie in the seal's period
  bool strictDer = false;       // refuse the encoders' slips (tolerant.h)
};
VerifySwitches GetVerifySwitches();

// The signing time of a seal signature in milliseconds (UTC), -1 when it
// cannot be read: a GeneralizedTime (GOV; a UTCTime text in that tag is read
// too), else text in the compact ASN.1 forms, "YYYY-MM-DD hh:mm:ss" or ISO
// 8601 "YYYY-MM-DDThh:mm:ss[.fff]Z".
long SigningTimeOf(ASN1_STRING* timeInfo, bool generalized);

}  // namespace sv
