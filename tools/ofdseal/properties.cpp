#include "properties.h"

#include <cctype>
#include <cstdint>
#include <cstring>

#include "KXCrypto.h"
#include "SealVerify.h"
#include "trust.h"

namespace ofdseal {
namespace {

using K = PropertyKind;

const char kEllipsis[] = "\xE2\x80\xA6";  // U+2026
const size_t kShownBytes = 32;            // of a byte value on a terminal
const size_t kShownChars = 96;            // of a long text on a terminal

// The seal summary record: six zero-padded fields.
struct RecordField {
  const char* name;
  size_t offset;
  size_t width;
};
const RecordField kRecord[] = {
    {"id", 0, 50},          {"version", 50, 50}, {"valid_start", 100, 50},
    {"valid_end", 150, 50}, {"type", 200, 50},   {"name", 250, 1024},
};
const size_t kRecordSize = 1274;

std::string RecordText(const std::string& record, const RecordField& f) {
  if (record.size() < f.offset + f.width) return std::string();
  std::string field = record.substr(f.offset, f.width);
  field.resize(std::strlen(field.c_str()));
  return field;
}

// The version field holds content octets: its value, zeros at the end
// being padding.
long long RecordVersion(const std::string& record) {
  std::string field = record.substr(50, 50);
  while (!field.empty() && field.back() == '\0') field.pop_back();
  return IntegerValue(field);
}

std::string ShortHex(const std::string& bytes) {
  if (bytes.size() <= kShownBytes) return Hex(bytes);
  return Hex(bytes.substr(0, kShownBytes)) + kEllipsis;
}

// At most kShownChars characters, on one line.
std::string ShortText(const std::string& text) {
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80 && ++chars > kShownChars) return out + kEllipsis;
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r' || c == '\t') {
      out += ' ';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Signed 32-bit little-endian integer at `at`.
int32_t Le32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 4; i-- > 0;)
    v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return static_cast<int32_t>(v);
}

std::string Bytes(size_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

const char* PictureFormat(const std::string& extension) {
  if (extension == "png") return "PNG image";
  if (extension == "jpg") return "JPEG image";
  if (extension == "gif") return "GIF image";
  if (extension == "bmp") return "BMP image";
  if (extension == "svg") return "SVG image";
  if (extension == "tif") return "TIFF image";
  if (extension == "ofd") return "OFD document";
  return "unknown format";
}

}  // namespace

const std::vector<PropertyInfo>& SignatureProperties() {
  static const std::vector<PropertyInfo> list = {
      {1, "ES_SIG_VALUE", K::kBytes},
      {2, "ES_SIG_CERT", K::kCert},
      {3, "ES_SIG_WRITE_PIC", K::kPicture},
      {5, "ES_SIG_TIME", K::kText},
      {14, "ES_SIG_VERSION", K::kInteger},
      {15, "ES_SIG_ESIGN_ID", K::kText},
      {16, "ES_SIG_LAST_ID", K::kText},
      {17, "ES_SIG_WEB_STATE", K::kText},
      {18, "ES_SIG_CERT_OU", K::kText},
      {19, "ES_SIG_USER_PROPERTY", K::kText},
      {20, "ES_SIG_DATA_HASH", K::kBytes},
      {25, "ES_ESIGN_PROPERTYEX", K::kLongText},
      {61, "ES_SIG_CERT_SUBJECT", K::kText},
      {62, "ES_SIG_CERT_STR", K::kLongText},
  };
  return list;
}

const std::vector<PropertyInfo>& SealProperties() {
  static const std::vector<PropertyInfo> list = {
      {6, "ES_ADMIN_CERT", K::kCert},
      {7, "ES_SEAL_VERSION", K::kInteger},
      {8, "ES_SEAL_ID", K::kText},
      {9, "ES_SEAL_NAME", K::kText},
      {10, "ES_CREATE_DATE", K::kText},
      {11, "ES_VALID_START", K::kText},
      {12, "ES_VALID_END", K::kText},
      {13, "ES_SEAL_TYPE", K::kInteger},
      {21, "ES_OWNER_CERT_STR", K::kLongText},
      {22, "ES_OWNER_CERT_SUBJECT", K::kText},
      {23, "ES_SEAL_VID", K::kText},
      {24, "ES_ADMIN_CERT_CN", K::kText},
      {51, "ES_SEAL_NAME_RAW", K::kText},
      {53, "ES_SEAL_INFO", K::kSealInfo},
      {54, "ES_PIC_DATA", K::kPicture},
      {55, "ES_OWNER_CERT", K::kCert},
      {56, "ES_PIC_SIZE", K::kSize},
      {57, "ES_OWNER_CERT_OU", K::kText},
      {59, "ES_PIC_TYPE", K::kText},
      {60, "ES_OWNER_CERT_HASH", K::kBytes},
  };
  return list;
}

