// libofdseal's C interface (ofdseal.h): the verify command's work on one
// file, behind plain C functions that never let an exception out.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "cli.h"
#include "ofdseal.h"
#include "package.h"
#include "text.h"
#include "trust.h"
#include "verify.h"

// The trust anchors are built from the settings when they are first needed
// and kept until a setting changes. Verifications take a reference to the
// built store, so a later change never pulls it from under them.
struct ofdseal_options {
  bool defaultTrust = true;
  bool textReport = false;
  ofdseal::Limits limits;
  std::vector<std::string> trustFiles;  // in the order added

  struct Anchors {
    ofdseal::TrustStore store;
    std::vector<std::string> skipped;  // files of the folders not used
    std::string error;                 // a trust file no longer usable
  };
  mutable std::mutex mutex;
  mutable std::shared_ptr<const Anchors> anchors;
};

namespace {

using Anchors = ofdseal_options::Anchors;

// The folders first, then the files, as the verify command reads them: the
// report lists the files in that order.
std::shared_ptr<const Anchors> BuildAnchors(const ofdseal_options& options) {
  auto built = std::make_shared<Anchors>();
  if (options.defaultTrust)
    for (const std::string& dir : ofdseal::DefaultTrustFolders())
      built->store.AddFolder(dir, &built->skipped);
  for (const std::string& file : options.trustFiles) {
    std::string error;
    if (!built->store.AddFile(file, &error)) {
      built->error = "--trust " + error;
      break;
    }
  }
  return built;
}

std::shared_ptr<const Anchors> AnchorsOf(const ofdseal_options& options) {
  std::lock_guard<std::mutex> lock(options.mutex);
  if (!options.anchors) options.anchors = BuildAnchors(options);
  return options.anchors;
}

// A copy in malloc'd memory, which ofdseal_free releases; throws
// std::bad_alloc like the rest.
char* Copy(const std::string& text) {
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out == nullptr) throw std::bad_alloc();
  std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

// Runs an export's work and keeps every exception inside: the work throws
// std::bad_alloc only (a verification turns its own failures into reports),
// and whatever else could come is answered alike, with no report.
template <class Work>
int Guard(Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    return OFDSEAL_NO_MEMORY;
  }
}

// The report of a file that could not be verified, in the chosen form.
int Unreadable(const std::string& file, const std::string& message, bool text,
               char** report) {
  *report = Copy(text ? message
                      : ofdseal::Json::Object()
                            .Set("file", file)
                            .Set("verdict", "error")
                            .Set("error", message)
                            .Dump());
  return OFDSEAL_UNREADABLE;
}

int VerdictCode(const std::string& verdict) {
  if (verdict == "valid") return OFDSEAL_VALID;
  if (verdict == "valid (untrusted)") return OFDSEAL_VALID_UNTRUSTED;
  if (verdict == "unsigned") return OFDSEAL_UNSIGNED;
  return OFDSEAL_INVALID;
}

int VerifyFile(const std::string& file, const ofdseal_options& options,
               char** report) {
  const std::shared_ptr<const Anchors> anchors = AnchorsOf(options);
  const bool text = options.textReport;
  if (!anchors->error.empty())
    return Unreadable(file, anchors->error, text, report);
  std::string error;
  if (!ofdseal::CheckInputFile(file, &error))
    return Unreadable(file, error, text, report);
  ofdseal::Package package;
  if (!package.Open(file, options.limits, &error))
    return Unreadable(file, error, text, report);
  ofdseal::VerifyReport result;
  result.file = file;
  if (!ofdseal::VerifyPackage(package, anchors->store, &result, &error))
    return Unreadable(file, error, text, report);
  *report = Copy(text ? ofdseal::VerifyText(result)
                      : ofdseal::VerifyJson(result).Dump());
  return VerdictCode(result.verdict);
}

}  // namespace

