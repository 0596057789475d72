// Key devices through the software key device: the driver binding, every
// walk with its results, failure codes and log lines (the failure driver
// forwards to the software device and fails the chosen call), and main.ini
// in processes of their own.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "KXString.h"
#include "SKF.h"
#include "SealDevice.h"
#include "fixtures.h"
#include "library_copy.h"
#include "skfsoft/store.h"
#include "test_process.h"

namespace {

namespace fs = std::filesystem;
using fx::Bytes;

const ULONG kDriverCode = SAR_INVALIDHANDLEERR;  // 167772165, 0a000005

std::string Text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string Pem(const std::shared_ptr<EVP_PKEY>& key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr,
                           nullptr);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(length));
  BIO_free(bio);
  return pem;
}

// A certificate for an RSA key with public exponent 3.
fx::Credential RsaExponent3Credential() {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
  EVP_PKEY_keygen_init(ctx);
  EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 1024);
  BIGNUM* e = BN_new();
  BN_set_word(e, 3);
  EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_keygen(ctx, &key);
  BN_free(e);
  EVP_PKEY_CTX_free(ctx);
  fx::CertSpec params;
  params.keyType = fx::KeyType::kRsa;
  params.key = std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
  return fx::MakeCredential(params);
}

// A self-signed certificate on the P-256 curve (an elliptic key that is not
// SM2).
Bytes P256Certificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("p256"), -1,
                             -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  Bytes out(der, der + length);
  OPENSSL_free(der);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

// Seal file name of an identifier: "ZqES00" and its Base64, "/" as "-".
std::string SealFileName(const Bytes& id) {
  std::string name = "ZqES00" + fx::Base64(id);
  for (char& c : name)
    if (c == '/') c = '-';
  return name;
}

template <class Fn>
Fn Slot(int slot) {
  return reinterpret_cast<Fn>(funcList[slot]);
}

class KeyDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    // The process binds the failure driver once; the walks then open the
    // application "Default".
    if (funcList[0] == nullptr) {
      ASSERT_EQ(SKF_LoadLibrary(KX_SKFSHIM, funcList), 0u);
    }
    fail_ = reinterpret_cast<void (*)(const char*, ULONG, int)>(
        dlsym(funcList[0], "SkfShimFail"));
    unterminated_ = reinterpret_cast<void (*)(int)>(
        dlsym(funcList[0], "SkfShimUnterminatedLists"));
    reset_ = reinterpret_cast<void (*)()>(dlsym(funcList[0], "SkfShimReset"));
    ASSERT_TRUE(fail_ && unterminated_ && reset_);
    reset_();
    root_ = fs::path(::testing::TempDir()) /
            ("kxdevice_" + std::to_string(getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    setenv("SKFSOFT_DIR", root_.c_str(), 1);
    fx::TestLog::Watch();
  }
  void TearDown() override {
    if (reset_ != nullptr) reset_();
    fs::remove_all(root_);
  }

  void AddDevice(const std::string& device, const std::string& issuer = "CA",
                 const std::string& serial = "SN0001",
                 const std::string& manufacturer = "Sealkit") {
    std::string error;
    ASSERT_TRUE(skfsoft::CreateDevice(root_, device, manufacturer, issuer,
                                      "key", serial, &error))
        << error;
    ASSERT_TRUE(skfsoft::CreateApplication(root_, device, "Default", "111111",
                                           "222222", 10, &error))
        << error;
  }
  void AddContainer(const std::string& device, const std::string& name,
                    const fx::Credential* sign,
                    const fx::Credential* enc = nullptr) {
    std::string error;
    ASSERT_TRUE(skfsoft::PutContainer(
        root_, device, "Default", name, skfsoft::kTypeFromKey,
        sign ? Text(sign->certDer) : "", sign ? Pem(sign->key) : "",
        enc ? Text(enc->certDer) : "", enc ? Pem(enc->key) : "", &error))
        << error;
  }
  void AddFile(const std::string& device, const std::string& name,
               const std::string& bytes = "seal") {
    std::string error;
    ASSERT_TRUE(
        skfsoft::PutFile(root_, device, "Default", name, bytes, &error))
        << error;
  }
  // Runs `body` with the application "Default" of `device` open.
  void WithApplication(const std::string& device,
                       const std::function<void(HAPPLICATION)>& body) {
    DEVHANDLE dev = nullptr;
    HAPPLICATION app = nullptr;
    ASSERT_EQ(Slot<PFN_SKF_ConnectDev>(4)(const_cast<LPSTR>(device.c_str()),
                                          &dev),
              0u);
    ASSERT_EQ(Slot<PFN_SKF_OpenApplication>(22)(
                  dev, const_cast<LPSTR>("Default"), &app),
              0u);
    body(app);
    Slot<PFN_SKF_CloseApplication>(23)(app);
    Slot<PFN_SKF_DisConnectDev>(5)(dev);
  }
  std::string Log() const { return fx::TestLog::Since(); }

  fs::path root_;
  void (*fail_)(const char*, ULONG, int) = nullptr;
  void (*unterminated_)(int) = nullptr;
  void (*reset_)() = nullptr;
};

