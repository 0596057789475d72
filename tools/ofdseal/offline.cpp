#include "offline.h"

#include <sys/stat.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "KXError.h"
#include "KXTime.h"
#include "SealServices.h"
#include "cli.h"
#include "text.h"

namespace ofdseal {
namespace {

const char kHelp[] =
    "Usage: ofdseal offline check [--json] [--prune OUT [--force]] FILE\n"
    "\n"
    "Reads an offline authorization file of a seal: an \"es_id=\" line and\n"
    "records of a \"time_begin =\" and a \"time_end =\" line each (times as\n"
    "YYYY-MM-DD hh:mm:ss in local time, or ASN.1 UTC times). Prints the seal\n"
    "identifier, each record's period with its state now (valid, expired,\n"
    "not yet valid) and the answer of the seal library: granted when the\n"
    "period of some record has not ended (one that begins later counts too),\n"
    "not granted otherwise.\n"
    "\n"
    "Options:\n"
    "  --json             print the report as JSON\n"
    "  --prune OUT        write the records valid now to OUT, unchanged and "
    "in\n"
    "                     order; OUT is written in one step (a new file "
    "beside\n"
    "                     it renamed into place). An existing OUT is not\n"
    "                     replaced\n"
    "  --force            replace an existing OUT (a symbolic link is "
    "replaced\n"
    "                     itself, never written through)\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit codes: 0 granted, 1 not granted, 2 bad usage, an unreadable or\n"
    "malformed file, or OUT could not be written.\n";

// Authorization files hold a few lines; anything near this size is not one.
const uint64_t kMaxFile = 16u << 20;

const std::string kBeginKey = "time_begin =";
const std::string kEndKey = "time_end =";
const std::string kIdKey = "es_id=";

struct Args {
  bool help = false;
  bool json = false;
  bool force = false;
  std::string prune;
  std::string file;
};

int Usage(const std::string& message) {
  std::cerr << "ofdseal offline: " << message
            << " (see 'ofdseal offline --help')\n";
  return kExitUsage;
}

int ParseArgs(const std::vector<std::string>& argv, Args* args) {
  if (argv.empty()) return Usage("missing 'check'");
  if (argv[0] == "-h" || argv[0] == "--help") {
    args->help = true;
    return kExitOk;
  }
  if (argv[0] != "check") return Usage("unknown subcommand '" + argv[0] + "'");
  std::vector<std::string> operands;
  bool optionsDone = false;
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (optionsDone || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      optionsDone = true;
    } else if (arg == "-h" || arg == "--help") {
      args->help = true;
    } else if (arg == "--json") {
      args->json = true;
    } else if (arg == "--force") {
      args->force = true;
    } else if (arg == "--prune" || arg.rfind("--prune=", 0) == 0) {
      if (arg == "--prune") {
        if (i + 1 >= argv.size())
          return Usage("option '--prune' needs a value");
        args->prune = argv[++i];
      } else {
        args->prune = arg.substr(8);
      }
      if (args->prune.empty()) return Usage("--prune needs a file name");
    } else {
      return Usage("unknown option '" + arg + "'");
    }
  }
  if (args->help) return kExitOk;
  if (args->force && args->prune.empty())
    return Usage("--force goes with --prune");
  if (operands.empty()) return Usage("missing FILE");
  if (operands.size() > 1)
    return Usage("one FILE only, got '" + operands[1] + "' too");
  args->file = operands[0];
  return kExitOk;
}

// A value runs from `at` to the first "\r", "\n" or the end of the text.
std::string ValueAt(const std::string& text, size_t at) {
  const size_t end = text.find_first_of("\r\n", at);
  return text.substr(at,
                     end == std::string::npos ? std::string::npos : end - at);
}

struct Record {
  std::string begin;
  std::string end;
  const char* state = "";
};

// Splits the text into records as the seal library does: from the end of
// the previous record, the first "time_begin =" and the first "time_end ="
// line; the record ends after the line end of its "time_end =" value.
// False, with the reason, when a record lacks one of the two lines.
bool SplitRecords(const std::string& text, std::vector<Record>* records,
                  std::string* error) {
  for (size_t at = 0; at < text.size();) {
    const size_t begin = text.find(kBeginKey, at);
    const size_t end = text.find(kEndKey, at);
    if (begin == std::string::npos || end == std::string::npos) {
      *error = "record " + std::to_string(records->size() + 1) + " has no \"" +
               (begin == std::string::npos ? kBeginKey : kEndKey) +
               "\" line (text after the last record counts as a record)";
      return false;
    }
    Record record;
    record.begin = ValueAt(text, begin + kBeginKey.size());
    record.end = ValueAt(text, end + kEndKey.size());
    at = end + kEndKey.size() + record.end.size();
    if (at < text.size() && text[at] == '\r') ++at;
    if (at < text.size() && text[at] == '\n') ++at;
    records->push_back(record);
  }
  return true;
}

// The state of a record's period now, as the seal library judges it.
const char* StateOf(const Record& record) {
  if (SE_CheckTimeValid(record.begin.c_str(), nullptr) == 0)
    return "not yet valid";
  if (SE_CheckTimeValid(nullptr, record.end.c_str()) == 0) return "expired";
  return "valid";
}

bool Readable(const std::string& value) {
  return value.size() <= 31 &&
         KXStrToTime(value.c_str(), static_cast<int>(value.size()), false) !=
             -1;
}

std::string ForText(const std::string& value) {
  return EscapeText(DisplayText(value)) +
         (Readable(value) ? "" : " (unreadable)");
}

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.c_str());
}

