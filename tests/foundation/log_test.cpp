// The log file (levels, line format, line cap, rotation, standard output)
// and the module directories. The log keeps its file open once a line was
// written, so each log test runs in a fresh process, where the process-wide
// log settings start from their defaults.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KXLog.h"
#include "test_process.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// True when `text` has the shape of `pattern`: "#" stands for one decimal
// digit, "*" for one or more, any other character for itself.
bool Shaped(const std::string& text, const std::string& pattern) {
  size_t i = 0;
  auto digit = [&] {
    return i < text.size() && isdigit(static_cast<unsigned char>(text[i]));
  };
  for (char p : pattern) {
    if (p == '#' || p == '*') {
      if (!digit()) return false;
      ++i;
      while (p == '*' && digit()) ++i;
    } else {
      if (i >= text.size() || text[i] != p) return false;
      ++i;
    }
  }
  return i == text.size();
}

std::string DirOf(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);
    tzset();
    char tmpl[] = "/tmp/kxlog_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = fs::canonical(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_F(LogTest, LevelFilterAndRejectedCalls) {
  KX_IN_FRESH_PROCESS();
  KXSetLogPath((dir_ + "/f.log").c_str());
  KXLog(1, "f", 1, "debug");  // below the default INFO
  KXLog(2, "f", 2, "info");
  KXSetLogLevel(6);   // ignored
  KXSetLogLevel(-1);  // ignored
  KXLog(2, "f", 3, "still info");
  KXSetLogLevel(4);
  KXLog(3, "f", 4, "warn");
  KXLog(4, "f", 5, "error");
  KXLog(6, "f", 6, "beyond fatal");
  KXLog(4, nullptr, 7, "no function");
  KXLog(4, "f", 8, nullptr);
  KXLog(4, "f", 9, "%s", "");  // empty message, but a format: written
  KXSetLogLevel(0);
  KXLog(0, "f", 10, "trace");
  const auto lines = Lines(ReadAll(dir_ + "/f.log"));
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ(0u, lines[0].find("[INFO ")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find(" f 3] still info"));
  EXPECT_EQ(0u, lines[2].find("[ERROR ")) << lines[2];
  EXPECT_NE(std::string::npos, lines[3].find(" f 9] "));
  EXPECT_EQ(0u, lines[4].find("[TRACE ")) << lines[4];
}

TEST_F(LogTest, EmptyFormatWritesNothing) {
  KX_IN_FRESH_PROCESS();
  KXSetLogPath((dir_ + "/f.log").c_str());
  const std::string empty;  // not a literal: the compiler would object
  KXLog(4, "f", 7, empty.c_str());
  EXPECT_FALSE(fs::exists(dir_ + "/f.log"));
}

TEST_F(LogTest, LineFormat) {
  KX_IN_FRESH_PROCESS();
  KXSetLogPath((dir_ + "/f.log").c_str());
  const time_t before = time(nullptr);
  KXLog(2, "myFunc", 40, "hello %d %s", 7, "x");
  const time_t after = time(nullptr);
  const std::string text = ReadAll(dir_ + "/f.log");
  ASSERT_TRUE(
      Shaped(text, "[INFO ####-##-## ##:##:## * myFunc 40] hello 7 x\n"))
      << text;
  struct tm t = {};
  unsigned long tid = 0;
  ASSERT_EQ(
      7, sscanf(text.c_str(), "[INFO %d-%d-%d %d:%d:%d %lu", &t.tm_year,
                &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &tid));
  EXPECT_EQ(static_cast<unsigned long>(syscall(SYS_gettid)), tid);
  // Local time of the call: CST-8 is UTC + 8 hours. Margin: the second
  // boundaries read around the call.
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  const time_t stamp = timegm(&t) - 8 * 3600;
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
}

TEST_F(LogTest, LongMessageIsCutTo8190BytesWithNewline) {
  KX_IN_FRESH_PROCESS();
  KXSetLogPath((dir_ + "/f.log").c_str());
  const std::string message(10000, 'q');
  KXLog(5, "f", 1, "%s", message.c_str());
  KXLog(5, "f", 2, "next");
  const std::string text = ReadAll(dir_ + "/f.log");
  const size_t firstEnd = text.find('\n');
  ASSERT_NE(std::string::npos, firstEnd);
  EXPECT_EQ(8190u, firstEnd + 1);
  EXPECT_EQ(
      std::string::npos,
      text.substr(0, firstEnd).find_first_not_of("q", text.find("] ") + 2));
  EXPECT_EQ(firstEnd + 1, text.find("[FATAL ", 1));
}

