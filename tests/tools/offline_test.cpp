// ofdseal offline check: the report and exit code for each kind of file, the
// JSON report, and pruning: written in one step, never through a symbolic
// link, and read back as a file that is granted. Periods are placed days
// away from now.
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
using nlohmann::json;
using ofdtest::RunOfdseal;
using ofdtest::Scratch;
using ofdtest::Slurp;

const long kDay = 24 * 3600;

// Local display time `seconds` from now, as the files hold it; the program
// runs in the zone CST-8, and so does the text made here.
std::string FromNow(long seconds) {
  setenv("TZ", "CST-8", 1);
  tzset();
  const ckxstr text =
      KXTimeToStr((time(nullptr) + seconds) * 1000L, false, false);
  return std::string(text.c_str(), text.length());
}

std::string Record(const std::string& begin, const std::string& end,
                   const std::string& eol = "\r\n") {
  return "time_begin =" + begin + eol + "time_end =" + end + eol;
}

struct Files {
  std::string past = FromNow(-2 * kDay);
  std::string future = FromNow(2 * kDay);
  std::string expired = Record("2000-01-01 00:00:00", past);
  std::string valid = Record(past, future);
  std::string ahead = Record(future, FromNow(4 * kDay));
};

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(OfflineCheck, ReportAndExitCode) {
  const Files f;
  struct Row {
    const char* what;
    std::string text;  // "": no file
    int code;
    std::vector<std::string> out;  // lines of the report, in order
    std::string err;
  } rows[] = {
      {"one of each",
       "es_id=ABC\r\n" + f.expired + f.valid + f.ahead,
       0,
       {"seal: ABC\n",
        "record 1: 2000-01-01 00:00:00 to " + f.past + ": expired\n",
        "record 2: " + f.past + " to " + f.future + ": valid\n",
        "record 3: " + f.future + " to ", ": not yet valid\n",
        "answer: granted\n"},
       ""},
      {"a later period only counts",
       "es_id=A\n" + Record(f.future, f.future, "\n"),
       0,
       {"not yet valid\n", "answer: granted\n"},
       ""},
      {"expired only",
       "es_id=ABC\r\n" + f.expired,
       1,
       {"record 1: ", ": expired\n", "answer: not granted (5037)\n"},
       ""},
      {"no seal identifier, unreadable end",
       Record("2000-01-01 00:00:00", "never"),
       1,
       {"seal: (none)\n", " to never (unreadable): expired\n"},
       ""},
      {"control characters escaped",
       "es_id=A\x1b[2J\n" + f.valid,
       0,
       {"seal: A\\x1b[2J\n"},
       ""},
      {"no end line",
       "es_id=A\r\ntime_begin =" + f.past + "\r\n",
       2,
       {},
       "is not an offline authorization file: record 1 has no \"time_end =\" "
       "line"},
      {"an empty line after the last record",
       f.valid + "\r\n",
       2,
       {},
       "record 2 has no \"time_begin =\" line"},
      {"a NUL byte",
       f.valid + std::string(1, '\0') + f.valid,
       2,
       {},
       "holds a NUL byte"},
      {"no file", "", 2, {}, "cannot read"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Scratch scratch;
    const std::string file = scratch.Path("auth.txt");
    if (!row.text.empty()) Write(file, row.text);
    const ofdtest::Run run = RunOfdseal({"offline", "check", file});
    EXPECT_EQ(run.code, row.code) << run.out << run.err;
    size_t at = 0;
    for (const std::string& line : row.out) {
      at = run.out.find(line, at);
      EXPECT_NE(at, std::string::npos) << line << "\nin:\n" << run.out;
      if (at == std::string::npos) break;
    }
    if (!row.err.empty()) {
      EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
    }
  }
}

TEST(OfflineCheck, Json) {
  const Files f;
  Scratch scratch;
  const std::string file = scratch.Path("auth.txt");
  Write(file, "es_id=\xB0\xA1\n" + Record("2000-01-01 00:00:00", f.past, "\n") +
                  Record(f.past, f.future, "\n"));
  const ofdtest::Run run = RunOfdseal({"offline", "check", "--json", file});
  ASSERT_EQ(run.code, 0) << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["seal"], "\xE5\x95\x8A");  // GBK shown as UTF-8
  ASSERT_EQ(report["records"].size(), 2u);
  EXPECT_EQ(report["records"][0]["state"], "expired");
  EXPECT_EQ(report["records"][1]["begin"], f.past);
  EXPECT_EQ(report["records"][1]["state"], "valid");
  EXPECT_EQ(report["answer"], "granted");
  EXPECT_EQ(report["code"], 0);
  EXPECT_FALSE(report.contains("pruned"));
}

