#include "cli.h"

#include <sys/stat.h>

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
  std::cerr << "ofdseal: " << RepairUtf8(message) << "\n";
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

bool WriteWholeFile(const std::string& path, const std::string& bytes,
                    std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
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

}  // namespace ofdseal
