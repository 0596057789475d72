// The trust store and one-level certificate-chain checks.
#include <openssl/pem.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXString.h"
#include "KXTime.h"
#include "KXTrust.h"
#include "foundation/export_boundary.h"
#include "openssl_ptr.h"

namespace kx {
namespace {

enum Method : int {
  kMethodAlwaysPass = 0,
  kMethodSystem = 1,
  kMethodTrustStore = 2,
};
std::atomic<int> g_method{kMethodSystem};

// Sets the thread's last error, writes the failure's one log line under
// `function` and returns the code.
int Fail(const char* function, int line, int code, const char* what) {
  KXSetLastError(code);
  KXLog(KX_LOG_ERROR, function, line, "%s==>%d -- %s", function, code, what);
  return code;
}
#define TRUST_FAIL(function, code, what) \
  ::kx::Fail((function), __LINE__, (code), (what))

// What an export of the store answers when an exception ends its work: the
// code as the last error and a line in the shape of TRUST_FAIL's.
#define TRUST_EXPORT_FAILURE(function)                                      \
  ::kx::ExportFailure {                                                     \
    function, function "==>%d -- out of memory",                            \
        function "==>%d -- unexpected failure", KX_ERR_MEMORY, KX_ERR_FAIL, \
        true                                                                \
  }

std::string Str(const ckxstr& s) { return std::string(s.c_str(), s.length()); }

// PEM reading never asks for a password (no prompt on a terminal).
int NoPassword(char*, int, int, void*) { return 0; }

// The two maps of trusted certificates. Both entries of one certificate hold
// the same private copy. Checks read under a shared lock, adding and erasing
// write under an exclusive one. The lock is held around map accesses only,
// never across a call into another function, so adding a certificate (which
// runs a chain check) cannot deadlock on it. A found holder is copied out:
// the certificate lives on while a check uses it even if it is erased.
class TrustStore {
 public:
  shared_ptr<X509> FindByKeyId(const std::string& keyId) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return Find(byKeyId_, keyId);
  }
  shared_ptr<X509> FindByTypeAndName(const std::string& typeName) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return Find(byTypeName_, typeName);
  }
  bool Empty() const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return byTypeName_.empty();
  }
  // An empty key identifier stores under the name key only. Both entries or
  // neither: the nodes are made first (which may throw), then filled.
  void Add(const std::string& keyId, const std::string& typeName,
           const shared_ptr<X509>& cert) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    auto name = byTypeName_.try_emplace(typeName);
    auto id = byKeyId_.end();
    if (!keyId.empty()) {
      try {
        id = byKeyId_.try_emplace(keyId).first;
      } catch (...) {
        if (name.second) byTypeName_.erase(name.first);
        throw;
      }
    }
    name.first->second = cert;
    if (id != byKeyId_.end()) id->second = cert;
  }
  // Removes the key identifier's entry, if any, then the name entry; false
  // when there was no name entry.
  bool Erase(const std::string& keyId, const std::string& typeName) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (!keyId.empty()) byKeyId_.erase(keyId);
    return byTypeName_.erase(typeName) != 0;
  }

 private:
  typedef std::map<std::string, shared_ptr<X509>> Map;
  static shared_ptr<X509> Find(const Map& map, const std::string& key) {
    Map::const_iterator it = map.find(key);
    return it == map.end() ? shared_ptr<X509>() : it->second;
  }

  mutable std::shared_mutex mutex_;
  Map byKeyId_;     // KXGetSubjectKeyId of the certificate
  Map byTypeName_;  // KXCertType of its key + KXGetX509Name of its subject
};

// Made on first use, after libcrypto is set up, so it is freed before
// libcrypto's own clean-up at exit.
TrustStore& Store() {
  static TrustStore store;
  return store;
}

// The trust file is read by one thread at a time. While a thread reads it,
// the chain checks it runs for the certificates it adds look only at what is
// already stored (reading the file again from there would never end), and
// checks on other threads wait until it is done instead of seeing half of it.
std::mutex g_fileMutex;
std::atomic<bool> g_fileLoading{false};
thread_local bool t_readingFile = false;

class ReadingFile {
 public:
  ReadingFile() {
    t_readingFile = true;
    g_fileLoading.store(true);
  }
  ~ReadingFile() {
    g_fileLoading.store(false);
    t_readingFile = false;
  }
  ReadingFile(const ReadingFile&) = delete;
  ReadingFile& operator=(const ReadingFile&) = delete;
};

