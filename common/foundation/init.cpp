// Load and unload work of libKXCommon. All process-wide objects of the
// foundation are defined here, in their order of construction; C++ destroys
// them in reverse, after InitFini's destructor.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

#include "KXSM.h"
#include "state.h"

namespace kx {

std::string g_dllPath;
std::string g_exePath;
std::string g_logDir;
std::string g_logName;
LogState g_log;
CKXMutex g_logLock;

namespace {
CKXTls<int> g_lastError;
CKXTls<std::string> g_lastMsg;
}  // namespace

std::string FindExeDir() {
  // Grow the buffer until the whole link fits: a path longer than any fixed
  // buffer is read whole rather than cut into a wrong directory. An
  // unreadable link (or an absurdly long one) falls back to the current
  // directory, "./", so the result always ends with "/".
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0) return "./";
    if (static_cast<size_t>(n) < buf.size()) {
      std::string path(buf.data(), static_cast<size_t>(n));
      size_t slash = path.rfind('/');
      if (slash == std::string::npos) return "./";
      return path.substr(0, slash + 1);
    }
    if (buf.size() >= (1u << 20)) return "./";
    buf.resize(buf.size() * 2);
  }
}

std::string FindLibraryDirInMaps(const std::string& maps) {
  static const char kName[] = "/libKXCommon.so.1.0.0";
  size_t at = maps.find(kName);
  if (at == std::string::npos || at == 0) return std::string();
  // The path column starts with " /": search backwards from the name.
  size_t start = maps.rfind(" /", at);
  if (start == std::string::npos) return std::string();
  return maps.substr(start + 1, at - start);
}

namespace {

std::string ReadOwnMaps() {
  std::ifstream in("/proc/self/maps");
  if (!in) return std::string();
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class InitFini {
 public:
  InitFini() {
    g_tlsKeyReady = pthread_key_create(&g_tlsKey, basic_tls_destructor) == 0;
    try {
      g_exePath = FindExeDir();
      g_dllPath = FindLibraryDirInMaps(ReadOwnMaps());
      if (g_dllPath.empty()) g_dllPath = g_exePath;
      g_logDir = "/tmp/";
      g_logName = "kxlog.txt";
    } catch (...) {
    }
    RouteXmlErrors();
    SM2_GROUP_init();
  }
  ~InitFini() {
    SM2_GROUP_clear();
    CloseLog();
    basic_tls_destructor(nullptr);
    // Values other threads still hold are left alone: their maps are out of
    // reach from here.
    if (g_tlsKeyReady) {
      g_tlsKeyReady = false;
      pthread_key_delete(g_tlsKey);
    }
  }
};

InitFini g_initFini;

}  // namespace
}  // namespace kx

CKXTls<int>* kx_tls_last_error() { return &kx::g_lastError; }
CKXTls<std::string>* kx_tls_last_msg() { return &kx::g_lastMsg; }
