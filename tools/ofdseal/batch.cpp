#include "batch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>

#include "cli.h"
#include "text.h"
#include "verify.h"

namespace ofdseal {
namespace {

namespace fs = std::filesystem;

// One document's outcome, rendered for printing in order.
struct FileResult {
  std::string out;    // text report, or JSON report
  std::string error;  // one line for standard error, or empty
  std::string verdict;
  Json json;
  int exit = kExitOk;
};

FileResult Failed(const std::string& file, const std::string& message) {
  FileResult r;
  r.error = "ofdseal: " + EscapeText(message) + "\n";
  r.verdict = "error";
  r.json = Json::Object()
               .Set("file", file)
               .Set("verdict", "error")
               .Set("error", message);
  r.exit = kExitUsage;
  return r;
}

FileResult VerifyOne(const std::string& file, const TrustStore& trust,
                     const BatchOptions& options) {
  std::string error;
  if (!CheckInputFile(file, &error)) return Failed(file, error);
  Package package;
  if (!package.Open(file, options.limits, &error)) return Failed(file, error);
  VerifyReport report;
  report.file = file;
  if (!VerifyPackage(package, trust, &report, &error))
    return Failed(file, error);
  FileResult r;
  r.verdict = report.verdict;
  if (options.json)
    r.json = VerifyJson(report);
  else
    r.out = VerifyText(report);
  r.exit = report.verdict == "valid" || report.verdict == "valid (untrusted)"
               ? kExitOk
               : kExitInvalid;
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

}  // namespace

int VerifyFiles(const std::vector<std::string>& operands,
                const TrustStore& trust, const BatchOptions& options) {
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
  auto verify = [&](size_t i) {
    try {
      return inputs[i].error.empty()
                 ? VerifyOne(inputs[i].file, trust, options)
                 : Failed(inputs[i].file, inputs[i].error);
    } catch (const std::bad_alloc&) {
      return Failed(inputs[i].file, "out of memory");
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
        FileResult r = verify(i);
        std::lock_guard<std::mutex> lock(mutex);
        results[i] = std::move(r);
        done[i] = 1;
        ready.notify_all();
      }
    });
  int worst = kExitOk;
  size_t valid = 0, untrusted = 0, invalid = 0, unsigned_ = 0, failed = 0;
  Json array = Json::Array();
  for (size_t i = 0; i < inputs.size(); ++i) {
    FileResult r;
    if (threads.empty()) {
      r = verify(i);
    } else {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return done[i] != 0; });
      r = std::move(results[i]);
    }
    worst = std::max(worst, r.exit);
    if (r.verdict == "valid") ++valid;
    else if (r.verdict == "valid (untrusted)") ++untrusted;
    else if (r.verdict == "unsigned") ++unsigned_;
    else if (r.verdict == "error") ++failed;
    else ++invalid;
    std::cerr << r.error;
    if (options.json) {
      if (single)
        std::cout << r.json.Dump() << "\n";
      else
        array.Push(std::move(r.json));
    } else {
      std::cout << r.out;
      if (!single && !r.out.empty()) std::cout << "\n";
    }
  }
  for (std::thread& t : threads) t.join();
  if (!single) {
    if (options.json)
      std::cout << array.Dump() << "\n";
    else
      std::cout << "Summary: " << inputs.size() << " document(s): " << valid
                << " valid, " << untrusted << " valid (untrusted), " << invalid
                << " invalid, " << unsigned_ << " unsigned, " << failed
                << " unreadable\n";
  }
  return worst;
}

}  // namespace ofdseal
