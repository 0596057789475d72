// Trust anchors of the verify command: certificates read from PEM files, and
// the walk from a certificate up through them.
//
// Each link of the walk follows the rules of the libraries' trust store: the
// issuer is found by authority key identifier = subject key identifier when
// the certificate names one, else by its signature type followed by its
// issuer name = key type followed by subject name; the issuer's signature on
// the certificate verifies; the certificate's validity period lies within the
// issuer's. The walk goes on from the issuer until it reaches a self-signed
// certificate of the trust files, or a certificate of the trust files whose
// own issuer is not among them (a trusted intermediate).
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "KXCrypto.h"

namespace ofdseal {

struct ChainResult {
  enum Status { kNotChecked, kTrusted, kUntrusted };
  Status status = kNotChecked;
  // Untrusted: "unknown issuer", "bad issuer signature", "validity outside
  // the issuer's", "validity not readable", "issuer loop", "chain too long"
  // or "certificate not readable".
  std::string reason;
  // Untrusted: the subject of the certificate whose link failed, when it is
  // not the certificate asked about.
  std::string at;
  // The subjects of the issuers walked through, nearest first; trusted: the
  // last one ended the chain.
  std::vector<std::string> issuers;
  // Per issuer: true when it came with the signature rather than from the
  // trust files.
  std::vector<bool> carried;
};

class TrustStore {
 public:
  // Longest chain walked, in certificates, the one asked about included.
  static constexpr size_t kMaxChain = 8;

  // Adds every certificate of the PEM file. False, with a one-line reason,
  // when the file cannot be read, holds no certificate, or one of its
  // certificate blocks does not parse; nothing of the file is added then.
  bool AddFile(const std::string& path, std::string* error);
  // Adds every *.pem and *.crt file of the folder, in name order. A folder
  // that does not exist adds nothing; each file that cannot be used is
  // skipped and its reason appended to `skipped`.
  void AddFolder(const std::string& dir, std::vector<std::string>* skipped);

  size_t size() const { return certs_.size(); }
  const std::vector<std::string>& files() const { return files_; }

  // Walks from the DER certificate up to a trust anchor. kNotChecked when
  // the store is empty. `carried` holds DER certificates that came with the
  // signature: one of them is taken as the issuer only when no trust file
  // holds it, and the walk goes on from there; it never ends at one, so a
  // signature cannot bring its own root.
  ChainResult Check(const std::string& der,
                    const std::vector<std::string>& carried = {}) const;

 private:
  struct Entry {
    shared_ptr<X509> cert;
    std::string der;
  };
  void Add(const shared_ptr<X509>& cert);
  // The trusted certificate that issued `cert`, or null.
  const Entry* FindIssuer(X509* cert) const;
  // The certificate of `pool` other than `cert` itself that issued it, by
  // the same rules, or null.
  static const Entry* FindIssuerIn(const std::vector<Entry>& pool, X509* cert,
                                   const std::string& certDer);

  std::vector<Entry> certs_;
  // Later certificates with an equal key replace earlier ones.
  std::map<std::string, size_t> byKeyId_;
  std::map<std::string, size_t> byTypeAndName_;
  std::set<std::string> ders_;
  std::vector<std::string> files_;
};

// The folders read unless --no-default-trust is given: /etc/ofdseal/trust.d,
// then $XDG_CONFIG_HOME/ofdseal/trust.d ($HOME/.config/ofdseal/trust.d when
// XDG_CONFIG_HOME is unset, empty or relative).
std::vector<std::string> DefaultTrustFolders();

// The validity period of a DER certificate in milliseconds since 1970; false
// when the certificate or one of its times cannot be read.
bool CertificatePeriod(const std::string& der, long* notBefore, long* notAfter);

// A certificate to read names, serial number and period from: DER is parsed
// without decoding its key (the costly part) and remembered while it recurs,
// as batches of documents from one issuer carry the same certificates;
// Base64 and PEM go through the library's parser. Empty when unreadable.
// Not for chain checks, which need the key.
shared_ptr<X509> ReadableCertificate(const std::string& der);

}  // namespace ofdseal
