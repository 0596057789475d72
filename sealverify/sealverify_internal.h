// Internal routines shared by the SEF_ functions of libsealverify.
#pragma once

namespace sv {

// The verifyCL switch of main.ini beside libKXCommon: -1 while no non-empty
// main.ini was found (read again on the next call), else 0 or 1, cached for
// the life of the process. Only 1 turns the certificate checks on.
int GET_VERIFY_CERT_LIST_FLAG();

}  // namespace sv
