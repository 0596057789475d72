#include "seal_build.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "KXTime.h"
#include "SealFormats.h"

namespace ofdseal {
namespace {

// Owning holders and codecs of the seal library's records, one set per
// structure, through its exported X_new, X_free, d2i_X and i2d_X.
template <class T>
struct Codec;

#define OFDSEAL_RECORD_CODEC(X)                                   \
  template <>                                                     \
  struct Codec<X##_t> {                                           \
    static X##_t* New() { return X##_new(); }                     \
    static void Free(X##_t* r) { X##_free(r); }                   \
    static X##_t* Decode(const unsigned char** in, long length) { \
      return d2i_##X(nullptr, in, length);                        \
    }                                                             \
    static int Encode(X##_t* r, unsigned char** out) {            \
      return i2d_##X(r, out);                                     \
    }                                                             \
  };
KX_SEAL_FORMAT_STRUCTURES(OFDSEAL_RECORD_CODEC)
#undef OFDSEAL_RECORD_CODEC

template <class T>
struct RecordFree {
  void operator()(T* record) const { Codec<T>::Free(record); }
};
template <class T>
using Record = std::unique_ptr<T, RecordFree<T>>;

template <class T>
Record<T> New() {
  return Record<T>(Codec<T>::New());
}

// The DER of a record; false when it does not encode.
template <class T>
bool Encode(const T* record, std::string* out) {
  unsigned char* raw = nullptr;
  const int length = Codec<T>::Encode(const_cast<T*>(record), &raw);
  // i2d allocated the buffer: freed with OPENSSL_free on every path.
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> held(
      raw, [](unsigned char* p) { OPENSSL_free(p); });
  if (length <= 0 || raw == nullptr) return false;
  out->assign(reinterpret_cast<char*>(raw), static_cast<size_t>(length));
  return true;
}

// Decodes one element from the start of `bytes`; `used` receives its length.
template <class T>
Record<T> Decode(const std::string& bytes, size_t* used) {
  if (bytes.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
  const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* p = start;
  Record<T> record(Codec<T>::Decode(&p, static_cast<long>(bytes.size())));
  if (record) *used = static_cast<size_t>(p - start);
  return record;
}

bool SetBytes(ASN1_STRING* field, const std::string& bytes) {
  return field != nullptr &&
         ASN1_STRING_set(field, bytes.data(), static_cast<int>(bytes.size())) ==
             1;
}

// A BIT STRING of whole bytes. Without the flag libcrypto would drop
// trailing zero bytes of the value and count its trailing zero bits as
// unused, which changes a signature value or a digest.
bool SetBits(ASN1_BIT_STRING* field, const std::string& bytes) {
  if (!SetBytes(field, bytes)) return false;
  field->flags &= ~0x07L;
  field->flags |= ASN1_STRING_FLAG_BITS_LEFT;
  return true;
}

bool SetInteger(ASN1_INTEGER* field, long value) {
  return field != nullptr && ASN1_INTEGER_set(field, value) == 1;
}

bool SetOid(ASN1_OBJECT** field, const char* dotted) {
  ASN1_OBJECT* oid = OBJ_txt2obj(dotted, 1);
  if (oid == nullptr) return false;
  ASN1_OBJECT_free(*field);
  *field = oid;  // the record owns it now
  return true;
}

bool SetGeneralized(ASN1_GENERALIZEDTIME* field, time_t t) {
  return field != nullptr && ASN1_GENERALIZEDTIME_set(field, t) != nullptr;
}

// UTCTime holds the years 1950 to 2049 only.
bool SetUtc(ASN1_UTCTIME* field, time_t t) {
  return field != nullptr && ASN1_UTCTIME_set(field, t) != nullptr;
}

// The owner certificates as a SEQUENCE OF OCTET STRING.
bool SetOwners(STACK_OF(ASN1_OCTET_STRING) * *list,
               const std::vector<std::string>& owners) {
  if (*list == nullptr) *list = sk_ASN1_OCTET_STRING_new_null();
  if (*list == nullptr) return false;
  for (const std::string& der : owners) {
    ASN1_OCTET_STRING* cert = ASN1_OCTET_STRING_new();
    if (cert == nullptr || !SetBytes(cert, der) ||
        sk_ASN1_OCTET_STRING_push(*list, cert) <= 0) {
      ASN1_OCTET_STRING_free(cert);
      return false;
    }
    // The list owns the certificate now.
  }
  return true;
}

bool FillHeader(SESHeader_t* header, const SealContent& c, long version) {
  return header != nullptr && SetBytes(header->sID, "ES") &&
         SetInteger(header->version, version) &&
         SetBytes(header->sVid, c.vendor);
}

bool FillPicture(SESESPictrueInfo_t* picture, const SealContent& c) {
  return picture != nullptr && SetBytes(picture->type, c.pictureType) &&
         SetBytes(picture->data, c.picture) &&
         SetInteger(picture->width, c.width) &&
         SetInteger(picture->height, c.height);
}

bool MakeGovSeal(const SealContent& c, Signer& maker, std::string* der,
                 std::string* error) {
  Record<GOV_SESeal_t> seal = New<GOV_SESeal_t>();
  GOV_SESSealInfo_t* info = seal ? seal->esealInfo : nullptr;
  GOV_SESESPropertyInfo_t* p = info ? info->propertys : nullptr;
  bool ok = p != nullptr && p->certList != nullptr &&
            FillHeader(info->header, c, 4) && SetBytes(info->esID, c.id) &&
            SetInteger(p->type, c.type) && SetBytes(p->name, c.name) &&
            // certListType 1: the list holds certificates (selector 0).
            SetInteger(p->certListType, 1);
  if (ok) {
    p->certList->type = 0;
    ok = SetOwners(&p->certList->d.certs, c.owners) &&
         SetGeneralized(p->createDate, c.created) &&
         SetGeneralized(p->validStart, c.validStart) &&
         SetGeneralized(p->validEnd, c.validEnd) &&
         FillPicture(info->picture, c) &&
         SetBytes(seal->cert, maker.certificate()) &&
         SetOid(&seal->signatureAlgorithm, maker.AlgorithmOid());
  }
  std::string signedPart, value;
  if (!ok || !Encode(info, &signedPart)) {
    *error = "cannot encode the seal";
    return false;
  }
  if (!maker.Sign(signedPart, &value, error)) return false;
  if (!SetBits(seal->signData, value) || !Encode(seal.get(), der)) {
    *error = "cannot encode the seal";
    return false;
  }
  return true;
}

bool MakePlainSeal(const SealContent& c, Signer& maker, std::string* der,
                   std::string* error) {
  Record<SESeal_t> seal = New<SESeal_t>();
  SESSealInfo_t* info = seal ? seal->esealInfo : nullptr;
  SESESPropertyInfo_t* p = info ? info->propertys : nullptr;
  SESSignInfo_t* sign = seal ? seal->signInfo : nullptr;
  const bool ok = p != nullptr && sign != nullptr &&
                  FillHeader(info->header, c, kPlainVersion) &&
                  SetBytes(info->esID, c.id) && SetInteger(p->type, c.type) &&
                  SetBytes(p->name, c.name) &&
                  SetOwners(&p->certList, c.owners) &&
                  FillPicture(info->picture, c) &&
                  SetBytes(sign->cert, maker.certificate()) &&
                  SetOid(&sign->signatureAlgorithm, maker.AlgorithmOid());
  if (!ok) {
    *error = "cannot encode the seal";
    return false;
  }
  if (!SetUtc(p->createDate, c.created) ||
      !SetUtc(p->validStart, c.validStart) ||
      !SetUtc(p->validEnd, c.validEnd)) {
    *error =
        "the plain family writes its dates as UTCTime, which holds the "
        "years 1950 to 2049 only";
    return false;
  }
  // The maker signs TBS_Seal {esealInfo, cert, signatureAlgorithm}; the
  // members are borrowed from the seal for the encoding.
  TBS_Seal_t tbs{info, sign->cert, sign->signatureAlgorithm};
  std::string signedPart, value;
  if (!Encode(&tbs, &signedPart)) {
    *error = "cannot encode the seal";
    return false;
  }
  if (!maker.Sign(signedPart, &value, error)) return false;
  if (!SetBits(sign->signData, value) || !Encode(seal.get(), der)) {
    *error = "cannot encode the seal";
    return false;
  }
  return true;
}

std::string Text(const ASN1_STRING* s) {
  return s == nullptr || s->data == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char*>(s->data),
                           static_cast<size_t>(s->length));
}

long IntegerOf(const ASN1_INTEGER* i) {
  return i == nullptr ? 0 : ASN1_INTEGER_get(i);
}

void OwnersOf(const STACK_OF(ASN1_OCTET_STRING) * list,
              std::vector<std::string>* owners) {
  for (int i = 0; i < sk_ASN1_OCTET_STRING_num(list); ++i)
    owners->push_back(Text(sk_ASN1_OCTET_STRING_value(list, i)));
}

// Decodes the seal of the family and reads its facts; the seal's DER must
// come back unchanged from its record.
template <class T, class Read>
bool ReadFamily(const std::string& bytes, const Read& read, SealFacts* facts,
                std::string* error) {
  size_t used = 0;
  Record<T> seal = Decode<T>(bytes, &used);
  std::string again;
  if (!seal || !Encode(seal.get(), &again)) {
    *error = "not a seal";
    return false;
  }
  if (again != bytes.substr(0, used)) {
    *error =
        "the seal is not in DER (its maker's signature would not "
        "survive in a signature)";
    return false;
  }
  facts->der = again;
  if (!read(seal.get())) {
    *error = "the seal lacks a field";
    return false;
  }
  return true;
}

}  // namespace

