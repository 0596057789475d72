// Digests that callers hand to SEF_OfdESealSign_Verify: in one call, or in
// three calls (Init, Update..., Final) over one process-wide holder.
#include <openssl/evp.h>

#include <mutex>
#include <vector>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXSM.h"
#include "SealVerify.h"
#include "crypto/openssl_ptr.h"
#include "crypto/sha0.h"
#include "foundation/export_boundary.h"
#include "sealverify_internal.h"

namespace sv {
namespace {

const int kNidSha0 = 41;
const int kNidSm3 = 920;

// A running digest of one algorithm. SM3 and SHA-0 (which OpenSSL no longer
// has) run on our own code, the others on OpenSSL's EVP digests. Each digests
// the data as it comes and keeps none of it.
class RunningDigest {
 public:
  bool Start(int nid) {
    nid_ = nid;
    evp_.reset();
    if (nid == kNidSm3) {
      SM3_Init_1(&sm3_);
      return true;
    }
    if (nid == kNidSha0) {
      kx::Sha0Init(&sha0_);
      return true;
    }
    const EVP_MD* md = EvpForNid(nid);
    if (md == nullptr) return false;
    evp_.reset(EVP_MD_CTX_new());
    return evp_ && EVP_DigestInit_ex(evp_.get(), md, nullptr) == 1;
  }

  bool Feed(const unsigned char* data, unsigned int len) {
    if (nid_ == kNidSm3) {
      SM3_Update_1(&sm3_, data, len);
      return true;
    }
    if (nid_ == kNidSha0) {
      kx::Sha0Update(&sha0_, data, len);
      return true;
    }
    return evp_ && EVP_DigestUpdate(evp_.get(), data, len) == 1;
  }

  // The digest of everything fed so far; the running state is kept, so more
  // data may follow.
  bool Peek(std::vector<unsigned char>* out) const {
    if (nid_ == kNidSm3) {
      SM3_CTX_1 copy = sm3_;
      out->resize(32);
      SM3_Final_1(&copy, out->data());
      return true;
    }
    if (nid_ == kNidSha0) {
      kx::Sha0Ctx copy = sha0_;
      out->resize(20);
      kx::Sha0Final(&copy, out->data());
      return true;
    }
    if (!evp_) return false;
    kx::UniquePtr<EVP_MD_CTX> copy(EVP_MD_CTX_new());
    unsigned int len = 0;
    out->resize(EVP_MAX_MD_SIZE);
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), evp_.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), out->data(), &len) != 1)
      return false;
    out->resize(len);
    return true;
  }

 private:
  static const EVP_MD* EvpForNid(int nid) {
    switch (nid) {
      case 4: return EVP_md5();
      case 64: return EVP_sha1();
      case 672: return EVP_sha256();
      case 673: return EVP_sha384();
      case 674: return EVP_sha512();
      case 675: return EVP_sha224();
      default: return nullptr;
    }
  }

  int nid_ = 0;
  SM3_CTX_1 sm3_{};
  kx::Sha0Ctx sha0_{};
  kx::UniquePtr<EVP_MD_CTX> evp_;
};

// The process-wide holder of the three-call digest. State 0: nothing done,
// 1: after Init, 2: after at least one Update. `usable` is false after an
// Init or Update that failed, so Final never hands out a stale digest. The
// lock keeps interleaved callers from corrupting the running state.
struct DigestHolder {
  std::mutex lock;
  int state = 0;
  int algorithm = 0;
  bool usable = false;
  RunningDigest digest;
};

DigestHolder& Holder() {
  static DigestHolder* holder = new DigestHolder;  // lives until exit
  return *holder;
}

// The lines of a three-call digest that cannot be had.
constexpr char kUpdateFailed[] =
    "SEF_DigestDatabyAlg==>%08x -- KXDigestASN1ByNID() digest error";
constexpr char kFinalFailed[] =
    "SEF_DigestDataInitbyAlg==>%08x -- also has not update digest";

// Hands the digest out; a buffer too small gets its line under `function`.
unsigned int Deliver(const char* function, const unsigned char* src,
                     unsigned int len, unsigned char* out,
                     unsigned int* outLen) {
  const unsigned int rc = kx::DeliverOutput(src, len, out, outLen);
  if (rc != 0)
    KX_LOG_ERR(function,
               "SEF_DigestDatabyAlg==>%08x -- arguments pulDigLen is not int "
               "enough",
               rc);
  return rc;
}

}  // namespace
}  // namespace sv

using namespace sv;

