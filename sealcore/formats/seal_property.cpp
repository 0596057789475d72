// Properties of a DER seal read by property number: the seal's family is
// detected, the seal decoded with that family's layout, the numbered field
// picked (or a text built from it) and delivered into the caller's buffer.
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "KXCrypto.h"
#include "KXError.h"
#include "KXLog.h"
#include "KXString.h"
#include "KXTime.h"
#include "SealFormats.h"
#include "SealProperty.h"
#include "ckxstr.h"
#include "formats/cert_text.h"
#include "formats/seal_der.h"
#include "foundation/export_boundary.h"

namespace {

const char kFn[] = "SE_GetESealProperty";

const int kNidCommonName = 13;
const int kNidOrganizationalUnit = 18;

// Logs "SE_GetESealProperty-->%d <text>" with the code at the caller's line
// and returns the code.
unsigned int FailAt(int line, unsigned int code, const char* text) {
  KXLog(KX_LOG_ERROR, kFn, line, "SE_GetESealProperty-->%d %s",
        static_cast<int>(code), text);
  return code;
}
#define Fail(code, text) FailAt(__LINE__, (code), (text))

enum class Family { kPlain, kGin, kGov };

// The fields every family has, taken from the decoded record. The pointers
// belong to the record, which outlives the view.
struct SealView {
  Family family = Family::kPlain;
  const ASN1_INTEGER* version = nullptr;
  const ASN1_STRING* esID = nullptr;
  const ASN1_STRING* sVid = nullptr;
  const ASN1_INTEGER* type = nullptr;
  const ASN1_STRING* name = nullptr;
  const ASN1_STRING* createDate = nullptr;
  const ASN1_STRING* validStart = nullptr;
  const ASN1_STRING* validEnd = nullptr;
  const ASN1_STRING* pictureType = nullptr;
  const ASN1_STRING* pictureData = nullptr;
  const ASN1_INTEGER* width = nullptr;
  const ASN1_INTEGER* height = nullptr;
  const ASN1_OCTET_STRING* makerCert = nullptr;
  // Owner data: plain certList, GIN certDigest, GOV certList (CHOICE).
  const STACK_OF(ASN1_OCTET_STRING) * plainOwners = nullptr;
  const STACK_OF(GIN_CertDigest_t) * ginDigests = nullptr;
  const SESCertList_t* govOwners = nullptr;
};

// The decoded record of whichever family the seal is.
struct DecodedSeal {
  kx::der::Ptr<SESeal_t> plain;
  kx::der::Ptr<GIN_SESeal_t> gin;
  kx::der::Ptr<GOV_SESeal_t> gov;
  SealView view;
};

// The fields every family's seal information holds in the same places.
template <class SealInfo>
void FillCommon(const SealInfo* info, SealView* v) {
  v->version = info->header->version;
  v->sVid = info->header->sVid;
  v->esID = info->esID;
  v->type = info->propertys->type;
  v->name = info->propertys->name;
  v->createDate = info->propertys->createDate;
  v->validStart = info->propertys->validStart;
  v->validEnd = info->propertys->validEnd;
  v->pictureType = info->picture->type;
  v->pictureData = info->picture->data;
  v->width = info->picture->width;
  v->height = info->picture->height;
}

// Decodes with the family the detector named. The decoders never yield a
// record with a missing mandatory field; the view still checks the nested
// records it walks through so that a hand-built record cannot crash it.
bool Decode(unsigned int version, const unsigned char* data, unsigned int len,
            DecodedSeal* out) {
  SealView& v = out->view;
  if (version == KX_SEAL_FAMILY_GOV) {
    out->gov = kx::der::TryDecode<GOV_SESeal_t>(data, len);
    // Encoders in the field write 4 into the header of plain-layout seals:
    // detection then names GOV, and the plain layout is read instead.
    if (!out->gov) version = 0;
  }
  if (version == KX_SEAL_FAMILY_GOV) {
    const GOV_SESeal_t* s = out->gov.get();
    if (s == nullptr || s->esealInfo == nullptr ||
        s->esealInfo->header == nullptr || s->esealInfo->propertys == nullptr ||
        s->esealInfo->picture == nullptr)
      return false;
    v.family = Family::kGov;
    const GOV_SESSealInfo_t* info = s->esealInfo;
    FillCommon(info, &v);
    v.makerCert = s->cert;
    v.govOwners = info->propertys->certList;
    return true;
  }
  if (version == KX_SEAL_FAMILY_GIN) {
    out->gin = kx::der::Decode<GIN_SESeal_t>(data, len);
    const GIN_SESeal_t* s = out->gin.get();
    if (s == nullptr || s->esealInfo == nullptr ||
        s->esealInfo->header == nullptr || s->esealInfo->propertys == nullptr ||
        s->esealInfo->picture == nullptr)
      return false;
    v.family = Family::kGin;
    const GIN_SESSealInfo_t* info = s->esealInfo;
    FillCommon(info, &v);
    v.makerCert = info->cert;
    v.ginDigests = info->propertys->certList == nullptr
                       ? nullptr
                       : info->propertys->certList->certDigest;
    return true;
  }
  out->plain = kx::der::Decode<SESeal_t>(data, len);
  const SESeal_t* s = out->plain.get();
  if (s == nullptr || s->esealInfo == nullptr ||
      s->esealInfo->header == nullptr || s->esealInfo->propertys == nullptr ||
      s->esealInfo->picture == nullptr || s->signInfo == nullptr)
    return false;
  v.family = Family::kPlain;
  const SESSealInfo_t* info = s->esealInfo;
  FillCommon(info, &v);
  v.makerCert = s->signInfo->cert;
  v.plainOwners = info->propertys->certList;
  return true;
}

// A property value: bytes borrowed from the record, or text built here. A
// value without content (null data) is delivered as nothing at all.
class Value {
 public:
  void Borrow(const ASN1_STRING* s) {
    if (s == nullptr || s->data == nullptr) return;
    data_ = s->data;
    // A decoded string never has a negative length; should a record say so,
    // nothing is read rather than guessing where its bytes end.
    length_ = s->length > 0 ? static_cast<uint32_t>(s->length) : 0;
  }
  void Own(std::vector<uint8_t> bytes) {
    owned_ = std::move(bytes);
    data_ = owned_.data();
    length_ = static_cast<uint32_t>(owned_.size());
    // An empty vector may have no storage; the value is still present.
    if (data_ == nullptr) data_ = reinterpret_cast<const uint8_t*>("");
  }
  void Own(const ckxstr& text) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text.c_str());
    Own(std::vector<uint8_t>(p, p + text.length()));
  }
  const uint8_t* data() const { return data_; }
  uint32_t length() const { return length_; }

 private:
  const uint8_t* data_ = nullptr;
  uint32_t length_ = 0;
  std::vector<uint8_t> owned_;
};

