// The trust store of libKXCommon and one-level certificate-chain checks.
//
// The store holds trusted issuer certificates (private copies) under two
// keys: the subject key identifier, and the key type followed by the subject
// name ("SM2_0256C=CN,O=Org,CN=Root CA"). It is filled certificate by
// certificate, from PEM text, or, on the first check that finds it empty,
// from the file "trust.txt" in the directory of libKXCommon. A certificate
// passes the check when an issuer in the store verifies its signature and its
// validity period lies within the issuer's.
//
// The store and the method switch may be used from any thread: adding and
// erasing are serialised with the checks of other threads.
//
// C and C++; the method switch and the two checks it chooses between are
// C++ only.
#pragma once

#include <openssl/x509.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "kx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// The check chosen by the method switch (an unknown stored method: 5002).
KX_EXPORT int KXVerifyCertLink(X509* cert, bool checkPeriod);
// Stores a copy of the certificate once it passes: a self-issued one must
// verify with its own key, any other must pass KXVerifyCertLink (no period
// check) under the current method. A certificate whose keys equal those of a
// stored one replaces it.
KX_EXPORT int KXTrustAddX509(X509* cert);
// Removes the certificate's entries: 0, 5002 (null) or 5032 (not stored).
KX_EXPORT int KXTrustEraseX509(X509* cert);
// Revocation lists are not supported: always 5001.
KX_EXPORT int KXTrustAddCrl(void);
// Adds every certificate of PEM text in order (issuers first); stops at the
// first that fails and returns its code, keeping those added before it.
// length < 0 means up to the NUL. 5002 for null text, 5001 for text that is
// not PEM or holds no certificate.
KX_EXPORT int KXLoadTrusts(const char* text, int length);

#ifdef __cplusplus
}

// How chain checks are made: 0 every check passes; 1 the operating system's
// store, which is not available (every check fails with 5001); 2 the trust
// store. The initial method is 1; other values are ignored.
KX_EXPORT void KXSetVerifyCertlinkMethod(int method);
// The check against the trust store: 0, or 5002 (null), 5047 (no issuer in
// the store), 5010/5011 (the issuer's signature does not verify), 5039 (a
// validity time that cannot be read), 5014 (the period is not inside the
// issuer's), 5019 (checkPeriod set and now outside the certificate's period).
KX_EXPORT int KXVerifyCertLinkbyFile(X509* cert, bool checkPeriod);
// The operating system's store: always 5001.
KX_EXPORT int KXVerifyCertLinkbySystem(X509* cert, bool checkPeriod);

#endif
