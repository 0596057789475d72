#include "sign.h"

#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <set>

#include "KXHost.h"
#include "KXString.h"
#include "KXTime.h"
#include "SealVerify.h"
#include "algorithms.h"
#include "cli.h"
#include "ofd.h"
#include "ofd/package_writer.h"
#include "seal_build.h"
#include "signer.h"
#include "text.h"
#include "xml.h"

namespace ofdseal {
namespace {

const char kSignHelp[] =
    "Usage: ofdseal sign FILE.ofd --seal SEAL.esl --out SIGNED.ofd [--force]\n"
    "                    (--key KEY.pem --cert CERT |\n"
    "                     --device [--cert CERT] [--driver FILE])\n"
    "                    [--document N] [--page N] [--at X,Y]\n"
    "                    [--reason TEXT] [--location TEXT]\n"
    "\n"
    "Puts a seal signature on the document and writes the signed package to\n"
    "SIGNED.ofd; FILE.ofd is not changed. The new package holds every entry\n"
    "of FILE.ofd unchanged and in its place, the signature list\n"
    "(Signs/Signatures.xml beside the document, created or extended, and\n"
    "named in OFD.xml when it is new), and Sign_N/ with Signature.xml (one\n"
    "reference with the SM3 digest of every file of the package but the\n"
    "signature lists, the earlier signatures' files too; the stamp's page\n"
    "and position), Seal.esl and SignedValue.dat: a seal signature of the\n"
    "seal's family (GOV or plain) over the digest of Signature.xml (SM3 for\n"
    "an SM2 signer, SHA-256 for an RSA signer), signed with SM2 and the\n"
    "default identifier, or RSA with SHA-256. Earlier signatures stay valid.\n"
    "\n"
    "Refused, with nothing written: a signer certificate that is not an\n"
    "owner of the seal or not valid now, a seal outside its validity period,\n"
    "a key that is not the certificate's, a document whose earlier\n"
    "signatures cover the signature list, and a signature that the\n"
    "verification library would not accept.\n"
    "\n"
    "Options:\n"
    "  --seal SEAL.esl    the seal (GOV family or plain)\n"
    "  --out SIGNED.ofd   the signed package to write\n"
    "  --force            replace an existing SIGNED.ofd (a symbolic link is\n"
    "                     replaced itself, never written through)\n"
    "  --key KEY.pem      the signer's private key, PEM (SM2 or RSA, not\n"
    "                     encrypted)\n"
    "  --cert CERT        the signer's certificate, DER or PEM; it must be an\n"
    "                     owner of the seal\n"
    "  --device           sign with a key on an SKF key device: the container\n"
    "                     that holds the key of --cert, or without --cert of\n"
    "                     the first owner of the seal that a device holds;\n"
    "                     the user PIN comes from OFDSEAL_PIN or the terminal\n"
    "  --driver FILE      the SKF driver library (default: the one main.ini\n"
    "                     names under dllpath)\n"
    "  --document N       the document of the package to sign (default 1)\n"
    "  --page N           the page that shows the stamp (default 1)\n"
    "  --at X,Y           the stamp's top left corner on the page, in\n"
    "                     millimetres (default 20,20); its size is the seal\n"
    "                     picture's\n"
    "  --reason TEXT      the reason for signing, kept in the signature's\n"
    "                     property document\n"
    "  --location TEXT    where it was signed, kept there too\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit codes: 0 signed, 2 bad usage, unreadable or refused input (not an\n"
    "OFD package, a seal or key that cannot be used, a wrong PIN), or an\n"
    "output file that exists or could not be written.\n";

const char kCommand[] = "sign";
const char kNamespace[] = "http://www.ofdspec.org/2016";
const char kSm3Oid[] = "1.2.156.10197.1.401";
// The input package is held in memory, so that what is checked and signed
// is exactly what is copied.
const uint64_t kMaxPackage = 1ull << 30;
const uint64_t kMaxSeal = 16u << 20;

int Failure(const std::string& message) {
  std::cerr << "ofdseal " << kCommand << ": " << EscapeText(message) << "\n";
  return kExitUsage;
}

// --- XML text
// -----------------------------------------------------------------

// Text for an attribute or element of UTF-8 XML.
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
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The same as ASCII: every other character as a character reference. The
// property document travels in an IA5String, which holds ASCII only.
std::string AsciiXml(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += XmlEscape(std::string(1, utf8[i]));
      ++i;
      continue;
    }
    // Well-formed UTF-8 (checked before): the lead byte tells the length.
    const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    unsigned long cp = c & (0x7F >> n);
    for (size_t k = 1; k < n && i + k < utf8.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    char ref[16];
    std::snprintf(ref, sizeof ref, "&#x%lX;", cp);
    out += ref;
    i += n;
  }
  return out;
}

// Text that XML 1.0 can carry: UTF-8 without control characters.
bool XmlText(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return false;
  return IsUtf8(text);
}

// The end of the tag that starts at `at` (just past its '>'), quoted
// attribute values skipped; npos when it does not end. `empty` tells "/>".
size_t TagEnd(const std::string& xml, size_t at, bool* empty) {
  char quote = 0;
  for (size_t i = at; i < xml.size(); ++i) {
    const char c = xml[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      *empty = i > at && xml[i - 1] == '/';
      return i + 1;
    }
  }
  return std::string::npos;
}

bool NameEnds(const std::string& xml, size_t at) {
  return at < xml.size() &&
         (xml[at] == '>' || xml[at] == '/' || xml[at] == ' ' ||
          xml[at] == '\t' || xml[at] == '\r' || xml[at] == '\n');
}

// The first start tag "<name" at or after `from`.
size_t FindStartTag(const std::string& xml, const std::string& name,
                    size_t from) {
  for (size_t at = xml.find("<" + name, from); at != std::string::npos;
       at = xml.find("<" + name, at + 1))
    if (NameEnds(xml, at + 1 + name.size())) return at;
  return std::string::npos;
}

// The first end tag "</name>" at or after `from`.
size_t FindEndTag(const std::string& xml, const std::string& name,
                  size_t from) {
  for (size_t at = xml.find("</" + name, from); at != std::string::npos;
       at = xml.find("</" + name, at + 1))
    if (NameEnds(xml, at + 2 + name.size())) return at;
  return std::string::npos;
}

// "ofd:" of "ofd:Signatures"; "" without a prefix.
std::string PrefixOf(const std::string& element) {
  const size_t colon = element.find(':');
  return colon == std::string::npos ? "" : element.substr(0, colon + 1);
}

std::string NamespaceAttribute(const std::string& prefix) {
  return prefix.empty() ? std::string(" xmlns=\"") + kNamespace + "\""
                        : " xmlns:" + prefix.substr(0, prefix.size() - 1) +
                              "=\"" + kNamespace + "\"";
}

// --- The document and its signature list
// ---------------------------------------

// What the new signature changes and adds.
struct Plan {
  size_t document = 0;      // index into the documents
  std::string listPath;     // package path of the signature list
  std::string listXml;      // its bytes now; empty when it is new
  bool listExists = false;  // an entry of the package
  bool nameList = false;    // OFD.xml gets DocBody/Signatures
  std::string prefix;       // element prefix of the files written
  std::string id;           // ID of the new Signature entry
  std::string signDir;      // package path of Sign_N
  std::string pageId;
  std::string ofdPath = "/OFD.xml";  // as stored
};

// The entry of the package at `path`, letter case as stored.
bool StoredPath(const Package& package, const std::string& path,
                std::string* stored) {
  uint64_t index = 0;
  if (package.EntryIndex(path, &index)) {
    *stored = path;
    return true;
  }
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  for (const std::string& p : package.Paths()) {
    std::string folded = p;
    for (char& c : folded) c = static_cast<char>(std::tolower(c));
    if (folded == lower) {
      *stored = p;
      return true;
    }
  }
  return false;
}

XmlTree ReadXmlPart(Package& package, const std::string& path,
                    std::string* bytes, std::string* error) {
  const PartStatus status =
      package.Read(path, bytes, package.limits().maxXmlSize);
  if (status != PartStatus::kOk) {
    *error = path + ": " + PartStatusText(status);
    return nullptr;
  }
  std::string why;
  XmlTree tree = ParseXml(*bytes, &why);
  if (!tree) *error = path + " is not XML (" + why + ")";
  return tree;
}

long IdNumber(const std::string& text) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stol(text);
}

