// A private copy of libKXCommon and libsealcore in a folder of its own, with
// its own main.ini, for the configuration read once per process: a probe
// program runs with LD_LIBRARY_PATH at the copy, so it loads these libraries
// and reads this main.ini, in a process of its own.
#pragma once

#include <string>
#include <vector>

namespace fx {

class LibraryCopy {
 public:
  // `tag` names the folder (with the process id), e.g. the test's name.
  explicit LibraryCopy(const std::string& tag);
  ~LibraryCopy();
  LibraryCopy(const LibraryCopy&) = delete;
  LibraryCopy& operator=(const LibraryCopy&) = delete;

  // The folder, ending with "/" as KXGetDllPath reports it.
  std::string Dir() const { return dir_ + "/"; }
  // Writes main.ini beside the libraries; RemoveIni takes it away.
  void WriteIni(const std::string& text) const;
  void RemoveIni() const;
  // Runs `program` with `args` against the copy; its standard output, or
  // "exit <status>" appended when it did not exit with 0.
  std::string Run(const std::string& program,
                  const std::vector<std::string>& args) const;

 private:
  std::string dir_;
};

}  // namespace fx
