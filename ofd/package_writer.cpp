#include "package_writer.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace ofd {
namespace {

struct ZipDiscard {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipDiscard>;

struct SourceFree {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using ZipSource = std::unique_ptr<zip_source_t, SourceFree>;

// A file descriptor closed with its holder.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now; false when close reports an error (a write that failed
  // late).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

// The temporary file of a write, removed unless it was renamed.
class Temporary {
 public:
  explicit Temporary(std::string path) : path_(std::move(path)) {}
  ~Temporary() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  const std::string& path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

std::string Reason(int code) { return std::strerror(code); }

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool Sync(const std::string& path, int flags) {
  Fd fd(open(path.c_str(), flags | O_CLOEXEC));
  return fd.get() >= 0 && fsync(fd.get()) == 0;
}

// Renames `from` to `to`; without `replace`, only when `to` does not exist,
// decided by the kernel in the same step so that a file made meanwhile is
// never overwritten.
bool Publish(const std::string& from, const std::string& to, bool replace) {
  if (replace) return rename(from.c_str(), to.c_str()) == 0;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without RENAME_NOREPLACE: a hard link fails the same way
  // on an existing name.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

bool ApplyEdits(zip_t* archive, const PackageEdits& edits, std::string* error) {
  for (const auto& [index, bytes] : edits.replaced) {
    // The buffers outlive the archive's close, where they are read.
    ZipSource source(zip_source_buffer(archive, bytes.data(), bytes.size(), 0));
    if (!source || zip_file_replace(archive, index, source.get(), 0) != 0) {
      *error = std::string("cannot replace an entry: ") + zip_strerror(archive);
      return false;
    }
    source.release();  // the archive owns it now
  }
  for (const auto& [name, bytes] : edits.added) {
    ZipSource source(zip_source_buffer(archive, bytes.data(), bytes.size(), 0));
    if (!source || zip_file_add(archive, name.c_str(), source.get(),
                                ZIP_FL_ENC_UTF_8) < 0) {
      *error = "cannot add " + name + ": " + zip_strerror(archive);
      return false;
    }
    source.release();  // the archive owns it now
  }
  return true;
}

}  // namespace

bool WritePackage(const std::string& original, const PackageEdits& edits,
                  const std::string& path, bool replace, std::string* error) {
  const auto fail = [&](const std::string& why) {
    *error = "cannot write '" + path + "': " + why;
    return false;
  };
  struct stat st;
  if (!replace && lstat(path.c_str(), &st) == 0)
    return fail("the file exists (--force replaces it)");
  // O_EXCL creates the name or fails, a symbolic link of that name too.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  std::string name;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    name = path + ".tmp-" + std::to_string(getpid()) + "-" +
           std::to_string(attempt);
    fd = open(name.c_str(), flags, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(Reason(errno));
  Temporary temporary(name);
  Fd out(fd);
  if (!WriteAll(out.get(), original) || !out.Close())
    return fail(Reason(errno));
  // libzip rewrites the copy: unchanged entries keep their stored bytes,
  // written in index order, replaced ones keep their index, added ones
  // follow. It writes a file of its own beside the copy and renames it over
  // the copy.
  int code = 0;
  ZipArchive archive(zip_open(temporary.path().c_str(), 0, &code));
  if (!archive) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    const std::string why = zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return fail("the input is not a readable ZIP archive: " + why);
  }
  std::string why;
  if (!ApplyEdits(archive.get(), edits, &why)) return fail(why);
  if (zip_close(archive.get()) != 0) return fail(zip_strerror(archive.get()));
  archive.release();  // closed: zip_close freed it
  if (!Sync(temporary.path(), O_RDONLY)) return fail(Reason(errno));
  if (!Publish(temporary.path(), path, replace))
    return fail(errno == EEXIST ? "the file exists (--force replaces it)"
                                : Reason(errno));
  temporary.Keep();
  Sync(FolderOf(path), O_RDONLY | O_DIRECTORY);
  return true;
}

}  // namespace ofd
