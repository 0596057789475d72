// The fixture kit: keys, certificates, seals, seal signatures and signature
// property documents for the tests, made with OpenSSL 3 (and zlib) alone.
//
// Seals and signatures are written with a small DER writer of their own
// (fx::asn), not with the library's templates, so that decoding them is a
// check of the library's layouts rather than a round trip through itself.
// Every field has a default; set only what a test is about:
//
//   fx::SealSpec seal;                       // SM2 maker, one owner cert
//   seal.name = "合同专用章";
//   seal.extDatas = std::vector<fx::ExtensionSpec>{{}};
//   fx::Bytes sealDer = fx::MakeSeal(fx::Family::kGov, seal);
//
//   fx::SignatureSpec sig;
//   sig.seal = sealDer;                      // default: MakeSeal(family, {})
//   sig.dataHash = fx::Sm3(document);
//   sig.signer = fx::DefaultSigner(fx::KeyType::kRsa);
//   fx::Bytes sigDer = fx::MakeSignature(fx::Family::kGov, sig);
//
// Signing follows what the verifier expects: the seal maker signs the bytes
// its family names (plain: DER of TBS_Seal {esealInfo, cert,
// signatureAlgorithm}; GIN and GOV: DER of esealInfo), the signer signs the
// DER of tbsSign. SM2 signs SM3(Z || M) with the identifier 1234567812345678
// (always set explicitly) and yields DER SEQUENCE {r, s}; RSA signs with
// PKCS#1 v1.5, SHA-256 unless told otherwise.
//
// Certificates and keys are cached per process where defaults are used
// (DefaultRoot, DefaultMaker, DefaultSigner), so most tests generate no key.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fx {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& text);
std::string ToHex(const Bytes& bytes);
Bytes FromHex(const std::string& hex);  // whitespace ignored
Bytes Concat(const std::vector<Bytes>& parts);

// ---------------------------------------------------------------------------
// Minimal DER writer
// ---------------------------------------------------------------------------
namespace asn {
Bytes Length(size_t length);  // definite form, minimal
Bytes Tlv(uint8_t tag, const Bytes& content);
Bytes Seq(const std::vector<Bytes>& elements);  // SEQUENCE
Bytes Integer(int64_t value);                   // minimal two's complement
Bytes IntegerContent(const Bytes& content);     // INTEGER with these octets
Bytes Bool(bool value);
Bytes Octets(const Bytes& content);
Bytes Bits(const Bytes& content, uint8_t unusedBits = 0);
Bytes Ia5(const std::string& text);
Bytes Utf8(const std::string& text);
Bytes Printable(const std::string& text);
Bytes Oid(const std::string& dotted);  // "1.2.156.10197.1.501"
Bytes UtcTime(time_t t);               // YYMMDDhhmmssZ
Bytes GeneralizedTime(time_t t);       // YYYYMMDDhhmmssZ
}  // namespace asn

// Object identifiers used by the kit.
extern const char* const kOidSm2WithSm3;     // 1.2.156.10197.1.501
extern const char* const kOidSm3;            // 1.2.156.10197.1.401
extern const char* const kOidRsaWithSha256;  // 1.2.840.113549.1.1.11
extern const char* const kOidRsaWithSha1;    // 1.2.840.113549.1.1.5

// ---------------------------------------------------------------------------
// Keys and certificates
// ---------------------------------------------------------------------------
enum class KeyType { kSm2, kRsa };
enum class RsaHash { kSha256, kSha1, kMd5 };
enum class Validity { kNow, kExpired, kNotYetValid };

struct Name {
  std::string C = "CN";
  std::string O = "测试科技有限公司";
  std::string OU = "电子印章测试部";
  std::string CN = "测试用户";
};

struct CertSpec {
  KeyType keyType = KeyType::kSm2;
  Name subject;
  Validity validity = Validity::kNow;  // now: -1 day .. +2 years
  bool keyIdentifiers = true;          // subject and authority key identifiers
  bool ca = false;                     // basicConstraints CA:TRUE, keyCertSign
  long serial = 0;                     // 0: the next of a per-process counter
  int rsaBits = 2048;                  // RSA modulus size
  // Days from now (notBefore, notAfter), in place of `validity`.
  std::optional<std::pair<long, long>> periodDays = std::nullopt;
  // Fixed bounds in place of those `validity` gives, each on its own.
  std::optional<time_t> notBefore = std::nullopt;
  std::optional<time_t> notAfter = std::nullopt;
  // The key to certify; null: a new key of keyType.
  std::shared_ptr<EVP_PKEY> key = nullptr;
};

