#include "inspect.h"

#include <iostream>
#include <vector>

#include "cli.h"
#include "ofd.h"
#include "pkcs7_report.h"
#include "properties.h"
#include "text.h"

namespace ofdseal {
namespace {

// What one seal or seal signature yields.
struct ObjectReport {
  bool isSignature = false;
  std::string family;
  std::vector<PropertyValue> properties;
  std::vector<std::pair<std::string, std::string>> pictures;  // kind, file
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
bool WritePictures(const std::string& base, ObjectReport* r,
                   std::string* error) {
  const std::string* seal = Find(*r, kSealPicData);
  if (seal != nullptr && !seal->empty()) {
    const std::string* type = Find(*r, kSealPicType);
    std::string path =
        base + "." + PictureExtension(type ? *type : std::string(), *seal);
    if (!WriteWholeFile(path, *seal, error)) return false;
    r->pictures.emplace_back("seal", path);
  }
  const std::string* hand = r->isSignature ? Find(*r, kSigWritePic) : nullptr;
  if (hand != nullptr && !hand->empty()) {
    std::string path = base + "-handwriting." + PictureExtension("", *hand);
    if (!WriteWholeFile(path, *hand, error)) return false;
    r->pictures.emplace_back("handwriting", path);
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
  for (const auto& picture : r.pictures)
    out +=
        "  Wrote the " + picture.first + " picture: " + picture.second + "\n";
  return out;
}

void AddObjectJson(const ObjectReport& r, Json* j) {
  Json properties = Json::Array();
  for (const PropertyValue& p : r.properties) properties.Push(PropertyJson(p));
  Json pictures = Json::Array();
  for (const auto& picture : r.pictures)
    pictures.Push(
        Json::Object().Set("kind", picture.first).Set("file", picture.second));
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
  std::vector<LoadedSignature> signatures;
  for (const DocumentEntry& doc : documents) {
    problems.insert(problems.end(), doc.problems.begin(), doc.problems.end());
    for (const SignatureEntry& entry : doc.signatures)
      signatures.push_back(LoadSignature(package, doc, entry));
  }
  if (!package.fatal().empty())
    return InputError(file, package.fatal(), options.json);

  bool broken = !problems.empty();
  std::string text = "File: " + file + "\n";
  for (const std::string& p : problems) text += "Problem: " + p + "\n";
  Json list = Json::Array();
  for (size_t i = 0; i < signatures.size(); ++i) {
    const LoadedSignature& sig = signatures[i];
    const bool isSeal = sig.entry.type == "Seal";
    const bool isSign = sig.entry.type == "Sign";
    Json j = Json::Object();
    j.Set("id", sig.entry.id)
        .Set("type", sig.entry.type)
        .Set("document", sig.document)
        .Set("location", sig.location)
        .Set("signed_value", sig.signedValuePath);
    text += "Signature " + std::to_string(i + 1) + " of " +
            std::to_string(signatures.size()) + ": ID " +
            (sig.entry.id.empty() ? "(none)" : sig.entry.id) + ", type " +
            sig.entry.type + "\n";
    if (!sig.signedValuePath.empty())
      text += "  Signature value: " + sig.signedValuePath + "\n";
    Json sigProblems = Json::Array();
    for (const std::string& p : sig.problems) {
      text += "  Problem: " + p + "\n";
      sigProblems.Push(p);
    }
    broken = broken || !sig.problems.empty();
    if (isSign && sig.hasSignedValue) {
      const ofd::Pkcs7Result p = VerifyPkcs7(sig);
      text += Pkcs7InspectText(p);
      j.Set("pkcs7", Pkcs7Json(p)).Set("result", Pkcs7ResultJson(p));
    } else if (!isSeal && !isSign) {
      text += "  Not supported yet: signatures of type " + sig.entry.type +
              " are not seal signatures\n";
      j.Set("note", "not supported yet");
    } else if (isSeal && sig.hasSignedValue) {
      ObjectReport r = ReadObject(true, sig.signedValue);
      if (!options.picture.empty() &&
          !WritePictures(
              BaseName(options.picture) + "-" + std::to_string(i + 1), &r,
              &error))
        return InputError(file, error, options.json);
      text += "  Family: " + (r.family.empty() ? "unknown" : r.family) + "\n";
      text += ObjectText(r);
      AddObjectJson(r, &j);
    }
    j.Set("problems", sigProblems);
    list.Push(j);
  }
  if (signatures.empty()) text += "No signatures\n";
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
  if (!options.picture.empty() &&
      !WritePictures(BaseName(options.picture), &r, &error))
    return InputError(file, error, options.json);
  const char* kind = isSignature ? "signature" : "seal";
  if (options.json) {
    Json j = Json::Object();
    j.Set("file", file).Set("kind", kind);
    AddObjectJson(r, &j);
    std::cout << j.Dump() << "\n";
  } else {
    std::cout << "File: " << file << "\n"
              << (isSignature ? "Seal signature" : "Seal") << ", "
              << (r.family.empty() ? "unknown" : r.family) << " family\n"
              << ObjectText(r);
  }
  return kExitOk;
}

}  // namespace ofdseal
