// Calls into the SKF driver that the seal services bound in funcList, for
// the commands that use key devices.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SKF.h"
#include "SealDevice.h"

namespace ofdseal {

// The driver function at `slot` of the bound table.
template <class Fn>
Fn Bound(int slot) {
  return reinterpret_cast<Fn>(funcList[slot]);
}

// "0x0A000005".
inline std::string Code(ULONG code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

// A driver name list (devices, containers, files) read in its two calls;
// only the names within the answered length.
inline bool ReadNames(const std::function<ULONG(char*, ULONG*)>& read,
                      std::vector<std::string>* names, ULONG* code) {
  ULONG size = 0;
  *code = read(nullptr, &size);
  if (*code != SAR_OK) return false;
  std::vector<char> buffer(size + 1, '\0');
  *code = read(buffer.data(), &size);
  if (*code != SAR_OK) return false;
  const size_t end = size < buffer.size() ? size : buffer.size();
  for (size_t at = 0; at < end && buffer[at] != '\0';) {
    const size_t length = strnlen(buffer.data() + at, end - at);
    names->emplace_back(buffer.data() + at, length);
    at += length + 1;
  }
  return true;
}

}  // namespace ofdseal