const fx::Credential& Signer() { return fx::DefaultSigner(); }

// ---------------------------------------------------------------------------
// The loader.

TEST_F(KeyDevice, LoaderBindsEverySlotOrNothing) {
  void* table[SKF_TABLE_SLOTS] = {};
  EXPECT_EQ(SKF_LoadLibrary(KX_SKFSHIM, nullptr), 0x0A000006u);
  EXPECT_EQ(SKF_LoadLibrary(nullptr, table), 0x0A000006u);
  EXPECT_EQ(SKF_LoadLibrary("/nonexistent/libskf.so", table), 0x0A000001u);
  EXPECT_EQ(SKF_LoadLibrary(KX_SKFSHIM_INCOMPLETE, table), 0x0A000003u);
  for (void* slot : table) EXPECT_EQ(slot, nullptr);
  ASSERT_EQ(SKF_LoadLibrary(KX_SKFSOFT, table), 0u);
  void* handle = table[0];
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(table[3], dlsym(handle, "SKF_EnumDev"));
  EXPECT_EQ(table[59], dlsym(handle, "SKF_ExportPublicKey"));
  EXPECT_EQ(table[73], dlsym(handle, "SKF_DigestFinal"));
  int bound = 0;
  for (int i = 1; i < SKF_TABLE_SLOTS; ++i) bound += table[i] != nullptr;
  EXPECT_EQ(bound, 46);
  // A bound table keeps its driver whatever name is given.
  EXPECT_EQ(SKF_LoadLibrary(KX_SKFSHIM, table), 0u);
  EXPECT_EQ(table[0], handle);
  EXPECT_EQ(SKF_FreeLibrary(table), 0u);
  EXPECT_EQ(table[0], nullptr);
  EXPECT_EQ(SKF_FreeLibrary(table), 0u);
  EXPECT_EQ(SKF_FreeLibrary(nullptr), 0x0A000006u);
}

TEST_F(KeyDevice, UnboundTableAnswersACodeInsteadOfCrashing) {
  AddDevice("dev1");
  const Bytes seal = fx::MakeSeal(fx::Family::kGov);
  void* driver = funcList[0];
  ASSERT_EQ(SKF_FreeLibrary(funcList), 0u);
  // The slots still point into the unloaded driver; nothing may call them.
  EXPECT_EQ(SE_Verify_KEY_ESCert(reinterpret_cast<void*>(1), seal.data(),
                                 static_cast<uint32_t>(seal.size())),
            static_cast<uint32_t>(SAR_NOTINITIALIZEERR));
  uint32_t len = 0;
  // The build's library folder has no main.ini: the default driver name is
  // not found.
  EXPECT_EQ(SEBF_GetKeySn(nullptr, &len), 5001u);
  EXPECT_NE(Log().find("Initialize-->LoadLibrary fail,167772161"),
            std::string::npos);
  EXPECT_NE(Log().find("SEBF_GetKeySn==>00001389 -- Initialize() error"),
            std::string::npos);
  (void)driver;
  ASSERT_EQ(SKF_LoadLibrary(KX_SKFSHIM, funcList), 0u);
}

// ---------------------------------------------------------------------------
// Failure table: each row fails one driver call on a device with one
// container (the signer's key and certificate) and one seal file.

enum class Call {
  kGetCert,
  kGetCertbySN,
  kGetCertforPrint,
  kGetESealList,
  kGetKeySn,
  kGetKeySnbyCert,
  kFindKey,
  kVerifyOwner
};

struct FailureRow {
  Call call;
  const char* driverFunction;  // null: no failure injected
  int nth;                     // 0: every call
  uint32_t result;
  const char* line;  // "" when the row checks no line
};

const uint32_t X = kDriverCode;

