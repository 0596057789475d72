// A private copy of libKXCommon and libsealcore in a folder of its own, with
// its own main.ini, for configuration read once per process: a probe program
// runs with LD_LIBRARY_PATH at the copy, so that it loads these libraries and
// reads this main.ini.
#pragma once

#include <string>
#include <vector>

namespace fx {

class LibraryCopy {
 public:
  explicit LibraryCopy(const std::string& tag);  // names the folder
  ~LibraryCopy();
  LibraryCopy(const LibraryCopy&) = delete;
  LibraryCopy& operator=(const LibraryCopy&) = delete;

  // The folder, ending with "/" as KXGetDllPath reports it.
  const std::string& Dir() const { return dir_; }
  // Writes main.ini beside the libraries; null removes it.
  void SetIni(const char* text) const;
  // Standard output of `program ARGS` run against the copy; "exit STATUS"
  // follows when it did not exit with 0.
  std::string Run(const std::string& program,
                  const std::vector<std::string>& args) const;

 private:
  std::string dir_;
};

}  // namespace fx
