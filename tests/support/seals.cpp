// Seals, signature property documents and seal signatures of the three
// families, written with the kit's own DER writer and signed with OpenSSL.
#include <openssl/evp.h>
#include <zlib.h>

#include <stdexcept>

#include "fixtures.h"

namespace fx {

using namespace asn;

namespace {

const time_t kDay = 24 * 3600;

int64_t DefaultVersion(Family family) {
  switch (family) {
    case Family::kGov:
      return 4;
    case Family::kGin:
      return 3;
    default:
      return 2;
  }
}

Bytes VersionField(Family family, const std::optional<int64_t>& version,
                   const Bytes& content) {
  if (!content.empty()) return IntegerContent(content);
  return Integer(version.value_or(DefaultVersion(family)));
}

Bytes Extensions(const std::vector<ExtensionSpec>& extensions) {
  std::vector<Bytes> items;
  for (const ExtensionSpec& e : extensions) {
    std::vector<Bytes> fields{Oid(e.oid)};
    if (e.critical.has_value()) fields.push_back(Bool(*e.critical));
    fields.push_back(Octets(e.value));
    items.push_back(Seq(fields));
  }
  return Seq(items);
}

Bytes DefaultPicture() {
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes rest = PicturePattern(56);
  png.insert(png.end(), rest.begin(), rest.end());
  return png;
}

// The per-family property information (SESESPropertyInfo and its kin).
Bytes PropertyInfo(Family family, const SealSpec& s) {
  time_t now = time(nullptr);
  time_t created = s.createDate.value_or(now - kDay);
  time_t start = s.validStart.value_or(now - kDay);
  time_t end = s.validEnd.value_or(now + 365 * kDay);
  std::vector<Bytes> owners =
      s.ownerCerts.value_or(std::vector<Bytes>{DefaultSigner().certDer});

  bool utc = s.utcTimes.value_or(family == Family::kPlain);
  auto date = [utc](time_t t, const std::optional<std::string>& text) {
    if (text) return Tlv(utc ? 0x17 : 0x18, ToBytes(*text));
    return utc ? UtcTime(t) : GeneralizedTime(t);
  };

  Bytes type =
      s.typeContent.empty() ? Integer(s.type) : IntegerContent(s.typeContent);
  std::vector<Bytes> fields{type, Utf8(s.name)};
  if (family == Family::kPlain) {
    std::vector<Bytes> certs;
    for (const Bytes& c : owners) certs.push_back(Octets(c));
    fields.push_back(Seq(certs));
  } else if (family == Family::kGin) {
    std::vector<Bytes> digests;
    if (s.ginCertDigests) {
      for (const CertDigestSpec& d : *s.ginCertDigests)
        digests.push_back(Seq({Oid(d.kind), Octets(d.digest)}));
    } else {
      for (const Bytes& c : owners)
        digests.push_back(Seq({Oid(kOidSm3), Octets(Sm3(c))}));
    }
    std::vector<Bytes> certList{Seq(digests)};
    if (s.ginCertListExt) certList.push_back(Octets(*s.ginCertListExt));
    fields.push_back(Seq(certList));
  } else {
    fields.push_back(Integer(s.govCertListType));
    std::vector<Bytes> items;
    if (s.govCertDigests) {
      for (const CertDigestSpec& d : *s.govCertDigests)
        items.push_back(Seq({Printable(d.kind), Octets(d.digest)}));
    } else {
      for (const Bytes& c : owners) items.push_back(Octets(c));
    }
    fields.push_back(Seq(items));
  }
  fields.push_back(date(created, s.createDateText));
  fields.push_back(date(start, s.validStartText));
  fields.push_back(date(end, s.validEndText));
  return Seq(fields);
}

Bytes Picture(const SealSpec& s) {
  return Seq({Ia5(s.pictureType),
              Octets(s.pictureData.empty() ? DefaultPicture() : s.pictureData),
              Integer(s.width), Integer(s.height)});
}

Bytes MakerSignature(const Credential& maker, const SealSpec& s,
                     const Bytes& signedPart) {
  return s.signData ? *s.signData : Sign(maker, signedPart, s.rsaHash);
}


std::string GeneralizedText(time_t t) {
  Bytes der = GeneralizedTime(t);
  return std::string(der.begin() + 2, der.end());
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

const char* FamilyName(Family family) {
  switch (family) {
    case Family::kGov:
      return "GOV";
    case Family::kGin:
      return "GIN";
    default:
      return "plain";
  }
}

Bytes MakeSeal(Family family, const SealSpec& s, Bytes* signedPart) {
  const Credential& maker = s.maker ? *s.maker : DefaultMaker();
  std::string algorithm = s.signatureAlgorithm.empty()
                              ? SignatureAlgorithmOid(maker.keyType, s.rsaHash)
                              : s.signatureAlgorithm;
  Bytes header =
      Seq({Ia5(s.sID), VersionField(family, s.version, s.versionContent),
           Ia5(s.sVid)});
  std::vector<Bytes> info{header, Ia5(s.esID), PropertyInfo(family, s),
                          Picture(s)};
  if (family == Family::kGin) {
    info.push_back(Octets(maker.certDer));
    info.push_back(Oid(algorithm));
  }
  if (s.extDatas) info.push_back(Extensions(*s.extDatas));
  Bytes esealInfo = Seq(info);

  Bytes tbs;
  Bytes seal;
  if (family == Family::kPlain) {
    // The plain maker signs TBS_Seal {esealInfo, cert, signatureAlgorithm}.
    tbs = Seq({esealInfo, Octets(maker.certDer), Oid(algorithm)});
    Bytes signData = MakerSignature(maker, s, tbs);
    seal = Seq({esealInfo,
                Seq({Octets(maker.certDer), Oid(algorithm), Bits(signData)})});
  } else if (family == Family::kGin) {
    tbs = esealInfo;
    seal = Seq({esealInfo, Bits(MakerSignature(maker, s, tbs))});
  } else {
    tbs = esealInfo;
    seal = Seq({esealInfo, Octets(maker.certDer), Oid(algorithm),
                Bits(MakerSignature(maker, s, tbs))});
  }
  if (signedPart != nullptr) *signedPart = tbs;
  return seal;
}

Bytes PicturePattern(size_t length) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i)
    out[i] = static_cast<uint8_t>((i * 7 + i / 13) & 0xFF);
  return out;
}

Bytes ZlibCompress(const Bytes& data) {
  uLongf len = compressBound(static_cast<uLong>(data.size()));
  Bytes out(len);
  if (compress(out.data(), &len, data.data(),
               static_cast<uLong>(data.size())) != Z_OK)
    throw std::runtime_error("fixtures: compress failed");
  out.resize(len);
  return out;
}

std::string Base64(const Bytes& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            data.data(), static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(len));
  return out;
}

