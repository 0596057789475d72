// The inspect command: every property the libraries read from a seal, a seal
// signature, or each signature of an OFD package, and the pictures.
#pragma once

#include <string>

#include "package.h"

namespace ofdseal {

struct InspectOptions {
  bool json = false;
  std::string picture;  // base name of picture files; empty: none written
  bool force = false;   // replace existing picture files
  Limits limits;
};

// Runs the command on FILE and prints its report. Returns the exit code.
int Inspect(const std::string& file, const InspectOptions& options);

}  // namespace ofdseal
