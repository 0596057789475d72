// Host utilities: the address by which this machine names itself, found once
// per process, and random hexadecimal strings.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KXError.h"
#include "KXHost.h"
#include "KXIni.h"
#include "KXLog.h"
#include "KXString.h"
#include "foundation/export_boundary.h"
#include "foundation/local_address.h"

// Created empty at load, freed at unload; filled once, under g_hostLock.
ckxstr g_host;

namespace {

const char kLocalIpFn[] = "KXGetLocalIp";
const char kRandomFn[] = "KXRandomStr";

std::mutex g_hostLock;
// Set once g_host holds the address: later calls copy it without the lock.
std::atomic<bool> g_hostReady{false};

struct IfAddrsFree {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

// Every IPv4 address of the host's interfaces, in the system's order
// (getifaddrs lists them all, however many there are).
std::vector<kx::InterfaceAddress> ListAddresses() {
  std::vector<kx::InterfaceAddress> out;
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return out;
  const std::unique_ptr<ifaddrs, IfAddrsFree> list(raw);
  for (const ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr ||
        entry->ifa_addr->sa_family != AF_INET)
      continue;
    char text[INET_ADDRSTRLEN];
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr)
      continue;
    kx::InterfaceAddress address;
    address.name = entry->ifa_name;
    address.address = text;
    address.up = (entry->ifa_flags & IFF_UP) != 0;
    address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    out.push_back(std::move(address));
  }
  return out;
}

// Fills g_host: the configured address, else the detected one, else the
// loopback address.
void FillHost() {
  std::lock_guard<std::mutex> lock(g_hostLock);
  if (!g_host.empty()) return;
  std::string address;
  ckxstr ini;
  const std::string path = std::string(KXGetDllPath()) + "main.ini";
  if (ini.readfile(path.c_str())) {
    const ckxstr configured =
        KXIniReadStr(ini, "Default", "local_address", nullptr);
    address.assign(configured.c_str(), configured.length());
  }
  if (address.empty()) address = kx::ChooseLocalAddress(ListAddresses());
  if (address.empty()) address = "127.0.0.1";
  if (!g_host.assign(address.data(), static_cast<uint32_t>(address.size())))
    return;
  g_hostReady.store(true, std::memory_order_release);
}

// Records the failure of KXRandomStr: the last error and one log line whose
// format takes the length asked for and the code.
ckxstr RandomFailure(int code, const char* format, int n,
                     int line = __builtin_LINE()) {
  KXSetLastError(code);
  KXLog(KX_LOG_ERROR, kRandomFn, line, format, n, code);
  return ckxstr();
}

}  // namespace

ckxstr KXGetLocalIp() {
  if (!g_hostReady.load(std::memory_order_acquire))
    kx::GuardValue(kx::CommonFailure(kLocalIpFn), [] { FillHost(); });
  if (g_hostReady.load(std::memory_order_acquire)) return g_host;
  // The cache could not be filled (no memory): the last resort all the same.
  ckxstr loopback;
  loopback.assign("127.0.0.1", 9);
  return loopback;
}

ckxstr KXRandomStr(int n) {
  if (n == 0) return ckxstr();
  if (n < 0)
    return RandomFailure(KX_ERR_INVALID_INPUT, "length %d invalid, %d", n);
  // Two characters per byte must fit a string.
  if (static_cast<uint32_t>(n) > ckxstr::kMaxLength / 2)
    return RandomFailure(KX_ERR_SIZE_LIMIT, "length %d to large, %d", n);
  ckxstr bytes;
  if (!bytes.resize(static_cast<uint32_t>(n), false))
    return RandomFailure(KX_ERR_MEMORY, "length %d no memory, %d", n);
  unsigned char* raw = reinterpret_cast<unsigned char*>(bytes.data());
  // No value made from the clock or any other guessable source stands in
  // when the generator fails: the caller gets nothing.
  const bool drawn = RAND_bytes(raw, n) == 1;
  ckxstr hex;
  if (drawn) hex = KXHexToStr(raw, static_cast<unsigned int>(n));
  OPENSSL_cleanse(raw, static_cast<size_t>(n));
  if (!drawn)
    return RandomFailure(KX_ERR_OPENSSL, "length %d RAND_bytes() error, %d", n);
  if (hex.length() != 2u * static_cast<uint32_t>(n))
    return RandomFailure(KX_ERR_MEMORY, "length %d no memory, %d", n);
  return hex;
}
