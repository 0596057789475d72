// Properties of seal signatures: SEF_ESealSignDataGetProperty serves the
// signature's own numbers and hands every other number to the seal embedded
// in the signature; SEF_AnalyzeESealData reads a bare seal.
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXString.h"
#include "KXTime.h"
#include "KXXml.h"
#include "SealCore.h"
#include "SealProperty.h"
#include "SealVerify.h"
#include "crypto/openssl_ptr.h"
#include "device/cert_keyless.h"
#include "formats/cert_text.h"
#include "formats_private.h"
#include "foundation/export_boundary.h"
#include "sealverify_internal.h"
#include "tolerant.h"

namespace sv {
namespace {

namespace der = kx::der;
const char kGet[] = "SEF_ESealSignDataGetProperty";

// Signature property numbers.
enum : unsigned int {
  ES_SIG_VALUE = 1,
  ES_SIG_CERT = 2,
  ES_SIG_WRITE_PIC = 3,
  ES_SIG_TIME = 5,
  ES_SIG_VERSION = 14,
  ES_SIG_ESIGN_ID = 15,
  ES_SIG_LAST_ID = 16,
  ES_SIG_WEB_STATE = 17,
  ES_SIG_CERT_OU = 18,
  ES_SIG_USER_PROPERTY = 19,
  ES_SIG_DATA_HASH = 20,
  ES_ESIGN_PROPERTYEX = 25,
  ES_SIG_CERT_SUBJECT = 61,
  ES_SIG_CERT_STR = 62,
};

const int kNidOrganizationalUnit = 18;
// Largest handwriting picture accepted after decompression.
const long kMaxPictureLength = 64L * 1024 * 1024;

enum class Family { kPlain, kGin, kGov };

// The members of a decoded signature that the properties read, whatever the
// family. The records stay owned by the decoded signature.
struct SignatureView {
  Family family = Family::kPlain;
  const ASN1_BIT_STRING* signature = nullptr;
  const ASN1_OCTET_STRING* cert = nullptr;
  const ASN1_INTEGER* version = nullptr;
  const ASN1_STRING* dataHash = nullptr;
  const ASN1_IA5STRING* propertyInfo = nullptr;
  ASN1_STRING* timeInfo = nullptr;  // text (plain, GIN) or GeneralizedTime
  const kxsv::SESeal_t* plainSeal = nullptr;
  const kxsv::GOV_SESeal_t* govSeal = nullptr;
  const ASN1_OCTET_STRING* ginSealBytes = nullptr;
};

// The message text after "SEF_ESealSignDataGetProperty==>%08x " differs per
// family: "--govSeal ...", "--ginSeal ..." or "-- ...".
std::string Msg(Family f, const char* text) {
  std::string m = "SEF_ESealSignDataGetProperty==>%08x ";
  m += f == Family::kGov ? "--govSeal " : f == Family::kGin ? "--ginSeal " : "-- ";
  m += text;
  return m;
}

unsigned int Fail(Family f, unsigned int code, const char* text) {
  KX_LOG_ERR(kGet, Msg(f, text).c_str(), code);
  return code;
}

// A property value: borrowed bytes, or bytes held here. `present` false means
// the field has no content: nothing is written, not even the length.
struct Value {
  bool present = false;
  const unsigned char* data = nullptr;
  size_t length = 0;
  std::vector<unsigned char> held;