// The content octets of an INTEGER as the seal stores them. The record keeps
// a negative value as its magnitude; its two's complement octets are taken
// back from the DER encoding. A positive value's octets are the record's own
// (leading zero octets removed). False when memory runs out.
bool IntegerOctets(const ASN1_INTEGER* n, Value* out) {
  if (n == nullptr || (n->type & V_ASN1_NEG) == 0) {
    out->Borrow(n);
    return true;
  }
  unsigned char* raw = nullptr;
  int len = i2d_ASN1_INTEGER(const_cast<ASN1_INTEGER*>(n), &raw);
  kx::OpenSslBytes der(raw);
  if (len <= 0 || raw == nullptr) return false;
  const unsigned char* p = raw;
  long contentLen = 0;
  int tag = 0, cls = 0;
  if ((ASN1_get_object(&p, &contentLen, &tag, &cls, len) & 0x80) != 0 ||
      contentLen < 0 || contentLen > len - (p - raw))
    return false;
  out->Own(std::vector<uint8_t>(p, p + contentLen));
  return true;
}

// Content octets of a string as a bounded range (negative length: none).
uint32_t ContentLength(const ASN1_STRING* s) {
  return s == nullptr || s->data == nullptr || s->length <= 0
             ? 0
             : static_cast<uint32_t>(s->length);
}

