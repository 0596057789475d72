// Which of the host's IPv4 addresses it names itself by. Header only, so that
// the choice can be tried on made-up interface lists.
#pragma once

#include <string>
#include <vector>

namespace kx {

struct InterfaceAddress {
  std::string name;     // interface name, with its alias label ("eth0:1")
  std::string address;  // dotted IPv4 text
  bool up = false;
  bool loopback = false;
};

// The address of the last interface in `list` (the system's order) whose
// name contains "eth"; otherwise that of the first interface that is up and
// not a loopback (names such as "ens3" or "enp0s31f6"); otherwise "".
inline std::string ChooseLocalAddress(
    const std::vector<InterfaceAddress>& list) {
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (it->name.find("eth") != std::string::npos) return it->address;
  for (const InterfaceAddress& entry : list)
    if (entry.up && !entry.loopback) return entry.address;
  return std::string();
}

}  // namespace kx