const FailureRow kFailures[] = {
    {Call::kGetCert, "SKF_EnumDev", 1, X,
     "SEBF_GetCert==>167772165 -- SKF_EnumDev() get size error"},
    {Call::kGetCert, "SKF_EnumDev", 2, X,
     "SEBF_GetCert==>167772165 -- SKF_EnumDev() error"},
    {Call::kGetCert, "SKF_ConnectDev", 0, 5030,
     "SEBF_GetCert==>0a000005 -- SKF_ConnectDev() error"},
    {Call::kGetCert, "SKF_OpenApplication", 0, 5031,
     "SEBF_GetCert==>167772165 -- SKF_OpenApplication() error"},
    {Call::kGetCert, "SKF_EnumContainer", 1, 5053,
     "SEBF_GetCert==>167772165 -- SKF_EnumContainer() get conlist size error"},
    {Call::kGetCert, "SKF_EnumContainer", 2, 5053,
     "SEBF_GetCert==>5053 -- SKF_EnumContainer() get conlist error"},
    {Call::kGetCert, "SKF_ExportCertificate", 2, X,
     "SEBF_GetCert==>167772165 -- SKF_ExportCertificate() get cert error"},
    // No certificate found: the code of the last container operation.
    {Call::kGetCert, "SKF_OpenContainer", 0, X, ""},
    {Call::kGetCertbySN, "SKF_EnumDev", 1, X,
     "SEBF_GetCertbySN==>167772165 -- SKF_EnumDev() get size error"},
    {Call::kGetCertbySN, "SKF_EnumDev", 2, X,
     "SEBF_GetCertbySN==>167772165 -- SKF_EnumDev() error"},
    {Call::kGetCertbySN, "SKF_OpenApplication", 0, 5031,
     "SEBF_GetCertbySN==>167772165 -- SKF_OpenApplication() error"},
    {Call::kGetCertbySN, "SKF_EnumContainer", 1, 5053,
     "SEBF_GetCertbySN==>167772165 -- SKF_EnumContainer() get conlist size "
     "error"},
    {Call::kGetCertbySN, "SKF_ConnectDev", 0, 5030,
     "SEBF_GetCertbySN==>167772165 -- SKF_ConnectDev() error"},
    {Call::kGetCertbySN, "SKF_EnumContainer", 2, 5053,
     "SEBF_GetCertbySN==>5053 -- SKF_EnumContainer() get conlist error"},
    {Call::kGetCertbySN, "SKF_OpenContainer", 0, 5052,
     "SEBF_GetCertbySN==>5052 -- not find matched cert"},
    {Call::kGetCertforPrint, "SKF_EnumDev", 1, X,
     "SEBF_GetCertforPrint==>167772165 -- SKF_EnumDev() get size error"},
    {Call::kGetCertforPrint, "SKF_EnumDev", 2, X,
     "SEBF_GetCertforPrint==>167772165 -- SKF_EnumDev() error"},
    {Call::kGetCertforPrint, "SKF_OpenApplication", 0, 5031,
     "SEBF_GetCertforPrint==>167772165 -- SKF_OpenApplication() error"},
    {Call::kGetCertforPrint, "SKF_EnumContainer", 2, 5053,
     "SEBF_GetCertforPrintt==>5053 -- SKF_EnumContainer() get conlist error"},
    {Call::kGetCertforPrint, nullptr, 0, 5052,
     "SEBF_GetCertforPrint==>5052 -- not find matched cert"},
    {Call::kGetCertforPrint, "SKF_ConnectDev", 0, 5030,
     "SEBF_GetCertList==>167772165 -- SKF_ConnectDev() error"},
    {Call::kGetCertforPrint, "SKF_EnumContainer", 1, 5053,
     "SEBF_GetCertforPrintt==>167772165 -- SKF_EnumContainer() get conlist "
     "size error"},
    {Call::kGetESealList, "SKF_EnumDev", 1, X,
     "SEBF_GetESealList==>167772165 -- SKF_EnumDev() get size error"},
    {Call::kGetESealList, "SKF_EnumDev", 2, X,
     "SEBF_GetESealList==>167772165 -- SKF_EnumDev() error"},
    {Call::kGetESealList, "SKF_ConnectDev", 0, 5030,
     "SEBF_GetESealList==>167772165 -- SKF_ConnectDev() error"},
    {Call::kGetESealList, "SKF_OpenApplication", 0, 5031,
     "SEBF_GetESealList==>167772165 -- SKF_OpenApplication() error"},
    {Call::kGetESealList, "SKF_EnumFiles", 1, 5058,
     "SEBF_GetESealList==>167772165 -- SKF_EnumFiles() get filelist size "
     "error"},
    {Call::kGetESealList, "SKF_EnumFiles", 2, 5058,
     "SEBF_GetESealList==>167772165 -- SKF_EnumFiles() error"},
    {Call::kGetKeySn, "SKF_EnumDev", 1, X,
     "SEBF_GetKeySn==>0a000005 -- SKF_EnumDev() get size error"},
    {Call::kGetKeySn, "SKF_EnumDev", 2, X,
     "SEBF_GetKeySn==>0a000005 -- SKF_EnumDev() error"},
    {Call::kGetKeySn, "SKF_ConnectDev", 0, 5030,
     "SEBF_GetKeySn==>0a000005 -- SKF_ConnectDev() error"},
    {Call::kGetKeySn, "SKF_GetDevInfo", 0, 5001,
     "SEBF_GetKeySn==>00001389 -- SKF_GetDevInfo error"},
    {Call::kGetKeySnbyCert, "SKF_EnumDev", 1, X,
     "SEBF_GetKeySnbyCert==>167772165 -- SKF_EnumDev() get size error"},
    {Call::kGetKeySnbyCert, "SKF_EnumDev", 2, X,
     "SEBF_GetKeySnbyCert==>167772165 -- SKF_EnumDev() error"},
    {Call::kGetKeySnbyCert, "SKF_ConnectDev", 0, 5030,
     "SEBF_GetKeySnbyCert==>167772165 -- SKF_ConnectDev() error"},
    {Call::kGetKeySnbyCert, "SKF_OpenApplication", 0, 5031,
     "SEBF_GetKeySnbyCert==>167772165 -- SKF_OpenApplication() error"},
    {Call::kGetKeySnbyCert, "SKF_GetContainerType", 0, 5030,
     "SEBF_GetKeySnbyCert==>167772165 -- no right Device with sign cert "
     "error"},
    {Call::kGetKeySnbyCert, "SKF_ExportPublicKey", 0, 5030,
     "SE_FindPrivateSignKey-->5030 -- find the device pubkey match cert "
     "pubkey error"},
    {Call::kGetKeySnbyCert, "SKF_GetDevInfo", 0, 5001, ""},
    {Call::kFindKey, "SKF_EnumContainer", 1, X,
     "SE_FindPrivateSignKey-->167772165 -- SKF_EnumContainer() get conlist "
     "size error"},
    {Call::kFindKey, "SKF_EnumContainer", 2, X,
     "SE_FindPrivateSignKey-->167772165 -- SKF_EnumContainer() error"},
    {Call::kFindKey, "SKF_OpenContainer", 0, X,
     "SE_FindPrivateSignKey-->167772165 -- SKF_OpenContainer() error"},
    {Call::kFindKey, "SKF_GetContainerType", 0, X,
     "SE_FindPrivateSignKey-->167772165 -- SKF_GetContainerType() error"},
    {Call::kVerifyOwner, "SKF_EnumContainer", 1, X,
     "SE_Verify_KEY_ESCert-->167772165 -- SKF_EnumContainer() get conlist "
     "size error"},
    {Call::kVerifyOwner, "SKF_EnumContainer", 2, X,
     "SE_Verify_KEY_ESCert-->167772165 -- SKF_EnumContainer() error"},
    {Call::kVerifyOwner, "SKF_OpenContainer", 0, X,
     "SE_Verify_KEY_ESCert-->167772165 -- SKF_OpenContainer() error"},
    {Call::kVerifyOwner, "SKF_ExportCertificate", 2, X,
     "SE_Verify_KEY_ESCert-->167772165 -- SKF_ExportCertificate() error"},
    // A failed length query skips the container silently.
    {Call::kVerifyOwner, "SKF_ExportCertificate", 1, 5032,
     "SE_Verify_KEY_ESCert-->5032 -- verify the input eseal cert error"},
};