// Where the list is, whether it must be made and named, the next ID and
// the folder of the new signature.
bool PlanList(Package& package, const std::vector<DocumentEntry>& documents,
              Plan* plan, std::string* error) {
  const DocumentEntry& doc = documents[plan->document];
  if (doc.root.empty()) {
    *error = "the document names no document root (DocRoot)";
    return false;
  }
  std::string ofdXml;
  StoredPath(package, "/OFD.xml", &plan->ofdPath);
  XmlTree ofd = ReadXmlPart(package, plan->ofdPath, &ofdXml, error);
  if (!ofd) return false;
  mxml_node_t* ofdRoot = RootElement(ofd.get());
  plan->prefix =
      ofdRoot == nullptr ? "ofd:" : PrefixOf(mxmlGetElement(ofdRoot));
  if (!doc.signaturesPath.empty()) {
    plan->listPath = doc.signaturesPath;
    plan->listExists = StoredPath(package, doc.signaturesPath, &plan->listPath);
  } else {
    std::string dir = DirectoryOf(doc.root);
    plan->listPath = (dir == "/" ? "" : dir) + "/Signs/Signatures.xml";
    plan->nameList = true;
    if (package.Exists(plan->listPath)) {
      *error = plan->listPath + " exists but OFD.xml does not name it";
      return false;
    }
  }
  long maxId = 0;
  std::set<std::string> ids;
  if (plan->listExists) {
    XmlTree list = ReadXmlPart(package, plan->listPath, &plan->listXml, error);
    mxml_node_t* root = list ? RootElement(list.get()) : nullptr;
    if (root == nullptr || LocalName(root) != "Signatures") {
      if (list) *error = plan->listPath + ": no Signatures element";
      return false;
    }
    plan->prefix = PrefixOf(mxmlGetElement(root));
    maxId = IdNumber(ElementText(ChildElement(root, "MaxSignId")));
    for (mxml_node_t* sig : ChildElements(root, "Signature")) {
      ids.insert(Attribute(sig, "ID"));
      maxId = std::max(maxId, IdNumber(Attribute(sig, "ID")));
    }
  }
  maxId = std::max(maxId, 0L);
  do {
    plan->id = std::to_string(++maxId);
  } while (ids.count(plan->id) != 0);
  const std::string signs = DirectoryOf(plan->listPath);
  const std::vector<std::string> paths = package.Paths();
  for (size_t k = doc.signatures.size();; ++k) {
    const std::string dir = signs + "/Sign_" + std::to_string(k);
    bool used = false;
    for (const std::string& p : paths)
      used = used || p.compare(0, dir.size() + 1, dir + "/") == 0;
    if (!used) {
      plan->signDir = dir;
      return true;
    }
  }
}

