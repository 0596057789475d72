// Runs the ofdseal program in a child process and collects what it printed,
// and makes scratch folders for the packages the tests write. Every report
// of `verify --json` is checked against the report schema on the way.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "report_schema.h"

namespace ofdtest {

namespace fs = std::filesystem;

struct Run {
  int code = -1;  // exit status; -1 when the program did not exit normally
  std::string out;
  std::string err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A folder of its own for each test, removed with the object.
class Scratch {
 public:
  Scratch() {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("ofdseal_test_" + std::to_string(getpid()) + "_" +
            std::to_string(counter++));
    fs::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const {
    return (dir_ / name).string();
  }

 private:
  fs::path dir_;
};

// Environment variables set for the program; an empty value unsets one.
using Env = std::vector<std::pair<std::string, std::string>>;

// What else the run may change.
struct Setup {
  std::string out;          // standard output goes here rather than to Run
  rlim_t addressSpace = 0;  // RLIMIT_AS of the program; 0: inherited
};

// ofdseal ARGS, run in `cwd` (the current folder when empty). HOME and
// XDG_CONFIG_HOME name an empty folder of the run unless `env` sets them, so
// the user's trust folder never counts.
inline Run RunOfdseal(const std::vector<std::string>& args,
                      const std::string& cwd = std::string(),
                      const Env& env = Env(), const Setup& setup = Setup()) {
  Scratch scratch;
  const std::string outPath =
      setup.out.empty() ? scratch.Path("stdout") : setup.out;
  const std::string errPath = scratch.Path("stderr");
  Env settings = {{"HOME", scratch.Path("home")},
                  {"XDG_CONFIG_HOME", scratch.Path("home/.config")}};
  settings.insert(settings.end(), env.begin(), env.end());
  std::vector<std::string> argv = {KX_OFDSEAL};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const struct rlimit as = {setup.addressSpace, setup.addressSpace};
    if (setup.addressSpace != 0 && setrlimit(RLIMIT_AS, &as) != 0) _exit(127);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    // The committed reports show local times east of UTC.
    setenv("TZ", "CST-8", 1);
    for (const auto& [name, value] : settings) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(&a[0]);
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
  }
  Run run;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.code = WEXITSTATUS(status);
  if (setup.out.empty()) run.out = Slurp(outPath);
  run.err = Slurp(errPath);
  const bool verifyJson =
      !args.empty() && args[0] == "verify" &&
      std::find(args.begin(), args.end(), "--json") != args.end();
  if (verifyJson && !run.out.empty()) {
    EXPECT_EQ(ReportSchema::Get().Check(run.out), "") << run.out;
  }
  return run;
}

}  // namespace ofdtest
