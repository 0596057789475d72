// Untrusted OFD packages through ofdseal's reader and verifier: the ZIP
// archive, its entry names, OFD.xml, the signature lists, Signature.xml and
// the references, then both reports. Nothing may crash, leak or read out of
// bounds, whatever the archive holds; the reports are valid UTF-8, and the
// text report holds no control character but its own line ends.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "KXLog.h"
#include "package.h"
#include "text.h"
#include "verify.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    KXSetLogLevel(KX_LOG_FATAL);  // failures of the libraries are expected
    return true;
  }();
  (void)quiet;
  // libzip opens files by name: the input becomes an anonymous file.
  int fd = memfd_create("ofd", 0);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  ofdseal::Limits limits;
  limits.maxEntries = 1000;
  limits.maxInflated = 16u << 20;
  limits.maxXmlSize = 1u << 20;
  ofdseal::Package package;
  std::string error;
  if (package.Open(path, limits, &error)) {
    ofdseal::VerifyReport report;
    report.file = "input.ofd";
    const ofdseal::TrustStore noAnchors;
    if (ofdseal::VerifyPackage(package, noAnchors, &report, &error)) {
      const std::string text = ofdseal::VerifyText(report);
      if (!ofdseal::IsUtf8(text)) abort();
      for (unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7F) abort();
      if (!ofdseal::IsUtf8(ofdseal::VerifyJson(report).Dump())) abort();
    }
  }
  close(fd);
  return 0;
}