std::string PropertyXml(const PropertySpec& p) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SignProperty>";
  auto element = [&xml](const char* name,
                        const std::optional<std::string>& text) {
    if (!text) return;
    xml += std::string("<") + name + ">" + XmlEscape(*text) + "</" + name + ">";
  };
  element("esignId", p.esignId);
  element("Esign_LastID", p.lastId);
  element("WebState", p.webState);
  element("UserProperty", p.userProperty);
  if (p.picture || p.wriPicLenText) {
    std::string len = p.picture ? std::to_string(p.picture->size()) : "0";
    element("WriPicLen", p.wriPicLenText ? p.wriPicLenText : len);
  }
  if (p.wriPicDataText) {
    element("WriPicData", p.wriPicDataText);
  } else if (p.picture && !p.picture->empty()) {
    element("WriPicData", Base64(ZlibCompress(*p.picture)));
  }
  xml += "</SignProperty>";
  return xml;
}

Bytes MakeSignature(Family family, const SignatureSpec& s, Bytes* signedPart) {
  const Credential& signer = s.signer ? *s.signer : DefaultSigner();
  Bytes cert = s.cert ? *s.cert : signer.certDer;
  std::string algorithm = s.signatureAlgorithm.empty()
                              ? SignatureAlgorithmOid(signer.keyType, s.rsaHash)
                              : s.signatureAlgorithm;
  // The default seal names the signer as its owner, as a genuine seal does.
  Bytes seal = s.seal.value_or(Bytes());
  if (!s.seal) {
    SealSpec owned;
    owned.ownerCerts = std::vector<Bytes>{cert};
    seal = MakeSeal(family, owned);
  }
  time_t signTime = s.signTime.value_or(time(nullptr));
  Bytes timeText = ToBytes(s.timeText.value_or(GeneralizedText(signTime)));
  std::string property = s.propertyInfo.value_or(PropertyXml());
  Bytes version = VersionField(family, s.version, s.versionContent);

  Bytes tbs;
  if (family == Family::kPlain) {
    tbs = Seq({version, seal, Bits(timeText), Bits(s.dataHash), Ia5(property),
               Octets(cert), Oid(algorithm)});
  } else if (family == Family::kGin) {
    std::vector<Bytes> fields{version};
    if (s.ginEmbeddedSeal) {
      fields.insert(fields.end(), {seal, Bits(timeText), Bits(s.dataHash)});
    } else {
      fields.insert(fields.end(),
                    {Octets(seal), Octets(timeText), Octets(s.dataHash)});
    }
    fields.push_back(Ia5(property));
    if (s.verfyResult)
      fields.push_back(Seq({Octets(s.verfyResult->certVerify),
                            Octets(s.verfyResult->stamptVerify)}));
    fields.push_back(Octets(cert));
    fields.push_back(Oid(algorithm));
    tbs = Seq(fields);
  } else {
    std::vector<Bytes> fields{version, seal, GeneralizedTime(signTime),
                              Bits(s.dataHash), Ia5(property)};
    if (s.extDatas) fields.push_back(Extensions(*s.extDatas));
    tbs = Seq(fields);
  }
  Bytes signature = s.signature ? *s.signature : Sign(signer, tbs, s.rsaHash);
  if (signedPart != nullptr) *signedPart = tbs;

  if (family != Family::kGov) return Seq({tbs, Bits(signature)});
  std::vector<Bytes> outer{tbs, Octets(cert), Oid(algorithm), Bits(signature)};
  if (s.timeStamp) {
    std::vector<Bytes> stamps;
    for (const Bytes& t : *s.timeStamp) stamps.push_back(Bits(t));
    outer.push_back(Seq(stamps));
  }
  return Seq(outer);
}

}  // namespace fx
