// Encrypt and decrypt throughput of every method in the stream form, for
// full 16 KiB relay writes and for MSS-sized writes. After the usual table it
// prints one summary line: `crypto_bench <method>=<enc>/<dec>MB/s ...` for
// the 16 KiB case.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/cryptor.h"
#include "platform/heap.h"

namespace {

using vantor::CCryptor;

std::unique_ptr<CCryptor> Make(const std::string& method) {
  return std::unique_ptr<CCryptor>(vantor::CreateCryptor(method, "benchmark password"));
}

std::vector<uint8_t> Plain(std::size_t n) {
  std::vector<uint8_t> v(n);
  std::mt19937 gen(1);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

std::vector<uint8_t> EncryptOnce(CCryptor& c, const std::vector<uint8_t>& plain) {
  uint8_t* out = nullptr;
  int len = 0;
  if (!c.Encrypt(plain.data(), static_cast<int>(plain.size()), out, len)) return {};
  std::vector<uint8_t> v(out, out + len);
  vantor::platform::heapFree(out);
  return v;
}

void BM_Encrypt(benchmark::State& state, std::string method) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  auto c = Make(method);
  auto plain = Plain(size);
  EncryptOnce(*c, plain);  // the IV or salt goes out with the first write
  for (auto _ : state) {
    uint8_t* out = nullptr;
    int len = 0;
    if (!c->Encrypt(plain.data(), static_cast<int>(size), out, len)) {
      state.SkipWithError("Encrypt failed");
      break;
    }
    benchmark::DoNotOptimize(out);
    vantor::platform::heapFree(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_Decrypt(benchmark::State& state, std::string method) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  auto tx = Make(method);
  auto rx = Make(method);
  auto plain = Plain(size);
  // Prime the receiver with the IV or salt.
  {
    auto first = EncryptOnce(*tx, plain);
    uint8_t* out = nullptr;
    int len = 0;
    bool more = false;
    rx->Decrypt(first.data(), static_cast<int>(first.size()), out, len, more);
    vantor::platform::heapFree(out);
  }
  constexpr std::size_t kBatch = 64;
  std::vector<std::vector<uint8_t>> batch(kBatch);
  std::size_t next = kBatch;
  for (auto _ : state) {
    if (next == kBatch) {
      // The ciphertext has to continue the stream, so it is made in batches
      // outside the measured time.
      state.PauseTiming();
      for (auto& b : batch) b = EncryptOnce(*tx, plain);
      next = 0;
      state.ResumeTiming();
    }
    const auto& wire = batch[next++];
    uint8_t* out = nullptr;
    int len = 0;
    bool more = false;
    if (!rx->Decrypt(wire.data(), static_cast<int>(wire.size()), out, len, more) || len != static_cast<int>(size)) {
      state.SkipWithError("Decrypt failed");
      break;
    }
    benchmark::DoNotOptimize(out);
    vantor::platform::heapFree(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

// Collects bytes/s of the 16 KiB runs for the summary line.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}  // plain text, easy to parse
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      const std::string name = r.benchmark_name();
      // Names look like "encrypt/<method>/16384".
      const auto slash1 = name.find('/');
      const auto slash2 = name.rfind('/');
      if (slash1 == std::string::npos || slash2 == slash1) continue;
      if (name.substr(slash2 + 1) != "16384") continue;
      const std::string kind = name.substr(0, slash1);
      const std::string method = name.substr(slash1 + 1, slash2 - slash1 - 1);
      auto it = r.counters.find("bytes_per_second");
      if (it == r.counters.end()) continue;
      (kind == "encrypt" ? enc_ : dec_)[method] = it->second.value / 1e6;
    }
  }
  void PrintSummary(const std::vector<std::string>& order) const {
    std::printf("crypto_bench");
    for (const auto& m : order) {
      auto e = enc_.find(m);
      auto d = dec_.find(m);
      if (e == enc_.end() || d == dec_.end()) continue;
      std::printf(" %s=%.0f/%.0fMB/s", m.c_str(), e->second, d->second);
    }
    std::printf("\n");
  }

 private:
  std::map<std::string, double> enc_, dec_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> methods;
  vantor::GetMethodNames(methods);
  for (const auto& m : methods) {
    benchmark::RegisterBenchmark(("encrypt/" + m).c_str(), BM_Encrypt, m)->Arg(1452)->Arg(16384);
    benchmark::RegisterBenchmark(("decrypt/" + m).c_str(), BM_Decrypt, m)->Arg(1452)->Arg(16384);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary(methods);
  benchmark::Shutdown();
  return 0;
}
