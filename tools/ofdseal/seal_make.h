// `ofdseal seal make`: a new electronic seal from a picture, the seal's
// name, identifier, type and validity period, its owners' certificates and
// its maker's key.
#pragma once

#include <string>
#include <vector>

namespace ofdseal {

// Runs "ofdseal seal SUBCOMMAND ..."; returns the exit code.
int SealCommand(const std::vector<std::string>& argv);

// What a seal picture file says about itself.
struct PictureInfo {
  std::string type;  // "PNG", "JPG" or "GIF"
  long width = 0;    // pixels
  long height = 0;
  double dotsPerMm = 0;  // the resolution it declares; 0 when none
};

// Reads the type, the pixel size and the declared resolution (PNG pHYs,
// JPEG JFIF density) from the picture's bytes. False for anything that is
// not a PNG, JPEG or GIF picture with a size.
bool ReadPictureInfo(const std::string& bytes, PictureInfo* info);

}  // namespace ofdseal
