#include "test_process.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "KXLog.h"

extern char** environ;

namespace fx {
namespace {

// Names the child process started for one test: "Suite.Name".
const char kFreshTestVariable[] = "KX_FRESH_TEST";

size_t g_logMark = 0;
int g_testsStarted = 0;

std::string LogPath() {
  return ::testing::TempDir() + "kxtest_" + std::to_string(getpid()) + ".log";
}

// Sets the log file of this process before its first test, removes it after
// the last.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::remove(TestLog::Path().c_str());
    KXSetLogPath(TestLog::Path().c_str());
  }
  void TearDown() override { std::remove(TestLog::Path().c_str()); }
};

class StartCounter : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { ++g_testsStarted; }
};

const bool kRegistered = [] {
  ::testing::AddGlobalTestEnvironment(new LogEnvironment);
  ::testing::UnitTest::GetInstance()->listeners().Append(new StartCounter);
  return true;
}();

size_t FileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<size_t>(in.tellg()) : 0;
}

}  // namespace

const std::string& TestLog::Path() {
  static const std::string path = LogPath();
  return path;
}

void TestLog::Watch(int level) {
  KXSetLogLevel(level);
  g_logMark = FileSize(Path());
}

std::string TestLog::Since() {
  std::ifstream in(Path(), std::ios::binary);
  // A file shorter than the mark was emptied or rotated: all of it is new.
  if (FileSize(Path()) >= g_logMark)
    in.seekg(static_cast<std::streamoff>(g_logMark));
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool InFreshProcess() {
  const ::testing::TestInfo* info =
      ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name =
      std::string(info->test_suite_name()) + "." + info->name();
  const char* started = getenv(kFreshTestVariable);
  if (started != nullptr && name == started) return true;
  if (g_testsStarted <= 1) return true;

  const std::string filter = "--gtest_filter=" + name;
  const std::string marker = std::string(kFreshTestVariable) + "=" + name;
  std::vector<char*> argv = {const_cast<char*>("fresh-process"),
                             const_cast<char*>(filter.c_str()),
                             const_cast<char*>("--gtest_brief=1"), nullptr};
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  envp.push_back(const_cast<char*>(marker.c_str()));
  envp.push_back(nullptr);
  fflush(stdout);
  fflush(stderr);
  // The program's own path rather than /proc/self/exe, which under a tool
  // such as valgrind names the tool.
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    ADD_FAILURE() << "cannot find this program's path for " << name;
    return false;
  }
  self[length] = '\0';
  pid_t pid = 0;
  if (posix_spawn(&pid, self, nullptr, nullptr, argv.data(),
                  envp.data()) != 0) {
    ADD_FAILURE() << "cannot start a process for " << name;
    return false;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) {
    ADD_FAILURE() << "lost the process started for " << name;
    return false;
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << name << " failed in a process of its own (wait status " << status
      << ")";
  return false;
}

}  // namespace fx