TEST_F(KeyDevice, EveryFailureHasItsCodeAndLine) {
  AddDevice("dev1");
  AddContainer("dev1", "c1", &Signer());
  AddFile("dev1", SealFileName(Bytes(16, 0x11)));
  const Bytes seal = fx::MakeSeal(fx::Family::kPlain);
  const std::string serial = "01";
  for (const FailureRow& row : kFailures) {
    SCOPED_TRACE(std::string(row.driverFunction ? row.driverFunction : "") +
                 " " + row.line);
    reset_();
    fx::TestLog::Watch();
    unsigned char out[8192];
    uint32_t len = sizeof out, count = 0;
    uint32_t result = 0xFFFFFFFFu;
    std::function<uint32_t()> call;
    switch (row.call) {
      case Call::kGetCert:
        call = [&] { return SEBF_GetCert(2, out, &len); };
        break;
      case Call::kGetCertbySN:
        call = [&] {
          return SEBF_GetCertbySN(serial.c_str(),
                                  static_cast<uint32_t>(serial.size()), out,
                                  &len);
        };
        break;
      case Call::kGetCertforPrint:
        call = [&] { return SEBF_GetCertforPrint("OU=x", out, &len); };
        break;
      case Call::kGetESealList:
        call = [&] { return SEBF_GetESealList(out, &len, &count); };
        break;
      case Call::kGetKeySn:
        call = [&] { return SEBF_GetKeySn(out, &len); };
        break;
      case Call::kGetKeySnbyCert:
        call = [&] {
          return SEBF_GetKeySnbyCert(
              Signer().certDer.data(),
              static_cast<uint32_t>(Signer().certDer.size()), out, &len);
        };
        break;
      case Call::kFindKey:
      case Call::kVerifyOwner:
        break;
    }
    if (call) {
      if (row.driverFunction != nullptr)
        fail_(row.driverFunction, kDriverCode, row.nth);
      result = call();
    } else {
      WithApplication("dev1", [&](HAPPLICATION app) {
        if (row.driverFunction != nullptr)
          fail_(row.driverFunction, kDriverCode, row.nth);
        void* container = nullptr;
        result = row.call == Call::kFindKey
                     ? SE_FindPrivateSignKey(app, Signer().cert.get(), 2,
                                             &container)
                     : SE_Verify_KEY_ESCert(app, seal.data(),
                                            static_cast<uint32_t>(seal.size()));
        reset_();
      });
    }
    EXPECT_EQ(result, row.result);
    if (row.line[0] != '\0') {
      EXPECT_NE(Log().find(row.line), std::string::npos) << Log();
    }
  }
}

