// Internal routines shared by the SEF_ functions of libsealverify.
#pragma once

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
};
VerifySwitches GetVerifySwitches();

}  // namespace sv