// A key pair with its certificate.
struct Credential {
  KeyType keyType = KeyType::kSm2;
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> cert;
  Bytes certDer;
};

// A new key of that type (SM2 on its curve, or RSA of rsaBits).
std::shared_ptr<EVP_PKEY> MakeKey(KeyType type, int rsaBits = 2048);
// A certificate for a new key (or params.key); self-signed when issuer is null.
Credential MakeCredential(const CertSpec& params,
                          const Credential* issuer = nullptr);

// Per-process defaults: a CA root and two leaves issued by it.
const Credential& DefaultRoot(KeyType type = KeyType::kSm2);
const Credential& DefaultMaker(KeyType type = KeyType::kSm2);  // CN 印章制作
const Credential& DefaultSigner(KeyType type = KeyType::kSm2);  // CN 测试用户

// The signature the fixtures put in place: SM2 with SM3 and the identifier
// 1234567812345678 (DER r, s), or RSA PKCS#1 v1.5 with `hash`.
Bytes Sign(const Credential& signer, const Bytes& message,
           RsaHash hash = RsaHash::kSha256);
// OpenSSL's own verification of such a signature, as an oracle for tests.
bool VerifyWithOpenSsl(const Bytes& certDer, const Bytes& message,
                       const Bytes& signature, RsaHash hash = RsaHash::kSha256);
// The signatureAlgorithm OID the kit writes for a credential.
std::string SignatureAlgorithmOid(KeyType type,
                                  RsaHash hash = RsaHash::kSha256);

// Slips of SM2 signature encoders seen in the field, which the kit can put in
// a signature value it computes: r written without its sign octet (so it
// reads as negative), r with a superfluous leading zero, or the value's last
// byte (zero) dropped and the BIT STRING's unused bits counting the zero bits
// before it.
enum class Sm2Slip { kNone, kUnsignedR, kPaddedR, kTruncatedBits };
struct SignatureBits {
  Bytes value;
  uint8_t unusedBits = 0;
};
// An SM2 signature by `signer` with the slip; signs again until the value
// lends itself to the slip (r with its top bit set, a value ending in zero).
SignatureBits SignWithSlip(const Credential& signer, const Bytes& message,
                           Sm2Slip slip);

Bytes Sm3(const Bytes& data);
Bytes Sha256(const Bytes& data);

// ---------------------------------------------------------------------------
// Seals
// ---------------------------------------------------------------------------
enum class Family { kPlain, kGin, kGov };
const char* FamilyName(Family family);  // "plain", "GIN", "GOV"

// X.509 Extension {extnID, critical, extnValue}. `critical` absent leaves the
// flag out (DER for FALSE); an explicit false writes BOOLEAN FALSE.
struct ExtensionSpec {
  std::string oid = "1.2.156.1.8888.1";
  std::optional<bool> critical;
  Bytes value = {0x04, 0x02, 0x68, 0x69};
};

// GIN_CertDigest {algorithm, digestMessage}; GOV CertDigstObj {ObjType
// (PrintableString), CertDigestValue}.
struct CertDigestSpec {
  std::string kind;  // GIN: dotted OID; GOV: ObjType text
  Bytes digest;
};

struct SealSpec {
  // header
  std::string sID = "ES";
  std::optional<int64_t> version;  // default: plain 2, GIN 3, GOV 4
  Bytes versionContent;            // non-empty: INTEGER content, verbatim
  std::string sVid = "KX-FIXTURES";
  std::string esID = "1101000000001";
  // property information
  int64_t type = 1;
  Bytes typeContent;  // non-empty: type INTEGER content, verbatim
  std::string name = "测试科技有限公司公章";
  // DER owner certificates. Plain: certList itself; GIN: digested (SM3)
  // unless ginCertDigests is set; GOV: certs (selector 0) unless
  // govCertDigests is set (selector 1). Default: DefaultSigner().
  std::optional<std::vector<Bytes>> ownerCerts;
  std::optional<std::vector<CertDigestSpec>> ginCertDigests;
  std::optional<Bytes> ginCertListExt;  // GIN_CertList.extDatas
  int64_t govCertListType = 1;
  std::optional<std::vector<CertDigestSpec>> govCertDigests;
  std::optional<time_t> createDate;  // default: now - 1 day
  std::optional<time_t> validStart;  // default: now - 1 day
  std::optional<time_t> validEnd;    // default: now + 365 days
  // Time type of the three dates; default: UTCTime for plain, else
  // GeneralizedTime (the other choice makes a seal its family rejects).
  std::optional<bool> utcTimes;
  // Verbatim contents of the three dates (with the tag chosen above), in
  // place of the rendered times: for texts a reader must refuse or keep.
  std::optional<std::string> createDateText;
  std::optional<std::string> validStartText;
  std::optional<std::string> validEndText;
  // picture
  std::string pictureType = "PNG";
  Bytes pictureData;  // default: 64 bytes that start like a PNG file
  int64_t width = 40;
  int64_t height = 40;
  std::optional<std::vector<ExtensionSpec>> extDatas;  // absent by default
  // maker
  std::optional<Credential> maker;  // default: DefaultMaker()
  std::string signatureAlgorithm;   // default: from the maker's key
  RsaHash rsaHash = RsaHash::kSha256;
  std::optional<Bytes> signData;  // replaces the computed signature
  Sm2Slip signDataSlip = Sm2Slip::kNone;  // SM2 makers only
  // Plain: DER elements added to the owner list (IA5String entries seen in
  // the field). GOV: a DER element added after the maker's signature.
  std::vector<Bytes> extraOwnerEntries;
  std::optional<Bytes> trailingField;
};

