// SEF_OfdESealSign_Verify on an SM2 seal signature, beside the bound set by
// its two SM2 verifications (maker and signer): 1 / (2 x one SM2_Verify),
// measured in the same run. Printed after the run as a fraction of the bound.
#include <benchmark/benchmark.h>
#include <openssl/x509.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "KXSM.h"
#include "SealVerify.h"
#include "fixtures.h"

namespace {

struct Sm2Case {
  shared_ptr<EC_POINT> point;
  shared_ptr<ECDSA_SIG> sig;
  fx::Bytes message;
};

const Sm2Case& OneSm2() {
  static Sm2Case c = [] {
    Sm2Case s;
    s.message = fx::Bytes(32, 0x5A);
    const fx::Credential& signer = fx::DefaultSigner();
    X509_PUBKEY* key = X509_get_X509_PUBKEY(signer.cert.get());
    const unsigned char* pub = nullptr;
    int pubLen = 0;
    X509_PUBKEY_get0_param(nullptr, &pub, &pubLen, nullptr, key);
    s.point = KXStrToECPoint(pub, pubLen);
    fx::Bytes der = fx::Sign(signer, s.message);
    s.sig = KXStrToECSig(der.data(), static_cast<int>(der.size()));
    return s;
  }();
  return c;
}

void Sm2VerifyOurs(benchmark::State& state) {
  const Sm2Case& c = OneSm2();
  for (auto _ : state)
    benchmark::DoNotOptimize(SM2_Verify(c.message.data(), 32, c.sig.get(),
                                        c.point.get()));
}

const fx::Bytes& Digest() {
  static fx::Bytes d = fx::Sm3(fx::ToBytes("document"));
  return d;
}

const fx::Bytes& Signature(fx::Family family) {
  static std::map<fx::Family, fx::Bytes> sigs;
  auto it = sigs.find(family);
  if (it != sigs.end()) return it->second;
  fx::SignatureSpec params;
  params.dataHash = Digest();
  return sigs[family] = fx::MakeSignature(family, params);
}

void VerifySignature(benchmark::State& state) {
  const auto family = static_cast<fx::Family>(state.range(0));
  const fx::Bytes& sig = Signature(family);
  for (auto _ : state) {
    unsigned int rc = SEF_OfdESealSign_Verify(
        Digest().data(), 32, sig.data(), static_cast<unsigned int>(sig.size()));
    if (rc != 0) state.SkipWithError("verification failed");
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(Sm2VerifyOurs)->Name("SM2_Verify");
BENCHMARK(VerifySignature)
    ->Name("SEF_OfdESealSign_Verify")
    ->ArgName("family")
    ->Arg(static_cast<int>(fx::Family::kPlain))
    ->Arg(static_cast<int>(fx::Family::kGin))
    ->Arg(static_cast<int>(fx::Family::kGov))
    ->UseRealTime()
    ->Threads(1)
    ->Threads(2);

class BoundReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      auto items = run.counters.find("items_per_second");
      if (items != run.counters.end())
        rates_[run.benchmark_name()] = {items->second.value, run.threads};
      else
        sm2Seconds_ = run.GetAdjustedRealTime() / 1e9;  // ns per call
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (sm2Seconds_ <= 0) return;
    const double bound = 1.0 / (2.0 * sm2Seconds_);
    std::printf("\nbound = 1 / (2 x SM2_Verify) = %.0f verifications/s per core\n",
                bound);
    for (const auto& [name, rate] : rates_)
      std::printf("%-52s %8.0f verifications/s  %.3f of %d x the bound\n",
                  name.c_str(), rate.first, rate.first / bound / rate.second,
                  rate.second);
  }

 private:
  double sm2Seconds_ = 0;
  std::map<std::string, std::pair<double, int>> rates_;  // rate, threads
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  BoundReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