unsigned int ReadProperty(bool ofSignature, unsigned int number,
                          const std::string& object, std::string* value) {
  value->clear();
  // The library wants a non-null input even when it is empty.
  static const unsigned char kEmpty = 0;
  const unsigned char* in =
      object.empty() ? &kEmpty
                     : reinterpret_cast<const unsigned char*>(object.data());
  const auto length = static_cast<unsigned int>(object.size());
  const auto get =
      ofSignature ? SEF_ESealSignDataGetProperty : SEF_AnalyzeESealData;
  // A value without content leaves the length untouched: it stays 0.
  unsigned int needed = 0;
  unsigned int code = get(number, in, length, nullptr, &needed);
  if (code != 0 || needed == 0) return code;
  std::string buffer(needed, '\0');
  unsigned int got = needed;
  code = get(number, in, length, reinterpret_cast<unsigned char*>(&buffer[0]),
             &got);
  if (code != 0) return code;
  buffer.resize(got < needed ? got : needed);
  *value = std::move(buffer);
  return 0;
}

const char* FamilyName(const std::string& versionContent) {
  const unsigned char first =
      versionContent.empty() ? 0
                             : static_cast<unsigned char>(versionContent[0]);
  return first == 4 ? "GOV" : first == 3 ? "GIN" : "plain";
}

long long IntegerValue(const std::string& content) {
  if (content.empty() || content.size() > 8) return 0;
  // Two's complement: sign-extend from the first octet.
  long long value = static_cast<signed char>(content[0]);
  for (size_t i = 1; i < content.size(); ++i)
    value =
        static_cast<long long>(static_cast<unsigned long long>(value) << 8) |
        static_cast<unsigned char>(content[i]);
  return value;
}

std::string CertificateSubject(const std::string& der) {
  shared_ptr<X509> cert = ReadableCertificate(der);
  if (!cert) return std::string();
  ckxstr name = KXGetX509Name(X509_get_subject_name(cert.get()), 0);
  return DisplayText(std::string(name.c_str(), name.length()));
}

std::string PictureExtension(const std::string& statedType,
                             const std::string& bytes) {
  std::string type;
  for (unsigned char c : statedType)
    if (std::isalnum(c)) type += static_cast<char>(std::tolower(c));
  // Only names from this list reach a file name: the stated type is data
  // from the seal and could be anything.
  if (type == "png") return "png";
  if (type == "jpg" || type == "jpeg") return "jpg";
  if (type == "gif") return "gif";
  if (type == "bmp") return "bmp";
  if (type == "svg") return "svg";
  if (type == "tif" || type == "tiff") return "tif";
  if (type == "ofd") return "ofd";
  const auto starts = [&](const char* magic, size_t n) {
    return bytes.size() >= n && std::memcmp(bytes.data(), magic, n) == 0;
  };
  if (starts("\x89PNG\r\n\x1A\n", 8)) return "png";
  if (starts("\xFF\xD8\xFF", 3)) return "jpg";
  if (starts("GIF8", 4)) return "gif";
  if (starts("BM", 2)) return "bmp";
  if (starts("II*\0", 4) || starts("MM\0*", 4)) return "tif";
  if (starts("PK\x03\x04", 4)) return "ofd";
  if (starts("<svg", 4) ||
      (starts("<?xml", 5) && bytes.find("<svg") != std::string::npos))
    return "svg";
  return "bin";
}

