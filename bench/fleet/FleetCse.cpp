#include "FleetCse.h"

#include "Cse.h"
#include "WireWatch.h"

#include <stdexcept>

namespace fleet {

std::map<std::string, std::string> TinyIot::GatewayEnvironment() const {
  return {{"KIV_PLATFORM_ID", "tinyiot"}, {"KIV_PLATFORM_CSE_NAME", "TinyIoT"}};
}

void TinyIot::BrokerRestarted() {
  cse_.Stop();
  cse_.Start();
}

std::map<std::string, std::vector<std::string>> TinyIot::Stored() const {
  std::map<std::string, std::vector<std::string>> stored;
  for (const auto& instance : cse_.Instances("%/" + std::string(kiv::protocol::kContainerName))) {
    std::vector<std::string> levels = kiv::protocol::Levels(instance.address);  // TinyIoT/D/data/name
    if (levels.size() >= 2) stored[levels[1]].push_back(instance.content);
  }
  return stored;
}

StandIn::StandIn(const std::string& brokerUri, std::chrono::seconds answerDelay) {
  kiv::platform::Platform::Options options;
  options.serverUri = brokerUri;
  options.collect = false;
  options.answerAsRegistrar = true;
  options.reconnectAtMost = WireWatch::kReconnectAtMost;
  platform_ = std::make_unique<kiv::platform::Platform>(options);
  std::string error;
  if (platform_->Connect(std::chrono::seconds(10), &error) != 0 ||
      platform_->Subscribe(kiv::protocol::RequestTopic("+", RegistrarId()), &error) != 0) {
    throw std::runtime_error("the stand-in registrar cannot start: " + error);
  }
  registrar().Delay(kiv::platform::kAnyRequest, answerDelay);
}

std::string StandIn::RegistrarId() const { return kiv::protocol::kDefaultRegistrarId; }

std::map<std::string, std::vector<std::string>> StandIn::Stored() const {
  std::map<std::string, std::vector<std::string>> stored;
  for (const std::string& device : registrar().Devices()) {
    for (const auto& record : registrar().Records(device)) stored[device].push_back(record.text);
  }
  return stored;
}

}  // namespace fleet
