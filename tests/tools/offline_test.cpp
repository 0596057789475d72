// ofdseal offline check: the report and exit code for each kind of file, the
// JSON report, and pruning written in one step and never through a symbolic
// link. Periods lie days away from now.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "KXTime.h"
#include "ofdseal_run.h"

namespace {

namespace fs = std::filesystem;
using ofdtest::RunOfdseal;
using ofdtest::Slurp;

// Local display time `days` from now in the zone the program runs in.
std::string FromNow(long days) {
  setenv("TZ", "CST-8", 1);
  tzset();
  const ckxstr text =
      KXTimeToStr((time(nullptr) + days * 86400) * 1000L, false, false);
  return std::string(text.c_str(), text.length());
}

std::string Times(const std::string& begin, const std::string& end,
                  const std::string& eol = "\r\n") {
  return "time_begin =" + begin + eol + "time_end =" + end + eol;
}

const std::string kPast = FromNow(-2), kFuture = FromNow(2);
const std::string kExpired = Times("2000-01-01 00:00:00", kPast);
const std::string kValid = Times(kPast, kFuture);

TEST(OfflineCheck, ReportAndExitCode) {
  struct Row {
    std::string text;  // "": no file
    std::vector<std::string> args;
    int code;
    std::string out;  // in the report ("" none checked), else on stderr
  } rows[] = {
      {"es_id=ABC\r\n" + kExpired + kValid + Times(kFuture, kFuture),
       {},
       0,
       "seal: ABC\nrecord 1: 2000-01-01 00:00:00 to " + kPast +
           ": expired\nrecord 2: " + kPast + " to " + kFuture +
           ": valid\nrecord 3: " + kFuture + " to " + kFuture +
           ": not yet valid\nanswer: granted\n"},
      {kExpired + Times("2000-01-01 00:00:00", "never"),
       {},
       1,
       "seal: (none)\nrecord 1: 2000-01-01 00:00:00 to " + kPast +
           ": expired\nrecord 2: 2000-01-01 00:00:00 to never (unreadable): "
           "expired\nanswer: not granted (5037)\n"},
      {"es_id=A\x1b[2J\n" + kValid, {}, 0, "seal: A\\x1b[2J\n"},
      {"time_begin =" + kPast + "\r\n",
       {},
       2,
       "is not an offline authorization file: record 1 has no \"time_end =\" "
       "line"},
      {kValid + "\r\n", {}, 2, "record 2 has no \"time_begin =\" line"},
      {kValid + std::string(1, '\0'), {}, 2, "holds a NUL byte"},
      {"", {}, 2, "cannot read"},
      {kValid, {"--force"}, 2, "--force goes with --prune"},
      {kValid, {"extra"}, 2, "one FILE only"},
  };
  for (const Row& row : rows) {
    ofdtest::Scratch scratch;
    const std::string file = scratch.Path("auth.txt");
    if (!row.text.empty()) std::ofstream(file, std::ios::binary) << row.text;
    std::vector<std::string> args = {"offline", "check", file};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const ofdtest::Run run = RunOfdseal(args);
    EXPECT_EQ(run.code, row.code) << row.out << run.err;
    EXPECT_NE((row.code == 2 ? run.err : run.out).find(row.out),
              std::string::npos)
        << run.out << run.err;
  }
}

TEST(OfflineCheck, PruneInOneStepNeverThroughALink) {
  ofdtest::Scratch scratch;
  const std::string file = scratch.Path("auth.txt");
  const std::string out = scratch.Path("out.txt");
  const std::string valid = Times(kPast, kFuture, "\n");
  std::ofstream(file, std::ios::binary)
      << "es_id=\xB0\xA1\n" + Times("2000-01-01 00:00:00", kPast, "\n") +
             valid + Times(kFuture, kFuture, "\n") + valid;
  std::ofstream(scratch.Path("target.txt")) << "keep";
  fs::create_symlink(scratch.Path("target.txt"), out);
  ofdtest::Run run = RunOfdseal({"offline", "check", file, "--prune", out});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("the file exists (--force replaces it)"),
            std::string::npos);
  run = RunOfdseal(
      {"offline", "check", "--json", file, "--prune", out, "--force"});
  ASSERT_EQ(run.code, 0) << run.err;
  const nlohmann::json report = nlohmann::json::parse(run.out);
  EXPECT_EQ(report["seal"], "\xE5\x95\x8A");  // GBK shown in UTF-8
  EXPECT_EQ(report["records"].size(), 4u);
  EXPECT_EQ(report["records"][2]["state"], "not yet valid");
  EXPECT_EQ(report["answer"], "granted");
  EXPECT_EQ(report["pruned"]["records"], 2);
  EXPECT_FALSE(fs::is_symlink(out));
  EXPECT_EQ(Slurp(scratch.Path("target.txt")), "keep");
  // The seal stays named although its line stood in the dropped record.
  EXPECT_EQ(Slurp(out), "es_id=\xB0\xA1\n" + valid + valid);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.Path("")), {}), 3)
      << "no temporary file stays behind";
  run = RunOfdseal(
      {"offline", "check", file, "--prune", scratch.Path("missing/out.txt")});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("(5005)"), std::string::npos) << run.err;
}

}  // namespace
