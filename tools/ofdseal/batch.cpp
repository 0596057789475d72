#include "batch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "cli.h"
#include "text.h"

namespace ofdseal {
namespace {

namespace fs = std::filesystem;

// One document's outcome, rendered for printing in order.
struct FileResult {
  std::string out;    // text report, or JSON report
  std::string error;  // one line for standard error, or empty
  int verdict = OFDSEAL_UNREADABLE;
  int exit = kExitOk;
};

FileResult Failed(const std::string& file, const std::string& message,
                  bool json) {
  FileResult r;
  r.error = "ofdseal: " + EscapeText(message) + "\n";
  if (json)
    r.out = Json::Object()
                .Set("file", file)
                .Set("verdict", "error")
                .Set("error", message)
                .Dump();
  r.exit = kExitUsage;
  return r;
}

FileResult VerifyOne(const std::string& file, const ofdseal_options* verify,
                     bool json) {
  char* report = nullptr;
  const int verdict = ofdseal_verify_file(file.c_str(), verify, &report);
  const std::unique_ptr<char, decltype(&ofdseal_free)> owned(report,
                                                             ofdseal_free);
  if (report == nullptr) return Failed(file, "out of memory", json);
  FileResult r;
  r.verdict = verdict;
  r.out = report;
  switch (verdict) {
    case OFDSEAL_VALID:
    case OFDSEAL_VALID_UNTRUSTED:
      r.exit = kExitOk;
      break;
    case OFDSEAL_INVALID:
    case OFDSEAL_UNSIGNED:
      r.exit = kExitInvalid;
      break;
    default:
      // An unreadable file: the report is its JSON error report, or in text
      // the reason, which goes to standard error in both forms.
      r.exit = kExitUsage;
      r.error = "ofdseal: " +
                EscapeText(json ? JsonMemberText(report, "error") : report) +
                "\n";
      if (!json) r.out.clear();
      break;
  }
  return r;
}

// The documents the operands name: files as given, folders (with
// `recursive`) as their *.ofd files in name order. A folder without
// `recursive`, or one that cannot be walked, becomes an entry that fails.
struct Input {
  std::string file;
  std::string error;
};

bool IsOfdName(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext == ".ofd";
}

std::vector<Input> Expand(const std::vector<std::string>& operands,
                          bool recursive) {
  std::vector<Input> inputs;
  for (const std::string& operand : operands) {
    std::error_code ec;
    if (!fs::is_directory(operand, ec)) {
      inputs.push_back({operand, ""});
      continue;
    }
    if (!recursive) {
      inputs.push_back({operand, "cannot read '" + operand +
                                     "': not a regular file (a folder: -r "
                                     "verifies the OFD files below it)"});
      continue;
    }
    std::vector<std::string> found;
    fs::recursive_directory_iterator it(operand, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code typeError;
      if (it->is_regular_file(typeError) && IsOfdName(it->path()))
        found.push_back(it->path().string());
    }
    if (ec) {
      inputs.push_back({operand, "cannot read the folder '" + operand +
                                     "': " + ec.message()});
      continue;
    }
    std::sort(found.begin(), found.end());
    for (std::string& file : found) inputs.push_back({std::move(file), ""});
  }
  return inputs;
}

// A JSON text one level deeper, as Json::Dump writes the items of an array.
// Line breaks inside its strings are escapes, so every break is a member's.
std::string Indented(const std::string& json) {
  std::string out;
  for (char c : json) {
    out += c;
    if (c == '\n') out += "  ";
  }
  return out;
}

}  // namespace

int VerifyFiles(const std::vector<std::string>& operands,
                ofdseal_options* verify, const BatchOptions& options) {
  ofdseal_options_set(verify, OFDSEAL_OPT_TEXT_REPORT, options.json ? 0 : 1);
  const std::vector<Input> inputs = Expand(operands, options.recursive);
  std::error_code ec;
  // One operand that is not a folder walked with -r: the report alone.
  const bool single = operands.size() == 1 &&
                      !(options.recursive && fs::is_directory(operands[0], ec));
  std::vector<FileResult> results(inputs.size());
  std::vector<char> done(inputs.size(), 0);
  std::mutex mutex;
  std::condition_variable ready;
  std::atomic<size_t> next{0};
  auto verifyAt = [&](size_t i) {
    try {
      return inputs[i].error.empty()
                 ? VerifyOne(inputs[i].file, verify, options.json)
                 : Failed(inputs[i].file, inputs[i].error, options.json);
    } catch (const std::bad_alloc&) {
      return Failed(inputs[i].file, "out of memory", options.json);
    }
  };
  unsigned jobs = options.jobs != 0
                      ? options.jobs
                      : std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(std::min<size_t>(jobs, inputs.size()));
  // With several jobs, workers take the documents in order and the calling
  // thread prints each result once it and every one before it are done;
  // with one, the calling thread verifies and prints in turn.
  std::vector<std::thread> threads;
  for (unsigned t = 0; jobs > 1 && t < jobs; ++t)
    threads.emplace_back([&] {
      for (size_t i = next++; i < inputs.size(); i = next++) {
        FileResult r = verifyAt(i);
        std::lock_guard<std::mutex> lock(mutex);
        results[i] = std::move(r);
        done[i] = 1;
        ready.notify_all();
      }
    });
  int worst = kExitOk;
  size_t valid = 0, untrusted = 0, invalid = 0, unsigned_ = 0, failed = 0;
  // The reports of an array, each indented one level below it.
  std::string array;
  for (size_t i = 0; i < inputs.size(); ++i) {
    FileResult r;
    if (threads.empty()) {
      r = verifyAt(i);
    } else {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return done[i] != 0; });
      r = std::move(results[i]);
    }
    worst = std::max(worst, r.exit);
    switch (r.verdict) {
      case OFDSEAL_VALID:
        ++valid;
        break;
      case OFDSEAL_VALID_UNTRUSTED:
        ++untrusted;
        break;
      case OFDSEAL_INVALID:
        ++invalid;
        break;
      case OFDSEAL_UNSIGNED:
        ++unsigned_;
        break;
      default:
        ++failed;
    }
    std::cerr << r.error;
    if (options.json) {
      if (single)
        std::cout << r.out << "\n";
      else
        array += (array.empty() ? "[\n  " : ",\n  ") + Indented(r.out);
    } else {
      std::cout << r.out;
      if (!single && !r.out.empty()) std::cout << "\n";
    }
  }
  for (std::thread& t : threads) t.join();
  if (!single) {
    if (options.json)
      std::cout << (array.empty() ? "[]" : array + "\n]") << "\n";
    else
      std::cout << "Summary: " << inputs.size() << " document(s): " << valid
                << " valid, " << untrusted << " valid (untrusted), " << invalid
                << " invalid, " << unsigned_ << " unsigned, " << failed
                << " unreadable\n";
  }
  return worst;
}

}  // namespace ofdseal
