// ofdseal offline check: the periods of a seal's offline authorization file,
// whether it grants one, and the file pruned to the records valid now.
#pragma once

#include <string>
#include <vector>

namespace ofdseal {

// Runs "ofdseal offline ARGS..." (`argv` without "offline"); returns the
// exit code: 0 a record grants a valid period, 1 none does, 2 bad usage, an
// unreadable or malformed file, or a pruned file that could not be written.
int OfflineCommand(const std::vector<std::string>& argv);

}  // namespace ofdseal
