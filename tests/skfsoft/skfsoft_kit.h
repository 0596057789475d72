// What the software key device's tests share: a device folder of their own
// named by SKFSOFT_DIR, provisioning through the store library, and an open
// device and application.
#pragma once

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "SKF.h"
#include "crypto/crypto_kit.h"
#include "store.h"
#include "tools/ofdseal_run.h"

namespace skt {

using kit::Bytes;

inline const char kDevice[] = "key1";
inline const char kApp[] = "Default";
inline const char kUserPin[] = "12345678";
inline const char kAdminPin[] = "admin-pin";

inline std::string Text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}
inline Bytes ToBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

inline std::string Pem(EVP_PKEY* key) {
  std::unique_ptr<BIO, kit::Free> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr,
                           nullptr);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

inline Bytes Der(X509* cert) {
  unsigned char* out = nullptr;
  int length = i2d_X509(cert, &out);
  Bytes der(out, out + length);
  OPENSSL_free(out);
  return der;
}

// A device folder of the test's own, named by SKFSOFT_DIR while it lives,
// with the device key1 and its application Default (PINs kUserPin and
// kAdminPin, `retries` attempts).
class Root {
 public:
  explicit Root(unsigned retries = 3) : path_(scratch_.Path("devices")) {
    setenv("SKFSOFT_DIR", path_.c_str(), 1);
    std::string error;
    EXPECT_TRUE(skfsoft::CreateDevice(path_, kDevice, "maker", "issuer",
                                      "label", "SN-1", &error) &&
                skfsoft::CreateApplication(path_, kDevice, kApp, kUserPin,
                                           kAdminPin, retries, &error))
        << error;
  }
  ~Root() { unsetenv("SKFSOFT_DIR"); }
  const std::string& path() const { return path_; }
  std::string App(const std::string& rest = std::string()) const {
    return path_ + "/" + kDevice + "/" + kApp + (rest.empty() ? "" : "/") +
           rest;
  }
  // A container of the application; "" leaves a part out.
  void Put(const std::string& container, int type, const std::string& signKey,
           const Bytes& signCert = Bytes()) const {
    std::string error;
    EXPECT_TRUE(skfsoft::PutContainer(path_, kDevice, kApp, container, type,
                                      Text(signCert), signKey, "", "", &error))
        << error;
  }

 private:
  ofdtest::Scratch scratch_;
  std::string path_;
};

// key1 connected and Default opened; closed with the object.
struct Session {
  DEVHANDLE dev = nullptr;
  HAPPLICATION app = nullptr;
  explicit Session(const char* device = kDevice) {
    EXPECT_EQ(SAR_OK, SKF_ConnectDev(const_cast<char*>(device), &dev));
    EXPECT_EQ(SAR_OK, SKF_OpenApplication(dev, const_cast<char*>(kApp), &app));
  }
  ~Session() {
    if (dev != nullptr) SKF_DisConnectDev(dev);
  }
  ULONG Login(const char* pin = kUserPin) {
    ULONG retries = 0;
    return SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>(pin), &retries);
  }
  HCONTAINER Open(const char* container) {
    HCONTAINER handle = nullptr;
    EXPECT_EQ(SAR_OK,
              SKF_OpenContainer(app, const_cast<char*>(container), &handle));
    return handle;
  }
};

// A name list read as the seal services read it: the length, then the list.
using ListCall = std::function<ULONG(LPSTR, ULONG*)>;
inline std::vector<std::string> Names(const ListCall& call) {
  ULONG size = 0;
  EXPECT_EQ(SAR_OK, call(nullptr, &size));
  std::string list(size, 'x');
  EXPECT_EQ(SAR_OK, call(&list[0], &size));
  EXPECT_EQ(size, list.size());
  std::vector<std::string> names;
  for (size_t at = 0; at < list.size() && list[at] != '\0';) {
    names.push_back(list.c_str() + at);
    at += names.back().size() + 1;
  }
  EXPECT_EQ(list.back(), '\0');
  return names;
}

}  // namespace skt
