// kxselfcheck: loads the three libraries and prints a few results, to show
// that a build works on this machine.
#include <cstdio>

#include "KXError.h"
#include "KXLog.h"

int main() {
  std::printf("libKXCommon directory: %s\n", KXGetDllPath());
  std::printf("executable directory:  %s\n", KXGetExePath());
  std::printf("KXFormatError(0)    = %s\n", KXFormatError(0));
  std::printf("KXFormatError(5023) = %s\n", KXFormatError(5023));
  std::printf("KXFormatError(9999) = %s\n", KXFormatError(9999));
  return 0;
}