std::string GeneralizedTimeText(time_t t) {
  struct tm utc;
  char text[32] = {0};
  if (gmtime_r(&t, &utc) == nullptr) return std::string();
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec);
  return text;
}

bool MakeSeal(const SealContent& content, Signer& maker, std::string* der,
              std::string* error) {
  return content.family == SealFamily::kGov
             ? MakeGovSeal(content, maker, der, error)
             : MakePlainSeal(content, maker, der, error);
}

bool ReadSeal(const std::string& bytes, SealFacts* facts, std::string* error) {
  unsigned int version = 0;
  if (bytes.empty() || bytes.size() > UINT_MAX ||
      SE_CheckSealVerson(reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<unsigned int>(bytes.size()),
                         &version) != 0) {
    *error = "not a seal";
    return false;
  }
  if (version == KX_SEAL_FAMILY_GIN) {
    *error = "a GIN-family seal: only GOV-family and plain seals sign here";
    return false;
  }
  const auto common = [facts](const ASN1_IA5STRING* id, const ASN1_STRING* name,
                              const SESESPictrueInfo_t* picture,
                              ASN1_STRING* start, ASN1_STRING* end) {
    if (picture == nullptr) return false;
    facts->id = Text(id);
    facts->name = Text(name);
    facts->width = IntegerOf(picture->width);
    facts->height = IntegerOf(picture->height);
    facts->validStart = KXASN1ToTime2(start);
    facts->validEnd = KXASN1ToTime2(end);
    return true;
  };
  if (version == KX_SEAL_FAMILY_GOV) {
    facts->family = SealFamily::kGov;
    return ReadFamily<GOV_SESeal_t>(
        bytes,
        [&](const GOV_SESeal_t* seal) {
          const GOV_SESESPropertyInfo_t* p = seal->esealInfo->propertys;
          if (p == nullptr || p->certList == nullptr) return false;
          if (p->certList->type == 0)
            OwnersOf(p->certList->d.certs, &facts->owners);
          return common(seal->esealInfo->esID, p->name,
                        seal->esealInfo->picture, p->validStart, p->validEnd);
        },
        facts, error);
  }
  facts->family = SealFamily::kPlain;
  return ReadFamily<SESeal_t>(
      bytes,
      [&](const SESeal_t* seal) {
        const SESESPropertyInfo_t* p = seal->esealInfo->propertys;
        if (p == nullptr) return false;
        OwnersOf(p->certList, &facts->owners);
        return common(seal->esealInfo->esID, p->name, seal->esealInfo->picture,
                      p->validStart, p->validEnd);
      },
      facts, error);
}

