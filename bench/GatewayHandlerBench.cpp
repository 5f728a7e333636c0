// The request handler's own work, without the network: parsing a request's
// items and rendering a retrieve reply, as RequestArrived does them (with the
// normal log configuration, so the handler's information lines are filtered).
// Target: under 50 µs per request.
#include <benchmark/benchmark.h>

#include "Request.h"

namespace {

void SetNormalLogging() { kiv::SetLogConfig(0, 7, 0, 0); }

void RetrieveDeviceInformationAndNode(benchmark::State& state) {
  SetNormalLogging();
  std::list<kiv::RequestTarget> targets{{14}, {1007}, {1001}, {3}};
  for (auto _ : state) {
    std::string reply = RenderRetrieveReply(targets, deviceInfo, RequestTimeText());
    benchmark::DoNotOptimize(reply.data());
  }
}
BENCHMARK(RetrieveDeviceInformationAndNode);

void ControlCommandWithThreeArguments(benchmark::State& state) {
  SetNormalLogging();
  std::list<kiv::RequestContent> contents{
      {12, R"({"execReqArgs": {"all": [{"anyArg": [{"name": "switch", "value": "on"},
              {"name": "note"}, {"name": "level", "value": 5}]}]}})"}};
  size_t delivered = 0;
  for (auto _ : state) {
    HandleRequestContents(kiv::kOperationUpdate, contents, [&](const char*) { ++delivered; });
  }
  benchmark::DoNotOptimize(delivered);
}
BENCHMARK(ControlCommandWithThreeArguments);

void ScheduleConfiguration(benchmark::State& state) {
  SetNormalLogging();
  std::list<kiv::RequestContent> contents{
      {18, R"({"scheduleElement": {"scheduleEntry": ["0 0 6 * * *"]}})"}};
  for (auto _ : state) HandleRequestContents(kiv::kOperationCreate, contents, [](const char*) {});
}
BENCHMARK(ScheduleConfiguration);

}  // namespace

BENCHMARK_MAIN();