// Refuses when an earlier signature of any document covers a part that
// signing changes: it would no longer verify.
bool CheckEarlierSignatures(Package& package,
                            const std::vector<DocumentEntry>& documents,
                            const std::set<std::string>& changed,
                            std::string* error) {
  for (const DocumentEntry& doc : documents) {
    for (const SignatureEntry& entry : doc.signatures) {
      LoadedSignature sig = LoadSignature(package, doc, entry);
      for (const Reference& ref : sig.file.references) {
        std::string path;
        if (ResolvePart(package, {"/", DirectoryOf(sig.location)}, ref.fileRef,
                        &path) == PartStatus::kOk &&
            StoredPath(package, path, &path) && changed.count(path) != 0) {
          *error = "signature " + entry.id + " covers " + path +
                   ", which a new signature changes: it would no longer verify";
          return false;
        }
      }
    }
  }
  if (!package.fatal().empty()) {
    *error = package.fatal();
    return false;
  }
  return true;
}

// The ID of the page with number `page` (from 1) of the document.
bool FindPage(Package& package, const DocumentEntry& doc, long page,
              std::string* id, std::string* error) {
  std::string bytes;
  XmlTree tree = ReadXmlPart(package, doc.root, &bytes, error);
  if (!tree) return false;
  const std::vector<mxml_node_t*> pages =
      ChildElements(FindElement(tree.get(), "Pages"), "Page");
  if (page > static_cast<long>(pages.size())) {
    *error = "the document has " + std::to_string(pages.size()) +
             (pages.size() == 1 ? " page" : " pages") + ", no page " +
             std::to_string(page);
    return false;
  }
  *id = Attribute(pages[static_cast<size_t>(page - 1)], "ID");
  if (id->empty() || !XmlText(*id)) {
    *error = "page " + std::to_string(page) + " of the document has no ID";
    return false;
  }
  return true;
}

