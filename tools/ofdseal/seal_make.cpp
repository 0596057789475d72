#include "seal_make.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "KXString.h"
#include "KXTime.h"
#include "cli.h"
#include "seal_build.h"
#include "signer.h"
#include "text.h"

namespace ofdseal {
namespace {

const char kSealHelp[] =
    "Usage: ofdseal seal make [OPTIONS] --out SEAL.esl\n"
    "\n"
    "Makes electronic seals.\n"
    "\n"
    "Commands:\n"
    "  make              make a seal from a picture, its name, identifier,\n"
    "                    type and validity period, its owners' certificates\n"
    "                    and its maker's key and certificate\n"
    "\n"
    "Run 'ofdseal seal make --help' for its options.\n";

const char kMakeHelp[] =
    "Usage: ofdseal seal make --picture FILE --name NAME --id ID\n"
    "                         --owner-cert CERT [--owner-cert CERT]...\n"
    "                         --maker-cert CERT (--maker-key KEY.pem |\n"
    "                         --maker-device [--driver FILE])\n"
    "                         [--type unit|personal|N] [--valid-from TIME]\n"
    "                         [--valid-to TIME] [--size W,H] [--vendor TEXT]\n"
    "                         [--family gov|plain] --out SEAL.esl [--force]\n"
    "\n"
    "Makes a seal (DER) that binds the picture, the name, the identifier, the\n"
    "type and the validity period to the certificates of its owners (the\n"
    "signers who may sign with it), signed by the seal maker: a GOV-family\n"
    "seal (version 4), or with --family plain a plain-family seal. Prints\n"
    "what it made; 'ofdseal inspect SEAL.esl' shows every field.\n"
    "\n"
    "Options:\n"
    "  --picture FILE     the seal picture: PNG, JPEG or GIF; its type and\n"
    "                     size are read from the file\n"
    "  --size W,H         the picture's display size in millimetres (default:\n"
    "                     its pixel size at the resolution it declares, else\n"
    "                     at 96 dots per inch)\n"
    "  --name NAME        the seal's name (UTF-8)\n"
    "  --id ID            the seal's identifier (ASCII); 14 or 32 hex digits\n"
    "                     (7 or 16 bytes) to store it on a key device\n"
    "  --type T           unit (1, the default), personal (2) or a number\n"
    "  --valid-from TIME  start of validity, local time 'YYYY-MM-DD' or\n"
    "                     'YYYY-MM-DD hh:mm:ss' (default: now)\n"
    "  --valid-to TIME    end of validity (a date alone: its end; default: a\n"
    "                     year after the start)\n"
    "  --owner-cert CERT  an owner's certificate, DER or PEM; may be repeated\n"
    "  --maker-cert CERT  the seal maker's certificate, DER or PEM\n"
    "  --maker-key KEY.pem\n"
    "                     the maker's private key, PEM (SM2 or RSA, not\n"
    "                     encrypted); it must belong to --maker-cert\n"
    "  --maker-device     sign with the maker's key on an SKF key device: the\n"
    "                     container that holds the key of --maker-cert; the\n"
    "                     user PIN comes from OFDSEAL_PIN or the terminal\n"
    "  --driver FILE      the SKF driver library (default: the one main.ini\n"
    "                     names under dllpath)\n"
    "  --vendor TEXT      the vendor identifier of the header (default\n"
    "                     sealkit)\n"
    "  --family F         gov (default) or plain\n"
    "  --out SEAL.esl     the seal file to write; an existing file is not\n"
    "                     replaced\n"
    "  --force            replace an existing SEAL.esl (a symbolic link is\n"
    "                     replaced itself, never written through)\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit codes: 0 success, 2 bad usage, an unreadable picture, certificate\n"
    "or key, a key that does not belong to its certificate, a wrong PIN, or\n"
    "an output file that exists or could not be written.\n";

const char kCommand[] = "seal make";
// Pictures, certificates and keys are small files.
const uint64_t kMaxPicture = 16u << 20;
const double kDefaultDotsPerMm = 96 / 25.4;
const time_t kYear = 365 * 24 * 3600;

int Failure(const std::string& message) {
  std::cerr << "ofdseal " << kCommand << ": " << EscapeText(message) << "\n";
  return kExitUsage;
}

uint32_t Be32(const std::string& b, size_t at) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8) |
         static_cast<unsigned char>(b[at + 3]);
}
unsigned Be16(const std::string& b, size_t at) {
  return (static_cast<unsigned>(static_cast<unsigned char>(b[at])) << 8) |
         static_cast<unsigned char>(b[at + 1]);
}
unsigned Le16(const std::string& b, size_t at) {
  return static_cast<unsigned char>(b[at]) |
         (static_cast<unsigned>(static_cast<unsigned char>(b[at + 1])) << 8);
}

