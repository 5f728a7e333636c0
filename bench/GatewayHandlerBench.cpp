// The request handler's own work, without the network: the SDK mapping a
// oneM2M primitive as a CSE forwards it, then the gateway parsing the
// request's items and rendering a retrieve reply, as RequestArrived does them
// (with the normal log configuration, so the handler's information lines are
// filtered). Target: under 50 µs per request, mapping included.
#include <benchmark/benchmark.h>

#include "Request.h"
#include "RequestMapping.h"

namespace {

void SetNormalLogging() { kiv::SetLogConfig(0, 7, 0, 0); }

const kiv::protocol::CseNames kNames{"02:00:5e:10:00:01", "id-in", "cse-in"};

// The primitive as the CSE forwards it, mapped, then handled.
void ForwardedRetrieve(benchmark::State& state) {
  SetNormalLogging();
  const std::string primitive =
      R"({"op":2,"to":"/02:00:5e:10:00:01/gateway","fr":"/id-in/CAdmin","rqi":"5","rvi":"3",)"
      R"("fc":{"fu":"1","ty":["14","1007","1001"]},"pc":null})";
  for (auto _ : state) {
    kiv::protocol::Request request = kiv::protocol::ParseRequest(primitive, kNames);
    std::string reply = RenderRetrieveReply(request.targets, deviceInfo, RequestTimeText());
    benchmark::DoNotOptimize(reply.data());
  }
}
BENCHMARK(ForwardedRetrieve);

void ForwardedManagementCommand(benchmark::State& state) {
  SetNormalLogging();
  const std::string primitive =
      R"({"op":3,"to":"/02:00:5e:10:00:01/gateway","fr":"/id-in/CAdmin","rqi":"6","rvi":"3",)"
      R"("pc":{"m2m:mgc":{"exra":{"all":[{"anyArg":[{"value":"on"},{"value":5},{"value":7}]}]}}}})";
  size_t delivered = 0;
  for (auto _ : state) {
    kiv::protocol::Request request = kiv::protocol::ParseRequest(primitive, kNames);
    HandleRequestContents(kiv::kOperationUpdate, request.contents, [&](const char*) { ++delivered; });
  }
  benchmark::DoNotOptimize(delivered);
}
BENCHMARK(ForwardedManagementCommand);

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
