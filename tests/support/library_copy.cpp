#include "library_copy.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "KXLog.h"

namespace fx {

namespace fs = std::filesystem;

LibraryCopy::LibraryCopy(const std::string& tag) {
  const fs::path dir = fs::temp_directory_path() /
                       ("kxlibs_" + std::to_string(getpid()) + "_" + tag);
  fs::remove_all(dir);
  fs::create_directories(dir);
  dir_ = dir.string() + "/";
  Dl_info info{};
  dladdr(reinterpret_cast<const void*>(&KXLog), &info);
  const fs::path from = fs::canonical(info.dli_fname).parent_path();
  for (const std::string name : {"libKXCommon", "libsealcore"}) {
    fs::copy_file(fs::canonical(from / (name + ".so.1")),
                  dir / (name + ".so.1.0.0"));
    fs::create_symlink(name + ".so.1.0.0", dir / (name + ".so.1"));
  }
}

LibraryCopy::~LibraryCopy() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void LibraryCopy::SetIni(const char* text) const {
  std::remove((dir_ + "main.ini").c_str());
  if (text != nullptr)
    std::ofstream(dir_ + "main.ini", std::ios::binary) << text;
}

std::string LibraryCopy::Run(const std::string& program,
                             const std::vector<std::string>& args) const {
  // Single quotes around every word; the words hold none.
  std::string cmd = "LD_LIBRARY_PATH='" + dir_ + "' '" + program + "'";
  for (const std::string& arg : args) cmd += " '" + arg + "'";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return "exit -1";
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    out += "exit " + std::to_string(status);
  return out;
}

}  // namespace fx