extern "C" unsigned int SEF_DigestDatabyAlg(unsigned int ulAlgID,
                                            const unsigned char* pbData,
                                            unsigned int ulDataLen,
                                            unsigned char* pbDigest,
                                            unsigned int* pulDigLen) {
  if (pulDigLen == nullptr) {
    KX_LOG_ERR("SEF_DigestDatabyAlg",
               "SEF_DigestDatabyAlg==>%08x -- arguments error",
               KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  constexpr kx::ExportFailure kFailure =
      SV_EXPORT_FAILURE("SEF_DigestDatabyAlg");
  return kx::GuardCode(kFailure, [&]() -> unsigned int {
    // A length query digests no data: the length does not depend on it, and
    // an empty input has no first byte to read.
    const unsigned int n = pbDigest == nullptr ? 0 : ulDataLen;
    ckxstr digest = KXDigestByNID(pbData, n, static_cast<int>(ulAlgID));
    if (digest.empty()) {
      KX_LOG_ERR("SEF_DigestDatabyAlg",
                 "SEF_DigestDatabyAlg==>%08x -- KXDigestASN1ByNID() digest "
                 "error",
                 KX_ERR_DIGEST);
      return KX_ERR_DIGEST;
    }
    return Deliver("SEF_DigestDatabyAlg",
                   reinterpret_cast<const unsigned char*>(digest.c_str()),
                   digest.length(), pbDigest, pulDigLen);
  });
}

// The holder is reached and locked inside each export's guard: neither may
// throw across the exported boundary.
extern "C" unsigned int SEF_DigestDataInitbyAlg(unsigned int ulAlgID,
                                                void** phHandle) {
  if (phHandle == nullptr) {
    KX_LOG_ERR("SEF_DigestDataInitbyAlg",
               "SEF_DigestDataInitbyAlg==>%08x -- arguments error",
               KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  constexpr kx::ExportFailure kFailure =
      SV_EXPORT_FAILURE("SEF_DigestDataInitbyAlg");
  return kx::GuardCode(kFailure, [&]() -> unsigned int {
    DigestHolder& h = Holder();
    std::lock_guard<std::mutex> guard(h.lock);
    h.state = 1;
    h.algorithm = static_cast<int>(ulAlgID);
    // An unknown identifier is not refused here: the Update that follows
    // reports it, as the one-call digest does.
    h.usable = h.digest.Start(h.algorithm);
    *phHandle = reinterpret_cast<void*>(1);
    return 0;
  });
}

// Update and Final report every failure, an exception included, with the one
// code and line they have for a digest that cannot be had.
extern "C" unsigned int SEF_DigestDataUpdate(void* /*hHandle*/,
                                             const unsigned char* pbData,
                                             unsigned int ulDataLen) {
  constexpr kx::ExportFailure kFailure{"SEF_DigestDatabyAlg", kUpdateFailed,
                                       kUpdateFailed, KX_ERR_DIGEST,
                                       KX_ERR_DIGEST};
  return kx::GuardCode(kFailure, [&]() -> unsigned int {
    {
      DigestHolder& h = Holder();
      std::lock_guard<std::mutex> guard(h.lock);
      h.state = 2;
      if (h.usable && pbData != nullptr && h.digest.Feed(pbData, ulDataLen))
        return 0;
      h.usable = false;
    }
    KX_LOG_ERR("SEF_DigestDatabyAlg", kUpdateFailed, KX_ERR_DIGEST);
    return KX_ERR_DIGEST;
  });
}

extern "C" unsigned int SEF_DigestDataFinal(void* /*hHandle*/,
                                            unsigned char* pbDigest,
                                            unsigned int* pulDigLen) {
  if (pulDigLen == nullptr) {
    KX_LOG_ERR("SEF_DigestDataFinal",
               "SEF_DigestDataFinal==>%08x -- arguments error",
               KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  constexpr kx::ExportFailure kFailure{"SEF_DigestDataFinal", kFinalFailed,
                                       kFinalFailed, KX_ERR_DIGEST,
                                       KX_ERR_DIGEST};
  return kx::GuardCode(kFailure, [&]() -> unsigned int {
    std::vector<unsigned char> digest;
    bool ok = false;
    {
      DigestHolder& h = Holder();
      std::lock_guard<std::mutex> guard(h.lock);
      ok = h.state == 2 && h.usable && h.digest.Peek(&digest);
    }
    if (!ok) {
      KX_LOG_ERR("SEF_DigestDataFinal", kFinalFailed, KX_ERR_DIGEST);
      return KX_ERR_DIGEST;
    }
    return Deliver("SEF_DigestDataFinal", digest.data(),
                   static_cast<unsigned int>(digest.size()), pbDigest,
                   pulDigLen);
  });
}