TEST_F(LogTest, OversizedFileIsRotatedBeforeTheSecondLine) {
  KX_IN_FRESH_PROCESS();
  const std::string path = dir_ + "/kx.log.txt";
  const off_t oldSize = 11 * 1000 * 1000;
  {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, oldSize));
    close(fd);
  }
  KXSetLogPath(path.c_str());
  KXLog(2, "f", 1, "first");  // measured, then written to the old file
  EXPECT_GT(fs::file_size(path), static_cast<uintmax_t>(oldSize));
  KXLog(2, "f", 2, "second");  // rotated before writing
  KXLog(2, "f", 3, "third");

  std::vector<std::string> backups;
  for (const auto& entry : fs::directory_iterator(dir_))
    if (entry.path().filename() != "kx.log.txt")
      backups.push_back(entry.path().filename());
  ASSERT_EQ(1u, backups.size());
  EXPECT_TRUE(Shaped(backups[0], "kx.log_####-##-##-##-##-##.bak"))
      << backups[0];
  const std::string old = ReadAll(dir_ + "/" + backups[0]);
  EXPECT_EQ(static_cast<size_t>(oldSize), old.find("[INFO "));
  EXPECT_NE(std::string::npos, old.find("] first\n"));
  const auto lines = Lines(ReadAll(path));
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("] second"));
  EXPECT_NE(std::string::npos, lines[1].find("] third"));
}

// The log usually lives where everyone may write (/tmp). A file planted at
// its path that is a symbolic link, not a regular file, or another user's is
// never written; standard error says why once per process, and logging works
// again once the path names a file of our own.
TEST_F(LogTest, PlantedFilesAreNeverWritten) {
  KX_IN_FRESH_PROCESS();
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "victim\n";
  struct Row {
    std::string name;
    std::function<void(const std::string&)> plant;
    bool needsRoot;
  } rows[] = {
      {"link", [&](const std::string& p) { fs::create_symlink(victim, p); },
       false},
      {"dangling",
       [&](const std::string& p) { fs::create_symlink(dir_ + "/absent", p); },
       false},
      {"fifo", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, false},
      {"foreign",
       [](const std::string& p) {
         std::ofstream(p).close();
         EXPECT_EQ(0, chown(p.c_str(), 65534, 65534));
       },
       true},
  };
  testing::internal::CaptureStderr();
  for (const Row& row : rows) {
    if (row.needsRoot && geteuid() != 0) continue;  // only root can chown
    const std::string path = dir_ + "/" + row.name + ".log";
    row.plant(path);
    KXSetLogPath(path.c_str());
    KXLog(2, "f", 1, "planted %s", row.name.c_str());
    KXLog(2, "f", 2, "again");
    if (fs::is_regular_file(fs::symlink_status(path))) {
      EXPECT_EQ(0u, fs::file_size(path)) << row.name;
    }
  }
  KXSetLogPath((dir_ + "/own.log").c_str());
  KXLog(2, "f", 3, "own");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ("victim\n", ReadAll(victim));
  EXPECT_FALSE(fs::exists(dir_ + "/absent"));
  EXPECT_NE(std::string::npos, ReadAll(dir_ + "/own.log").find("] own\n"));
  EXPECT_EQ(
      "kxlog: not writing to " + dir_ + "/link.log: it is a symbolic link\n",
      err);
}

// Rotation moves whatever is at the log's path (rename moves a link, not its
// target) and opens the path again with the same refusals: when the rename
// fails, a link planted meanwhile is not followed either.
TEST_F(LogTest, RotationNeverFollowsALink) {
  KX_IN_FRESH_PROCESS();
  const std::string path = dir_ + "/kx.log";
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "victim\n";
  {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 10485760));
    close(fd);
  }
  KXSetLogPath(path.c_str());
  KXLog(2, "f", 1, "first");  // measured: the next line rotates
  // Directories at the backup names of the next seconds make rename fail.
  const time_t now = time(nullptr);
  for (time_t t = now; t < now + 5; ++t) {
    struct tm parts;
    localtime_r(&t, &parts);
    char name[64];
    strftime(name, sizeof name, "/kx_%Y-%m-%d-%H-%M-%S.bak", &parts);
    fs::create_directory(dir_ + name);
  }
  fs::remove(path);
  fs::create_symlink(victim, path);
  testing::internal::CaptureStderr();
  KXLog(2, "f", 2, "second");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ("victim\n", ReadAll(victim));
}

