#include "StandInCse.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kivtest {

StandInCse::StandInCse(const std::vector<std::string>& devices) {
  kiv::platform::Platform::Options options;
  options.serverUri = broker_.uri();
  options.answerAsRegistrar = true;
  platform_ = std::make_unique<kiv::platform::Platform>(options);
  std::string error;
  if (platform_->Connect(std::chrono::seconds(10), &error) != 0)
    throw std::runtime_error("the stand-in registrar cannot connect: " + error);
  for (const std::string& device : devices) {
    if (platform_->Watch(device, &error) != 0)
      throw std::runtime_error("the stand-in registrar cannot watch " + device + ": " + error);
  }
}

bool StandInCse::WaitForRegistration(const std::string& device, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return registrar().ReadyForRecords(device); }, timeout);
}

void StandInCse::ExpectNoRequestIdSentTwice() const {
  for (const auto& [rqi, times] : platform_->registrar()->sent().RepeatedRequestIds()) {
    ADD_FAILURE() << "request id " << rqi << " was sent " << times << " times";
  }
}

}  // namespace kivtest
