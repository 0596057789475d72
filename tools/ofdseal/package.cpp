#include "package.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace ofdseal {
namespace {

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// "C:", "file:", "http:" at the start of a location: outside any package.
bool HasSchemeOrDrive(const std::string& loc) {
  size_t i = 0;
  if (i >= loc.size() || !std::isalpha(static_cast<unsigned char>(loc[i])))
    return false;
  while (i < loc.size() && (std::isalnum(static_cast<unsigned char>(loc[i])) ||
                            loc[i] == '+' || loc[i] == '.' || loc[i] == '-'))
    ++i;
  return i < loc.size() && loc[i] == ':';
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The package path of an archive entry name, or false when the name is
// hostile: absolute, with a drive or scheme, or with a ".." segment.
bool EntryPath(std::string name, std::string* path) {
  std::replace(name.begin(), name.end(), '\\', '/');
  if (name.empty() || name[0] == '/' || HasSchemeOrDrive(name)) return false;
  std::string out;
  for (const std::string& part : Split(name)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    out += "/" + part;
  }
  *path = out.empty() ? "/" : out;
  return true;
}

}  // namespace

const char* PartStatusText(PartStatus status) {
  switch (status) {
    case PartStatus::kOk:
      return "ok";
    case PartStatus::kMissing:
      return "missing";
    case PartStatus::kBadPath:
      return "path leaves the package";
    case PartStatus::kTooLarge:
      return "too large";
    case PartStatus::kUnreadable:
      return "unreadable";
  }
  return "unreadable";
}

bool ResolveLocation(const std::string& baseDir, const std::string& loc,
                     std::string* path) {
  std::string text = loc;
  // Locations come from XML text: surrounding blanks are not part of them.
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return false;
  text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
  if (text.find('\0') != std::string::npos || HasSchemeOrDrive(text))
    return false;
  std::replace(text.begin(), text.end(), '\\', '/');
  std::vector<std::string> stack;
  if (text[0] != '/') {
    for (const std::string& part : Split(baseDir))
      if (!part.empty()) stack.push_back(part);
  }
  for (const std::string& part : Split(text)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (stack.empty()) return false;  // above the package root
      stack.pop_back();
      continue;
    }
    stack.push_back(part);
  }
  if (stack.empty()) return false;  // the root itself is no part
  path->clear();
  for (const std::string& part : stack) *path += "/" + part;
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

bool Package::Open(const std::string& file, const Limits& limits,
                   std::string* error) {
  limits_ = limits;
  int code = 0;
  // Names, sizes and CRCs come from the central directory. The local headers
  // are not held to it: writers that stream their output leave CRC and
  // sizes zero there, with or without the data-descriptor flag. Reading an
  // entry checks its CRC all the same.
  archive_.reset(zip_open(file.c_str(), ZIP_RDONLY, &code));
  if (!archive_) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    *error = "cannot open '" + file +
             "' as an OFD package: " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return false;
  }
  return Index(file, error);
}

bool Package::OpenBytes(const std::string& bytes, const std::string& file,
                        const Limits& limits, std::string* error) {
  limits_ = limits;
  zip_error_t ze;
  zip_error_init(&ze);
  zip_source_t* source =
      zip_source_buffer_create(bytes.data(), bytes.size(), 0, &ze);
  if (source != nullptr)
    archive_.reset(zip_open_from_source(source, ZIP_RDONLY, &ze));
  if (!archive_) {
    if (source != nullptr) zip_source_free(source);  // not taken
    *error = "cannot open '" + file +
             "' as an OFD package: " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return false;
  }
  zip_error_fini(&ze);
  return Index(file, error);
}

bool Package::Index(const std::string& file, std::string* error) {
  zip_int64_t count = zip_get_num_entries(archive_.get(), 0);
  if (count < 0) {
    *error = "'" + file + "': unreadable ZIP directory";
    return false;
  }
  if (static_cast<uint64_t>(count) > limits_.maxEntries) {
    *error = "limit exceeded: '" + file + "' has " + std::to_string(count) +
             " entries, more than the limit of " +
             std::to_string(limits_.maxEntries) + " (--max-entries)";
    return false;
  }
  for (uint64_t i = 0; i < static_cast<uint64_t>(count); ++i) {
    const char* raw = zip_get_name(archive_.get(), i, ZIP_FL_ENC_RAW);
    if (raw == nullptr) {
      *error = "'" + file + "': unreadable entry name";
      return false;
    }
    std::string name = raw;
    if (!name.empty() && (name.back() == '/' || name.back() == '\\'))
      continue;  // a directory: nothing to read
    std::string path;
    if (!EntryPath(name, &path)) {
      *error = "'" + file + "': entry name leaves the package: " + name;
      return false;
    }
    if (!byName_.emplace(path, i).second) {
      *error = "'" + file + "': two entries named " + path;
      return false;
    }
    paths_.push_back(path);
    std::string lower = Lower(path);
    if (!byLowerName_.emplace(lower, i).second) ambiguousLower_.insert(lower);
  }
  return true;
}

bool Package::Find(const std::string& path, uint64_t* index) const {
  auto exact = byName_.find(path);
  if (exact != byName_.end()) {
    *index = exact->second;
    return true;
  }
  std::string lower = Lower(path);
  auto folded = byLowerName_.find(lower);
  if (folded == byLowerName_.end() || ambiguousLower_.count(lower))
    return false;
  *index = folded->second;
  return true;
}

