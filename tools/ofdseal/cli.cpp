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
  const auto fail = [&](int code) {
    *error =
        "cannot write '" + path + "': " +
        (code == EEXIST ? std::string("the file exists (--force replaces it)")
                        : std::string(std::strerror(code)));
    return false;
  };
  struct stat st;
  if (!replace && lstat(path.c_str(), &st) == 0) return fail(EEXIST);
  // The bytes go to a new file beside `path` (O_EXCL creates the name or
  // fails, a symbolic link of that name too), which is then renamed to
  // `path`: `path` is never seen half written.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  std::string created;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    created = path + ".tmp-" + std::to_string(getpid()) + "-" +
              std::to_string(attempt);
    fd = open(created.c_str(), flags, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(errno);
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
  if (ok && !replace) {
    // Only when `path` does not exist, decided in the same step; a file
    // system without RENAME_NOREPLACE gets a hard link, which fails the
    // same way.
    if (renameat2(AT_FDCWD, created.c_str(), AT_FDCWD, path.c_str(),
                  RENAME_NOREPLACE) != 0) {
      if ((errno == EINVAL || errno == ENOSYS) &&
          link(created.c_str(), path.c_str()) == 0) {
        unlink(created.c_str());
      } else {
        ok = false;
        saved = errno;
      }
    }
  }
  if (!ok) {
    unlink(created.c_str());
    return fail(saved);
  }
  return true;
}

bool LooksLikeZip(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[4] = {0, 0, 0, 0};
  if (!in.read(head, 4)) return false;
  // A local file header, or the end record of an empty archive.
  return std::memcmp(head, "PK\x03\x04", 4) == 0 ||
         std::memcmp(head, "PK\x05\x06", 4) == 0;
}

std::string CommandArgs::Get(const std::string& name,
                             const std::string& otherwise) const {
  auto it = values.find(name);
  return it == values.end() || it->second.empty() ? otherwise
                                                  : it->second.back();
}

const std::vector<std::string>& CommandArgs::All(
    const std::string& name) const {
  static const std::vector<std::string> kNone;
  auto it = values.find(name);
  return it == values.end() ? kNone : it->second;
}

int CommandUsage(const std::string& command, const std::string& message) {
  std::cerr << "ofdseal " << command << ": " << EscapeText(message)
            << " (see 'ofdseal " << command << " --help')\n";
  return kExitUsage;
}

int ParseCommandArgs(const std::string& command,
                     const std::vector<std::string>& argv,
                     const std::vector<std::string>& flags,
                     const std::vector<std::string>& valued,
                     CommandArgs* args) {
  const auto listed = [](const std::vector<std::string>& list,
                         const std::string& name) {
    for (const std::string& n : list)
      if (n == name) return true;
    return false;
  };
  bool optionsDone = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (optionsDone || arg.size() < 2 || arg[0] != '-') {
      args->operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsDone = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      args->help = true;
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (eq == std::string::npos && listed(flags, name)) {
      args->flags.insert(name);
      continue;
    }
    if (!listed(valued, name))
      return CommandUsage(command, "unknown option '" + arg + "'");
    if (eq != std::string::npos) {
      args->values[name].push_back(arg.substr(eq + 1));
    } else if (i + 1 < argv.size()) {
      args->values[name].push_back(argv[++i]);
    } else {
      return CommandUsage(command, "option '" + name + "' needs a value");
    }
  }
  return kExitOk;
}

}  // namespace ofdseal
