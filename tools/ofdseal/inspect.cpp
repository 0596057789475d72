#include "inspect.h"

#include <iostream>
#include <map>
#include <vector>

#include "algorithms.h"
#include "cli.h"
#include "ofd.h"
#include "pkcs7_report.h"
#include "properties.h"
#include "text.h"

namespace ofdseal {
namespace {

// A picture of a seal or signature and the file that holds it.
struct Picture {
  std::string kind;  // "seal" or "handwriting"
  std::string file;
  bool written = false;  // by this object, not by an earlier one
};

// What one seal or seal signature yields.
struct ObjectReport {
  bool isSignature = false;
  std::string family;
  std::vector<PropertyValue> properties;
  std::vector<Picture> pictures;
};

// The picture files of one run. Each distinct picture is written once: the
// signatures of a package may all carry the same seal, or name the same
// signature value, and a picture seen before names the file it went to.
class PictureFiles {
 public:
  explicit PictureFiles(bool replace) : replace_(replace) {}

  bool Write(const std::string& kind, const std::string& path,
             const std::string& bytes, ObjectReport* r, std::string* error) {
    // Pictures are told apart by their SHA-256 digest.
    std::string key;
    Digest sha256;
    unsigned int code = 0;
    if (!DigestByName("sha256", &sha256) ||
        !ComputeDigest(sha256, bytes, &key, &code))
      key.clear();
    auto earlier = key.empty() ? written_.end() : written_.find(key);
    if (earlier != written_.end()) {
      r->pictures.push_back({kind, earlier->second, false});
      return true;
    }
    if (!WriteNewFile(path, bytes, replace_, error)) return false;
    if (!key.empty()) written_.emplace(key, path);
    r->pictures.push_back({kind, path, true});
    return true;
  }

