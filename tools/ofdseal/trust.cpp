#include "trust.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "KXTime.h"
#include "device/cert_keyless.h"
#include "cli.h"
#include "text.h"

namespace ofdseal {
namespace {

namespace fs = std::filesystem;

// Trust files hold a few certificates; anything near this size is not one.
const uint64_t kMaxTrustFile = 16u << 20;

const char kBegin[] = "-----BEGIN CERTIFICATE-----";
const char kEnd[] = "-----END CERTIFICATE-----";

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

std::string SubjectOf(X509* cert) {
  return DisplayText(Str(KXGetX509Name(X509_get_subject_name(cert), 0)));
}

std::string DerOf(X509* cert) { return Str(KXX509ToStr(cert, false)); }

// Both bounds of the validity period in milliseconds; false when either
// cannot be converted.
bool PeriodOf(X509* cert, long* notBefore, long* notAfter) {
  *notBefore = KXASN1ToTime2(X509_getm_notBefore(cert));
  *notAfter = KXASN1ToTime2(X509_getm_notAfter(cert));
  return *notBefore != -1 && *notAfter != -1;
}

bool HasSuffix(const std::string& name, const char* suffix) {
  const std::string s = suffix;
  return name.size() > s.size() &&
         name.compare(name.size() - s.size(), s.size(), s) == 0;
}

// What an issuer is found by: its subject key identifier (hex), and its key
// type followed by its subject name. A key type the libraries do not know is
// found by key identifier only.
std::string KeyIdOf(X509* cert) {
  return Str(KXGetSubjectKeyId(X509_get0_extensions(cert)));
}
std::string TypeAndNameOf(X509* cert) {
  const std::string type = Str(KXCertType(X509_get_X509_PUBKEY(cert)));
  if (type.empty()) return std::string();
  return type + Str(KXGetX509Name(X509_get_subject_name(cert), 0));
}
// The same keys as the certificate names its issuer: the authority key
// identifier, else its signature type followed by its issuer name. Only one
// of the two is set.
void IssuerKeysOf(X509* cert, std::string* keyId, std::string* typeAndName) {
  *keyId = Str(KXGetAuthorKeyId(X509_get0_extensions(cert)));
  typeAndName->clear();
  if (!keyId->empty()) return;
  const std::string signType = Str(KXSignType(cert));
  if (!signType.empty())
    *typeAndName = signType + Str(KXGetX509Name(X509_get_issuer_name(cert), 0));
}

ChainResult Untrusted(const char* reason, const std::string& at,
                      std::vector<std::string> issuers,
                      std::vector<bool> carried) {
  ChainResult out;
  out.status = ChainResult::kUntrusted;
  out.reason = reason;
  out.at = at;
  out.issuers = std::move(issuers);
  out.carried = std::move(carried);
  return out;
}

}  // namespace

void TrustStore::Add(const shared_ptr<X509>& cert) {
  X509* x = cert.get();
  const size_t index = certs_.size();
  certs_.push_back({cert, DerOf(x)});
  ders_.insert(certs_.back().der);
  const std::string keyId = KeyIdOf(x);
  if (!keyId.empty()) byKeyId_[keyId] = index;
  const std::string typeAndName = TypeAndNameOf(x);
  if (!typeAndName.empty()) byTypeAndName_[typeAndName] = index;
}

bool TrustStore::AddFile(const std::string& path, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, kMaxTrustFile, &text, error)) return false;
  std::vector<shared_ptr<X509>> found;
  for (size_t at = text.find(kBegin); at != std::string::npos;
       at = text.find(kBegin, at + 1)) {
    const size_t end = text.find(kEnd, at);
    if (end == std::string::npos) {
      *error = "'" + path + "': certificate " +
               std::to_string(found.size() + 1) + " has no end line";
      return false;
    }
    const size_t length = end + sizeof kEnd - 1 - at;
    shared_ptr<X509> cert =
        KXStrToX509(text.data() + at, static_cast<int>(length));
    if (!cert) {
      *error = "'" + path + "': certificate " +
               std::to_string(found.size() + 1) + " is not readable";
      return false;
    }
    found.push_back(cert);
  }
  if (found.empty()) {
    *error = "'" + path + "' holds no PEM certificate";
    return false;
  }
  for (const shared_ptr<X509>& cert : found) Add(cert);
  files_.push_back(path);
  return true;
}

void TrustStore::AddFolder(const std::string& dir,
                           std::vector<std::string>* skipped) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return;
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (HasSuffix(name, ".pem") || HasSuffix(name, ".crt"))
      names.push_back(it->path().string());
  }
  if (ec) {
    skipped->push_back("cannot list '" + dir + "': " + ec.message());
    return;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& path : names) {
    std::string error;
    if (!AddFile(path, &error)) skipped->push_back(error);
  }
}

const TrustStore::Entry* TrustStore::FindIssuer(X509* cert) const {
  std::string keyId, typeAndName;
  IssuerKeysOf(cert, &keyId, &typeAndName);
  if (!keyId.empty()) {
    auto it = byKeyId_.find(keyId);
    return it == byKeyId_.end() ? nullptr : &certs_[it->second];
  }
  if (typeAndName.empty()) return nullptr;
  auto it = byTypeAndName_.find(typeAndName);
  return it == byTypeAndName_.end() ? nullptr : &certs_[it->second];
}