// The DER seal; `signedPart`, when given, receives the bytes the maker signed.
Bytes MakeSeal(Family family, const SealSpec& params = SealSpec(),
               Bytes* signedPart = nullptr);

// ---------------------------------------------------------------------------
// Signature property document
// ---------------------------------------------------------------------------
struct PropertySpec {
  std::optional<std::string> esignId = "ESIGN-0001";
  std::optional<std::string> lastId = "ESIGN-0000";  // element Esign_LastID
  std::optional<std::string> webState = "1";
  std::optional<std::string> userProperty = "fixture";
  // Handwriting picture: WriPicLen is its length, WriPicData the Base64 of
  // its zlib compression. Absent: neither element is written.
  std::optional<Bytes> picture = Bytes();     // empty: WriPicLen 0, no data
  std::optional<std::string> wriPicLenText;   // replaces WriPicLen's text
  std::optional<std::string> wriPicDataText;  // replaces WriPicData's text
};

// XML text with the elements esignId, Esign_LastID, WebState, UserProperty,
// WriPicLen and WriPicData under one root element.
std::string PropertyXml(const PropertySpec& params = PropertySpec());
// `length` bytes of a recognisable pattern, a stand-in for a picture.
Bytes PicturePattern(size_t length);
Bytes ZlibCompress(const Bytes& data);
// Text with &, <, > and " written as XML entities.
std::string XmlEscape(const std::string& text);
std::string Base64(const Bytes& data);

// ---------------------------------------------------------------------------
// Seal signatures
// ---------------------------------------------------------------------------
struct ResultDataSpec {
  Bytes certVerify = {0x01};
  Bytes stamptVerify = {0x01};
};

struct SignatureSpec {
  std::optional<int64_t> version;  // default: plain 2, GIN 3, GOV 4
  Bytes versionContent;            // non-empty: INTEGER content, verbatim
  // DER seal; default: MakeSeal(family, {}) with the signer's certificate (as
  // written, see `cert`) as the one owner.
  std::optional<Bytes> seal;
  std::optional<time_t> signTime;  // default: now
  // Plain and GIN: timeInfo text; default YYYYMMDDhhmmssZ of signTime.
  // GOV: the contents of the timeInfo GeneralizedTime, verbatim.
  std::optional<std::string> timeText;
  Bytes dataHash = Bytes(32, 0xA5);
  std::optional<std::string> propertyInfo;             // default: PropertyXml()
  std::optional<ResultDataSpec> verfyResult;           // GIN only
  std::optional<std::vector<ExtensionSpec>> extDatas;  // GOV only
  std::optional<std::vector<Bytes>> timeStamp;         // GOV only
  std::optional<Credential> signer;  // default: DefaultSigner()
  std::optional<Bytes> cert;         // replaces the signer's certificate
  std::string signatureAlgorithm;    // default: from the signer's key
  RsaHash rsaHash = RsaHash::kSha256;
  std::optional<Bytes> signature;  // replaces the computed signature
  Sm2Slip signatureSlip = Sm2Slip::kNone;  // SM2 signers only
  std::optional<Bytes> tbsExtra;  // GOV: a DER element added to tbsSign
  // GIN only: libsealcore's layout (seal embedded as a GIN_SESeal, timeInfo
  // and dataHash as BIT STRINGs) instead of the verifier's OCTET STRINGs.
  bool ginEmbeddedSeal = false;
};

// The DER signature; `signedPart`, when given, receives the DER of tbsSign.
Bytes MakeSignature(Family family, const SignatureSpec& params = SignatureSpec(),
                    Bytes* signedPart = nullptr);

}  // namespace fx
