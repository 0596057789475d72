// libofdseal's C interface on the bundled examples (the reports of the
// program, in both forms), its arguments, files it cannot verify, the trust
// folders, and one options object shared by threads; and the report schema
// refusing reports that lack or bend a member.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ofdseal.h"
#include "ofdseal_run.h"
#include "report_schema.h"

namespace {

using nlohmann::json;
using ofdtest::ReportSchema;
using ofdtest::Scratch;

using Options =
    std::unique_ptr<ofdseal_options, decltype(&ofdseal_options_free)>;

Options NewOptions(bool trustRoot) {
  Options options(ofdseal_options_new(), ofdseal_options_free);
  EXPECT_EQ(ofdseal_options_set(options.get(), OFDSEAL_OPT_DEFAULT_TRUST, 0),
            OFDSEAL_OK);
  if (trustRoot) {
    EXPECT_EQ(ofdseal_options_add_trust(options.get(),
                                        "examples/example-root.pem", nullptr),
              OFDSEAL_OK);
  }
  return options;
}

struct Verified {
  int code;
  std::string report;
};

Verified Verify(const std::string& path, const ofdseal_options* options) {
  char* report = nullptr;
  const int code = ofdseal_verify_file(path.c_str(), options, &report);
  Verified out{code, report != nullptr ? report : ""};
  ofdseal_free(report);
  return out;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The examples are named relative to the source folder, as in the committed
// reports. The folder and the environment are put back for the tests that
// run after in the same process.
class OfdsealLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::filesystem::current_path();
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    xdg_ = xdg != nullptr ? xdg : "";
    ASSERT_EQ(chdir(KX_SOURCE_DIR), 0);
  }
  void TearDown() override {
    std::filesystem::current_path(cwd_);
    if (xdg_.empty())
      unsetenv("XDG_CONFIG_HOME");
    else
      setenv("XDG_CONFIG_HOME", xdg_.c_str(), 1);
  }

 private:
  std::filesystem::path cwd_;
  std::string xdg_;
};

