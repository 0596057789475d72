// `ofdseal device list`: what the key devices of an SKF driver hold, read
// through the seal services' own binding and walks.
#pragma once

#include <string>

namespace ofdseal {

struct DeviceListOptions {
  // Driver library to bind; empty: the one main.ini names beside the
  // libraries.
  std::string driver;
};

// Prints each device (description, key serial), the certificates of its
// containers (subject, serial, validity) and the seal identifiers the
// devices hold. Returns an exit code.
int DeviceList(const DeviceListOptions& options);

}  // namespace ofdseal