// The list with one more Signature entry and MaxSignId set to its ID.
bool ExtendList(const Plan& plan, const std::string& baseLoc, std::string* xml,
                std::string* error) {
  const std::string p = plan.prefix;
  const std::string entry = "<" + p + "Signature ID=\"" + plan.id +
                            "\" Type=\"Seal\" BaseLoc=\"" + XmlEscape(baseLoc) +
                            "\"/>";
  const std::string maxId =
      "<" + p + "MaxSignId>" + plan.id + "</" + p + "MaxSignId>";
  if (plan.listXml.empty()) {
    *xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + p + "Signatures" +
           NamespaceAttribute(p) + ">\n  " + maxId + "\n  " + entry + "\n</" +
           p + "Signatures>\n";
    return true;
  }
  *xml = plan.listXml;
  const std::string root = p + "Signatures";
  bool empty = false;
  const size_t start = FindStartTag(*xml, root, 0);
  const size_t open =
      start == std::string::npos ? start : TagEnd(*xml, start, &empty);
  if (open != std::string::npos && empty) {
    xml->replace(open - 2, 2,
                 ">\n  " + maxId + "\n  " + entry + "\n</" + root + ">");
  } else if (open != std::string::npos) {
    const size_t close = xml->rfind("</" + root);
    if (close == std::string::npos || close < open) {
      *error = plan.listPath + ": no end of the Signatures element";
      return false;
    }
    xml->insert(close, "  " + entry + "\n");
    bool emptyMax = false;
    const size_t at = FindStartTag(*xml, p + "MaxSignId", open);
    const size_t from =
        at == std::string::npos ? at : TagEnd(*xml, at, &emptyMax);
    const size_t to = from == std::string::npos
                          ? from
                          : FindEndTag(*xml, p + "MaxSignId", from);
    if (at != std::string::npos && at < close && to != std::string::npos &&
        !emptyMax)
      xml->replace(from, to - from, plan.id);
    else if (at == std::string::npos || at > close)
      xml->insert(open, "\n  " + maxId);
  }
  // What was written must read back as the list with the new entry last.
  XmlTree tree = ParseXml(*xml);
  mxml_node_t* list = tree ? RootElement(tree.get()) : nullptr;
  const std::vector<mxml_node_t*> entries = ChildElements(list, "Signature");
  if (open == std::string::npos || entries.empty() ||
      Attribute(entries.back(), "ID") != plan.id ||
      Attribute(entries.back(), "BaseLoc") != baseLoc ||
      ElementText(ChildElement(list, "MaxSignId")) != plan.id) {
    *error = "cannot extend the signature list " + plan.listPath;
    return false;
  }
  return true;
}

// OFD.xml with DocBody/Signatures naming the new list for the document.
bool NameListInOfd(const std::string& ofdXml, const Plan& plan,
                   std::string* xml, std::string* error) {
  const std::string loc = plan.listPath.substr(1);
  XmlTree tree = ParseXml(ofdXml);
  const std::vector<mxml_node_t*> bodies = FindElements(tree.get(), "DocBody");
  *error = "cannot name the signature list in OFD.xml";
  if (plan.document >= bodies.size()) return false;
  const std::string body = mxmlGetElement(bodies[plan.document]);
  size_t at = std::string::npos;
  for (size_t i = 0, from = 0; i <= plan.document; ++i, from = at + 1) {
    at = FindStartTag(ofdXml, body, from);
    if (at == std::string::npos) return false;
  }
  const size_t close = FindEndTag(ofdXml, body, at);
  if (close == std::string::npos) return false;
  const std::string p = PrefixOf(body);
  *xml = ofdXml;
  xml->insert(close, "  <" + p + "Signatures>" + XmlEscape(loc) + "</" + p +
                         "Signatures>\n  ");
  XmlTree check = ParseXml(*xml);
  const std::vector<mxml_node_t*> again = FindElements(check.get(), "DocBody");
  if (again.size() != bodies.size() ||
      ElementText(ChildElement(again[plan.document], "Signatures")) != loc)
    return false;
  error->clear();
  return true;
}