// Every example, without and with its root as the trust anchor: the
// verdict, the JSON report of `ofdseal verify --json` and the committed text
// report.
TEST_F(OfdsealLibrary, ExamplesGiveTheProgramsReports) {
  for (bool trusted : {false, true}) {
    const std::string dir =
        trusted ? "examples/expected/trusted/" : "examples/expected/";
    std::istringstream verdicts(Slurp(dir + "verdicts.txt"));
    Options options = NewOptions(trusted);
    for (std::string line; std::getline(verdicts, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      std::string name, exit, verdict;
      fields >> name >> exit;
      std::getline(fields >> std::ws, verdict);
      SCOPED_TRACE(dir + name);
      const std::string file = "examples/" + name;

      const Verified got = Verify(file, options.get());
      const int expected = verdict == "valid" ? OFDSEAL_VALID
                           : verdict == "valid (untrusted)"
                               ? OFDSEAL_VALID_UNTRUSTED
                               : OFDSEAL_INVALID;
      EXPECT_EQ(got.code, expected);
      std::vector<std::string> args = {"verify", "--json",
                                       "--no-default-trust"};
      if (trusted)
        args.insert(args.end(), {"--trust", "examples/example-root.pem"});
      args.push_back(file);
      const ofdtest::Run run = ofdtest::RunOfdseal(args, KX_SOURCE_DIR);
      EXPECT_EQ(got.report + "\n", run.out);

      ASSERT_EQ(ofdseal_options_set(options.get(), OFDSEAL_OPT_TEXT_REPORT, 1),
                OFDSEAL_OK);
      EXPECT_EQ(Verify(file, options.get()).report,
                Slurp(dir + name.substr(0, name.size() - 4) + ".txt"));
      ofdseal_options_set(options.get(), OFDSEAL_OPT_TEXT_REPORT, 0);
    }
  }
}

TEST_F(OfdsealLibrary, RefusesBadArguments) {
  Options options = NewOptions(false);
  char* report = nullptr;
  EXPECT_EQ(ofdseal_verify_file(nullptr, options.get(), &report),
            OFDSEAL_BAD_ARGUMENT);
  EXPECT_EQ(report, nullptr);
  EXPECT_EQ(ofdseal_verify_file("examples/gov-rsa.ofd", options.get(), nullptr),
            OFDSEAL_BAD_ARGUMENT);
  const struct {
    int option;
    uint64_t value;
  } refused[] = {
      {0, 1},
      {OFDSEAL_OPT_DEFAULT_TRUST, 2},
      {OFDSEAL_OPT_TEXT_REPORT, 2},
      {OFDSEAL_OPT_MAX_SIZE, 0},
      {OFDSEAL_OPT_MAX_XML_DEPTH, 0},
      {OFDSEAL_OPT_MAX_XML_DEPTH + 1, 1},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(row.option);
    EXPECT_EQ(ofdseal_options_set(options.get(), row.option, row.value),
              OFDSEAL_BAD_ARGUMENT);
  }
  EXPECT_EQ(ofdseal_options_set(nullptr, OFDSEAL_OPT_MAX_SIZE, 1),
            OFDSEAL_BAD_ARGUMENT);
  EXPECT_EQ(ofdseal_options_add_trust(options.get(), nullptr, nullptr),
            OFDSEAL_BAD_ARGUMENT);
  EXPECT_EQ(ofdseal_options_load_trust(nullptr, nullptr), OFDSEAL_BAD_ARGUMENT);
  ofdseal_options_free(nullptr);
  ofdseal_free(nullptr);
}

// Nothing verified: the error report (JSON) or the reason (text).
TEST_F(OfdsealLibrary, FilesItCannotVerify) {
  Options options = NewOptions(false);
  const Verified missing = Verify("examples/none.ofd", options.get());
  EXPECT_EQ(missing.code, OFDSEAL_UNREADABLE);
  const json error = json::parse(missing.report);
  EXPECT_EQ(error["verdict"], "error");
  EXPECT_NE(error["error"].get<std::string>().find("cannot read"),
            std::string::npos);
  EXPECT_EQ(ReportSchema::Get().Check(error), "");

  ofdseal_options_set(options.get(), OFDSEAL_OPT_TEXT_REPORT, 1);
  ofdseal_options_set(options.get(), OFDSEAL_OPT_MAX_ENTRIES, 2);
  const Verified refused = Verify("examples/gov-rsa.ofd", options.get());
  EXPECT_EQ(refused.code, OFDSEAL_UNREADABLE);
  EXPECT_EQ(refused.report.rfind("limit exceeded", 0), 0u) << refused.report;

  char* why = nullptr;
  EXPECT_EQ(
      ofdseal_options_add_trust(options.get(), "examples/gov-rsa.ofd", &why),
      OFDSEAL_UNREADABLE);
  ASSERT_NE(why, nullptr);
  EXPECT_NE(std::string(why).find("holds no PEM certificate"),
            std::string::npos)
      << why;
  ofdseal_free(why);
}

// The folders of the verify command are read by default: a usable anchor
// there makes the examples trusted, and a broken file is skipped with a
// warning.
TEST_F(OfdsealLibrary, DefaultTrustFolders) {
  Scratch scratch;
  const std::string dir = scratch.Path("config/ofdseal/trust.d");
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file("examples/example-root.pem", dir + "/root.pem");
  std::ofstream(dir + "/broken.pem") << "-----BEGIN CERTIFICATE-----\nAAAA\n";
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", scratch.Path("config").c_str(), 1), 0);

  EXPECT_EQ(Verify("examples/gov-rsa.ofd", nullptr).code, OFDSEAL_VALID);
  Options options(ofdseal_options_new(), ofdseal_options_free);
  char* warnings = nullptr;
  ASSERT_EQ(ofdseal_options_load_trust(options.get(), &warnings), OFDSEAL_OK);
  ASSERT_NE(warnings, nullptr);
  EXPECT_NE(std::string(warnings).find("broken.pem"), std::string::npos);
  EXPECT_EQ(std::string(warnings).find("root.pem"), std::string::npos);
  ofdseal_free(warnings);
  EXPECT_EQ(Verify("examples/gov-rsa.ofd", options.get()).code, OFDSEAL_VALID);
  // Turning the folders off drops their anchor.
  ofdseal_options_set(options.get(), OFDSEAL_OPT_DEFAULT_TRUST, 0);
  EXPECT_EQ(Verify("examples/gov-rsa.ofd", options.get()).code,
            OFDSEAL_VALID_UNTRUSTED);
}

// One options object, built on first use, shared by verifications on
// several threads: each gets the report it gets alone.
TEST_F(OfdsealLibrary, SharedOptionsOnThreads) {
  Options options = NewOptions(true);
  const std::vector<std::string> files = {
      "examples/plain-sm2.ofd", "examples/page-changed.ofd",
      "examples/pkcs7-sm2.ofd", "examples/two-signatures.ofd"};
  std::vector<Verified> alone;
  for (const std::string& f : files) alone.push_back(Verify(f, options.get()));
  options = NewOptions(true);
  std::vector<Verified> together(files.size() * 2);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < together.size(); ++i)
    threads.emplace_back([&, i] {
      together[i] = Verify(files[i % files.size()], options.get());
    });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < together.size(); ++i) {
    EXPECT_EQ(together[i].code, alone[i % files.size()].code);
    EXPECT_EQ(together[i].report, alone[i % files.size()].report);
  }
}

// The schema takes the reports of the examples (every test's report is
// checked on the way) and refuses each of these changes to one.
TEST_F(OfdsealLibrary, SchemaRefusesReportsThatLackOrBendAMember) {
  Options options = NewOptions(true);
  const json report =
      json::parse(Verify("examples/two-signatures.ofd", options.get()).report);
  ASSERT_EQ(ReportSchema::Get().Check(report), "");
  const json error =
      json::parse(Verify("examples/none.ofd", options.get()).report);
  ASSERT_EQ(ReportSchema::Get().Check(error), "");
  const struct {
    const char* pointer;
    json value;  // null: the member is removed
    bool onError = false;
  } rows[] = {
      {"/verdict", nullptr},
      {"/signatures/1/result", nullptr},
      {"/signatures/0/signer/chain/status", nullptr},
      {"/trust/files", nullptr},
      {"/verdict", "error"},
      {"/signatures/0/verdict", "maybe"},
      {"/valid_signatures", -1},
      {"/signatures/0/same_as", "1"},
      {"/signatures/0/references/0/status", "fine"},
      {"/signatures/0/seal/maker/valid_now", "yes"},
      {"/signatures/0/extra", 1},
      {"/error", nullptr, true},
      {"/verdict", "invalid", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pointer);
    json changed = row.onError ? error : report;
    const json::json_pointer at(row.pointer);
    if (row.value.is_null())
      changed[at.parent_pointer()].erase(at.back());
    else
      changed[at] = row.value;
    EXPECT_NE(ReportSchema::Get().Check(changed), "");
    EXPECT_NE(ReportSchema::Get().Check(json::array({report, changed})), "");
  }
}

}  // namespace
