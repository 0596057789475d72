// ofdseal device init, import and add-seal, read back through the driver.
#include <fstream>

#include "fixtures.h"
#include "skfsoft_kit.h"

namespace {

using ofdtest::RunOfdseal;
using skt::Bytes;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string CertPem(const fx::Credential& credential) {
  std::unique_ptr<BIO, kit::Free> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), credential.cert.get());
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

Bytes ReadSkfFile(HAPPLICATION app, const std::string& name) {
  FILEATTRIBUTE info;
  EXPECT_EQ(SAR_OK,
            SKF_GetFileInfo(app, const_cast<char*>(name.c_str()), &info));
  Bytes out(info.FileSize);
  ULONG length = info.FileSize;
  EXPECT_EQ(SAR_OK, SKF_ReadFile(app, const_cast<char*>(name.c_str()), 0,
                                 info.FileSize, out.data(), &length));
  return out;
}

TEST(SkfsoftProvisioning, DeviceCommandsRoundTrip) {
  ofdtest::Scratch scratch;
  const std::string dir = scratch.Path("devices");
  const fx::Credential& sm2 = fx::DefaultSigner();
  const fx::Credential& rsa = fx::DefaultSigner(fx::KeyType::kRsa);
  WriteFile(scratch.Path("sign.pem"), CertPem(sm2));  // PEM
  WriteFile(scratch.Path("sign.key"), skt::Pem(sm2.key.get()));
  WriteFile(scratch.Path("enc.der"), skt::Text(rsa.certDer));
  WriteFile(scratch.Path("enc.key"), skt::Pem(rsa.key.get()));
  // Identifiers of 16 bytes (as 32 hex digits; its Base64 holds '/') and of
  // 7 bytes of text.
  fx::SealSpec hexId, textId;
  hexId.esID = "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF01";
  textId.esID = "ES-0042";
  const Bytes hexSeal = fx::MakeSeal(fx::Family::kGov, hexId);
  const Bytes textSeal = fx::MakeSeal(fx::Family::kPlain, textId);
  WriteFile(scratch.Path("hex.esl"), skt::Text(hexSeal));
  WriteFile(scratch.Path("text.esl"), skt::Text(textSeal));

  const std::vector<std::vector<std::string>> commands = {
      {"device", "init", dir, "--device", "usb1", "--manufacturer", "Maker",
       "--issuer", "Dunmark", "--serial", "hex:0102030405060708", "--pin",
       "1111", "--retries", "5"},
      {"device", "import", dir, "--device", "usb1", "--container",
       "seal signer", "--cert", scratch.Path("sign.pem"), "--key",
       scratch.Path("sign.key"), "--enc-cert", scratch.Path("enc.der"),
       "--enc-key", scratch.Path("enc.key")},
      {"device", "add-seal", dir, "--device", "usb1", "--seal",
       scratch.Path("hex.esl")},
      {"device", "add-seal", dir, "--device=usb1", "--seal",
       scratch.Path("text.esl")},
  };
  for (const auto& command : commands) {
    ofdtest::Run run = RunOfdseal(command);
    ASSERT_EQ(run.code, 0) << command[1] << ": " << run.err;
  }

  setenv("SKFSOFT_DIR", dir.c_str(), 1);
  skt::Session s("usb1");
  unsetenv("SKFSOFT_DIR");
  DEVINFO info;
  ASSERT_EQ(SAR_OK, SKF_GetDevInfo(s.dev, &info));
  EXPECT_EQ(std::string(info.Manufacturer), "Maker");
  EXPECT_EQ(std::string(info.Issuer), "Dunmark");
  EXPECT_EQ(Bytes(info.SerialNumber, info.SerialNumber + 9),
            Bytes({1, 2, 3, 4, 5, 6, 7, 8, 0}));
  EXPECT_EQ(SAR_OK, s.Login("1111"));
  HCONTAINER c = s.Open("seal signer");
  ULONG type = 0;
  ASSERT_EQ(SAR_OK, SKF_GetContainerType(c, &type));
  EXPECT_EQ(type, static_cast<ULONG>(SKF_CONTAINER_ECC));
  for (BOOL sign : {TRUE, FALSE}) {
    Bytes cert(4096);
    ULONG length = static_cast<ULONG>(cert.size());
    ASSERT_EQ(SAR_OK, SKF_ExportCertificate(c, sign, cert.data(), &length));
    cert.resize(length);
    EXPECT_EQ(cert, sign ? sm2.certDer : rsa.certDer);
    EXPECT_EQ(SAR_OK, SKF_ExportPublicKey(c, sign, nullptr, &length));
    EXPECT_EQ(length, sign ? 132u : 268u);
  }
  const std::string hexName = "ZqES00" + std::string(20, '-') + "AQ==";
  const std::string textName = "ZqES00RVMtMDA0Mg==";
  const auto enumFiles = [&](LPSTR l, ULONG* n) {
    return SKF_EnumFiles(s.app, l, n);
  };
  EXPECT_EQ(skt::Names(enumFiles),
            (std::vector<std::string>{hexName, textName}));
  EXPECT_EQ(ReadSkfFile(s.app, hexName), hexSeal);
  EXPECT_EQ(ReadSkfFile(s.app, textName), textSeal);

  // What the seal library reads back from the provisioned device.
  ofdtest::Run list = RunOfdseal({"device", "list", "--driver", KX_SKFSOFT},
                                 "", {{"SKFSOFT_DIR", dir}});
  ASSERT_EQ(list.code, 0) << list.err;
  for (const char* line :
       {"Device usb1\n", "  manufacturer: Maker\n",
        "  key serial: Korvex Dunmark 0102030405060708\n",
        "    container seal signer (SM2)\n", "      signing certificate: ",
        "      encryption certificate: ", "CN=测试用户",
        "    seal file ZqES00RVMtMDA0Mg==\n",
        "Seals:\n  ffffffffffffffffffffffffffffff01\n  45532d30303432\n"})
    EXPECT_NE(list.out.find(line), std::string::npos) << line << list.out;
  list = RunOfdseal({"device", "list", "--driver", "/nonexistent/libskf.so"});
  EXPECT_EQ(list.code, 2);
  EXPECT_NE(list.err.find("cannot bind the SKF driver (0x0A000001)"),
            std::string::npos)
      << list.err;
}