 private:
  bool replace_;
  std::map<std::string, std::string> written_;  // digest -> file
};

// OUT given as "seal.png" means the base name "seal".
std::string BaseName(std::string out) {
  static const char* const kKnown[] = {".png", ".jpg", ".jpeg", ".gif", ".bmp",
                                       ".svg", ".tif", ".tiff", ".ofd", ".bin"};
  for (const char* ext : kKnown) {
    const std::string e = ext;
    if (out.size() > e.size() &&
        out.compare(out.size() - e.size(), e.size(), e) == 0)
      return out.substr(0, out.size() - e.size());
  }
  return out;
}

const std::string* Find(const ObjectReport& r, unsigned int number) {
  for (const PropertyValue& p : r.properties)
    if (p.info.number == number && p.code == 0) return &p.value;
  return nullptr;
}

// Writes the seal picture and the handwriting picture, if any, beside `base`.
bool WritePictures(const std::string& base, PictureFiles* files,
                   ObjectReport* r, std::string* error) {
  const std::string* seal = Find(*r, kSealPicData);
  if (seal != nullptr && !seal->empty()) {
    const std::string* type = Find(*r, kSealPicType);
    std::string path =
        base + "." + PictureExtension(type ? *type : std::string(), *seal);
    if (!files->Write("seal", path, *seal, r, error)) return false;
  }
  const std::string* hand = r->isSignature ? Find(*r, kSigWritePic) : nullptr;
  if (hand != nullptr && !hand->empty()) {
    std::string path = base + "-handwriting." + PictureExtension("", *hand);
    if (!files->Write("handwriting", path, *hand, r, error)) return false;
  }
  return true;
}

ObjectReport ReadObject(bool isSignature, const std::string& bytes) {
  ObjectReport r;
  r.isSignature = isSignature;
  r.properties = ReadAllProperties(isSignature, bytes);
  const std::string* version =
      Find(r, isSignature ? kSigVersion : kSealVersion);
  if (version != nullptr) r.family = FamilyName(*version);
  return r;
}

std::string ObjectText(const ObjectReport& r) {
  std::string out;
  for (const PropertyValue& p : r.properties) {
    std::string line = PropertyLine(p);
    if (!line.empty()) out += line + "\n";
  }
  for (const Picture& picture : r.pictures)
    out += (picture.written ? "  Wrote the " + picture.kind + " picture: "
                            : "  The " + picture.kind +
                                  " picture is the one written to: ") +
           EscapeText(picture.file) + "\n";
  return out;
}

void AddObjectJson(const ObjectReport& r, Json* j) {
  Json properties = Json::Array();
  for (const PropertyValue& p : r.properties) properties.Push(PropertyJson(p));
  Json pictures = Json::Array();
  for (const Picture& picture : r.pictures)
    pictures.Push(Json::Object()
                      .Set("kind", picture.kind)
                      .Set("file", picture.file)
                      .Set("written", picture.written));
  j->Set("family", r.family)
      .Set("properties", properties)
      .Set("pictures", pictures);
}

int InspectPackage(const std::string& file, const InspectOptions& options) {
  Package package;
  std::string error;
  if (!package.Open(file, options.limits, &error))
    return InputError(file, error, options.json);
  std::vector<DocumentEntry> documents;
  if (!ReadDocuments(package, &documents, &error))
    return InputError(file, error, options.json);

  std::vector<std::string> problems;
  for (const DocumentEntry& doc : documents)
    problems.insert(problems.end(), doc.problems.begin(), doc.problems.end());

  bool broken = !problems.empty();
  std::string text = "File: " + EscapeText(file) + "\n";
  for (const std::string& p : problems)
    text += "Problem: " + EscapeText(p) + "\n";
  Json list = Json::Array();
  PictureFiles pictures(options.force);
  // One signature at a time: what it yields goes into the report, its
  // parts are let go.
  SignatureWalk walk(package, documents);
  SignatureVisit visit;
  while (walk.Next(&visit)) {
    const size_t i = visit.number - 1;
    const LoadedSignature& sig = visit.sig;
    const bool isSeal = sig.entry.type == "Seal";
    const bool isSign = sig.entry.type == "Sign";
    Json j = Json::Object();
    j.Set("id", sig.entry.id)
        .Set("type", sig.entry.type)
        .Set("document", sig.document)
        .Set("location", sig.location)
        .Set("signed_value", sig.signedValuePath);
    text += "Signature " + std::to_string(i + 1) + " of " +
            std::to_string(walk.total()) + ": ID " +
            (sig.entry.id.empty() ? "(none)" : EscapeText(sig.entry.id)) +
            ", type " + EscapeText(sig.entry.type) + "\n";
    if (visit.sameAs != 0) {
      // Shown already, under its first entry.
      text += "  Same as signature " + std::to_string(visit.sameAs) + "\n";
      j.Set("same_as", static_cast<uint64_t>(visit.sameAs))
          .Set("problems", Json::Array());
      list.Push(j);
      continue;
    }
    if (!sig.signedValuePath.empty())
      text += "  Signature value: " + EscapeText(sig.signedValuePath) + "\n";
    Json sigProblems = Json::Array();
    for (const std::string& p : sig.problems) {
      text += "  Problem: " + EscapeText(p) + "\n";
      sigProblems.Push(p);
    }
    broken = broken || !sig.problems.empty();
    if (isSign && sig.hasSignedValue) {
      const ofd::Pkcs7Result p = VerifyPkcs7(sig);
      text += Pkcs7InspectText(p);
      j.Set("pkcs7", Pkcs7Json(p)).Set("result", Pkcs7ResultJson(p));
    } else if (!isSeal && !isSign) {
      text += "  Not supported yet: signatures of type " +
              EscapeText(sig.entry.type) + " are not seal signatures\n";
      j.Set("note", "not supported yet");
    } else if (isSeal && sig.hasSignedValue) {
      ObjectReport r = ReadObject(true, sig.signedValue);
      if (!options.picture.empty() &&
          !WritePictures(
              BaseName(options.picture) + "-" + std::to_string(i + 1),
              &pictures, &r, &error))
        return InputError(file, error, options.json);
      text += "  Family: " + (r.family.empty() ? "unknown" : r.family) + "\n";
      text += ObjectText(r);
      AddObjectJson(r, &j);
    }
    j.Set("problems", sigProblems);
    list.Push(j);
  }
  if (!package.fatal().empty())
    return InputError(file, package.fatal(), options.json);
  if (walk.total() == 0) text += "No signatures\n";
  if (options.json) {
    Json problemList = Json::Array();
    for (const std::string& p : problems) problemList.Push(p);
    std::cout << Json::Object()
                     .Set("file", file)
                     .Set("kind", "ofd")
                     .Set("problems", problemList)
                     .Set("signatures", list)
                     .Dump()
              << "\n";
  } else {
    std::cout << text;
  }
  return broken ? kExitInvalid : kExitOk;
}

}  // namespace

int Inspect(const std::string& file, const InspectOptions& options) {
  std::string error;
  if (!CheckInputFile(file, &error))
    return InputError(file, error, options.json);
  if (LooksLikeZip(file)) return InspectPackage(file, options);

  std::string bytes;
  if (!ReadWholeFile(file, options.limits.maxInflated, &bytes, &error))
    return InputError(file, error, options.json);
  // A seal signature answers its version property; a bare seal answers the
  // seal's. Anything else is neither.
  std::string probe;
  bool isSignature = ReadProperty(true, kSigVersion, bytes, &probe) == 0;
  if (!isSignature && ReadProperty(false, kSealVersion, bytes, &probe) != 0)
    return InputError(file,
                      "'" + file +
                          "' is neither a seal, a seal signature nor an OFD "
                          "package",
                      options.json);
  ObjectReport r = ReadObject(isSignature, bytes);
  PictureFiles pictures(options.force);
  if (!options.picture.empty() &&
      !WritePictures(BaseName(options.picture), &pictures, &r, &error))
    return InputError(file, error, options.json);
  const char* kind = isSignature ? "signature" : "seal";
  if (options.json) {
    Json j = Json::Object();
    j.Set("file", file).Set("kind", kind);
    AddObjectJson(r, &j);
    std::cout << j.Dump() << "\n";
  } else {
    std::cout << "File: " << EscapeText(file) << "\n"
              << (isSignature ? "Seal signature" : "Seal") << ", "
              << (r.family.empty() ? "unknown" : r.family) << " family\n"
              << ObjectText(r);
  }
  return kExitOk;
}

}  // namespace ofdseal