const TrustStore::Entry* TrustStore::FindIssuerIn(
    const std::vector<Entry>& pool, X509* cert, const std::string& certDer) {
  std::string keyId, typeAndName;
  IssuerKeysOf(cert, &keyId, &typeAndName);
  if (keyId.empty() && typeAndName.empty()) return nullptr;
  for (const Entry& e : pool) {
    // A self-signed certificate of the pool is no issuer: it would be a
    // root that the signature brought along.
    if (e.der == certDer) continue;
    if (!keyId.empty() ? KeyIdOf(e.cert.get()) == keyId
                       : TypeAndNameOf(e.cert.get()) == typeAndName)
      return &e;
  }
  return nullptr;
}

ChainResult TrustStore::Check(const std::string& der,
                              const std::vector<std::string>& carried) const {
  if (certs_.empty()) return ChainResult();
  shared_ptr<X509> leaf =
      der.empty() ? shared_ptr<X509>()
                  : KXStrToX509(der.data(), static_cast<int>(der.size()));
  if (!leaf) return Untrusted("certificate not readable", "", {}, {});
  std::vector<Entry> pool;
  for (const std::string& c : carried) {
    shared_ptr<X509> cert =
        c.empty() ? shared_ptr<X509>()
                  : KXStrToX509(c.data(), static_cast<int>(c.size()));
    // An unreadable carried certificate is no link; the walk says which
    // issuer it missed.
    if (cert) pool.push_back({cert, c});
  }
  std::vector<std::string> issuers;
  std::vector<bool> fromPool;
  std::set<std::string> seen = {der};
  X509* current = leaf.get();
  std::string currentDer = der;
  // The subject of the failing link's certificate, when not the leaf.
  const auto at = [&]() {
    return current == leaf.get() ? std::string() : SubjectOf(current);
  };
  for (size_t length = 1; length <= kMaxChain; ++length) {
    const Entry* issuer = FindIssuer(current);
    bool isCarried = false;
    if (issuer == nullptr) {
      // A certificate of the trust files ends the chain even when its own
      // issuer is not among them.
      if (ders_.count(currentDer) != 0) {
        ChainResult out;
        out.status = ChainResult::kTrusted;
        out.issuers = issuers;
        out.carried = fromPool;
        return out;
      }
      issuer = FindIssuerIn(pool, current, currentDer);
      isCarried = issuer != nullptr;
      if (issuer == nullptr)
        return Untrusted("unknown issuer", at(), issuers, fromPool);
    }
    X509* up = issuer->cert.get();
    if (KXVerifyX509(current, X509_get_X509_PUBKEY(up)) != 0)
      return Untrusted("bad issuer signature", at(), issuers, fromPool);
    long start = 0, end = 0, upStart = 0, upEnd = 0;
    if (!PeriodOf(current, &start, &end) || !PeriodOf(up, &upStart, &upEnd))
      return Untrusted("validity not readable", at(), issuers, fromPool);
    if (upStart > start || upEnd < end)
      return Untrusted("validity outside the issuer's", at(), issuers,
                       fromPool);
    // A self-signed certificate of the trust files: the root. (The
    // certificate asked about may be that root itself: no issuers then.)
    // Carried certificates never issue themselves (FindIssuerIn).
    if (issuer->der == currentDer) {
      ChainResult out;
      out.status = ChainResult::kTrusted;
      out.issuers = issuers;
      out.carried = fromPool;
      return out;
    }
    issuers.push_back(SubjectOf(up));
    fromPool.push_back(isCarried);
    if (!seen.insert(issuer->der).second)
      return Untrusted("issuer loop", at(), issuers, fromPool);
    current = up;
    currentDer = issuer->der;
  }
  return Untrusted("chain too long", at(), issuers, fromPool);
}

std::vector<std::string> DefaultTrustFolders() {
  std::vector<std::string> out = {"/etc/ofdseal/trust.d"};
  const char* config = std::getenv("XDG_CONFIG_HOME");
  // XDG base directories ignore relative paths.
  if (config != nullptr && config[0] == '/') {
    out.push_back(std::string(config) + "/ofdseal/trust.d");
  } else {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
      out.push_back(std::string(home) + "/.config/ofdseal/trust.d");
  }
  return out;
}

bool CertificatePeriod(const std::string& der, long* notBefore,
                       long* notAfter) {
  shared_ptr<X509> cert = ReadableCertificate(der);
  return cert && PeriodOf(cert.get(), notBefore, notAfter);
}

shared_ptr<X509> ReadableCertificate(const std::string& der) {
  if (der.empty() || der.size() > 0x7FFFFFFF) return shared_ptr<X509>();
  kx::KeylessX509 keyless = kx::ParseKeylessCert(
      reinterpret_cast<const unsigned char*>(der.data()), der.size());
  if (keyless) return shared_ptr<X509>(keyless.release());
  return KXStrToX509(der.data(), static_cast<int>(der.size()));
}

}  // namespace ofdseal