extern "C" {

ofdseal_options* ofdseal_options_new(void) {
  return new (std::nothrow) ofdseal_options();
}

void ofdseal_options_free(ofdseal_options* options) { delete options; }

int ofdseal_options_set(ofdseal_options* options, int option, uint64_t value) {
  if (options == nullptr) return OFDSEAL_BAD_ARGUMENT;
  std::lock_guard<std::mutex> lock(options->mutex);
  ofdseal::Limits& limits = options->limits;
  uint64_t* limit = nullptr;
  switch (option) {
    case OFDSEAL_OPT_DEFAULT_TRUST:
      if (value > 1) return OFDSEAL_BAD_ARGUMENT;
      if (options->defaultTrust != (value == 1)) options->anchors.reset();
      options->defaultTrust = value == 1;
      return OFDSEAL_OK;
    case OFDSEAL_OPT_TEXT_REPORT:
      if (value > 1) return OFDSEAL_BAD_ARGUMENT;
      options->textReport = value == 1;
      return OFDSEAL_OK;
    case OFDSEAL_OPT_MAX_ENTRIES:
      limit = &limits.maxEntries;
      break;
    case OFDSEAL_OPT_MAX_SIZE:
      limit = &limits.maxInflated;
      break;
    case OFDSEAL_OPT_MAX_DOCUMENTS:
      limit = &limits.maxDocuments;
      break;
    case OFDSEAL_OPT_MAX_SIGNATURES:
      limit = &limits.maxSignatures;
      break;
    case OFDSEAL_OPT_MAX_REFERENCES:
      limit = &limits.maxReferences;
      break;
    case OFDSEAL_OPT_MAX_XML_SIZE:
      limit = &limits.maxXmlSize;
      break;
    case OFDSEAL_OPT_MAX_XML_DEPTH:
      limit = &limits.maxXmlDepth;
      break;
    default:
      return OFDSEAL_BAD_ARGUMENT;
  }
  if (value == 0) return OFDSEAL_BAD_ARGUMENT;
  *limit = value;
  return OFDSEAL_OK;
}

int ofdseal_options_add_trust(ofdseal_options* options, const char* pem_file,
                              char** error) {
  if (error != nullptr) *error = nullptr;
  if (options == nullptr || pem_file == nullptr) return OFDSEAL_BAD_ARGUMENT;
  return Guard([&] {
    // Read once now, so that a broken file is reported to the caller who
    // named it; the anchors are rebuilt with it when next needed.
    ofdseal::TrustStore check;
    std::string reason;
    if (!check.AddFile(pem_file, &reason)) {
      if (error != nullptr) *error = Copy(reason);
      return static_cast<int>(OFDSEAL_UNREADABLE);
    }
    std::lock_guard<std::mutex> lock(options->mutex);
    options->trustFiles.push_back(pem_file);
    options->anchors.reset();
    return static_cast<int>(OFDSEAL_OK);
  });
}

int ofdseal_options_load_trust(ofdseal_options* options, char** warnings) {
  if (warnings != nullptr) *warnings = nullptr;
  if (options == nullptr) return OFDSEAL_BAD_ARGUMENT;
  return Guard([&] {
    const std::shared_ptr<const Anchors> anchors = AnchorsOf(*options);
    if (warnings != nullptr && !anchors->skipped.empty()) {
      std::string lines;
      for (const std::string& why : anchors->skipped) lines += why + "\n";
      *warnings = Copy(lines);
    }
    return static_cast<int>(OFDSEAL_OK);
  });
}

int ofdseal_verify_file(const char* path, const ofdseal_options* options,
                        char** report) {
  if (report == nullptr) return OFDSEAL_BAD_ARGUMENT;
  *report = nullptr;
  if (path == nullptr) return OFDSEAL_BAD_ARGUMENT;
  const bool text = options != nullptr && options->textReport;
  return Guard([&] {
    try {
      if (options != nullptr) return VerifyFile(path, *options, report);
      const ofdseal_options defaults;
      return VerifyFile(path, defaults, report);
    } catch (const std::bad_alloc&) {
      // The verification ran out of memory; what it freed on the way out
      // may still carry the report that says so.
      return Unreadable(path, "out of memory", text, report);
    } catch (const std::exception& e) {
      return Unreadable(path, e.what(), text, report);
    }
  });
}

void ofdseal_free(void* text) { std::free(text); }

}  // extern "C"
