#include "library_copy.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "KXLog.h"

namespace fx {
namespace {

namespace fs = std::filesystem;

// The folder that holds the libraries this process loaded.
fs::path LibraryFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&KXLog), &info) == 0 ||
      info.dli_fname == nullptr)
    return fs::path();
  return fs::canonical(info.dli_fname).parent_path();
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

LibraryCopy::LibraryCopy(const std::string& tag) {
  const fs::path dir = fs::temp_directory_path() /
                       ("kxlibs_" + std::to_string(getpid()) + "_" + tag);
  fs::remove_all(dir);
  fs::create_directories(dir);
  dir_ = dir.string();
  const fs::path from = LibraryFolder();
  for (const char* name : {"libKXCommon", "libsealcore"}) {
    const std::string file = std::string(name) + ".so.1.0.0";
    fs::copy_file(fs::canonical(from / file), dir / file);
    fs::create_symlink(file, dir / (std::string(name) + ".so.1"));
  }
}

LibraryCopy::~LibraryCopy() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void LibraryCopy::WriteIni(const std::string& text) const {
  std::ofstream(dir_ + "/main.ini", std::ios::binary) << text;
}

void LibraryCopy::RemoveIni() const {
  std::remove((dir_ + "/main.ini").c_str());
}

std::string LibraryCopy::Run(const std::string& program,
                             const std::vector<std::string>& args) const {
  std::string cmd = "LD_LIBRARY_PATH=" + Quoted(dir_) + " " + Quoted(program);
  for (const std::string& arg : args) cmd += " " + Quoted(arg);
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return "exit -1";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    out += "exit " + std::to_string(status);
  return out;
}

}  // namespace fx