TEST_F(KeyDevice, RequiredArgumentsAndMissingDevices) {
  uint32_t len = 0, count = 0;
  unsigned char buffer[16];
  const struct {
    std::function<uint32_t()> call;
    uint32_t result;
    const char* line;
  } rows[] = {
      {[&] { return SEBF_GetCert(0, buffer, nullptr); }, 5002,
       "SEBF_GetCert==>5002 -- arguments error"},
      {[&] { return SEBF_GetCertbySN(nullptr, 0, buffer, &len); }, 5002,
       "SEBF_GetCertbySN==>5002 -- arguments error"},
      {[&] { return SEBF_GetCertforPrint("OU=a", buffer, nullptr); }, 5002,
       "SEBF_GetCertforPrint==>5002 -- arguments error"},
      {[&] { return SEBF_GetESealList(buffer, &len, nullptr); }, 5002,
       "SEBF_GetESealList==>5002 -- arguments error"},
      {[&] { return SEBF_GetKeySn(buffer, nullptr); }, 5002,
       "SEBF_GetKeySn==>0000138a -- arguments error"},
      {[&] { return SEBF_GetKeySnbyCert(nullptr, 0, buffer, &len); }, 5002,
       "SEBF_GetKeySnbyCert==>5002 -- arguments error"},
      {[&] {
         const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
         return SEBF_GetKeySnbyCert(junk, sizeof junk, buffer, &len);
       },
       5002, "SEBF_GetKeySnbyCert==>5002 -- the args pchCert error"},
      {[&] {
         const Bytes p256 = P256Certificate();
         return SEBF_GetKeySnbyCert(p256.data(),
                                    static_cast<uint32_t>(p256.size()),
                                    buffer, &len);
       },
       5012, "SEBF_GetKeySnbyCert==>5012 -- the args pchCert alg error"},
      // The folder holds no device.
      {[&] { return SEBF_GetCert(0, buffer, &len); }, 5030,
       "SEBF_GetCert==>5030 -- not find any device"},
      {[&] { return SEBF_GetESealList(nullptr, &len, &count); }, 5030,
       "SEBF_GetESealList==>5030 -- not find any device"},
      {[&] { return SEBF_GetKeySn(buffer, &len); }, 5030,
       "SEBF_GetKeySn==>5030 -- not find any device"},
      {[&] { return SEBF_GetCertbySN("01", 2, buffer, &len); }, 5030,
       "SEBF_GetCertbySN==>5030 -- not find any device"},
      {[&] { return SEBF_GetCertforPrint("O=x", buffer, &len); }, 5030,
       "SEBF_GetCertforPrint==>5030 -- not find any device"},
      {[&] {
         return SEBF_GetKeySnbyCert(
             Signer().certDer.data(),
             static_cast<uint32_t>(Signer().certDer.size()), buffer, &len);
       },
       5030, "SEBF_GetKeySnbyCert==>5030 -- not find any device"},
  };
  for (const auto& row : rows) {
    fx::TestLog::Watch();
    EXPECT_EQ(row.call(), row.result) << row.line;
    EXPECT_NE(Log().find(row.line), std::string::npos) << row.line;
  }
}

// ---------------------------------------------------------------------------
// Results.

TEST_F(KeyDevice, GetCertTakesOnlyTheOneCertificateOfTheOneDevice) {
  fx::CertSpec encSpec;
  encSpec.subject.CN = "encryption";
  const fx::Credential enc = fx::MakeCredential(encSpec, &fx::DefaultRoot());
  AddDevice("dev1");
  AddContainer("dev1", "both", &Signer(), &enc);
  const Bytes& sign = Signer().certDer;
  std::vector<unsigned char> out(4096, 0xEE);
  uint32_t len = static_cast<uint32_t>(out.size());
  // Two certificates: none is chosen.
  EXPECT_EQ(SEBF_GetCert(0, out.data(), &len), 0u);
  EXPECT_EQ(len, 0u);
  len = static_cast<uint32_t>(sign.size());
  ASSERT_EQ(SEBF_GetCert(0x102, out.data(), &len), 0u);  // low byte 2
  EXPECT_EQ(Bytes(out.begin(), out.begin() + len), sign);
  len = static_cast<uint32_t>(out.size());
  ASSERT_EQ(SEBF_GetCert(1, out.data(), &len), 0u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + len), enc.certDer);
  // One byte too small: nothing copied, the length tells the size.
  std::fill(out.begin(), out.end(), 0xEE);
  len = static_cast<uint32_t>(sign.size() - 1);
  EXPECT_EQ(SEBF_GetCert(2, out.data(), &len), 0u);
  EXPECT_EQ(len, sign.size());
  EXPECT_EQ(out[0], 0xEE);
  // A second device: no certificate is chosen.
  AddDevice("dev2");
  AddContainer("dev2", "c", &Signer());
  len = static_cast<uint32_t>(out.size());
  EXPECT_EQ(SEBF_GetCert(2, out.data(), &len), 0u);
  EXPECT_EQ(len, 0u);
}

