// Verification of many documents: files and folders, on several threads,
// reported in the order given.
#pragma once

#include <string>
#include <vector>

#include "ofdseal.h"

namespace ofdseal {

struct BatchOptions {
  bool json = false;
  bool recursive = false;  // folders: every *.ofd file below them
  unsigned jobs = 1;       // threads; 0: one per processor
};

// Verifies every FILE operand, and with `recursive` every *.ofd file below
// each folder operand (in name order), through ofdseal_verify_file with
// `verify` (its trust anchors and limits; the report form is set here). One
// file: its report as `verify` always printed it. Several: one report per
// file in operand order, then a summary line; with `json`, one array of the
// reports. Each document is read on its own, so a bad one does not stop the
// others. Returns the worst exit code of the files.
int VerifyFiles(const std::vector<std::string>& operands,
                ofdseal_options* verify, const BatchOptions& options);

}  // namespace ofdseal