// PNG: IHDR comes first; pHYs, when present, before the first IDAT.
bool ReadPng(const std::string& b, PictureInfo* info) {
  if (b.size() < 33 || b.compare(12, 4, "IHDR") != 0) return false;
  info->type = "PNG";
  info->width = static_cast<long>(Be32(b, 16));
  info->height = static_cast<long>(Be32(b, 20));
  for (size_t at = 8; at + 12 <= b.size();) {
    const uint32_t length = Be32(b, at);
    if (length > b.size() - at - 12) break;
    if (b.compare(at + 4, 4, "IDAT") == 0) break;
    // pHYs: pixels per unit in x and y, unit 1 = the metre.
    if (b.compare(at + 4, 4, "pHYs") == 0 && length == 9 && b[at + 16] == 1)
      info->dotsPerMm = Be32(b, at + 8) / 1000.0;
    at += 12 + length;
  }
  return true;
}

// JPEG: the JFIF density of APP0 and the size of the first frame header.
bool ReadJpeg(const std::string& b, PictureInfo* info) {
  info->type = "JPG";
  for (size_t at = 2; at + 4 <= b.size();) {
    if (static_cast<unsigned char>(b[at]) != 0xFF) return false;
    const unsigned marker = static_cast<unsigned char>(b[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      at += 2;  // no length
      continue;
    }
    const unsigned length = Be16(b, at + 2);
    if (length < 2 || length > b.size() - at - 2) return false;
    const size_t body = at + 4;
    if (marker == 0xE0 && length >= 14 &&
        b.compare(body, 5, "JFIF\0", 5) == 0) {
      const unsigned units = static_cast<unsigned char>(b[body + 7]);
      const unsigned density = Be16(b, body + 8);
      if (units == 1) info->dotsPerMm = density / 25.4;  // dots per inch
      if (units == 2) info->dotsPerMm = density / 10.0;  // dots per cm
    }
    // Start-of-frame markers (not DHT C4, JPG C8, DAC CC).
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
                       marker != 0xC8 && marker != 0xCC;
    if (frame && length >= 7) {
      info->height = static_cast<long>(Be16(b, body + 1));
      info->width = static_cast<long>(Be16(b, body + 3));
      return true;
    }
    if (marker == 0xDA) return false;  // image data before any frame header
    at += 2 + length;
  }
  return false;
}

bool ReadGif(const std::string& b, PictureInfo* info) {
  if (b.size() < 10) return false;
  info->type = "GIF";
  info->width = static_cast<long>(Le16(b, 6));
  info->height = static_cast<long>(Le16(b, 8));
  return true;
}

// "12,30.5" -> two positive numbers.
bool ParsePair(const std::string& text, double* a, double* b) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  const auto number = [](const std::string& s, double* out) {
    if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos)
      return false;
    char* end = nullptr;
    *out = std::strtod(s.c_str(), &end);
    return *end == '\0' && std::isfinite(*out);
  };
  return number(text.substr(0, comma), a) && number(text.substr(comma + 1), b);
}