TEST_F(KeyDevice, CertificatesBySerialAndByUnitOnEveryDevice) {
  fx::CertSpec other;
  other.subject.OU = "其他部门";
  other.subject.O = "其他公司";
  fx::CertSpec wanted;
  wanted.serial = 0x8F12AB;  // DER content 00 8f 12 ab
  const fx::Credential first = fx::MakeCredential(other, &fx::DefaultRoot());
  const fx::Credential target = fx::MakeCredential(wanted, &fx::DefaultRoot());
  AddDevice("dev1");
  AddContainer("dev1", "c1", &first);
  AddDevice("dev2");
  AddContainer("dev2", "c1", &target);
  std::vector<unsigned char> out(4096);
  auto bySerial = [&](const std::string& sn, uint32_t size) {
    uint32_t len = size;
    const uint32_t rc =
        SEBF_GetCertbySN(sn.c_str(), static_cast<uint32_t>(sn.size()),
                         out.data(), &len);
    return std::make_pair(rc, len);
  };
  EXPECT_EQ(bySerial("008f12ab", 4096),
            std::make_pair(0u, static_cast<uint32_t>(target.certDer.size())));
  EXPECT_EQ(Bytes(out.begin(), out.begin() + target.certDer.size()),
            target.certDer);
  EXPECT_EQ(bySerial("008F12AB", 4096).first, 5052u);
  EXPECT_EQ(bySerial("008f12ab", 10),
            std::make_pair(5003u, static_cast<uint32_t>(target.certDer.size())));
  EXPECT_NE(Log().find("SEBF_GetCertbySN==>0000138b -- arguments cert buffer "
                       "too small"),
            std::string::npos);

  // The unit name given in GBK matches the UTF-8 name of the certificate.
  const ckxstr gbk = KXUtf8ToMbcs("电子印章测试部", -1);
  const std::string ou = std::string("OU=") + gbk.c_str();
  uint32_t len = 4096;
  ASSERT_EQ(SEBF_GetCertforPrint(ou.c_str(), out.data(), &len), 0u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + len), target.certDer);
  EXPECT_NE(Log().find("SEBF_GetCertforPrint==> match ou cert"),
            std::string::npos);
  len = 4096;
  ASSERT_EQ(SEBF_GetCertforPrint("O=其他公司", out.data(), &len), 0u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + len), first.certDer);
  for (const char* selector : {"CN=测试用户", "OU=nobody"}) {
    len = 4096;
    EXPECT_EQ(SEBF_GetCertforPrint(selector, out.data(), &len), 5052u);
  }
  // A certificate that does not parse ends the search.
  std::string error;
  ASSERT_TRUE(skfsoft::PutContainer(root_, "dev1", "Default", "c0",
                                    skfsoft::kTypeSm2, "not a certificate",
                                    "", "", "", &error))
      << error;
  EXPECT_EQ(bySerial("008f12ab", 4096).first, 5010u);
  EXPECT_NE(Log().find("SEBF_GetCertbySN==>00001392 -- KXStrToX509() "
                       "error,invalid cert"),
            std::string::npos);
}

TEST_F(KeyDevice, SealListNamesEveryIdentifierInDeviceAndFileOrder) {
  // Base64 of ff ff ff... holds "/", written "-" in the file name.
  const Bytes id16 = fx::FromHex("ffffff00112233445566778899aabbcc");
  const Bytes id7 = fx::FromHex("01020304050607");
  AddDevice("dev1");
  AddFile("dev1", SealFileName(id16));
  AddFile("dev1", SealFileName(Bytes(10, 0x42)));  // 10 bytes: ignored
  AddFile("dev1", "readme");
  AddDevice("dev2");
  AddFile("dev2", SealFileName(id7));
  AddFile("dev2", SealFileName(id16));
  uint32_t len = 0, count = 0;
  ASSERT_EQ(SEBF_GetESealList(nullptr, &len, &count), 0u);
  // Device order, then the driver's file order ("-" sorts before letters).
  const std::string expected = fx::ToHex(id16) + '\0' + fx::ToHex(id16) +
                               '\0' + fx::ToHex(id7) + '\0' + '\0';
  std::string lower = expected;
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  EXPECT_EQ(len, lower.size());
  EXPECT_EQ(count, 3u);
  std::vector<unsigned char> out(len);
  len -= 1;
  EXPECT_EQ(SEBF_GetESealList(out.data(), &len, &count), 5003u);
  EXPECT_EQ(len, lower.size());
  EXPECT_NE(Log().find("SEBF_GetESealList==>5003 -- arguments es list buffer "
                       "too small"),
            std::string::npos);
  ASSERT_EQ(SEBF_GetESealList(out.data(), &len, &count), 0u);
  EXPECT_EQ(std::string(out.begin(), out.end()), lower);

  // More identifiers than 4096 bytes hold are all listed.
  AddDevice("dev3");
  for (int i = 0; i < 140; ++i) {
    Bytes id(16, 0);
    id[0] = static_cast<uint8_t>(i);
    AddFile("dev3", SealFileName(id));
  }
  ASSERT_EQ(SEBF_GetESealList(nullptr, &len, &count), 0u);
  EXPECT_EQ(count, 143u);
  EXPECT_EQ(len, 142u * 33 + 15 + 1);

  // Nothing but other files.
  fs::remove_all(root_);
  fs::create_directories(root_);
  AddDevice("dev1");
  AddFile("dev1", "readme");
  fx::TestLog::Watch();
  len = 99;
  count = 99;
  EXPECT_EQ(SEBF_GetESealList(nullptr, &len, &count), 5028u);
  EXPECT_EQ(len + count, 0u);
  EXPECT_NE(Log().find("SEBF_GetESealList==>5028 -- not find any ESeal File"),
            std::string::npos);
}

