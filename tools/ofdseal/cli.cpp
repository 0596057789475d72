#include "cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "text.h"

namespace ofdseal {

int InputError(const std::string& file, const std::string& message, bool json) {
  if (json) {
    std::cout << Json::Object()
                     .Set("file", file)
                     .Set("verdict", "error")
                     .Set("error", message)
                     .Dump()
              << "\n";
  }
  std::cerr << "ofdseal: " << EscapeText(message) << "\n";
  return kExitUsage;
}

bool CheckInputFile(const std::string& path, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "cannot read '" + path + "': not a regular file";
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, uint64_t limit, std::string* bytes,
                   std::string* error) {
  if (!CheckInputFile(path, error)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size < 0 || static_cast<uint64_t>(size) > limit) {
    *error = "'" + path + "' is larger than the limit of " +
             std::to_string(limit) + " bytes";
    return false;
  }
  bytes->resize(static_cast<size_t>(size));
  if (size > 0 && !in.read(&(*bytes)[0], size)) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  return true;
}

namespace {

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

}  // namespace

bool WriteNewFile(const std::string& path, const std::string& bytes,
                  bool replace, std::string* error) {
  // O_EXCL creates the name or fails, and fails on a symbolic link of that
  // name too, dangling or not; O_NOFOLLOW says so once more.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  std::string created = path;
  int fd = -1;
  if (replace) {
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      created = path + ".tmp-" + std::to_string(getpid()) + "-" +
                std::to_string(attempt);
      fd = open(created.c_str(), flags, 0644);
      if (fd < 0 && errno != EEXIST) break;
    }
  } else {
    fd = open(path.c_str(), flags, 0644);
  }
  if (fd < 0) {
    *error = "cannot write '" + path + "': " +
             (errno == EEXIST && !replace
                  ? std::string("the file exists (--force replaces it)")
                  : std::string(std::strerror(errno)));
    return false;
  }
  bool ok = WriteAll(fd, bytes);
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && replace && rename(created.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(created.c_str());
    *error = "cannot write '" + path + "': " + std::strerror(saved);
  }
  return ok;
}

bool LooksLikeZip(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[4] = {0, 0, 0, 0};
  if (!in.read(head, 4)) return false;
  // A local file header, or the end record of an empty archive.
  return std::memcmp(head, "PK\x03\x04", 4) == 0 ||
         std::memcmp(head, "PK\x05\x06", 4) == 0;
}

}  // namespace ofdseal