bool Serves(Family family, unsigned int flag) {
  switch (flag) {
    case ES_ADMIN_CERT:
    case ES_SEAL_VERSION:
    case ES_SEAL_ID:
    case ES_SEAL_NAME:
    case ES_CREATE_DATE:
    case ES_VALID_START:
    case ES_VALID_END:
    case ES_SEAL_TYPE:
    case ES_SEAL_VID:
    case ES_ADMIN_CERT_CN:
    case ES_SEAL_NAME_RAW:
    case ES_SEAL_INFO:
    case ES_PIC_DATA:
    case ES_PIC_SIZE:
    case ES_PIC_TYPE:
      return true;
    case ES_OWNER_CERT_STR:
    case ES_OWNER_CERT_SUBJECT:
    case ES_OWNER_CERT:
    case ES_OWNER_CERT_OU:
      return family != Family::kGin;
    case ES_OWNER_CERT_HASH:
      return family != Family::kPlain;
    default:
      return false;
  }
}

// The message tails of one failure for the three families.
struct Texts {
  const char* plain;
  const char* gin;
  const char* gov;
  const char* For(Family f) const {
    return f == Family::kGov ? gov : f == Family::kGin ? gin : plain;
  }
};

// ---------------------------------------------------------------------------
// Owner data. An owner list without elements has no owner to read: 5032
// (certificate not found), like a GOV list of the other kind.

// The first owner certificate (flags 21, 55, 57 and plain 22).
unsigned int FirstOwnerCert(const SealView& v, const char* notFound,
                            const ASN1_OCTET_STRING** cert) {
  const STACK_OF(ASN1_OCTET_STRING)* list = v.plainOwners;
  if (v.family == Family::kGov) {
    if (v.govOwners == nullptr || v.govOwners->type != 0)
      return Fail(KX_ERR_CERT_NOT_FOUND, notFound);
    list = v.govOwners->d.certs;
  }
  if (list == nullptr || sk_ASN1_OCTET_STRING_num(list) <= 0 ||
      sk_ASN1_OCTET_STRING_value(list, 0) == nullptr)
    return Fail(KX_ERR_CERT_NOT_FOUND, notFound);
  *cert = sk_ASN1_OCTET_STRING_value(list, 0);
  return 0;
}

// The first owner certificate digest (flag 60, and GOV flag 21 on a digest
// list).
unsigned int FirstOwnerDigest(const SealView& v, const char* notFound,
                              const ASN1_OCTET_STRING** digest) {
  if (v.family == Family::kGin) {
    const GIN_CertDigest_t* d =
        v.ginDigests == nullptr || sk_GIN_CertDigest_t_num(v.ginDigests) <= 0
            ? nullptr
            : sk_GIN_CertDigest_t_value(v.ginDigests, 0);
    if (d == nullptr || d->digestMessage == nullptr)
      return Fail(KX_ERR_CERT_NOT_FOUND, notFound);
    *digest = d->digestMessage;
    return 0;
  }
  if (v.govOwners == nullptr || v.govOwners->type != 1)
    return Fail(KX_ERR_CERT_NOT_FOUND, notFound);
  const STACK_OF(CertDigstObj_t)* list = v.govOwners->d.certDigestList;
  const CertDigstObj_t* d = list == nullptr || sk_CertDigstObj_t_num(list) <= 0
                                ? nullptr
                                : sk_CertDigstObj_t_value(list, 0);
  if (d == nullptr || d->CertDigestValue == nullptr)
    return Fail(KX_ERR_CERT_NOT_FOUND, notFound);
  *digest = d->CertDigestValue;
  return 0;
}

// Parses a certificate carried in the seal: an empty one is 5029, one that
// does not parse 5010.
unsigned int ParseCert(const ASN1_OCTET_STRING* der, const char* empty,
                       const char* invalid, shared_ptr<X509>* cert) {
  uint32_t len = ContentLength(der);
  if (len < 1) return Fail(KX_ERR_SEAL_PROPERTY, empty);
  if (len <= static_cast<uint32_t>(INT_MAX))
    *cert = KXStrToX509(der->data, static_cast<int>(len));
  if (!*cert) return Fail(KX_ERR_INVALID_CERT, invalid);
  return 0;
}

// "YYYY-MM-DD hh:mm:ss" in local time (flags 10 to 12).
unsigned int TimeText(const ASN1_STRING* field, const char* error, Value* out) {
  long ms = KXASN1ToTime2(const_cast<ASN1_STRING*>(field));
  ckxstr text;
  if (ms != -1) text = KXTimeToStr(ms, false, false);
  if (ms == -1 || text.empty()) return Fail(KX_ERR_TIME_FORMAT, error);
  out->Own(text);
  return 0;
}