bool Package::EntryIndex(const std::string& path, uint64_t* index) const {
  auto exact = byName_.find(path);
  if (exact == byName_.end()) return false;
  *index = exact->second;
  return true;
}

std::vector<std::string> Package::Paths() const { return paths_; }

bool Package::Exists(const std::string& path) const {
  uint64_t index = 0;
  return Find(path, &index);
}

namespace {

// Parts of at most this size stay in memory once read, up to kCacheBytes in
// all: OFD.xml and Signature.xml files are digested again as references.
const uint64_t kCachePart = 1ull << 20;
const uint64_t kCacheBytes = 16ull << 20;

struct FileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};

}  // namespace

void Package::Refuse(const std::string& reason) {
  if (fatal_.empty()) fatal_ = reason;
}

bool Package::Charge(uint64_t bytes, const std::string& what) {
  if (bytes > remaining()) {
    Refuse("limit exceeded: the package inflates to more than the limit of " +
           std::to_string(limits_.maxInflated) + " bytes (--max-size; at " +
           what + ")");
    return false;
  }
  inflated_ += bytes;
  return true;
}

PartStatus Package::Read(const std::string& path, std::string* bytes,
                         uint64_t maxSize) {
  bytes->clear();
  uint64_t index = 0;
  if (!fatal_.empty()) return PartStatus::kTooLarge;
  if (!archive_ || !Find(path, &index)) return PartStatus::kMissing;
  auto cached = cache_.find(index);
  if (cached != cache_.end()) {
    if (cached->second.size() > maxSize) return PartStatus::kTooLarge;
    *bytes = cached->second;
    return PartStatus::kOk;
  }
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(archive_.get(), index, 0, &st) != 0 ||
      !(st.valid & ZIP_STAT_SIZE))
    return PartStatus::kUnreadable;
  if (st.size > maxSize) return PartStatus::kTooLarge;
  if (!Charge(st.size, path)) return PartStatus::kTooLarge;
  std::unique_ptr<zip_file_t, FileCloser> in(
      zip_fopen_index(archive_.get(), index, 0));
  if (!in) return PartStatus::kUnreadable;
  // Never more than the declared size: an entry that inflates further is
  // refused rather than followed. The read past the end is where libzip
  // compares the entry's CRC; a mismatch fails it.
  bytes->resize(static_cast<size_t>(st.size));
  uint64_t done = 0;
  while (done < st.size) {
    zip_int64_t n = zip_fread(in.get(), &(*bytes)[done], st.size - done);
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  char extra = 0;
  if (done != st.size || zip_fread(in.get(), &extra, 1) != 0) {
    bytes->clear();
    return PartStatus::kUnreadable;
  }
  if (st.size <= kCachePart && st.size <= kCacheBytes - cached_) {
    cache_.emplace(index, *bytes);
    cached_ += st.size;
  }
  return PartStatus::kOk;
}

PartStatus Package::Stream(uint64_t index, const std::string& path,
                           DigestSink* sink) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(archive_.get(), index, 0, &st) != 0 ||
      !(st.valid & ZIP_STAT_SIZE))
    return PartStatus::kUnreadable;
  if (!Charge(st.size, path)) return PartStatus::kTooLarge;
  std::unique_ptr<zip_file_t, FileCloser> in(
      zip_fopen_index(archive_.get(), index, 0));
  if (!in) return PartStatus::kUnreadable;
  // As in Read: never more than the declared size, and the read past the
  // end is where libzip checks the CRC.
  static const size_t kPiece = 64 << 10;
  std::unique_ptr<unsigned char[]> piece(new unsigned char[kPiece]);
  uint64_t done = 0;
  while (done < st.size) {
    const uint64_t want = std::min<uint64_t>(kPiece, st.size - done);
    const zip_int64_t n = zip_fread(in.get(), piece.get(), want);
    if (n <= 0) break;
    sink->Update(piece.get(), static_cast<size_t>(n));
    done += static_cast<uint64_t>(n);
  }
  char extra = 0;
  if (done != st.size || zip_fread(in.get(), &extra, 1) != 0)
    return PartStatus::kUnreadable;
  return PartStatus::kOk;
}

PartStatus Package::Digest(const std::string& path, unsigned int algorithm,
                           const SinkFactory& open,
                           const DigestFunction& compute, std::string* digest) {
  digest->clear();
  uint64_t index = 0;
  if (!fatal_.empty()) return PartStatus::kTooLarge;
  if (!archive_ || !Find(path, &index)) return PartStatus::kMissing;
  auto known = digests_.find({index, algorithm});
  if (known != digests_.end()) {
    *digest = known->second;
    return PartStatus::kOk;
  }
  std::unique_ptr<DigestSink> sink = open ? open() : nullptr;
  auto cached = cache_.find(index);
  PartStatus status = PartStatus::kOk;
  bool computed = false;
  if (sink && cached != cache_.end()) {
    sink->Update(reinterpret_cast<const unsigned char*>(cached->second.data()),
                 cached->second.size());
    computed = sink->Final(digest);
  } else if (sink) {
    status = Stream(index, path, sink.get());
    if (status != PartStatus::kOk) return status;
    computed = sink->Final(digest);
  } else {
    std::string bytes;
    status = Read(path, &bytes);
    if (status != PartStatus::kOk) return status;
    computed = compute(bytes, digest);
  }
  if (!computed) {
    digest->clear();
    return PartStatus::kOk;
  }
  digests_.emplace(std::make_pair(index, algorithm), *digest);
  return PartStatus::kOk;
}

}  // namespace ofdseal