TEST(SkfsoftProvisioning, RefusedCommands) {
  ofdtest::Scratch scratch;
  const std::string dir = scratch.Path("devices");
  const fx::Credential& sm2 = fx::DefaultSigner();
  WriteFile(scratch.Path("cert.der"), skt::Text(sm2.certDer));
  WriteFile(scratch.Path("other.key"), skt::Pem(fx::DefaultMaker().key.get()));
  fx::SealSpec badId, goodId;
  badId.esID = "ES-42";
  goodId.esID = "0102030405060a";
  WriteFile(scratch.Path("seal.esl"),
            skt::Text(fx::MakeSeal(fx::Family::kGin, badId)));
  WriteFile(scratch.Path("good.esl"),
            skt::Text(fx::MakeSeal(fx::Family::kGin, goodId)));
  ASSERT_EQ(0, RunOfdseal({"device", "init", dir, "--device", "k"}).code);
  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  const Row rows[] = {
      {{"init", dir, "--device", "k"}, "exists"},
      {{"init", dir, "--device", "../k"}, "not valid"},
      {{"init", dir}, "missing --device"},
      {{"import", dir, "--device", "k", "--container", "c", "--cert",
        scratch.Path("cert.der"), "--key", scratch.Path("other.key")},
       "not the key of its certificate"},
      {{"import", dir, "--device", "k", "--container", "c", "--cert",
        scratch.Path("other.key"), "--key", scratch.Path("other.key")},
       "not a certificate"},
      {{"add-seal", dir, "--device", "k", "--seal", scratch.Path("seal.esl")},
       "neither 32 nor 14 hex digits"},
      {{"add-seal", dir, "--device", "none", "--seal",
        scratch.Path("good.esl")},
       "no device 'none'"},
      {{"bogus", dir}, "unknown command"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"device"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ofdtest::Run run = RunOfdseal(args);
    EXPECT_EQ(run.code, 2) << row.message;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
  }
}

}  // namespace