bool MakeSignature(const SealFacts& seal, const SignatureContent& content,
                   Signer& signer, std::string* der, std::string* error) {
  std::string signedPart, value;
  size_t used = 0;
  const auto failed = [error]() {
    *error = "cannot encode the seal signature";
    return false;
  };
  if (seal.family == SealFamily::kGov) {
    Record<GOV_SESSignature_t> sig = New<GOV_SESSignature_t>();
    Record<GOV_SESeal_t> eseal = Decode<GOV_SESeal_t>(seal.der, &used);
    GOV_TBS_Sign_t* tbs = sig ? sig->tbsSign : nullptr;
    if (tbs == nullptr || !eseal) return failed();
    GOV_SESeal_free(tbs->eseal);
    tbs->eseal = eseal.release();  // tbsSign owns the seal now
    if (!SetInteger(tbs->version, 4) ||
        !SetGeneralized(tbs->timeInfo, content.signingTime) ||
        !SetBits(tbs->dataHash, content.dataHash) ||
        !SetBytes(tbs->propertyInfo, content.propertyInfo) ||
        !Encode(tbs, &signedPart))
      return failed();
    if (!signer.Sign(signedPart, &value, error)) return false;
    // The signer's certificate and algorithm stand outside tbsSign.
    if (!SetBytes(sig->cert, signer.certificate()) ||
        !SetOid(&sig->signatureAlgorithm, signer.AlgorithmOid()) ||
        !SetBits(sig->signature, value) || !Encode(sig.get(), der))
      return failed();
    return true;
  }
  Record<SESSignature_t> sig = New<SESSignature_t>();
  Record<SESeal_t> eseal = Decode<SESeal_t>(seal.der, &used);
  TBS_Sign_t* tbs = sig ? sig->tbsSign : nullptr;
  if (tbs == nullptr || !eseal) return failed();
  SESeal_free(tbs->eseal);
  tbs->eseal = eseal.release();  // tbsSign owns the seal now
  // The plain family writes the signing time as text in a BIT STRING.
  if (!SetInteger(tbs->version, kPlainVersion) ||
      !SetBits(tbs->timeInfo, GeneralizedTimeText(content.signingTime)) ||
      !SetBits(tbs->dataHash, content.dataHash) ||
      !SetBytes(tbs->propertyInfo, content.propertyInfo) ||
      !SetBytes(tbs->cert, signer.certificate()) ||
      !SetOid(&tbs->signatureAlgorithm, signer.AlgorithmOid()) ||
      !Encode(tbs, &signedPart))
    return failed();
  if (!signer.Sign(signedPart, &value, error)) return false;
  if (!SetBits(sig->signature, value) || !Encode(sig.get(), der))
    return failed();
  return true;
}

}  // namespace ofdseal