std::vector<PropertyValue> ReadAllProperties(bool ofSignature,
                                             const std::string& object) {
  std::vector<PropertyValue> out;
  std::vector<PropertyInfo> list = SealProperties();
  if (ofSignature)
    list.insert(list.begin(), SignatureProperties().begin(),
                SignatureProperties().end());
  for (const PropertyInfo& info : list) {
    PropertyValue p;
    p.info = info;
    p.code = ReadProperty(ofSignature, info.number, object, &p.value);
    out.push_back(std::move(p));
  }
  return out;
}

namespace {

std::string RawPropertyLine(const PropertyValue& p) {
  const std::string head = std::string("  ") + p.info.name + " (" +
                           std::to_string(p.info.number) + "): ";
  if (p.code == 5022) return std::string();  // not served by this family
  if (p.code != 0)
    return head + "error " + std::to_string(p.code) + " (" +
           SEF_FormatError(p.code) + ")";
  if (p.value.empty()) return head + "(empty)";
  switch (p.info.kind) {
    case K::kText:
      return head + DisplayText(p.value);
    case K::kLongText:
      return head + ShortText(DisplayText(p.value));
    case K::kInteger:
      return head + std::to_string(IntegerValue(p.value));
    case K::kBytes:
      return head + Bytes(p.value.size()) + ", " + ShortHex(p.value);
    case K::kCert: {
      std::string subject = CertificateSubject(p.value);
      return head + "certificate, " + Bytes(p.value.size()) +
             (subject.empty() ? ", not readable" : ", " + subject);
    }
    case K::kPicture:
      return head + Bytes(p.value.size()) + ", " +
             PictureFormat(PictureExtension("", p.value));
    case K::kSize:
      if (p.value.size() != 8) return head + ShortHex(p.value);
      return head + std::to_string(Le32(p.value, 0)) + " x " +
             std::to_string(Le32(p.value, 4));
    case K::kSealInfo: {
      if (p.value.size() != kRecordSize) return head + ShortHex(p.value);
      std::string line = head;
      for (const RecordField& f : kRecord) {
        line += f.offset == 0 ? "" : ", ";
        line += std::string(f.name) + "=";
        line += f.offset == 50 ? std::to_string(RecordVersion(p.value))
                               : DisplayText(RecordText(p.value, f));
      }
      return line;
    }
  }
  return head;
}

}  // namespace

// The values come from the seal or signature: escaped, they stay on their
// line.
std::string PropertyLine(const PropertyValue& p) {
  return EscapeText(RawPropertyLine(p));
}

Json PropertyJson(const PropertyValue& p) {
  Json j = Json::Object();
  j.Set("number", p.info.number).Set("name", p.info.name);
  if (p.code != 0) {
    j.Set("error", Json::Object()
                       .Set("code", p.code)
                       .Set("message", SEF_FormatError(p.code)));
    return j;
  }
  switch (p.info.kind) {
    case K::kText:
    case K::kLongText:
      j.Set("text", DisplayText(p.value));
      break;
    case K::kInteger:
      j.Set("value", static_cast<int64_t>(IntegerValue(p.value)));
      break;
    case K::kBytes:
      j.Set("length", static_cast<uint64_t>(p.value.size()))
          .Set("hex", Hex(p.value));
      break;
    case K::kCert:
      j.Set("length", static_cast<uint64_t>(p.value.size()))
          .Set("subject", CertificateSubject(p.value))
          .Set("hex", Hex(p.value));
      break;
    case K::kPicture:
      j.Set("length", static_cast<uint64_t>(p.value.size()));
      if (!p.value.empty())
        j.Set("format", PictureExtension("", p.value)).Set("hex", Hex(p.value));
      break;
    case K::kSize:
      if (p.value.size() == 8) {
        j.Set("width", Le32(p.value, 0)).Set("height", Le32(p.value, 4));
      } else {
        j.Set("hex", Hex(p.value));
      }
      break;
    case K::kSealInfo:
      if (p.value.size() == kRecordSize) {
        Json record = Json::Object();
        for (const RecordField& f : kRecord) {
          if (f.offset == 50)
            record.Set(f.name, static_cast<int64_t>(RecordVersion(p.value)));
          else
            record.Set(f.name, DisplayText(RecordText(p.value, f)));
        }
        j.Set("record", record);
      } else {
        j.Set("hex", Hex(p.value));
      }
      break;
  }
  return j;
}

}  // namespace ofdseal
