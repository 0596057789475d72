#include "algorithms.h"

#include <cctype>
#include <climits>
#include <cstring>

#include <openssl/evp.h>

#include "KXSM.h"
#include "SealVerify.h"

namespace ofdseal {
namespace {

struct DigestRow {
  Digest digest;
  const char* oid;
  const char* label;
};

// No name is part of another ("sha1" is not in "sha256"), so a signature
// method's name can be searched for each of them in any order.
const DigestRow kDigests[] = {
    {{920, "sm3"}, "1.2.156.10197.1.401", "SM3"},
    {{672, "sha256"}, "2.16.840.1.101.3.4.2.1", "SHA-256"},
    {{673, "sha384"}, "2.16.840.1.101.3.4.2.2", "SHA-384"},
    {{674, "sha512"}, "2.16.840.1.101.3.4.2.3", "SHA-512"},
    {{675, "sha224"}, "2.16.840.1.101.3.4.2.4", "SHA-224"},
    {{64, "sha1"}, "1.3.14.3.2.26", "SHA-1"},
    {{41, "sha0"}, nullptr, "SHA-0"},
    {{4, "md5"}, "1.2.840.113549.2.5", "MD5"},
};

// Lower case, letters and digits only: "SHA-256" -> "sha256".
std::string Fold(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    if (std::isalnum(c)) out += static_cast<char>(std::tolower(c));
  return out;
}

const DigestRow* RowById(unsigned int id) {
  for (const DigestRow& row : kDigests)
    if (row.digest.id == id) return &row;
  return nullptr;
}

}  // namespace

bool DigestByName(const std::string& text, Digest* out) {
  for (const DigestRow& row : kDigests) {
    if ((row.oid != nullptr && text == row.oid) ||
        Fold(text) == row.digest.name) {
      *out = row.digest;
      return true;
    }
  }
  if (!text.empty() && text.size() < 6 &&
      text.find_first_not_of("0123456789") == std::string::npos) {
    const DigestRow* row = RowById(static_cast<unsigned int>(std::stoul(text)));
    if (row != nullptr) {
      *out = row->digest;
      return true;
    }
  }
  return false;
}

const char* DigestNames() {
  return "sm3, sha1,\n"
         "                     sha224, sha256, sha384, sha512, md5, sha0";
}

bool SignatureMethodByName(const std::string& method, KeyKind* kind,
                           Digest* digest) {
  // Object identifiers: SM2 with SM3 and its SM2 arc; PKCS #1 RSA methods.
  struct OidRow {
    const char* oid;
    KeyKind kind;
    unsigned int digest;
  };
  static const OidRow kOids[] = {
      {"1.2.156.10197.1.501", KeyKind::kSm2, 920},
      {"1.2.156.10197.1.301", KeyKind::kSm2, 920},
      {"1.2.156.10197.1.301.1", KeyKind::kSm2, 920},
      {"1.2.840.113549.1.1.4", KeyKind::kRsa, 4},
      {"1.2.840.113549.1.1.5", KeyKind::kRsa, 64},
      {"1.2.840.113549.1.1.11", KeyKind::kRsa, 672},
      {"1.2.840.113549.1.1.12", KeyKind::kRsa, 673},
      {"1.2.840.113549.1.1.13", KeyKind::kRsa, 674},
      {"1.2.840.113549.1.1.14", KeyKind::kRsa, 675},
  };
  for (const OidRow& row : kOids) {
    if (method == row.oid) {
      *kind = row.kind;
      *digest = RowById(row.digest)->digest;
      return true;
    }
  }
  // Names: "SM2", "SM3withSM2", "sha256WithRSAEncryption", "RSA-SHA1"...
  const std::string folded = Fold(method);
  if (folded.find("sm2") != std::string::npos) {
    *kind = KeyKind::kSm2;
    *digest = RowById(920)->digest;
    return true;
  }
  if (folded.find("rsa") != std::string::npos) {
    for (const DigestRow& row : kDigests) {
      if (row.digest.id != 920 &&
          folded.find(row.digest.name) != std::string::npos) {
        *kind = KeyKind::kRsa;
        *digest = row.digest;
        return true;
      }
    }
  }
  return false;
}

bool ComputeDigest(const Digest& digest, const std::string& data,
                   std::string* out, unsigned int* code) {
  if (data.size() > UINT_MAX) {
    *code = 5003;  // the library takes 32-bit lengths
    return false;
  }
  unsigned char buffer[64];
  unsigned int length = sizeof buffer;
  // The library reads from a non-null pointer even for empty data.
  static const unsigned char kEmpty = 0;
  const unsigned char* bytes =
      data.empty() ? &kEmpty
                   : reinterpret_cast<const unsigned char*>(data.data());
  *code = SEF_DigestDatabyAlg(digest.id, bytes,
                              static_cast<unsigned int>(data.size()), buffer,
                              &length);
  if (*code != 0) return false;
  out->assign(reinterpret_cast<const char*>(buffer), length);
  return true;
}

namespace {

class Sm3Sink : public DigestSink {
 public:
  Sm3Sink() { SM3_Init_1(&ctx_); }
  void Update(const unsigned char* data, size_t length) override {
    SM3_Update_1(&ctx_, data, static_cast<uint32_t>(length));
  }
  bool Final(std::string* digest) override {
    unsigned char out[32];
    SM3_Final_1(&ctx_, out);
    digest->assign(reinterpret_cast<const char*>(out), sizeof out);
    return true;
  }

 private:
  SM3_CTX_1 ctx_;
};

class EvpSink : public DigestSink {
 public:
  explicit EvpSink(const EVP_MD* md) : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_.get(), md, nullptr) == 1;
  }
  void Update(const unsigned char* data, size_t length) override {
    ok_ = ok_ && EVP_DigestUpdate(ctx_.get(), data, length) == 1;
  }
  bool Final(std::string* digest) override {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok_ || EVP_DigestFinal_ex(ctx_.get(), out, &length) != 1)
      return false;
    digest->assign(reinterpret_cast<const char*>(out), length);
    return true;
  }

 private:
  struct Free {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx_;
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<DigestSink> OpenDigestSink(const Digest& digest) {
  switch (digest.id) {
    case 920:
      return std::make_unique<Sm3Sink>();
    case 4:
      return std::make_unique<EvpSink>(EVP_md5());
    case 64:
      return std::make_unique<EvpSink>(EVP_sha1());
    case 672:
      return std::make_unique<EvpSink>(EVP_sha256());
    case 673:
      return std::make_unique<EvpSink>(EVP_sha384());
    case 674:
      return std::make_unique<EvpSink>(EVP_sha512());
    case 675:
      return std::make_unique<EvpSink>(EVP_sha224());
    default:
      return nullptr;
  }
}

std::string AlgorithmText(KeyKind kind, const Digest& digest) {
  const DigestRow* row = RowById(digest.id);
  std::string name = row == nullptr ? "?" : row->label;
  switch (kind) {
    case KeyKind::kSm2:
      return "SM2 with " + name;
    case KeyKind::kRsa:
      return "RSA with " + name;
    case KeyKind::kUnknown:
      break;
  }
  return name;
}

}  // namespace ofdseal
