// A private broker with the stand-in registrar on it (StandInRegistrar.h):
// the registrar of the gateways a test names, which stores what they send,
// counts every send and can be told to delay, drop or refuse answers.
#ifndef KIV_TEST_STAND_IN_CSE_H
#define KIV_TEST_STAND_IN_CSE_H

#include "PlatformClient.h"
#include "TestBroker.h"

#include <chrono>
#include <memory>
#include <string>

namespace kivtest {

class StandInCse {
public:
  // Starts the broker and the stand-in, answering for each of devices; throws
  // std::runtime_error when either cannot start.
  explicit StandInCse(const std::vector<std::string>& devices);

  TestBroker& broker() { return broker_; }
  kiv::platform::Platform& platform() { return *platform_; }
  kiv::platform::StandInRegistrar& registrar() { return *platform_->registrar(); }

  // Waits until device is registered and has its container; false at timeout.
  bool WaitForRegistration(const std::string& device,
                           std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Fails the test for every request id that was sent more than once.
  void ExpectNoRequestIdSentTwice() const;

private:
  TestBroker broker_;
  std::unique_ptr<kiv::platform::Platform> platform_;
};

}  // namespace kivtest

#endif
