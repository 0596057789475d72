// SM3 and SM2: ours against OpenSSL 3's built-in SM3 and SM2 in the same run.
// Each "ours" benchmark has an "openssl" twin of the same name; after the run
// the ratio OpenSSL time / our time is printed (above 1: ours is faster).
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "KXSM.h"

namespace {

std::vector<unsigned char> Random(size_t n) {
  std::vector<unsigned char> b(n);
  RAND_bytes(b.data(), static_cast<int>(n));
  return b;
}

const EVP_MD* Sm3Md() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SM3", nullptr);
  return md;
}

void Sm3Ours(benchmark::State& state) {
  const auto msg = Random(static_cast<size_t>(state.range(0)));
  unsigned char out[32];
  for (auto _ : state) {
    SM3_CTX_1 ctx;
    SM3_Init_1(&ctx);
    SM3_Update_1(&ctx, msg.data(), static_cast<uint32_t>(msg.size()));
    SM3_Final_1(&ctx, out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Sm3Openssl(benchmark::State& state) {
  const auto msg = Random(static_cast<size_t>(state.range(0)));
  unsigned char out[32];
  unsigned int len = 0;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, Sm3Md(), nullptr);
    EVP_DigestUpdate(ctx, msg.data(), msg.size());
    EVP_DigestFinal_ex(ctx, out, &len);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(Sm3Ours)->Name("SM3/ours")->Arg(8192)->Arg(1 << 20);
BENCHMARK(Sm3Openssl)->Name("SM3/openssl")->Arg(8192)->Arg(1 << 20);

// One SM2 key, shared by the benchmarks, in both libraries' forms.
struct Sm2Fixture {
  EVP_PKEY* key = nullptr;
  shared_ptr<EC_POINT> point;
  BIGNUM* d = nullptr;
  std::vector<unsigned char> msg = Random(32);
  Sm2Fixture() {
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    unsigned char pub[65];
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, pub,
                                    sizeof pub, &len);
    point = KXStrToECPoint(pub, static_cast<int>(len));
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d);
  }
  static Sm2Fixture& Get() {
    static Sm2Fixture f;
    return f;
  }
};

EVP_MD_CTX* OpensslSm2Ctx(EVP_PKEY* key, bool sign) {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
  EVP_MD_CTX_set_pkey_ctx(md, pctx);
  if (sign)
    EVP_DigestSignInit(md, nullptr, Sm3Md(), nullptr, key);
  else
    EVP_DigestVerifyInit(md, nullptr, Sm3Md(), nullptr, key);
  return md;  // the caller frees md and then pctx
}

std::vector<unsigned char> OpensslSign(EVP_PKEY* key,
                                       const std::vector<unsigned char>& msg) {
  EVP_MD_CTX* md = OpensslSm2Ctx(key, true);
  EVP_PKEY_CTX* pctx = EVP_MD_CTX_get_pkey_ctx(md);
  std::vector<unsigned char> sig(80);
  size_t len = sig.size();
  EVP_DigestSign(md, sig.data(), &len, msg.data(), msg.size());
  sig.resize(len);
  EVP_MD_CTX_free(md);
  EVP_PKEY_CTX_free(pctx);
  return sig;
}

void Sm2VerifyOurs(benchmark::State& state) {
  Sm2Fixture& f = Sm2Fixture::Get();
  const auto der = OpensslSign(f.key, f.msg);
  shared_ptr<ECDSA_SIG> sig =
      KXStrToECSig(der.data(), static_cast<int>(der.size()));
  for (auto _ : state) {
    int ok = SM2_Verify(f.msg.data(), 32, sig.get(), f.point.get());
    if (ok != 1) state.SkipWithError("verification failed");
    benchmark::DoNotOptimize(ok);
  }
}

void Sm2VerifyOpenssl(benchmark::State& state) {
  Sm2Fixture& f = Sm2Fixture::Get();
  const auto der = OpensslSign(f.key, f.msg);
  for (auto _ : state) {
    EVP_MD_CTX* md = OpensslSm2Ctx(f.key, false);
    EVP_PKEY_CTX* pctx = EVP_MD_CTX_get_pkey_ctx(md);
    int ok = EVP_DigestVerify(md, der.data(), der.size(), f.msg.data(), 32);
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    if (ok != 1) state.SkipWithError("verification failed");
    benchmark::DoNotOptimize(ok);
  }
}

void Sm2SignOurs(benchmark::State& state) {
  Sm2Fixture& f = Sm2Fixture::Get();
  for (auto _ : state) {
    ECDSA_SIG* sig = ECDSA_SIG_new();
    int ok = SM2_Sign(sig, f.msg.data(), 32, f.point.get(), f.d);
    ECDSA_SIG_free(sig);
    benchmark::DoNotOptimize(ok);
  }
}

void Sm2SignOpenssl(benchmark::State& state) {
  Sm2Fixture& f = Sm2Fixture::Get();
  for (auto _ : state) {
    auto sig = OpensslSign(f.key, f.msg);
    benchmark::DoNotOptimize(sig.data());
  }
}

BENCHMARK(Sm2VerifyOurs)->Name("SM2_Verify/ours");
BENCHMARK(Sm2VerifyOpenssl)->Name("SM2_Verify/openssl");
BENCHMARK(Sm2SignOurs)->Name("SM2_Sign/ours");
BENCHMARK(Sm2SignOpenssl)->Name("SM2_Sign/openssl");

// Prints the usual console output and keeps each run's CPU time per
// iteration; with --benchmark_repetitions the ratio uses the medians.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration) {
        times_[run.run_name.str()].push_back(run.GetAdjustedCPUTime());
      } else if (run.aggregate_name == "median") {
        // Only the aggregates are reported
        // (--benchmark_report_aggregates_only).
        times_[run.run_name.str()] = {run.GetAdjustedCPUTime()};
      }
    }
  }
  void PrintRatios() const {
    std::printf(
        "\nratio = OpenSSL time / our time (above 1: ours is faster)\n");
    for (const auto& [name, ours] : times_) {
      const size_t at = name.find("/ours");
      if (at == std::string::npos) continue;
      std::string twin = name;
      twin.replace(at, 5, "/openssl");
      auto it = times_.find(twin);
      if (it == times_.end()) continue;
      const double mine = Median(ours);
      if (mine <= 0) continue;
      std::printf("%-28s %.3fx\n", name.c_str(), Median(it->second) / mine);
    }
  }

 private:
  static double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  }
  std::map<std::string, std::vector<double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
