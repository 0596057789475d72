#include "folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>

namespace skfsoft {
namespace {

// Our own entries of a folder: temporary files, staged and discarded folders.
const char kTransientPrefix[] = ".tmp-";
const char kLockName[] = ".lock";
// Device folders nest four levels; anything deeper is not ours to remove.
const int kMaxRemoveDepth = 8;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// A transient name no other writer uses: the process, a counter and the
// clock; O_EXCL settles the rest.
std::string TransientName() {
  static std::atomic<unsigned long> counter{0};
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return kTransientPrefix + std::to_string(getpid()) + "-" +
         std::to_string(counter++) + "-" + std::to_string(now.tv_nsec);
}

bool IsComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos;
}

// Every entry name of `dir` but "." and "..", unsorted.
std::vector<std::string> EntryNames(int dir) {
  std::vector<std::string> names;
  int copy = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return names;
  DirHandle stream(fdopendir(copy));
  if (!stream) {
    close(copy);
    return names;
  }
  while (struct dirent* entry = readdir(stream.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

bool StatAt(int dir, const std::string& name, struct stat* st) {
  return fstatat(dir, name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Removes `name` of `dir` and, for a folder, everything below it; symbolic
// links are removed themselves.
bool RemoveTree(int dir, const std::string& name, int depth) {
  struct stat st = {};
  if (!StatAt(dir, name, &st)) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlinkat(dir, name.c_str(), 0) == 0;
  if (depth >= kMaxRemoveDepth) return false;
  Fd sub(openat(dir, name.c_str(),
                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!sub.valid()) return false;
  bool ok = true;
  for (const std::string& entry : EntryNames(sub.get()))
    ok = RemoveTree(sub.get(), entry, depth + 1) && ok;
  return ok && unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

// Removes what writers that died left in `dir`. Only called under the device
// lock: every writer holds it while its transient entries exist, so any such
// entry seen now belongs to nobody.
void SweepTransient(int dir) {
  for (const std::string& name : EntryNames(dir))
    if (name.compare(0, sizeof kTransientPrefix - 1, kTransientPrefix) == 0)
      RemoveTree(dir, name, 0);
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool MakeFolders(const std::string& path) {
  struct stat st = {};
  if (path.empty() || stat(path.c_str(), &st) == 0) return true;
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 &&
      !MakeFolders(path.substr(0, slash)))
    return false;
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

bool ValidName(const std::string& name, size_t maxLength) {
  if (name.empty() || name.size() > maxLength || name[0] == '.') return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  return true;
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) close(fd_);
}

Fd OpenFolder(const std::string& path,
              const std::vector<std::string>& components, bool create) {
  if (path.empty() || (create && !MakeFolders(path))) return Fd();
  Fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (const std::string& name : components) {
    if (!dir.valid()) break;
    if (!IsComponent(name)) {
      errno = EINVAL;
      return Fd();
    }
    if (create && mkdirat(dir.get(), name.c_str(), 0700) != 0 &&
        errno != EEXIST)
      return Fd();
    dir = Fd(openat(dir.get(), name.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return dir;
}

ReadStatus ReadFileAt(int dir, const std::string& name, std::string* bytes) {
  if (!IsComponent(name)) return ReadStatus::kFailed;
  Fd file(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid())
    return errno == ENOENT ? ReadStatus::kMissing : ReadStatus::kFailed;
  struct stat st = {};
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > kMaxFileSize)
    return ReadStatus::kFailed;
  std::string out;
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  // The size is what fstat saw; a file replaced meanwhile was renamed over,
  // so this open file does not change under us.
  while (done < out.size()) {
    ssize_t n = read(file.get(), &out[done], out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ReadStatus::kFailed;
    done += static_cast<size_t>(n);
  }
  *bytes = std::move(out);
  return ReadStatus::kOk;
}

ReadStatus FileSizeAt(int dir, const std::string& name, size_t* size) {
  struct stat st = {};
  if (!IsComponent(name)) return ReadStatus::kFailed;
  if (!StatAt(dir, name, &st))
    return errno == ENOENT ? ReadStatus::kMissing : ReadStatus::kFailed;
  if (!S_ISREG(st.st_mode)) return ReadStatus::kFailed;
  *size = static_cast<size_t>(st.st_size);
  return ReadStatus::kOk;
}

bool IsFolderAt(int dir, const std::string& name) {
  struct stat st = {};
  return IsComponent(name) && StatAt(dir, name, &st) && S_ISDIR(st.st_mode);
}

bool IsFileAt(int dir, const std::string& name) {
  struct stat st = {};
  return IsComponent(name) && StatAt(dir, name, &st) && S_ISREG(st.st_mode);
}

std::vector<std::string> ListFolders(int dir, const std::string& marker) {
  std::vector<std::string> names;
  for (const std::string& name : EntryNames(dir)) {
    if (!ValidName(name, kMaxNameLength) || !IsFolderAt(dir, name)) continue;
    // name is a real folder (checked above), so the path is not redirected.
    struct stat st = {};
    if (!marker.empty() &&
        (!StatAt(dir, name + "/" + marker, &st) || !S_ISREG(st.st_mode)))
      continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ListFiles(int dir) {
  std::vector<std::string> names;
  for (const std::string& name : EntryNames(dir))
    if (ValidName(name, kMaxFileNameLength) && IsFileAt(dir, name))
      names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

bool DeviceLock::Acquire(int deviceDir) {
  Fd fd(openat(deviceDir, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
               0600));
  if (!fd.valid()) return false;
  int rc;
  do {
    rc = flock(fd.get(), LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  fd_ = std::move(fd);
  return true;
}

bool WriteFileAtomic(const DeviceLock& lock, int dir, const std::string& name,
                     const std::string& bytes) {
  if (!lock.held() || !IsComponent(name)) return false;
  std::string temp;
  Fd file;
  for (int attempt = 0; attempt < 16 && !file.valid(); ++attempt) {
    temp = TransientName();
    file =
        Fd(openat(dir, temp.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid() && errno != EEXIST) return false;
  }
  if (!file.valid()) return false;
  bool ok = WriteAll(file.get(), bytes) && fsync(file.get()) == 0;
  // Closing reports late write errors (network file systems).
  ok = close(file.release()) == 0 && ok;
  // rename replaces a symbolic link at `name` itself, never its target.
  ok = ok && renameat(dir, temp.c_str(), dir, name.c_str()) == 0;
  if (!ok) {
    unlinkat(dir, temp.c_str(), 0);
    return false;
  }
  fsync(dir);
  SweepTransient(dir);
  return true;
}

bool RemoveFileAt(const DeviceLock& lock, int dir, const std::string& name) {
  if (!lock.held() || !IsComponent(name)) return false;
  if (unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) return false;
  fsync(dir);
  return true;
}

bool RemoveFolderAt(const DeviceLock& lock, int dir, const std::string& name) {
  if (!lock.held() || !IsComponent(name)) return false;
  std::string away = TransientName();
  if (renameat(dir, name.c_str(), dir, away.c_str()) != 0)
    return errno == ENOENT;
  fsync(dir);
  SweepTransient(dir);
  return true;
}

bool MakeStagingFolder(const DeviceLock& lock, int dir, std::string* name) {
  if (!lock.held()) return false;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string candidate = TransientName();
    if (mkdirat(dir, candidate.c_str(), 0700) == 0) {
      *name = candidate;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool ReplaceFolderAt(const DeviceLock& lock, int dir, const std::string& staged,
                     const std::string& name) {
  if (!lock.held() || !IsComponent(staged) || !IsComponent(name)) return false;
  bool ok = false;
  if (IsFolderAt(dir, name)) {
    // The staged folder and the old one trade names in one step; the old one
    // then carries the transient name and is swept below.
    ok =
        renameat2(dir, staged.c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0;
    if (!ok && errno == EINVAL) {
      // File systems without the exchange: the old folder goes first.
      ok = RemoveFolderAt(lock, dir, name) &&
           renameat(dir, staged.c_str(), dir, name.c_str()) == 0;
    }
  } else {
    struct stat st = {};
    // Anything else under that name (a file, a symbolic link) is replaced.
    if (StatAt(dir, name, &st)) unlinkat(dir, name.c_str(), 0);
    ok = renameat2(dir, staged.c_str(), dir, name.c_str(), RENAME_NOREPLACE) ==
         0;
  }
  if (ok) fsync(dir);
  SweepTransient(dir);
  return ok;
}

IniText::IniText(std::string text) : text_(std::move(text)) {}

namespace {

std::string Trim(const std::string& s) {
  size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  size_t end = s.find_last_not_of(" \t\r");
  return s.substr(begin, end - begin + 1);
}

// Calls visit(key, value, lineBegin, lineEnd) for each "key=value" line.
template <class Visit>
void ForEachEntry(const std::string& text, Visit&& visit) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(begin, end - begin));
    size_t eq = line.find('=');
    if (!line.empty() && line[0] != '#' && line[0] != ';' && line[0] != '[' &&
        eq != std::string::npos)
      visit(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), begin, end);
    begin = end + 1;
  }
}

}  // namespace

bool IniText::Has(const std::string& key) const {
  bool found = false;
  ForEachEntry(text_, [&](const std::string& k, const std::string&, size_t,
                          size_t) { found = found || k == key; });
  return found;
}

std::string IniText::Get(const std::string& key,
                         const std::string& otherwise) const {
  std::string value = otherwise;
  ForEachEntry(text_,
               [&](const std::string& k, const std::string& v, size_t, size_t) {
                 if (k == key) value = v;
               });
  return value;
}

unsigned long IniText::GetNumber(const std::string& key,
                                 unsigned long otherwise) const {
  std::string text = Get(key);
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return otherwise;
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  return value > 0xFFFFFFFFull ? otherwise : static_cast<unsigned long>(value);
}

void IniText::Set(const std::string& key, const std::string& value) {
  size_t lineBegin = std::string::npos;
  size_t lineEnd = 0;
  ForEachEntry(
      text_, [&](const std::string& k, const std::string&, size_t b, size_t e) {
        if (k == key) {
          lineBegin = b;
          lineEnd = e;
        }
      });
  const std::string line = key + "=" + value;
  if (lineBegin != std::string::npos) {
    text_.replace(lineBegin, lineEnd - lineBegin, line);
    return;
  }
  if (!text_.empty() && text_.back() != '\n') text_ += '\n';
  text_ += line + "\n";
}

bool DecodeHex(const std::string& hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  std::string out;
  out.reserve(hex.size() / 2);
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = nibble(hex[i]);
    int low = nibble(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high << 4 | low));
  }
  *bytes = std::move(out);
  return true;
}

std::string EncodeHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

}  // namespace skfsoft
