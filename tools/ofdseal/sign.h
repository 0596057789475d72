// `ofdseal sign`: puts a seal signature on an OFD document and writes the
// signed package as a new file.
#pragma once

#include <string>
#include <vector>

namespace ofdseal {

// Runs "ofdseal sign FILE.ofd ..."; returns the exit code.
int SignCommand(const std::vector<std::string>& argv);

}  // namespace ofdseal