TEST_F(KeyDevice, KeySerialOfTheOneDevice) {
  const struct {
    const char* issuer;
    std::string serial;
    const char* expected;
  } rows[] = {
      {"Dunmark", Text(fx::FromHex("0102030405060708090a")),
       "Korvex Dunmark 0102030405060708"},
      {"CA", "SN-77", "Sealkit SN-77"},
  };
  for (const auto& row : rows) {
    fs::remove_all(root_);
    fs::create_directories(root_);
    AddDevice("dev1", row.issuer, row.serial);
    unsigned char out[128];
    uint32_t len = sizeof out;
    ASSERT_EQ(SEBF_GetKeySn(out, &len), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), len), row.expected);
    // The length is the buffer's size: one byte short answers 5003.
    len -= 1;
    EXPECT_EQ(SEBF_GetKeySn(out, &len), 5003u);
    EXPECT_EQ(len, std::strlen(row.expected));
    EXPECT_NE(Log().find("SEBF_GetKeySn==>0000138b -- arguments keysn buffer "
                         "too small"),
              std::string::npos);
  }
  AddDevice("dev2");
  fx::TestLog::Watch();
  uint32_t len = 0;
  EXPECT_EQ(SEBF_GetKeySn(nullptr, &len), 5030u);
  EXPECT_NE(Log().find("SEBF_GetKeySn==>00000000 -- too many device error"),
            std::string::npos);
}

TEST_F(KeyDevice, KeySerialOfTheDeviceHoldingTheSigningKey) {
  fx::CertSpec rsaSpec;
  rsaSpec.keyType = fx::KeyType::kRsa;
  rsaSpec.rsaBits = 1024;
  const fx::Credential rsa = fx::MakeCredential(rsaSpec, &fx::DefaultRoot());
  const fx::Credential rsa3 = RsaExponent3Credential();
  const fx::Credential stranger =
      fx::MakeCredential(fx::CertSpec(), &fx::DefaultRoot());
  AddDevice("dev1", "CA", "RSA-KEY");
  AddContainer("dev1", "rsa", &rsa);
  AddContainer("dev1", "rsa3", &rsa3);
  AddDevice("dev2", "CA", "SM2-KEY");
  AddContainer("dev2", "sm2", &Signer());
  const struct {
    const fx::Credential* cert;
    uint32_t result;
    const char* serial;
  } rows[] = {
      {&Signer(), 0, "Sealkit SM2-KEY"},
      {&rsa, 0, "Sealkit RSA-KEY"},
      {&rsa3, 0, "Sealkit RSA-KEY"},  // the blob's own exponent
      {&stranger, 5030, ""},
  };
  for (const auto& row : rows) {
    unsigned char out[128];
    uint32_t len = sizeof out;
    EXPECT_EQ(SEBF_GetKeySnbyCert(row.cert->certDer.data(),
                                  static_cast<uint32_t>(row.cert->certDer.size()),
                                  out, &len),
              row.result)
        << row.serial;
    if (row.result == 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), len), row.serial);
    }
  }
}

TEST_F(KeyDevice, SealOwnerIsLookedForInTheApplicationsContainers) {
  fx::CertSpec encSpec;
  encSpec.subject.CN = "encryption only";
  const fx::Credential enc = fx::MakeCredential(encSpec, &fx::DefaultRoot());
  const fx::Credential stranger =
      fx::MakeCredential(fx::CertSpec(), &fx::DefaultRoot());
  fx::SealSpec strangers;
  strangers.ownerCerts = std::vector<Bytes>{stranger.certDer};
  const struct {
    const char* name;
    Bytes seal;
    uint32_t result;
  } rows[] = {
      {"plain", fx::MakeSeal(fx::Family::kPlain), 0},
      {"GOV certificate", fx::MakeSeal(fx::Family::kGov), 0},
      {"GIN SM3", fx::MakeSeal(fx::Family::kGin), 0},
      {"stranger", fx::MakeSeal(fx::Family::kGov, strangers), 5032},
      {"not a seal", fx::FromHex("3003020101"), 5023},
  };
  AddDevice("dev1");
  AddContainer("dev1", "a-enc-only", nullptr, &enc);  // skipped
  AddContainer("dev1", "b-signer", &Signer());
  WithApplication("dev1", [&](HAPPLICATION app) {
    for (const auto& row : rows) {
      EXPECT_EQ(SE_Verify_KEY_ESCert(app, row.seal.data(),
                                     static_cast<uint32_t>(row.seal.size())),
                row.result)
          << row.name;
    }
  });
  // An application without containers.
  AddDevice("dev2");
  WithApplication("dev2", [&](HAPPLICATION app) {
    EXPECT_EQ(SE_Verify_KEY_ESCert(app, rows[0].seal.data(),
                                   static_cast<uint32_t>(rows[0].seal.size())),
              5032u);
  });
}