unsigned int HexText(const ASN1_STRING* bytes, Value* out) {
  uint32_t len = ContentLength(bytes);
  if (len == 0) {
    out->Own(std::vector<uint8_t>());
    return 0;
  }
  ckxstr hex = KXHexToStr(bytes->data, len);
  if (hex.empty()) return Fail(KX_ERR_MEMORY, "-- KXHexToStr() error");
  out->Own(hex);
  return 0;
}

// Flag 21: hex of the owner certificate, or on a GOV digest list of the
// first digest.
unsigned int OwnerCertText(const SealView& v, Value* out) {
  static const Texts kNotFound = {"--ES_OWNER_CERT_STR can not find cert", "",
                                  "--ES_OWNER_CERT_STR govSeal can not find "
                                  "cert or cert hash"};
  const ASN1_OCTET_STRING* bytes = nullptr;
  unsigned int rc;
  if (v.family == Family::kGov && v.govOwners != nullptr &&
      v.govOwners->type == 1)
    rc = FirstOwnerDigest(v, kNotFound.gov, &bytes);
  else
    rc = FirstOwnerCert(v, kNotFound.For(v.family), &bytes);
  if (rc != 0) return rc;
  return HexText(bytes, out);
}

// Flag 22: one description entry per owner certificate, the plain family
// describing its first certificate, the GOV family all of them in order. The
// text grows with what it holds; no entry is cut.
unsigned int OwnerCertSubjects(const SealView& v, Value* out) {
  static const Texts kEmpty = {
      "--ES_NAME_CERT_SUBJECT certList in property error", "",
      "--ES_OWNER_CERT_SUBJECT govSeal certList in property error"};
  static const Texts kInvalid = {
      "--ES_NAME_CERT_SUBJECT KXStrToX509() error,invalid sign cert", "",
      "--ES_OWNER_CERT_SUBJECT govSeal KXStrToX509() error,invalid sign cert"};
  static const Texts kNotFound = {
      "--ES_NAME_CERT_SUBJECT can not find cert", "",
      "--ES_OWNER_CERT_SUBJECT govSeal can not find cert"};
  static const Texts kTime = {
      "--ES_NAME_CERT_SUBJECT KXASN1ToTime() cert validity error", "",
      "--ES_OWNER_CERT_SUBJECT govSeal KXASN1ToTime() cert validity error"};

  std::vector<const ASN1_OCTET_STRING*> certs;
  if (v.family == Family::kGov) {
    const STACK_OF(ASN1_OCTET_STRING)* list =
        v.govOwners != nullptr && v.govOwners->type == 0 ? v.govOwners->d.certs
                                                         : nullptr;
    // An empty list (of either kind) describes nobody: an empty text.
    bool emptyList =
        v.govOwners != nullptr &&
        (v.govOwners->type == 0 ? sk_ASN1_OCTET_STRING_num(list) <= 0
         : v.govOwners->type == 1
             ? sk_CertDigstObj_t_num(v.govOwners->d.certDigestList) <= 0
             : false);
    if (!emptyList && list == nullptr)
      return Fail(KX_ERR_CERT_NOT_FOUND, kNotFound.gov);
    for (int i = 0; !emptyList && i < sk_ASN1_OCTET_STRING_num(list); ++i)
      certs.push_back(sk_ASN1_OCTET_STRING_value(list, i));
  } else {
    const ASN1_OCTET_STRING* first = nullptr;
    unsigned int rc = FirstOwnerCert(v, kNotFound.plain, &first);
    if (rc != 0) return rc;
    certs.push_back(first);
  }

  ckxstr text;
  for (const ASN1_OCTET_STRING* der : certs) {
    shared_ptr<X509> cert;
    unsigned int rc =
        ParseCert(der, kEmpty.For(v.family), kInvalid.For(v.family), &cert);
    if (rc != 0) return rc;
    if (!kx::AppendCertDescription(cert.get(), &text))
      return Fail(KX_ERR_TIME_FORMAT, kTime.For(v.family));
  }
  out->Own(text);
  return 0;
}

