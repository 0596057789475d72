// What the commands share: exit codes, error reporting and file access.
#pragma once

#include <cstdint>
#include <string>

namespace ofdseal {

enum ExitCode : int {
  kExitOk = 0,       // every signature valid, or the command succeeded
  kExitInvalid = 1,  // a signature or reference is invalid
  kExitUsage = 2,    // bad usage or unreadable input
};

// Prints "ofdseal: MESSAGE" on standard error, on one line (control
// characters escaped); with `json`, also a JSON
// report {"file", "verdict": "error", "error"} on standard output, so that a
// script reading the report always finds one. Returns kExitUsage.
int InputError(const std::string& file, const std::string& message, bool json);

// The whole file, refused when it is larger than `limit` bytes or is not a
// regular file.
bool ReadWholeFile(const std::string& path, uint64_t limit, std::string* bytes,
                   std::string* error);
// Writes `bytes` to a new file at `path` (mode 0644 before the umask),
// never through a symbolic link: the file is created, and an existing name
// (a symbolic link too) is refused. With `replace`, the bytes go to a new
// file beside `path` that is then renamed over it, which replaces a
// symbolic link itself rather than its target. A failed write leaves no
// file behind.
bool WriteNewFile(const std::string& path, const std::string& bytes,
                  bool replace, std::string* error);
// Whether the file starts like a ZIP archive; false when it cannot be read.
bool LooksLikeZip(const std::string& path);
// A readable regular file, or a one-line reason why not.
bool CheckInputFile(const std::string& path, std::string* error);

}  // namespace ofdseal