TEST_F(KeyDevice, ListsAreReadOnlyWithinTheirAnsweredLength) {
  AddDevice("dev1");
  AddContainer("dev1", "a", nullptr);
  AddContainer("dev1", "b", &Signer());
  AddFile("dev1", SealFileName(Bytes(7, 0x07)));
  unterminated_(1);
  uint32_t len = 0, count = 0;
  ASSERT_EQ(SEBF_GetESealList(nullptr, &len, &count), 0u);
  EXPECT_EQ(count, 1u);
  const Bytes seal = fx::MakeSeal(fx::Family::kPlain);
  WithApplication("dev1", [&](HAPPLICATION app) {
    EXPECT_EQ(SE_Verify_KEY_ESCert(app, seal.data(),
                                   static_cast<uint32_t>(seal.size())),
              0u);
  });
  unsigned char out[128];
  len = sizeof out;
  EXPECT_EQ(SEBF_GetKeySn(out, &len), 0u);
}

// ---------------------------------------------------------------------------
// main.ini, each case in a process of its own with a private copy of the
// libraries.

class DeviceConfigProcess : public ::testing::Test {
 protected:
  // The probe's two output lines, and its log in *log.
  std::string Run(const std::string& mode, std::string* log) {
    const std::string logFile = copy_.Dir() + "probe.log";
    std::remove(logFile.c_str());
    std::vector<std::string> args = {logFile};
    if (!mode.empty()) args.push_back(mode);
    const std::string out = copy_.Run(KX_DEVICE_PROBE, args);
    std::ifstream in(logFile, std::ios::binary);
    log->assign(std::istreambuf_iterator<char>(in),
                std::istreambuf_iterator<char>());
    return out;
  }

  fx::LibraryCopy copy_{"device"};
};

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++count;
  return count;
}

TEST_F(DeviceConfigProcess, DriverNameApplicationAndLevelFromMainIni) {
  const std::string dir = copy_.Dir();
  fs::copy_file(KX_SKFSHIM, dir + "libskf.so");
  // Found through LD_LIBRARY_PATH when the bare default name is used.
  fs::copy_file(KX_SKFSHIM, dir + "dv318k_gm.dll");
  const struct {
    const char* ini;
    const char* mode;
    const char* output;
    std::vector<std::string> logged;
    std::vector<std::string> absent;
  } rows[] = {
      // No main.ini: the default driver through the library search path.
      {nullptr, "", "1 Default\n1 Default\n", {"LoadLibrary ok"},
       {"-->get dll path is"}},
      {"[Default]\ndllpath=libskf.so\nappname=SEAL\n", "", "1 SEAL\n1 SEAL\n",
       {"-->get dll path is " + dir + "libskf.so", "-->get dll name is SEAL",
        "-->get dll checkDev is 0"},
       {}},
      {"[Default]\ndllpath=dv318k_gm.dll\nappname=\n", "",
       "1 Default\n1 Default\n", {"-->get dll path is dv318k_gm.dll"}, {}},
      {"[Default]\ndllpath=" KX_SKFSHIM "\n", "", "1 Default\n1 Default\n",
       {"-->get dll path is " KX_SKFSHIM}, {}},
      // The level applies before the driver is loaded.
      {"[Default]\nlogLevel=4\ndllpath=libskf.so\n", "", "1 Default\n1 Default\n",
       {"-->SE_Initialize begin"}, {"-->get dll path is", "LoadLibrary ok"}},
      // Once bound, main.ini is not read again.
      {"[Default]\ndllpath=libskf.so\nappname=SEAL\n",
       "[Default]\ndllpath=missing.so\nappname=OTHER\n", "1 SEAL\n1 SEAL\n",
       {}, {"OTHER"}},
      // A driver without every entry point is not bound; the next call
      // starts again.
      {"[Default]\ndllpath=" KX_SKFSHIM_INCOMPLETE "\n", "",
       "0 Default\n0 Default\n", {"Initialize-->LoadLibrary fail,167772163"},
       {}},
      {"[Default]\ndllpath=/nonexistent/libskf.so\n", "",
       "0 Default\n0 Default\n", {"Initialize-->LoadLibrary fail,167772161"},
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ini != nullptr ? row.ini : "(no main.ini)");
    copy_.SetIni(row.ini);
    std::string log;
    const std::string output = Run(row.mode, &log);
    EXPECT_EQ(output, row.output);
    for (const std::string& line : row.logged)
      EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    for (const std::string& line : row.absent)
      EXPECT_EQ(log.find(line), std::string::npos) << line << "\n" << log;
    if (std::string(row.output).rfind("0 ", 0) == 0) {
      EXPECT_EQ(Count(log, "-->SE_Initialize begin"), 2u);
    }
  }
}

TEST_F(DeviceConfigProcess, ConcurrentFirstCallsLoadOnce) {
  fs::copy_file(KX_SKFSHIM, copy_.Dir() + "libskf.so");
  copy_.SetIni("[Default]\ndllpath=libskf.so\n");
  std::string log;
  EXPECT_EQ(Run("threads", &log), "1 Default\n1 Default\n");
  EXPECT_EQ(Count(log, "-->SE_Initialize begin"), 1u) << log;
  EXPECT_EQ(Count(log, "LoadLibrary ok"), 1u);
}

}  // namespace