// --- The signature
// --------------------------------------------------------------

std::string Base64(const std::string& bytes) {
  const ckxstr text =
      KXBase64Encode(bytes.data(), static_cast<int>(bytes.size()), nullptr);
  return std::string(text.c_str(), text.length());
}

// "12.5" for 12.5, "20" for 20.0: millimetres as OFD boxes write them.
std::string Millimetres(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  std::string s = text;
  s.erase(s.find_last_not_of('0') + 1);
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

std::string PropertyXml(const std::string& reason,
                        const std::string& location) {
  const ckxstr id = KXRandomStr(16);
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SignProperty><esignId>" +
      std::string(id.c_str(), id.length()) + "</esignId>";
  if (!reason.empty()) xml += "<Reason>" + AsciiXml(reason) + "</Reason>";
  if (!location.empty())
    xml += "<Location>" + AsciiXml(location) + "</Location>";
  return xml + "<Provider>ofdseal 1.0.0</Provider></SignProperty>";
}

std::string LocalTime(long ms) {
  const ckxstr text = KXTimeToStr(ms, false, false);
  return text.empty() ? "(unreadable)"
                      : std::string(text.c_str(), text.length());
}

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};

// Whether the certificate is valid at `now`; its period in `period`.
bool ValidNow(const std::string& der, time_t now, std::string* period) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<X509, X509Free> cert(
      d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert) return false;
  ASN1_TIME* from = X509_getm_notBefore(cert.get());
  ASN1_TIME* to = X509_getm_notAfter(cert.get());
  *period =
      LocalTime(KXASN1ToTime2(from)) + " to " + LocalTime(KXASN1ToTime2(to));
  return X509_cmp_time(from, &now) < 0 && X509_cmp_time(to, &now) > 0;
}

// The signer: a PEM key, or a key device. With a certificate given, it must
// be an owner of the seal and valid now before any key is touched.
std::unique_ptr<Signer> OpenSigner(const CommandArgs& a, const SealFacts& seal,
                                   time_t now, std::string* error) {
  std::vector<std::string> candidates;
  if (a.Has("--cert")) {
    std::string der;
    if (!ReadCertificateFile(a.Get("--cert"), &der, error)) return nullptr;
    bool owner = false;
    for (const std::string& o : seal.owners) owner = owner || o == der;
    if (!owner) {
      *error = "the certificate " + SubjectOf(der) +
               " is not an owner of the seal " + seal.name +
               ": the seal names " + std::to_string(seal.owners.size()) +
               (seal.owners.size() == 1 ? " owner" : " owners") +
               " and a verifier would reject the signature";
      return nullptr;
    }
    candidates.push_back(der);
  } else {
    candidates = seal.owners;
  }
  // Owners that are not valid now cannot sign (only with --cert is there
  // exactly one to report).
  std::vector<std::string> usable;
  for (const std::string& der : candidates) {
    std::string period;
    if (ValidNow(der, now, &period)) {
      usable.push_back(der);
    } else if (a.Has("--cert")) {
      *error = "the certificate " + SubjectOf(der) + " is valid from " +
               period + ", not now";
      return nullptr;
    }
  }
  if (usable.empty()) {
    *error = "no owner certificate of the seal is valid now";
    return nullptr;
  }
  if (a.Has("--key"))
    return OpenPemSigner(a.Get("--cert"), a.Get("--key"), error);
  DeviceOptions device;
  device.driver = a.Get("--driver");
  return OpenDeviceSigner(device, usable, error);
}