TEST(OfflineCheck, PruneWritesTheValidRecordsInOneStep) {
  const Files f;
  Scratch scratch;
  const std::string file = scratch.Path("auth.txt");
  const std::string out = scratch.Path("pruned.txt");
  // "\n" line ends: each kept record must come out whole.
  const std::string valid = Record(f.past, f.future, "\n");
  Write(file, "es_id=ABC\n" + Record("2000-01-01 00:00:00", f.past, "\n") +
                  valid + Record(f.future, f.future, "\n") + valid);
  ofdtest::Run run = RunOfdseal({"offline", "check", file, "--prune", out});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("pruned: " + out + " (2 records)\n"),
            std::string::npos)
      << run.out;
  // The seal stays named although its line stood in the dropped record.
  EXPECT_EQ(Slurp(out), "es_id=ABC\n" + valid + valid);
  // Read back: granted, both records valid, nothing more to prune.
  run = RunOfdseal(
      {"offline", "check", "--json", "--prune", out, "--force", out});
  ASSERT_EQ(run.code, 0) << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["records"].size(), 2u);
  EXPECT_EQ(report["seal"], "ABC");
  EXPECT_EQ(report["pruned"]["records"], 2);
  EXPECT_EQ(Slurp(out), "es_id=ABC\n" + valid + valid);
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(scratch.Path("")), {})
                .size(),
            2u)
      << "no temporary file stays behind";

  // Nothing valid now: an empty file, and the answer still decides the code.
  Write(file, Record("2000-01-01 00:00:00", f.past));
  run = RunOfdseal({"offline", "check", file, "--prune", out, "--force"});
  EXPECT_EQ(run.code, 1) << run.err;
  EXPECT_EQ(Slurp(out), "");
}

TEST(OfflineCheck, PruneNeverWritesThroughALink) {
  const Files f;
  Scratch scratch;
  const std::string file = scratch.Path("auth.txt");
  const std::string target = scratch.Path("target.txt");
  const std::string link = scratch.Path("link.txt");
  Write(file, f.valid);
  Write(target, "keep");
  fs::create_symlink(target, link);
  ofdtest::Run run = RunOfdseal({"offline", "check", file, "--prune", link});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("the file exists (--force replaces it)"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(fs::is_symlink(link));
  run = RunOfdseal({"offline", "check", file, "--prune", link, "--force"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(Slurp(link), f.valid);
  EXPECT_EQ(Slurp(target), "keep");
  run = RunOfdseal(
      {"offline", "check", file, "--prune", scratch.Path("missing/out.txt")});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("(5005)"), std::string::npos) << run.err;
}

TEST(OfflineCheck, Usage) {
  const std::vector<std::vector<std::string>> rows = {
      {"offline"},
      {"offline", "list", "f"},
      {"offline", "check"},
      {"offline", "check", "a", "b"},
      {"offline", "check", "--force", "a"},
      {"offline", "check", "--prune"},
      {"offline", "check", "--bogus", "a"},
  };
  for (const auto& args : rows) {
    const ofdtest::Run run = RunOfdseal(args);
    EXPECT_EQ(run.code, 2) << args.back();
    EXPECT_NE(run.err.find("see 'ofdseal offline --help'"), std::string::npos)
        << run.err;
  }
  const ofdtest::Run help = RunOfdseal({"offline", "check", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Usage: ofdseal offline check"), std::string::npos);
}

}  // namespace