// KXSetLogPath changes the directory and the name under the log lock, so a
// line never sees the directory of one path with the name of the other. Both
// paths name directories, which cannot be opened as the log, so every line
// reads the path again; a mixed path would be created as a file.
TEST_F(LogTest, PathChangesNeverMixTwoPaths) {
  KX_IN_FRESH_PROCESS();
  for (const char* d : {"/a", "/b", "/a/a.log", "/b/b.log"})
    fs::create_directory(dir_ + d);
  const std::string a = dir_ + "/a/a.log", b = dir_ + "/b/b.log";
  std::atomic<bool> done{false};
  std::thread writer([&] {
    while (!done) KXLog(2, "f", 1, "line");
  });
  for (int i = 0; i < 100000; ++i) {
    KXSetLogPath(a.c_str());
    KXSetLogPath(b.c_str());
  }
  done = true;
  writer.join();
  EXPECT_FALSE(fs::exists(dir_ + "/a/b.log"));
  EXPECT_FALSE(fs::exists(dir_ + "/b/a.log"));
}

// The split of the path decides the backup name: the last "." is looked for
// in the file name only, after the last "/" or "\".
TEST_F(LogTest, PathSplitsAtLastSeparatorOfEitherKind) {
  KX_IN_FRESH_PROCESS();
  const std::string path = dir_ + "/a.b\\log";
  {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 10485760));
    close(fd);
  }
  KXSetLogPath(path.c_str());
  KXLog(2, "f", 1, "one");
  KXLog(2, "f", 2, "two");
  bool found = false;
  for (const auto& entry : fs::directory_iterator(dir_))
    found |=
        Shaped(entry.path().filename(), "a.b\\log_####-##-##-##-##-##.bak");
  EXPECT_TRUE(found);
}

TEST_F(LogTest, PathWithoutUsableSeparatorChangesNothing) {
  KX_IN_FRESH_PROCESS();
  const fs::path cwd = fs::current_path();
  ASSERT_EQ(0, chdir(dir_.c_str()));
  KXSetLogPath((dir_ + "/kept.log").c_str());
  KXSetLogPath("sig.log");
  KXSetLogPath("/sig.log");
  KXSetLogPath("");
  KXLog(2, "f", 1, "line");
  fs::current_path(cwd);
  EXPECT_NE(std::string::npos, ReadAll(dir_ + "/kept.log").find("] line\n"));
  EXPECT_FALSE(fs::exists(dir_ + "/sig.log"));
}

TEST_F(LogTest, ClearedPathWritesToStandardOutput) {
  KX_IN_FRESH_PROCESS();
  KXSetLogPath(nullptr);
  const std::string out = dir_ + "/stdout.txt";
  fflush(stdout);
  const int saved = dup(1);
  const int fd = open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  dup2(fd, 1);
  close(fd);
  KXLog(3, "g", 12, "to stdout %d", 1);
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  EXPECT_TRUE(
      Shaped(ReadAll(out), "[WARN ####-##-## ##:##:## * g 12] to stdout 1\n"));
}

TEST(ModulePaths, DllPathIsTheDirectoryOfTheLoadedLibrary) {
  Dl_info info;
  ASSERT_NE(0, dladdr(reinterpret_cast<void*>(&KXLog), &info));
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath(info.dli_fname, real));
  EXPECT_EQ("libKXCommon.so.1.0.0", fs::path(real).filename());
  EXPECT_EQ(DirOf(real), KXGetDllPath());
}

TEST(ModulePaths, ExePathIsTheDirectoryOfTheTestProgram) {
  char real[PATH_MAX];
  const char* execfn = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  ASSERT_NE(nullptr, execfn);
  ASSERT_NE(nullptr, realpath(execfn, real));
  EXPECT_EQ(DirOf(real), KXGetExePath());
}

// In a copy of this program started by the next test, KX_REPORT_PATHS names
// a file: write both directories to it and exit before any test runs.
const bool kReportedPaths = [] {
  const char* report = getenv("KX_REPORT_PATHS");
  if (report == nullptr) return false;
  std::ofstream(report) << KXGetExePath() << "\n" << KXGetDllPath() << "\n";
  _exit(0);
}();

TEST_F(LogTest, ExePathLongerThan260Bytes) {
  std::string deep = dir_;
  while (deep.size() < 400) deep += "/directory_name_of_some_length";
  fs::create_directories(deep);
  const std::string copy = deep + "/test_copy";
  fs::copy_file("/proc/self/exe", copy);
  fs::permissions(copy, fs::perms::owner_all);
  const std::string report = dir_ + "/report.txt";
  const std::string libDir = KXGetDllPath();

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("KX_REPORT_PATHS", report.c_str(), 1);
    setenv("LD_LIBRARY_PATH", libDir.c_str(), 1);
    execl(copy.c_str(), copy.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto lines = Lines(ReadAll(report));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(deep + "/", lines[0]);
  EXPECT_EQ(libDir, lines[1]);
}

}  // namespace