  void Borrow(const ASN1_STRING* s) {
    present = s != nullptr && s->data != nullptr;
    data = present ? s->data : nullptr;
    length = present && s->length > 0 ? static_cast<size_t>(s->length) : 0;
  }
  void Hold(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    held.assign(b, b + n);
    present = true;
    data = held.data();
    length = n;
  }
  void Hold(const ckxstr& s) { Hold(s.c_str(), s.length()); }
};

using XmlTree = kx::UniquePtr<mxml_node_t>;

// Parses the property text; null when it is not XML.
XmlTree ParseProperty(const ASN1_IA5STRING* text) {
  std::string copy(reinterpret_cast<const char*>(text->data),
                   text->length > 0 ? static_cast<size_t>(text->length) : 0);
  return XmlTree(KXStrToXml(copy.c_str()));
}

// Flag 3: the handwriting picture, Base64 of zlib-compressed bytes in
// WriPicData, its inflated length in WriPicLen.
unsigned int HandwritingPicture(const SignatureView& v, Value* out) {
  XmlTree tree = ParseProperty(v.propertyInfo);
  if (!tree)
    return Fail(v.family, KX_ERR_PROPERTY_FORMAT,
                "KXStrToXml() propertyInfo not xml error");
  const char* lenText = KXXmlGet(tree.get(), "WriPicLen");
  if (lenText == nullptr)
    return Fail(v.family, KX_ERR_INVALID_SEALSIGN,
                "no esign XML_WRPIC_LEN error");
  // "0" means the signature has no handwriting picture: nothing to deliver.
  // Anything but a decimal number from 1 to 64 MiB is malformed.
  errno = 0;
  char* end = nullptr;
  long expected = std::strtol(lenText, &end, 10);
  while (end != lenText && std::isspace(static_cast<unsigned char>(*end))) ++end;
  if (end == lenText || *end != '\0' || errno != 0 || expected < 0 ||
      expected > kMaxPictureLength)
    return Fail(v.family, KX_ERR_PROPERTY_FORMAT,
                "WriPicLen is not a valid length error");
  if (expected == 0) return 0;
  const char* data = KXXmlGet(tree.get(), "WriPicData");
  if (data == nullptr)
    return Fail(v.family, KX_ERR_PROPERTY_FORMAT, "no esign WriPicData error");
  ckxstr compressed = KXBase64Decode(data, -1);
  std::vector<unsigned char> picture(static_cast<size_t>(expected));
  uLongf inflated = static_cast<uLongf>(expected);
  int status = uncompress(
      picture.data(), &inflated,
      reinterpret_cast<const Bytef*>(compressed.c_str()), compressed.length());
  if (compressed.empty() || status != Z_OK)
    return Fail(v.family, KX_ERR_PROPERTY_FORMAT,
                "uncompress() WriPicData error");
  out->Hold(picture.data(), inflated);
  return 0;
}

// Flags 15, 16, 17, 19: the text of one element of the property document. A
// missing or empty element gives no value.
unsigned int PropertyElement(const SignatureView& v, const char* name,
                             Value* out) {
  XmlTree tree = ParseProperty(v.propertyInfo);
  if (!tree)
    return Fail(v.family, KX_ERR_PROPERTY_FORMAT,
                "KXStrToXml() propertyInfo not xml error");
  const char* text = KXXmlGet(tree.get(), name);
  if (text != nullptr && text[0] != '\0') out->Hold(text, std::strlen(text));
  return 0;
}

// Flag 5: the signing time as local "YYYY-MM-DD hh:mm:ss".
unsigned int SigningTime(const SignatureView& v, Value* out) {
  const long ms = SigningTimeOf(v.timeInfo, v.family == Family::kGov);
  if (ms < 0)
    return Fail(v.family, KX_ERR_TIME_FORMAT,
                v.family == Family::kGov ? "KXASN1ToTime() esign timeinfo error"
                                         : "KXStrToTime() esign timeinfo error");
  ckxstr text = KXTimeToStr(ms, false, false);
  if (text.empty())
    return Fail(v.family, KX_ERR_TIME_FORMAT, "KXTimeToStr() esign timeinfo error");
  if (v.family == Family::kGin)
    KX_LOG(KX_LOG_DEBUG, kGet, "SEF_ESealSignDataGetProperty==>ES_SIG_TIME %s ",
           text.c_str());
  out->Hold(text);
  return 0;
}

// Flags 18 and 61, from the signer certificate.
unsigned int SignerCertText(const SignatureView& v, unsigned int flag,
                            Value* out) {
  const int len = v.cert == nullptr ? 0 : v.cert->length;
  // Names and times only: DER is read without decoding the key, Base64 and
  // PEM (and a DER failure, for its last error) by the full parser.
  kx::KeylessX509 keyless =
      len > 0 ? kx::ParseKeylessCert(v.cert->data, static_cast<size_t>(len))
              : nullptr;
  shared_ptr<X509> full = keyless || len <= 0
                              ? shared_ptr<X509>()
                              : KXStrToX509(v.cert->data, len);
  X509* cert = keyless ? keyless.get() : full.get();
  if (cert == nullptr)
    return Fail(v.family, KX_ERR_INVALID_CERT,
                "KXStrToX509() error,invalid sign cert");
  if (flag == ES_SIG_CERT_OU) {
    ckxstr ou = KXGetX509Name(X509_get_subject_name(cert),
                              kNidOrganizationalUnit);
    if (!ou.empty()) out->Hold(ou);
    return 0;
  }
  ckxstr text;
  if (!kx::AppendCertDescription(cert, &text))
    return Fail(v.family, KX_ERR_TIME_FORMAT,
                "KXASN1ToTime() sign cert time error");
  out->Hold(text);
  return 0;
}

// Every number the signature does not serve goes to the embedded seal; the
// seal reader delivers into the caller's buffer itself.
unsigned int DelegateToSeal(const SignatureView& v, unsigned int flag,
                            unsigned char* pchData, unsigned int* pulDataLen) {
  std::vector<uint8_t> sealBytes;
  const unsigned char* seal = nullptr;
  size_t sealLen = 0;
  if (v.family == Family::kGin) {
    seal = v.ginSealBytes == nullptr ? nullptr : v.ginSealBytes->data;
    sealLen = v.ginSealBytes == nullptr || v.ginSealBytes->length < 0
                  ? 0
                  : static_cast<size_t>(v.ginSealBytes->length);
  } else {
    bool ok = v.family == Family::kGov ? der::Encode(v.govSeal, &sealBytes)
                                       : der::Encode(v.plainSeal, &sealBytes);
    if (!ok)
      return Fail(v.family, KX_ERR_INVALID_SEAL,
                  v.family == Family::kGov ? "i2d_GOV_SESeal() error"
                                           : "i2d_SESeal() error");
    seal = sealBytes.data();
    sealLen = sealBytes.size();
  }
  if (seal == nullptr) seal = reinterpret_cast<const unsigned char*>("");
  unsigned int rc = SEBF_GetESealProperty(
      flag, seal, static_cast<unsigned int>(sealLen), pchData, pulDataLen);
  if (rc != 0) Fail(v.family, rc, "SEBF_GetESealProperty() error");
  return rc;
}

unsigned int Serve(const SignatureView& v, unsigned int flag,
                   unsigned char* pchData, unsigned int* pulDataLen) {
  Value value;
  unsigned int rc = 0;
  const bool needsProperty =
      flag == ES_SIG_WRITE_PIC || flag == ES_SIG_ESIGN_ID ||
      flag == ES_SIG_LAST_ID || flag == ES_SIG_WEB_STATE ||
      flag == ES_SIG_USER_PROPERTY || flag == ES_ESIGN_PROPERTYEX;
  if (needsProperty && v.propertyInfo == nullptr)
    return Fail(v.family, KX_ERR_INVALID_SEALSIGN, "no esign propertyInfo error");
  switch (flag) {
    case ES_SIG_VALUE: value.Borrow(v.signature); break;
    case ES_SIG_CERT: value.Borrow(v.cert); break;
    case ES_SIG_VERSION: value.Borrow(v.version); break;
    case ES_SIG_DATA_HASH: value.Borrow(v.dataHash); break;
    case ES_ESIGN_PROPERTYEX:
      value.Borrow(v.propertyInfo);
      if (v.family == Family::kGin && value.present) {
        std::string text(reinterpret_cast<const char*>(value.data), value.length);
        KX_LOG(KX_LOG_DEBUG, kGet,
               "SEF_ESealSignDataGetProperty==>ES_ESIGN_PROPERTYEX %s ",
               text.c_str());
      }
      break;
    case ES_SIG_TIME: rc = SigningTime(v, &value); break;
    case ES_SIG_WRITE_PIC: rc = HandwritingPicture(v, &value); break;
    case ES_SIG_ESIGN_ID: rc = PropertyElement(v, "esignId", &value); break;
    case ES_SIG_LAST_ID: rc = PropertyElement(v, "Esign_LastID", &value); break;
    case ES_SIG_WEB_STATE: rc = PropertyElement(v, "WebState", &value); break;
    case ES_SIG_USER_PROPERTY:
      rc = PropertyElement(v, "UserProperty", &value);
      break;
    case ES_SIG_CERT_OU:
    case ES_SIG_CERT_SUBJECT: rc = SignerCertText(v, flag, &value); break;
    case ES_SIG_CERT_STR: {
      ckxstr hex = KXHexToStr(v.cert->data, static_cast<unsigned int>(
                                                v.cert->length < 0 ? 0 : v.cert->length));
      value.Hold(hex);
      break;
    }
    default: return DelegateToSeal(v, flag, pchData, pulDataLen);
  }
  if (rc != 0) return rc;
  if (!value.present) return 0;
  if (value.length > UINT_MAX)
    return Fail(v.family, KX_ERR_SIZE_LIMIT, "property too large error");
  rc = kx::DeliverOutput(value.data, static_cast<uint32_t>(value.length),
                         pchData, pulDataLen);
  if (rc != 0)
    KX_LOG_ERR(
        kGet,
        "SEF_ESealSignDataGetProperty==>%08x -- arguments buffer too small",
        rc);
  return rc;
}

template <class Sig>
void FillCommon(const Sig* sig, SignatureView* v) {
  v->signature = sig->signature;
  v->version = sig->tbsSign->version;
  v->dataHash = sig->tbsSign->dataHash;
  v->propertyInfo = sig->tbsSign->propertyInfo;
  v->timeInfo = sig->tbsSign->timeInfo;
}

}  // namespace

long SigningTimeOf(ASN1_STRING* timeInfo, bool generalized) {
  if (timeInfo == nullptr || timeInfo->length < 0) return -1;
  std::string text(reinterpret_cast<const char*>(timeInfo->data),
                   static_cast<size_t>(timeInfo->length));
  if (generalized) {
    const long ms = KXASN1ToTime2(timeInfo);
    // A UTCTime text inside the GeneralizedTime tag.
    if (ms == -1 && text.size() == 13 && text.back() == 'Z')
      return KXASN1ToTime(text.c_str(), 13, false);
    return ms;
  }
  const long ms = KXStrToTime(text.c_str(), static_cast<int>(text.size()), false);
  if (ms != -1) return ms;
  // ISO 8601 text, "YYYY-MM-DDThh:mm:ss[.fff]Z", read as the compact form.
  const bool iso = text.size() >= 20 && text[4] == '-' && text[7] == '-' &&
                   text[10] == 'T' && text[13] == ':' && text[16] == ':' &&
                   text.back() == 'Z';
  if (!iso) return -1;
  std::string compact = text.substr(0, 4) + text.substr(5, 2) +
                        text.substr(8, 2) + text.substr(11, 2) +
                        text.substr(14, 2) + text.substr(17);
  return KXStrToTime(compact.c_str(), static_cast<int>(compact.size()), false);
}

}  // namespace sv

