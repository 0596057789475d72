// What the commands share: exit codes, error reporting and file access.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

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
// Writes `bytes` to `path` (mode 0644 before the umask) through a new file
// beside it that is then renamed to `path`, so `path` is never seen half
// written and a symbolic link there is replaced itself, never written
// through. An existing name (a symbolic link too) is refused unless
// `replace`. A failed write leaves no file behind.
bool WriteNewFile(const std::string& path, const std::string& bytes,
                  bool replace, std::string* error);
// Whether the file starts like a ZIP archive; false when it cannot be read.
bool LooksLikeZip(const std::string& path);
// A readable regular file, or a one-line reason why not.
bool CheckInputFile(const std::string& path, std::string* error);

// The arguments of a command that takes named options: flags, options with
// a value (an option given twice keeps both values, in order) and operands.
struct CommandArgs {
  bool help = false;
  std::set<std::string> flags;
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> operands;

  bool Has(const std::string& name) const {
    return flags.count(name) != 0 || values.count(name) != 0;
  }
  // The last value of the option, or `otherwise`.
  std::string Get(const std::string& name,
                  const std::string& otherwise = std::string()) const;
  const std::vector<std::string>& All(const std::string& name) const;
};

// Parses "--name VALUE", "--name=VALUE", the `flags`, "-h"/"--help" and
// "--" (operands only after it). An unknown option or a missing value is a
// usage error: one line on standard error naming `command` ("seal make"),
// and kExitUsage is returned; otherwise kExitOk.
int ParseCommandArgs(const std::string& command,
                     const std::vector<std::string>& argv,
                     const std::vector<std::string>& flags,
                     const std::vector<std::string>& valued, CommandArgs* args);
// "ofdseal COMMAND: MESSAGE (see 'ofdseal COMMAND --help')"; kExitUsage.
int CommandUsage(const std::string& command, const std::string& message);

}  // namespace ofdseal