// Fills the store from "trust.txt" beside the library while it holds no
// certificate. A file that is missing or does not load leaves the check to
// find no issuer.
void LoadTrustFileWhileEmpty() {
  if (t_readingFile) return;
  if (!Store().Empty() && !g_fileLoading.load()) return;
  std::lock_guard<std::mutex> fileLock(g_fileMutex);
  if (!Store().Empty()) return;
  ReadingFile reading;
  const std::string dir = KXGetDllPath();
  ckxstr text = KXReadFile((dir + "trust.txt").c_str());
  if (text.empty()) {
    KX_LOG_ERR("KXVerifyCertLinkbyFile", "not find trust %strust.txt",
               dir.c_str());
    return;
  }
  KXLoadTrusts(text.c_str(), static_cast<int>(text.length()));
}

int VerifyWithStore(X509* cert, bool checkPeriod) {
  static const char kFn[] = "KXVerifyCertLinkbyFile";
  LoadTrustFileWhileEmpty();
  if (cert == nullptr)
    return TRUST_FAIL(kFn, KX_ERR_INVALID_INPUT, "arguments error");

  // The issuer: by the authority key identifier when the certificate has
  // one, else by signature type and issuer name ("RSA_4096" + name matches
  // the key type of a 4096-bit RSA issuer).
  shared_ptr<X509> issuer;
  const ckxstr authorityKeyId = KXGetAuthorKeyId(X509_get0_extensions(cert));
  if (!authorityKeyId.empty()) {
    issuer = Store().FindByKeyId(Str(authorityKeyId));
  } else {
    const ckxstr signType = KXSignType(cert);
    if (!signType.empty())
      issuer = Store().FindByTypeAndName(
          Str(signType) + Str(KXGetX509Name(X509_get_issuer_name(cert), 0)));
  }
  if (!issuer)
    return TRUST_FAIL(kFn, KX_ERR_CHAIN_NOT_FOUND,
                      "no issuer in the trust store");

  const int verified = KXVerifyX509(cert, X509_get_X509_PUBKEY(issuer.get()));
  if (verified != 0)
    return TRUST_FAIL(kFn, verified, "KXVerifyX509() issuer signature error");

  // The certificate's period must lie within the issuer's (times in
  // milliseconds, -1 when a time cannot be read).
  const long issuerStart = KXASN1ToTime2(X509_getm_notBefore(issuer.get()));
  const long certStart = KXASN1ToTime2(X509_getm_notBefore(cert));
  if (issuerStart == -1 || certStart == -1)
    return TRUST_FAIL(kFn, KX_ERR_TIME_FORMAT, "KXASN1ToTime2() start error");
  if (issuerStart > certStart)
    return TRUST_FAIL(kFn, KX_ERR_NOT_IN_PERIOD,
                      "starts before its issuer's period");
  const long issuerEnd = KXASN1ToTime2(X509_getm_notAfter(issuer.get()));
  const long certEnd = KXASN1ToTime2(X509_getm_notAfter(cert));
  if (issuerEnd == -1 || certEnd == -1)
    return TRUST_FAIL(kFn, KX_ERR_TIME_FORMAT, "KXASN1ToTime2() end error");
  if (issuerEnd < certEnd)
    return TRUST_FAIL(kFn, KX_ERR_NOT_IN_PERIOD,
                      "ends after its issuer's period");

  if (checkPeriod) {
    const long now = KXGetTime(false);
    if (now < certStart || now > certEnd)
      return TRUST_FAIL(kFn, KX_ERR_CERT_EXPIRED,
                        "now is outside the certificate's period");
  }
  return 0;
}

int AddToStore(X509* cert) {
  static const char kFn[] = "KXTrustAddX509";
  if (cert == nullptr)
    return TRUST_FAIL(kFn, KX_ERR_INVALID_INPUT, "arguments error");
  const ckxstr subject = KXGetX509Name(X509_get_subject_name(cert), 0);
  const ckxstr issuer = KXGetX509Name(X509_get_issuer_name(cert), 0);
  if (Str(subject) == Str(issuer)) {
    const int rc = KXVerifyX509(cert, X509_get_X509_PUBKEY(cert));
    if (rc != 0)
      return TRUST_FAIL(kFn, rc, "self-issued certificate does not verify");
  } else {
    const int rc = KXVerifyCertLink(cert, false);
    if (rc != 0) return TRUST_FAIL(kFn, rc, "KXVerifyCertLink() error");
  }
  const ckxstr type = KXCertType(X509_get_X509_PUBKEY(cert));
  if (type.empty()) {
    const int code = KXGetLastError();
    return TRUST_FAIL(kFn, code != 0 ? code : KX_ERR_FAIL,
                      "KXCertType() unknown key type");
  }
  shared_ptr<X509> copy(X509_dup(cert));
  if (!copy) return TRUST_FAIL(kFn, KX_ERR_MEMORY, "X509_dup() error");
  Store().Add(Str(KXGetSubjectKeyId(X509_get0_extensions(cert))),
              Str(type) + Str(subject), copy);
  return 0;
}

