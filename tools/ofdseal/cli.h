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

// Prints "ofdseal: MESSAGE" on standard error; with `json`, also a JSON
// report {"file", "verdict": "error", "error"} on standard output, so that a
// script reading the report always finds one. Returns kExitUsage.
int InputError(const std::string& file, const std::string& message, bool json);

// The whole file, refused when it is larger than `limit` bytes or is not a
// regular file.
bool ReadWholeFile(const std::string& path, uint64_t limit, std::string* bytes,
                   std::string* error);
bool WriteWholeFile(const std::string& path, const std::string& bytes,
                    std::string* error);
// Whether the file starts like a ZIP archive; false when it cannot be read.
bool LooksLikeZip(const std::string& path);
// A readable regular file, or a one-line reason why not.
bool CheckInputFile(const std::string& path, std::string* error);

}  // namespace ofdseal