extern "C" unsigned int SEF_ESealSignDataGetProperty(
    unsigned int ulFlag, const unsigned char* pchSealSignData,
    unsigned int ulSealSignDataLen, unsigned char* pchData,
    unsigned int* pulDataLen) {
  using namespace sv;
  KX_LOG(KX_LOG_DEBUG, kGet,
         "==>SEF_ESealSignDataGetProperty begin, the flag is %d ", ulFlag);
  if (pchSealSignData == nullptr || pulDataLen == nullptr) {
    KX_LOG_ERR(kGet, "SEF_ESealSignDataGetProperty==>%08x -- arguments error",
               KX_ERR_INVALID_INPUT);
    return KX_ERR_INVALID_INPUT;
  }
  constexpr kx::ExportFailure kFailure =
      SV_EXPORT_FAILURE("SEF_ESealSignDataGetProperty");
  return kx::GuardCode(kFailure, [&]() -> unsigned int {
    // Read tolerantly unless main.ini asks for strict DER: the encoders'
    // slips are rewritten in a copy that is decoded instead.
    const bool tolerant = !GetVerifySwitches().strictDer;
    std::vector<uint8_t> normalized;
    if (tolerant && tolerant::NormalizeSignature(
                        pchSealSignData, ulSealSignDataLen, &normalized)) {
      pchSealSignData = normalized.data();
      ulSealSignDataLen = static_cast<unsigned int>(normalized.size());
    }
    // The detector hands over the record it decoded; every field is read
    // from it.
    DetectedSignature detected;
    unsigned int rc =
        ES_DetectSealSign(pchSealSignData, ulSealSignDataLen, &detected);
    if (rc != 0) {
      KX_LOG_ERR(kGet,
                 "SEF_ESealSignDataGetProperty==>%08x -- ES_CheckSealSignVerson() "
                 "error",
                 rc);
      return rc;
    }
    unsigned int version = detected.version;
    // A plain-layout signature whose version says 4: read as plain.
    if (version == KX_SEAL_FAMILY_GOV && !detected.gov && tolerant) version = 0;
    SignatureView v;
    if (version == KX_SEAL_FAMILY_GOV) {
      const kxsv::GOV_SESSignature_t* gov = detected.gov.get();
      if (gov && gov->tbsSign != nullptr) {
        v.family = Family::kGov;
        FillCommon(gov, &v);
        v.cert = gov->cert;
        v.govSeal = gov->tbsSign->eseal;
      }
    } else if (version == KX_SEAL_FAMILY_GIN) {
      const kxsv::GIN_SESSignature_t* gin = detected.gin.get();
      if (gin && gin->tbsSign != nullptr) {
        v.family = Family::kGin;
        FillCommon(gin, &v);
        v.cert = gin->tbsSign->cert;
        v.ginSealBytes = gin->tbsSign->eseal;
      }
    } else {
      const kxsv::SESSignature_t* plain = detected.ses.get();
      if (plain && plain->tbsSign != nullptr) {
        FillCommon(plain, &v);
        v.cert = plain->tbsSign->cert;
        v.plainSeal = plain->tbsSign->eseal;
      }
    }
    if (v.signature == nullptr) {
      KX_LOG_ERR(kGet,
                 version == KX_SEAL_FAMILY_GOV
                     ? "SEF_ESealSignDataGetProperty==>%08x -- "
                       "d2i_GOV_SESSignature() error"
                     : "SEF_ESealSignDataGetProperty==>%08x -- "
                       "d2i_SESSignature() error",
                 KX_ERR_INVALID_SEALSIGN);
      return KX_ERR_INVALID_SEALSIGN;
    }
    rc = Serve(v, ulFlag, pchData, pulDataLen);
    if (rc == 0)
      KX_LOG(KX_LOG_DEBUG, kGet, "==>SEF_ESealSignDataGetProperty end ");
    return rc;
  });
}

extern "C" unsigned int SEF_AnalyzeESealData(unsigned int ulFlag,
                                             const unsigned char* pchESealData,
                                             unsigned int ulESealDataLen,
                                             unsigned char* pchData,
                                             unsigned int* pulDataLen) {
  constexpr kx::ExportFailure kFailure =
      SV_EXPORT_FAILURE("SEF_AnalyzeESealData");
  return kx::GuardCode(kFailure, [&]() -> unsigned int {
    std::vector<uint8_t> normalized;
    if (pchESealData != nullptr && !sv::GetVerifySwitches().strictDer &&
        sv::tolerant::NormalizeSeal(pchESealData, ulESealDataLen,
                                    &normalized)) {
      pchESealData = normalized.data();
      ulESealDataLen = static_cast<unsigned int>(normalized.size());
    }
    return SEBF_GetESealProperty(ulFlag, pchESealData, ulESealDataLen, pchData,
                                 pulDataLen);
  });
}