// Flag 24: common name of the maker certificate's subject.
unsigned int MakerCommonName(const SealView& v, Value* out) {
  static const Texts kEmpty = {
      "--ES_ADMIN_CERT_CN cert in property error",
      "--ginSeal admin cert CN in property error",
      "--ES_ADMIN_CERT_CN govSeal cert in property error"};
  static const Texts kInvalid = {
      "-- ES_ADMIN_CERT_CN KXStrToX509() error,invalid sign cert",
      "-- ginSeal admin cert CN KXStrToX509() error,invalid gin sign cert",
      "--ES_ADMIN_CERT_CN govSeal KXStrToX509() error,invalid sign cert"};
  if (v.family == Family::kGin)
    KX_LOG(KX_LOG_ERROR, kFn, "SE_GetESealProperty ES_ADMIN_CERT_CN");
  shared_ptr<X509> cert;
  unsigned int rc = ParseCert(v.makerCert, kEmpty.For(v.family),
                              kInvalid.For(v.family), &cert);
  if (rc != 0) return rc;
  ckxstr cn = KXGetX509Name(X509_get_subject_name(cert.get()), kNidCommonName);
  if (v.family == Family::kGin)
    KX_LOG(KX_LOG_ERROR, kFn, "SE_GetESealProperty ES_ADMIN_CERT_CN is %s",
           cn.c_str());
  out->Own(cn);
  return 0;
}

// Flag 57: organisational unit of the owner certificate's subject.
unsigned int OwnerUnit(const SealView& v, Value* out) {
  static const Texts kEmpty = {"-- ES_NAME_CERT_OU cert in property error", "",
                               "--ES_OWNER_CERT_OU govSeal cert in property "
                               "error"};
  static const Texts kInvalid = {
      "-- ES_NAME_CERT_OU KXStrToX509() error,invalid sign cert", "",
      "--ES_OWNER_CERT_OU govSeal KXStrToX509() error,invalid sign cert"};
  static const Texts kNotFound = {"--ES_NAME_CERT_OU can not find cert", "",
                                  "--ES_OWNER_CERT_OU govSeal can not find "
                                  "cert"};
  const ASN1_OCTET_STRING* der = nullptr;
  unsigned int rc = FirstOwnerCert(v, kNotFound.For(v.family), &der);
  if (rc != 0) return rc;
  shared_ptr<X509> cert;
  rc = ParseCert(der, kEmpty.For(v.family), kInvalid.For(v.family), &cert);
  if (rc != 0) return rc;
  out->Own(
      KXGetX509Name(X509_get_subject_name(cert.get()), kNidOrganizationalUnit));
  return 0;
}

// The value of an INTEGER reduced modulo 2^64 (a value that fits in 64 bits
// is exact), from its magnitude octets and its sign.
uint64_t IntegerBits(const ASN1_INTEGER* n) {
  uint64_t value = 0;
  uint32_t len = ContentLength(n);
  for (uint32_t i = 0; i < len; ++i) value = (value << 8) | n->data[i];
  if (n != nullptr && (n->type & V_ASN1_NEG) != 0) value = 0 - value;
  return value;
}

