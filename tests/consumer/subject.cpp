// An integrator's C++ program, built against an installed sealkit: the C++
// interface of libKXCommon (certificates held by shared_ptr, ckxstr text)
// and the time export of libsealverify under its C++ name.
//
//   subject CERT.pem   prints the certificate's subject and the time now
#include <KXCrypto.h>
#include <KXString.h>
#include <SealVerify.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const ckxstr pem = KXReadFile(argv[1]);
  const shared_ptr<X509> cert = KXStrToX509(pem.c_str(), -1);
  if (!cert) return 1;
  const ckxstr subject = KXGetX509Name(X509_get_subject_name(cert.get()), 0);
  char now[16] = {0};
  SEF_GetServerTime(0, now);
  std::printf("%s\n%s\n", subject.c_str(), now);
  return subject.empty() ? 1 : 0;
}