// The records valid now, as the seal library prunes them.
bool Pruned(const std::string& text, std::string* kept, std::string* error) {
  const uint32_t size = static_cast<uint32_t>(text.size());
  uint32_t length = 0;
  uint32_t code =
      SE_Del_InvalidTime_Offline_AuthFile(Bytes(text), size, nullptr, &length);
  if (code == 0) {
    kept->assign(length, '\0');
    code = SE_Del_InvalidTime_Offline_AuthFile(
        Bytes(text), size,
        reinterpret_cast<unsigned char*>(length ? &(*kept)[0] : nullptr),
        &length);
    if (length == 0) kept->clear();
  }
  if (code != 0)
    *error =
        "the seal library could not prune it (" + std::to_string(code) + ")";
  return code == 0;
}

// Writes the pruned text: in one step through the seal library, refusing an
// existing name (a symbolic link too) without --force.
bool WritePruned(const std::string& path, const std::string& kept, bool force,
                 std::string* error) {
  struct stat st;
  if (!force && lstat(path.c_str(), &st) == 0) {
    *error =
        "cannot write '" + path + "': the file exists (--force replaces it)";
    return false;
  }
  const uint32_t code =
      SE_WriteFile(path.c_str(), Bytes(kept), static_cast<int>(kept.size()));
  if (code != 0)
    *error = "cannot write '" + path + "' (" + std::to_string(code) + ")";
  return code == 0;
}

}  // namespace

int OfflineCommand(const std::vector<std::string>& argv) {
  Args args;
  int rc = ParseArgs(argv, &args);
  if (rc != kExitOk) return rc;
  if (args.help) {
    std::cout << kHelp;
    return kExitOk;
  }
  std::string text;
  std::string error;
  if (!ReadWholeFile(args.file, kMaxFile, &text, &error))
    return InputError(args.file, error, args.json);
  // The library reads the text up to its first NUL byte; a file with one
  // would be judged on part of itself.
  if (text.find('\0') != std::string::npos)
    return InputError(args.file, "'" + args.file + "' holds a NUL byte",
                      args.json);
  std::vector<Record> records;
  if (!SplitRecords(text, &records, &error))
    return InputError(
        args.file,
        "'" + args.file + "' is not an offline authorization file: " + error,
        args.json);
  for (Record& record : records) record.state = StateOf(record);
  const uint32_t size = static_cast<uint32_t>(text.size());
  const uint32_t answer = SE_Verify_Offline_Time(Bytes(text), size);
  if (answer != 0 && answer != KX_ERR_TIME_PERIOD)
    return InputError(args.file,
                      "the seal library refused '" + args.file + "' (" +
                          std::to_string(answer) + ")",
                      args.json);
  uint32_t idLength = 0;
  std::string id;
  const bool hasId =
      SE_Get_Offline_ID(Bytes(text), size, nullptr, &idLength) == 0;
  if (hasId) {
    id.assign(idLength, '\0');
    if (idLength != 0 &&
        SE_Get_Offline_ID(Bytes(text), size,
                          reinterpret_cast<unsigned char*>(&id[0]),
                          &idLength) != 0)
      id.clear();
  }

  size_t keptRecords = 0;
  if (!args.prune.empty()) {
    std::string kept;
    if (!Pruned(text, &kept, &error) ||
        !WritePruned(args.prune, kept, args.force, &error))
      return InputError(args.file, error, args.json);
    for (const Record& record : records)
      if (std::string(record.state) == "valid") ++keptRecords;
  }

  const bool granted = answer == 0;
  if (args.json) {
    Json list = Json::Array();
    for (const Record& record : records)
      list.Push(Json::Object()
                    .Set("begin", DisplayText(record.begin))
                    .Set("end", DisplayText(record.end))
                    .Set("state", record.state));
    Json report = Json::Object();
    report.Set("file", args.file)
        .Set("seal", hasId ? Json(DisplayText(id)) : Json())
        .Set("records", list)
        .Set("answer", granted ? "granted" : "not granted")
        .Set("code", answer);
    if (!args.prune.empty())
      report.Set("pruned",
                 Json::Object()
                     .Set("file", args.prune)
                     .Set("records", static_cast<uint64_t>(keptRecords)));
    std::cout << report.Dump() << "\n";
  } else {
    std::cout << "file: " << EscapeText(args.file) << "\n"
              << "seal: " << (hasId ? EscapeText(DisplayText(id)) : "(none)")
              << "\n";
    for (size_t i = 0; i < records.size(); ++i)
      std::cout << "record " << i + 1 << ": " << ForText(records[i].begin)
                << " to " << ForText(records[i].end) << ": " << records[i].state
                << "\n";
    std::cout << "answer: "
              << (granted ? "granted"
                          : "not granted (" + std::to_string(answer) + ")")
              << "\n";
    if (!args.prune.empty())
      std::cout << "pruned: " << EscapeText(args.prune) << " (" << keptRecords
                << (keptRecords == 1 ? " record" : " records") << ")\n";
  }
  return granted ? kExitOk : kExitInvalid;
}

}  // namespace ofdseal