// "YYYY-MM-DD" or "YYYY-MM-DD hh:mm:ss" in local time; a date alone stands
// for its first second, or its last with `endOfDay`.
bool ParseLocalTime(const std::string& text, bool endOfDay, time_t* out) {
  std::string full = text;
  if (text.size() == 10) full += endOfDay ? " 23:59:59" : " 00:00:00";
  if (full.size() != 19) return false;
  const long ms =
      KXStrToTime(full.c_str(), static_cast<int>(full.size()), false);
  if (ms < 0) return false;
  *out = static_cast<time_t>(ms / 1000);
  return true;
}

std::string LocalText(time_t t) {
  const ckxstr text = KXTimeToStr(static_cast<long>(t) * 1000, false, false);
  return std::string(text.c_str(), text.length());
}

bool PrintableAscii(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return !text.empty();
}

int Make(const std::vector<std::string>& argv) {
  CommandArgs a;
  int rc = ParseCommandArgs(
      kCommand, argv, {"--maker-device", "--force"},
      {"--picture", "--size", "--name", "--id", "--type", "--valid-from",
       "--valid-to", "--owner-cert", "--maker-cert", "--maker-key", "--driver",
       "--vendor", "--family", "--out"},
      &a);
  if (rc != kExitOk) return rc;
  if (a.help) {
    std::cout << kMakeHelp;
    return kExitOk;
  }
  if (!a.operands.empty())
    return CommandUsage(kCommand, "unexpected '" + a.operands[0] + "'");
  for (const char* required :
       {"--picture", "--name", "--id", "--owner-cert", "--maker-cert", "--out"})
    if (!a.Has(required))
      return CommandUsage(kCommand, std::string("missing ") + required);
  if (a.Has("--maker-key") == a.Has("--maker-device"))
    return CommandUsage(kCommand, "give --maker-key or --maker-device");
  if (a.Has("--driver") && !a.Has("--maker-device"))
    return CommandUsage(kCommand, "--driver goes with --maker-device");

  SealContent seal;
  const std::string family = a.Get("--family", "gov");
  if (family != "gov" && family != "plain")
    return CommandUsage(kCommand, "--family is gov or plain");
  seal.family = family == "gov" ? SealFamily::kGov : SealFamily::kPlain;
  seal.name = a.Get("--name");
  seal.id = a.Get("--id");
  seal.vendor = a.Get("--vendor", "sealkit");
  if (seal.name.empty() || !IsUtf8(seal.name))
    return CommandUsage(kCommand, "--name needs UTF-8 text");
  if (!PrintableAscii(seal.id) || !PrintableAscii(seal.vendor))
    return CommandUsage(kCommand, "--id and --vendor take printable ASCII");
  const std::string type = a.Get("--type", "unit");
  if (type == "unit" || type == "personal") {
    seal.type = type == "unit" ? 1 : 2;
  } else if (!type.empty() && type.size() <= 6 &&
             type.find_first_not_of("0123456789") == std::string::npos) {
    seal.type = std::stol(type);
  } else {
    return CommandUsage(kCommand, "bad value '" + type + "' for --type");
  }
  seal.created = time(nullptr);
  seal.validStart = seal.created;
  if (a.Has("--valid-from") &&
      !ParseLocalTime(a.Get("--valid-from"), false, &seal.validStart))
    return CommandUsage(kCommand, "bad time '" + a.Get("--valid-from") + "'");
  seal.validEnd = seal.validStart + kYear;
  if (a.Has("--valid-to") &&
      !ParseLocalTime(a.Get("--valid-to"), true, &seal.validEnd))
    return CommandUsage(kCommand, "bad time '" + a.Get("--valid-to") + "'");
  if (seal.validEnd <= seal.validStart)
    return CommandUsage(kCommand, "the validity period ends before it starts");
  double width = 0, height = 0;
  if (a.Has("--size") &&
      (!ParsePair(a.Get("--size"), &width, &height) || width < 1 ||
       height < 1 || width > 10000 || height > 10000))
    return CommandUsage(kCommand, "--size takes W,H in millimetres");

  std::string error;
  const std::string picturePath = a.Get("--picture");
  if (!ReadWholeFile(picturePath, kMaxPicture, &seal.picture, &error))
    return Failure(error);
  PictureInfo picture;
  if (!ReadPictureInfo(seal.picture, &picture))
    return Failure("'" + picturePath +
                   "' is not a PNG, JPEG or GIF picture with a size");
  seal.pictureType = picture.type;
  if (!a.Has("--size")) {
    const double dots =
        picture.dotsPerMm > 0 ? picture.dotsPerMm : kDefaultDotsPerMm;
    width = picture.width / dots;
    height = picture.height / dots;
  }
  seal.width = std::max(1L, std::lround(width));
  seal.height = std::max(1L, std::lround(height));
  for (const std::string& path : a.All("--owner-cert")) {
    std::string der;
    if (!ReadCertificateFile(path, &der, &error)) return Failure(error);
    seal.owners.push_back(der);
  }
  std::unique_ptr<Signer> maker;
  if (a.Has("--maker-key")) {
    maker = OpenPemSigner(a.Get("--maker-cert"), a.Get("--maker-key"), &error);
  } else {
    std::string der;
    if (!ReadCertificateFile(a.Get("--maker-cert"), &der, &error))
      return Failure(error);
    DeviceOptions device;
    device.driver = a.Get("--driver");
    maker = OpenDeviceSigner(device, {der}, &error);
  }
  if (!maker) return Failure(error);
  std::string der;
  if (!MakeSeal(seal, *maker, &der, &error)) return Failure(error);
  const std::string out = a.Get("--out");
  if (!WriteNewFile(out, der, a.Has("--force"), &error)) return Failure(error);

  const char* familyName = seal.family == SealFamily::kGov ? "GOV" : "plain";
  std::cout << "Made a " << familyName << "-family seal: " << EscapeText(out)
            << " (" << der.size() << " bytes)\n"
            << "  ID:         " << EscapeText(seal.id) << "\n"
            << "  Name:       " << EscapeText(seal.name) << "\n"
            << "  Type:       " << seal.type
            << (seal.type == 1   ? " (unit)"
                : seal.type == 2 ? " (personal)"
                                 : "")
            << "\n"
            << "  Validity:   " << LocalText(seal.validStart) << " to "
            << LocalText(seal.validEnd) << "\n"
            << "  Picture:    " << picture.type << ", " << picture.width
            << " x " << picture.height << " pixels, shown " << seal.width
            << " x " << seal.height << " mm\n";
  for (const std::string& owner : seal.owners)
    std::cout << "  Owner:      " << EscapeText(SubjectOf(owner)) << "\n";
  std::cout << "  Maker:      " << EscapeText(SubjectOf(maker->certificate()))
            << "\n"
            << "  Algorithm:  "
            << (maker->kind() == KeyKind::kSm2 ? "SM2 with SM3"
                                               : "RSA with SHA-256")
            << " (" << maker->AlgorithmOid() << ")\n";
  return kExitOk;
}

}  // namespace

bool ReadPictureInfo(const std::string& bytes, PictureInfo* info) {
  *info = PictureInfo();
  const auto starts = [&](const char* magic, size_t n) {
    return bytes.size() >= n && std::memcmp(bytes.data(), magic, n) == 0;
  };
  bool read = false;
  if (starts("\x89PNG\r\n\x1A\n", 8))
    read = ReadPng(bytes, info);
  else if (starts("\xFF\xD8", 2))
    read = ReadJpeg(bytes, info);
  else if (starts("GIF87a", 6) || starts("GIF89a", 6))
    read = ReadGif(bytes, info);
  return read && info->width > 0 && info->height > 0;
}

int SealCommand(const std::vector<std::string>& argv) {
  if (argv.empty()) return CommandUsage("seal", "missing COMMAND");
  const std::string command = argv[0];
  if (command == "-h" || command == "--help") {
    std::cout << kSealHelp;
    return kExitOk;
  }
  if (command == "make")
    return Make(std::vector<std::string>(argv.begin() + 1, argv.end()));
  return CommandUsage("seal", "unknown command '" + command + "'");
}

}  // namespace ofdseal
