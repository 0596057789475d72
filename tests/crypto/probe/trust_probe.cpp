// trust_probe METHOD LOGFILE CERT_FILE...
// Prints "<library directory> <code> <code> ..." with the chain-check result
// of each certificate (PEM or DER) under METHOD. Tests run it with
// LD_LIBRARY_PATH pointing at a private copy of libKXCommon, so that it reads
// the trust.txt of that copy in a process of its own.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "KXCrypto.h"
#include "KXLog.h"
#include "KXTrust.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  KXSetLogPath(argv[2]);
  KXSetVerifyCertlinkMethod(std::atoi(argv[1]));
  std::printf("%s", KXGetDllPath());
  for (int i = 3; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
    shared_ptr<X509> cert =
        KXStrToX509(bytes.data(), static_cast<int>(bytes.size()));
    std::printf(" %d", cert ? KXVerifyCertLink(cert.get(), true) : -1);
  }
  std::printf("\n");
  return 0;
}
