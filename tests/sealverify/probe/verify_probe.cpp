// verify_probe DIGEST_HEX SIGNATURE_FILE
// Prints "<result code> <library directory>" for one verification. Tests run
// it with LD_LIBRARY_PATH pointing at a private copy of the libraries, so
// that it reads the main.ini of that copy in a process of its own.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "KXLog.h"
#include "SealVerify.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::vector<unsigned char> digest;
  std::string hex = argv[1];
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    digest.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  std::ifstream in(argv[2], std::ios::binary);
  std::vector<unsigned char> sig((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  unsigned int rc = SEF_OfdESealSign_Verify(
      digest.data(), static_cast<unsigned int>(digest.size()), sig.data(),
      static_cast<unsigned int>(sig.size()));
  std::printf("%u %s\n", rc, KXGetDllPath());
  return 0;
}
