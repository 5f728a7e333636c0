#include "CseFixture.h"

#include <iostream>

namespace kivtest {

void CseFixture::SetUp() {
  if (auto why = TestCse::Unavailable()) GTEST_SKIP() << *why;
  broker_.emplace();
  TestCse::Options options;
  options.mqttPort = broker_->port();
  options.checkIntervalSeconds = checkIntervalSeconds_;
  cse_.emplace(options);
  std::cout << "oneM2M CSE ready in " << cse_->startDuration().count() << " ms\n";
}

void CseFixture::TearDown() {
  if (HasFailure() && cse_) std::cerr << cse_->Log();
}

}  // namespace kivtest
