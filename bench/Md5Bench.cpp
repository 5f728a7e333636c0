// Our MD5 against OpenSSL's MD5() at 64 B, 1 KiB, 64 KiB and 1 MiB, in one
// run; after the table it prints our throughput as a share of OpenSSL's for
// each size (from the medians when --benchmark_repetitions is given).
#define OPENSSL_SUPPRESS_DEPRECATED  // MD5() is the reference being measured
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cKivKey.h"

namespace {

const std::vector<unsigned char>& Input(size_t size) {
  static std::map<size_t, std::vector<unsigned char>> inputs;
  std::vector<unsigned char>& input = inputs[size];
  if (input.size() != size) {
    input.resize(size);
    for (size_t i = 0; i < size; ++i) input[i] = static_cast<unsigned char>(i * 131 + 7);
  }
  return input;
}

void Ours(benchmark::State& state) {
  const std::vector<unsigned char>& input = Input(static_cast<size_t>(state.range(0)));
  unsigned char digest[16];
  for (auto _ : state) {
    QRD_CTX ctx;
    QRD_Init(&ctx);
    QRD_Update(&ctx, input.data(), static_cast<uint32_t>(input.size()));
    QRD_Final(digest, &ctx);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

void OpenSsl(benchmark::State& state) {
  const std::vector<unsigned char>& input = Input(static_cast<size_t>(state.range(0)));
  unsigned char digest[16];
  for (auto _ : state) {
    MD5(input.data(), input.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

// Console table as usual, plus the throughput of each run kept by name.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration;
      if (!single && run.aggregate_name != "median") continue;
      auto rate = run.counters.find("bytes_per_second");
      if (rate == run.counters.end()) continue;
      // A median, when there is one, replaces the single repetitions.
      auto& slot = rates_[std::stol(run.run_name.args)][run.run_name.function_name];
      if (!single || !slot.fromMedian) slot = {rate->second.value, !single};
    }
  }

  void PrintRatios() const {
    std::printf("\nours / OpenSSL MD5() throughput:\n");
    for (const auto& [size, byFunction] : rates_) {
      auto ours = byFunction.find("Ours");
      auto openssl = byFunction.find("OpenSsl");
      if (ours == byFunction.end() || openssl == byFunction.end()) continue;
      std::printf("  %8ld bytes: %.3f\n", size, ours->second.value / openssl->second.value);
    }
  }

 private:
  struct Rate {
    double value = 0;
    bool fromMedian = false;
  };
  std::map<long, std::map<std::string, Rate>> rates_;  // by input size
};

}  // namespace

BENCHMARK(Ours)->Arg(64)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(OpenSsl)->Arg(64)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintRatios();
  return 0;
}