// A positive number within [1, limit].
bool ParseCount(const std::string& text, long limit, long* out) {
  if (text.empty() || text.size() > 6 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *out = std::stol(text);
  return *out >= 1 && *out <= limit;
}

bool ParsePosition(const std::string& text, double* x, double* y) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  const auto number = [](const std::string& s, double* out) {
    if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos)
      return false;
    char* end = nullptr;
    *out = std::strtod(s.c_str(), &end);
    return *end == '\0' && std::isfinite(*out) && *out <= 100000;
  };
  return number(text.substr(0, comma), x) && number(text.substr(comma + 1), y);
}

bool SamePath(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

int SignCommand(const std::vector<std::string>& argv) {
  CommandArgs a;
  int rc = ParseCommandArgs(
      kCommand, argv, {"--force", "--device"},
      {"--seal", "--out", "--key", "--cert", "--driver", "--document", "--page",
       "--at", "--reason", "--location"},
      &a);
  if (rc != kExitOk) return rc;
  if (a.help) {
    std::cout << kSignHelp;
    return kExitOk;
  }
  if (a.operands.size() != 1)
    return CommandUsage(
        kCommand, a.operands.empty()
                      ? "missing FILE.ofd"
                      : "one FILE.ofd only, got '" + a.operands[1] + "' too");
  for (const char* required : {"--seal", "--out"})
    if (!a.Has(required))
      return CommandUsage(kCommand, std::string("missing ") + required);
  if (a.Has("--key") == a.Has("--device"))
    return CommandUsage(kCommand, "give --key with --cert, or --device");
  if (a.Has("--key") && !a.Has("--cert"))
    return CommandUsage(kCommand, "--key needs --cert");
  if (a.Has("--driver") && !a.Has("--device"))
    return CommandUsage(kCommand, "--driver goes with --device");
  long documentNumber = 1, pageNumber = 1;
  if (!ParseCount(a.Get("--document", "1"), 100000, &documentNumber) ||
      !ParseCount(a.Get("--page", "1"), 1000000, &pageNumber))
    return CommandUsage(kCommand, "--document and --page take a number from 1");
  double x = 0, y = 0;
  if (!ParsePosition(a.Get("--at", "20,20"), &x, &y))
    return CommandUsage(kCommand, "--at takes X,Y in millimetres");
  const std::string reason = a.Get("--reason"), location = a.Get("--location");
  if (!XmlText(reason) || !XmlText(location))
    return CommandUsage(kCommand,
                        "--reason and --location take UTF-8 text on one line");
  const std::string input = a.operands[0], out = a.Get("--out");
  const bool force = a.Has("--force");

  // The output first: nothing is read or asked (a PIN) for a name that
  // cannot be written.
  struct stat st;
  if (SamePath(input, out))
    return Failure("--out names the input file '" + input +
                   "', which is never changed");
  if (!force && lstat(out.c_str(), &st) == 0)
    return Failure("cannot write '" + out +
                   "': the file exists (--force replaces it)");

  std::string error, bytes, sealBytes;
  if (!ReadWholeFile(input, kMaxPackage, &bytes, &error)) return Failure(error);
  Package package;
  std::vector<DocumentEntry> documents;
  if (!package.OpenBytes(bytes, input, Limits(), &error)) return Failure(error);
  if (!ReadDocuments(package, &documents, &error))
    return Failure("'" + input + "': " + error);
  if (static_cast<size_t>(documentNumber) > documents.size())
    return Failure("'" + input + "' holds " + std::to_string(documents.size()) +
                   (documents.size() == 1 ? " document" : " documents") +
                   ", no document " + std::to_string(documentNumber));
  Plan plan;
  plan.document = static_cast<size_t>(documentNumber - 1);
  const DocumentEntry& doc = documents[plan.document];
  // A signature list that OFD.xml names but the package lacks is made; any
  // other broken part of the document is refused.
  const bool listMissing =
      !doc.signaturesPath.empty() && !package.Exists(doc.signaturesPath);
  for (const std::string& problem : doc.problems)
    if (!listMissing ||
        problem.rfind("signature list " + doc.signaturesPath, 0) != 0)
      return Failure("'" + input + "': " + problem);

  SealFacts seal;
  const std::string sealPath = a.Get("--seal");
  if (!ReadWholeFile(sealPath, kMaxSeal, &sealBytes, &error))
    return Failure(error);
  if (!ReadSeal(sealBytes, &seal, &error))
    return Failure("'" + sealPath + "': " + error);
  const time_t now = time(nullptr);
  const long nowMs = static_cast<long>(now) * 1000;
  if (seal.validStart < 0 || seal.validEnd < 0 || nowMs < seal.validStart ||
      nowMs > seal.validEnd)
    return Failure("the seal " + seal.name + " is valid from " +
                   LocalTime(seal.validStart) + " to " +
                   LocalTime(seal.validEnd) +
                   ", not now: a verifier would reject the signature");
  if (seal.owners.empty())
    return Failure("the seal " + seal.name + " names no owner certificate");

  if (!PlanList(package, documents, &plan, &error) ||
      !FindPage(package, doc, pageNumber, &plan.pageId, &error))
    return Failure("'" + input + "': " + error);
  std::set<std::string> changed = {plan.listPath};
  if (plan.nameList) changed.insert(plan.ofdPath);
  if (!CheckEarlierSignatures(package, documents, changed, &error))
    return Failure("'" + input + "': " + error);

  std::unique_ptr<Signer> signer = OpenSigner(a, seal, now, &error);
  if (!signer) return Failure(error);

  // The parts the signature adds or changes.
  const std::string listLoc = plan.listPath;
  const std::string xmlPath = plan.signDir + "/Signature.xml";
  const std::string sealLoc = plan.signDir + "/Seal.esl";
  const std::string valueLoc = plan.signDir + "/SignedValue.dat";
  std::string ofdXml, newOfdXml, listXml;
  if (plan.nameList) {
    std::string why;
    if (package.Read(plan.ofdPath, &ofdXml) != PartStatus::kOk ||
        !NameListInOfd(ofdXml, plan, &newOfdXml, &why))
      return Failure("'" + input + "': " + why);
  }
  if (!ExtendList(plan, xmlPath, &listXml, &error))
    return Failure("'" + input + "': " + error);

  // One reference per file of the new package but the signature lists
  // (which later signatures extend) and the new signature's own
  // Signature.xml and value.
  std::set<std::string> lists = {plan.listPath};
  for (const DocumentEntry& d : documents)
    if (!d.signaturesPath.empty()) lists.insert(d.signaturesPath);
  Digest sm3;
  DigestByName("sm3", &sm3);
  std::string references;
  size_t referenceCount = 0;
  const auto addReference = [&](const std::string& path,
                                const std::string& digest) {
    references += "      <" + plan.prefix + "Reference FileRef=\"" +
                  XmlEscape(path) + "\">\n        <" + plan.prefix +
                  "CheckValue>" + Base64(digest) + "</" + plan.prefix +
                  "CheckValue>\n      </" + plan.prefix + "Reference>\n";
    ++referenceCount;
  };
  for (const std::string& path : package.Paths()) {
    if (lists.count(path) != 0) continue;
    if (!XmlText(path))
      return Failure("'" + input + "': the entry name " + path +
                     " cannot be written in Signature.xml");
    std::string digest;
    unsigned int code = 0;
    const PartStatus status =
        plan.nameList && path == plan.ofdPath
            ? (ComputeDigest(sm3, newOfdXml, &digest, &code)
                   ? PartStatus::kOk
                   : PartStatus::kUnreadable)
            : package.Digest(
                  path, sm3.id, [&sm3] { return OpenDigestSink(sm3); },
                  [&sm3](const std::string& b, std::string* d) {
                    unsigned int c = 0;
                    return ComputeDigest(sm3, b, d, &c);
                  },
                  &digest);
    if (status != PartStatus::kOk || digest.empty())
      return Failure("'" + input + "': " +
                     (package.fatal().empty()
                          ? path + ": " + PartStatusText(status)
                          : package.fatal()));
    addReference(path, digest);
  }
  std::string sealDigest;
  unsigned int code = 0;
  if (!ComputeDigest(sm3, seal.der, &sealDigest, &code))
    return Failure("the digest of the seal failed");
  addReference(sealLoc, sealDigest);

  const std::string p = plan.prefix;
  const std::string dateTime = GeneralizedTimeText(now);
  const std::string signatureXml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + p + "Signature" +
      NamespaceAttribute(p) + ">\n  <" + p + "SignedInfo>\n    <" + p +
      "Provider ProviderName=\"ofdseal\" Version=\"1.0.0\"/>\n    <" + p +
      "SignatureMethod>" + signer->AlgorithmOid() + "</" + p +
      "SignatureMethod>\n    <" + p + "SignatureDateTime>" + dateTime + "</" +
      p + "SignatureDateTime>\n    <" + p + "References CheckMethod=\"" +
      kSm3Oid + "\">\n" + references + "    </" + p + "References>\n    <" + p +
      "StampAnnot ID=\"" + plan.id + "\" PageRef=\"" + XmlEscape(plan.pageId) +
      "\" Boundary=\"" + Millimetres(x) + " " + Millimetres(y) + " " +
      std::to_string(seal.width) + " " + std::to_string(seal.height) +
      "\"/>\n    <" + p + "Seal>\n      <" + p + "BaseLoc>" +
      XmlEscape(sealLoc) + "</" + p + "BaseLoc>\n    </" + p + "Seal>\n  </" +
      p + "SignedInfo>\n  <" + p + "SignedValue>" + XmlEscape(valueLoc) + "</" +
      p + "SignedValue>\n</" + p + "Signature>\n";

  // The seal signature signs the digest of the exact bytes of
  // Signature.xml: SM3 for an SM2 signer, the SHA-256 of the signature
  // method for an RSA signer.
  Digest digest;
  DigestByName(signer->kind() == KeyKind::kSm2 ? "sm3" : "sha256", &digest);
  SignatureContent content;
  content.signingTime = now;
  content.propertyInfo = PropertyXml(reason, location);
  std::string value;
  if (!ComputeDigest(digest, signatureXml, &content.dataHash, &code))
    return Failure("the digest of Signature.xml failed");
  if (!MakeSignature(seal, content, *signer, &value, &error))
    return Failure(error);
  // What is written must be what the verification library accepts.
  code = SEF_OfdESealSign_Verify(
      reinterpret_cast<const unsigned char*>(content.dataHash.data()),
      static_cast<unsigned int>(content.dataHash.size()),
      reinterpret_cast<const unsigned char*>(value.data()),
      static_cast<unsigned int>(value.size()));
  if (code != 0)
    return Failure(
        "the verification library does not accept the new "
        "signature (" +
        std::to_string(code) + " " + SEF_FormatError(code) + ")");

  ofd::PackageEdits edits;
  uint64_t index = 0;
  if (plan.nameList) {
    package.EntryIndex(plan.ofdPath, &index);
    edits.replaced[index] = newOfdXml;
  }
  if (plan.listExists && package.EntryIndex(plan.listPath, &index))
    edits.replaced[index] = listXml;
  else
    edits.added.emplace_back(listLoc.substr(1), listXml);
  edits.added.emplace_back(xmlPath.substr(1), signatureXml);
  edits.added.emplace_back(sealLoc.substr(1), seal.der);
  edits.added.emplace_back(valueLoc.substr(1), value);
  if (!ofd::WritePackage(bytes, edits, out, force, &error))
    return Failure(error);

  std::cout
      << "Signed " << EscapeText(input) << " into " << EscapeText(out) << "\n"
      << "  Signature:  ID " << plan.id << ", " << EscapeText(xmlPath) << "\n"
      << "  Seal:       " << (seal.family == SealFamily::kGov ? "GOV" : "plain")
      << " family, " << EscapeText(seal.name) << " (ID " << EscapeText(seal.id)
      << ")\n"
      << "  Signer:     " << EscapeText(SubjectOf(signer->certificate()))
      << "\n"
      << "  Algorithm:  "
      << (signer->kind() == KeyKind::kSm2 ? "SM2 with SM3" : "RSA with SHA-256")
      << " (" << signer->AlgorithmOid() << ")\n"
      << "  Stamp:      page " << pageNumber << " at " << Millimetres(x) << ","
      << Millimetres(y) << " mm, " << seal.width << " x " << seal.height
      << " mm\n"
      << "  References: " << referenceCount << " files\n"
      << "  Signed at:  " << LocalTime(nowMs) << "\n";
  return kExitOk;
}

}  // namespace ofdseal