void PutLe32(uint64_t value, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Flag 56: width, then height, each the INTEGER's value cut to 32 bits,
// little-endian.
void PictureSize(const SealView& v, Value* out) {
  std::vector<uint8_t> bytes(8);
  PutLe32(IntegerBits(v.width), bytes.data());
  PutLe32(IntegerBits(v.height), bytes.data() + 4);
  out->Own(std::move(bytes));
}

// The word for the seal type: the INTEGER's value 1 is a unit's seal, 2 a
// person's, anything else (other values, negative or over-long INTEGERs) a
// plain seal.
const char* TypeWord(const ASN1_INTEGER* type) {
  bool negative = type != nullptr && (type->type & V_ASN1_NEG) != 0;
  if (!negative && ContentLength(type) <= 8) {
    uint64_t value = IntegerBits(type);
    if (value == 1) return "单位";
    if (value == 2) return "个人";
  }
  return "印章";
}

// Flag 53: the fixed 1274-byte summary. Every field is copied up to its
// width; a longer source is cut there, never spilled into the next field.
unsigned int SealSummary(const SealView& v, Value* out) {
  enum : size_t {
    kIdAt = 0,
    kVersionAt = 50,
    kStartAt = 100,
    kEndAt = 150,
    kTypeAt = 200,
    kNameAt = 250,
    kSmallWidth = 50,
    kNameWidth = 1024,
    kSize = kNameAt + kNameWidth,
  };
  static_assert(kSize == 1274, "summary record size");
  Value version;
  if (!IntegerOctets(v.version, &version))
    return Fail(KX_ERR_MEMORY, "-- i2d_ASN1_INTEGER() error");
  std::vector<uint8_t> record(kSize, 0);
  auto put = [&record](size_t at, size_t width, const uint8_t* data,
                       size_t len) {
    if (len > width) len = width;
    if (len > 0) std::memcpy(record.data() + at, data, len);
  };
  auto putString = [&put](size_t at, size_t width, const ASN1_STRING* s) {
    put(at, width, s == nullptr ? nullptr : s->data, ContentLength(s));
  };
  putString(kIdAt, kSmallWidth, v.esID);
  put(kVersionAt, kSmallWidth, version.data(), version.length());
  putString(kStartAt, kSmallWidth, v.validStart);
  putString(kEndAt, kSmallWidth, v.validEnd);
  const char* word = TypeWord(v.type);
  // Six bytes of UTF-8 and the NUL the zeroed record already holds.
  std::memcpy(record.data() + kTypeAt, word, std::strlen(word));
  putString(kNameAt, kNameWidth, v.name);
  out->Own(std::move(record));
  return 0;
}

// Picks or builds the value of `flag`; 0 or the code of the failure, which
// has been logged.
unsigned int Produce(const SealView& v, unsigned int flag, Value* out) {
  static const Texts kCreate = {"-- KXASN1ToTime() creat date error",
                                "-- KXASN1ToTime() ginSeal creat date error",
                                "--KXASN1ToTime() govSeal creat date error"};
  static const Texts kStart = {"-- KXASN1ToTime() start time error",
                               "-- KXASN1ToTime() ginSeal start time error",
                               "--KXASN1ToTime() govSeal start time error"};
  static const Texts kEnd = {"-- KXASN1ToTime() end time error",
                             "-- KXASN1ToTime() ginSeal end time error",
                             "--KXASN1ToTime() govSeal end time error"};
  static const Texts kNoOwnerCert = {"--ES_OWNER_CERT can not find cert", "",
                                     "--ES_OWNER_CERT govSeal can not find "
                                     "cert"};
  static const Texts kNoOwnerHash = {
      "", "--ES_OWNER_CERT_HASH ginSeal can not find cert hash",
      "--ES_OWNER_CERT_HASH govSeal can not find cert hash"};

  if (!Serves(v.family, flag)) {
    const char* format =
        v.family == Family::kGov
            ? "SE_GetESealProperty-->%d -- the gov flag is %d error"
        : v.family == Family::kGin
            ? "SE_GetESealProperty-->%d -- the ginSeal flag is %d error"
            : "SE_GetESealProperty-->%d -- the flag is %d error";
    KXLog(KX_LOG_ERROR, kFn, __LINE__, format, KX_ERR_INVALID_FLAG,
          static_cast<int>(flag));
    return KX_ERR_INVALID_FLAG;
  }
  switch (flag) {
    case ES_ADMIN_CERT:
      out->Borrow(v.makerCert);
      return 0;
    case ES_SEAL_VERSION:
      return IntegerOctets(v.version, out)
                 ? 0
                 : Fail(KX_ERR_MEMORY, "-- i2d_ASN1_INTEGER() error");
    case ES_SEAL_ID:
      out->Borrow(v.esID);
      return 0;
    case ES_SEAL_NAME:
    case ES_SEAL_NAME_RAW:
      out->Borrow(v.name);
      return 0;
    case ES_CREATE_DATE:
      return TimeText(v.createDate, kCreate.For(v.family), out);
    case ES_VALID_START:
      return TimeText(v.validStart, kStart.For(v.family), out);
    case ES_VALID_END:
      return TimeText(v.validEnd, kEnd.For(v.family), out);
    case ES_SEAL_TYPE:
      return IntegerOctets(v.type, out)
                 ? 0
                 : Fail(KX_ERR_MEMORY, "-- i2d_ASN1_INTEGER() error");
    case ES_OWNER_CERT_STR:
      return OwnerCertText(v, out);
    case ES_OWNER_CERT_SUBJECT:
      return OwnerCertSubjects(v, out);
    case ES_SEAL_VID:
      out->Borrow(v.sVid);
      return 0;
    case ES_ADMIN_CERT_CN:
      return MakerCommonName(v, out);
    case ES_SEAL_INFO:
      return SealSummary(v, out);
    case ES_PIC_DATA:
      out->Borrow(v.pictureData);
      return 0;
    case ES_OWNER_CERT: {
      const ASN1_OCTET_STRING* cert = nullptr;
      unsigned int rc = FirstOwnerCert(v, kNoOwnerCert.For(v.family), &cert);
      if (rc == 0) out->Borrow(cert);
      return rc;
    }
    case ES_PIC_SIZE:
      PictureSize(v, out);
      return 0;
    case ES_OWNER_CERT_OU:
      return OwnerUnit(v, out);
    case ES_PIC_TYPE:
      out->Borrow(v.pictureType);
      return 0;
    case ES_OWNER_CERT_HASH: {
      const ASN1_OCTET_STRING* digest = nullptr;
      unsigned int rc =
          FirstOwnerDigest(v, kNoOwnerHash.For(v.family), &digest);
      if (rc == 0) out->Borrow(digest);
      return rc;
    }
  }
  return KX_ERR_INVALID_FLAG;  // not reached: Serves() covers every case
}

unsigned int GetProperty(unsigned int flag, const unsigned char* seal,
                         unsigned int sealLen, unsigned char* pchData,
                         unsigned int* pulDataLen) {
  if (seal == nullptr || pulDataLen == nullptr) {
    KX_LOG_ERR(
        kFn, "SE_GetESealProperty-->%d -- pulDataLen is %x,pchESealData is %x",
        KX_ERR_INVALID_INPUT,
        static_cast<unsigned int>(reinterpret_cast<uintptr_t>(pulDataLen)),
        static_cast<unsigned int>(reinterpret_cast<uintptr_t>(seal)));
    return Fail(KX_ERR_INVALID_INPUT, "-- arguments error");
  }
  unsigned int version = 0;
  unsigned int rc = SE_CheckSealVerson(seal, sealLen, &version);
  if (rc != 0) return Fail(rc, "-- SE_CheckSealVerson() error");
  KX_LOG_ERR(kFn, "SE_GetESealProperty flag is %d", static_cast<int>(flag));

  DecodedSeal decoded;
  if (!Decode(version, seal, sealLen, &decoded))
    return Fail(KX_ERR_INVALID_SEAL,
                version == KX_SEAL_FAMILY_GOV   ? "-- d2i_GOV_SESeal() error"
                : version == KX_SEAL_FAMILY_GIN ? "-- d2i_GIN_SESeal() error"
                                                : "-- d2i_SESeal() error");
  Value value;
  rc = Produce(decoded.view, flag, &value);
  if (rc != 0) return rc;

  // An absent content is no result at all: nothing is written.
  if (value.data() == nullptr) return 0;
  rc = kx::DeliverOutput(value.data(), value.length(), pchData, pulDataLen);
  if (rc != 0) return Fail(rc, "-- arguments buffer too small");
  return 0;
}

}  // namespace

unsigned int SE_GetESealProperty(unsigned int ulFlag,
                                 unsigned char const* pchESealData,
                                 unsigned int ulESealDataLen,
                                 unsigned char* pchData,
                                 unsigned int* pulDataLen) {
  constexpr kx::ExportFailure kFailure{
      kFn, "SE_GetESealProperty-->%d -- memory error",
      "SE_GetESealProperty-->%d -- unexpected error"};
  return kx::GuardCode(kFailure, [&] {
    return GetProperty(ulFlag, pchESealData, ulESealDataLen, pchData,
                       pulDataLen);
  });
}

extern "C" unsigned int SEBF_GetESealProperty(unsigned int ulFlag,
                                              unsigned char const* pchESealData,
                                              unsigned int ulESealDataLen,
                                              unsigned char* pchData,
                                              unsigned int* pulDataLen) {
  return SE_GetESealProperty(ulFlag, pchESealData, ulESealDataLen, pchData,
                             pulDataLen);
}

int newline(char c) { return c == '\n' || c == '\r' || c == '\0' ? 1 : 0; }

int strnewline(char const* s) {
  int i = 0;
  if (s == nullptr) return 0;
  while (!newline(s[i])) ++i;
  return i;
}