int EraseFromStore(X509* cert) {
  static const char kFn[] = "KXTrustEraseX509";
  if (cert == nullptr)
    return TRUST_FAIL(kFn, KX_ERR_INVALID_INPUT, "arguments error");
  const std::string typeName =
      Str(KXCertType(X509_get_X509_PUBKEY(cert))) +
      Str(KXGetX509Name(X509_get_subject_name(cert), 0));
  if (!Store().Erase(Str(KXGetSubjectKeyId(X509_get0_extensions(cert))),
                     typeName))
    return TRUST_FAIL(kFn, KX_ERR_CERT_NOT_FOUND,
                      "certificate not in the trust store");
  return 0;
}

int LoadPem(const char* text, int length) {
  static const char kFn[] = "KXLoadTrusts";
  if (text == nullptr)
    return TRUST_FAIL(kFn, KX_ERR_INVALID_INPUT, "arguments error");
  if (length < 0) length = static_cast<int>(std::strlen(text));
  UniquePtr<BIO> bio(BIO_new_mem_buf(text, length));
  if (!bio) return TRUST_FAIL(kFn, KX_ERR_FAIL, "BIO_new_mem_buf() error");
  UniquePtr<STACK_OF(X509_INFO)> entries(
      PEM_X509_INFO_read_bio(bio.get(), nullptr, NoPassword, nullptr));
  if (!entries)
    return TRUST_FAIL(kFn, KX_ERR_FAIL, "PEM_X509_INFO_read_bio() error");
  int added = 0;
  for (int i = 0; i < sk_X509_INFO_num(entries.get()); ++i) {
    X509* cert = sk_X509_INFO_value(entries.get(), i)->x509;
    if (cert == nullptr) continue;
    const int rc = KXTrustAddX509(cert);
    if (rc != 0) return TRUST_FAIL(kFn, rc, "KXTrustAddX509() error");
    ++added;
  }
  // Text without a single certificate is not a trust list: reporting it as
  // loaded would hide a wrong or damaged file.
  if (added == 0)
    return TRUST_FAIL(kFn, KX_ERR_FAIL, "no certificate in the text");
  return 0;
}

}  // namespace
}  // namespace kx

void KXSetVerifyCertlinkMethod(int method) {
  if (method == kx::kMethodAlwaysPass || method == kx::kMethodSystem ||
      method == kx::kMethodTrustStore)
    kx::g_method.store(method);
}

int KXVerifyCertLinkbyFile(X509* cert, bool checkPeriod) {
  return kx::GuardCode(TRUST_EXPORT_FAILURE("KXVerifyCertLinkbyFile"),
                       [&] { return kx::VerifyWithStore(cert, checkPeriod); });
}

int KXVerifyCertLinkbySystem(X509* /*cert*/, bool /*checkPeriod*/) {
  return TRUST_FAIL("KXVerifyCertLinkbySystem", KX_ERR_FAIL,
                    "no system certificate store");
}

extern "C" int KXVerifyCertLink(X509* cert, bool checkPeriod) {
  switch (kx::g_method.load()) {
    case kx::kMethodAlwaysPass:
      return 0;
    case kx::kMethodSystem:
      return KXVerifyCertLinkbySystem(cert, checkPeriod);
    case kx::kMethodTrustStore:
      return KXVerifyCertLinkbyFile(cert, checkPeriod);
    default:
      return TRUST_FAIL("KXVerifyCertLink", KX_ERR_INVALID_INPUT,
                        "unknown method");
  }
}

extern "C" int KXTrustAddX509(X509* cert) {
  return kx::GuardCode(TRUST_EXPORT_FAILURE("KXTrustAddX509"),
                       [&] { return kx::AddToStore(cert); });
}

extern "C" int KXTrustEraseX509(X509* cert) {
  return kx::GuardCode(TRUST_EXPORT_FAILURE("KXTrustEraseX509"),
                       [&] { return kx::EraseFromStore(cert); });
}

extern "C" int KXTrustAddCrl() {
  return TRUST_FAIL("KXTrustAddCrl", KX_ERR_FAIL,
                    "revocation lists are not supported");
}

extern "C" int KXLoadTrusts(const char* text, int length) {
  return kx::GuardCode(TRUST_EXPORT_FAILURE("KXLoadTrusts"),
                       [&] { return kx::LoadPem(text, length); });
}
