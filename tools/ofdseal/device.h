// ofdseal device: provisioning of software key devices, the folders that the
// SKF driver libskfsoft.so serves as key devices.
#pragma once

#include <string>
#include <vector>

namespace ofdseal {

// ofdseal device SUBCOMMAND ...; returns the exit code.
int DeviceCommand(const std::vector<std::string>& argv);

}  // namespace ofdseal
