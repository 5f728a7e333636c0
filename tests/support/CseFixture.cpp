#include "CseFixture.h"

#include <iostream>

namespace interop {

void CseFixture::SetUp() {
  if (auto why = kivtest::TestCse::Unavailable()) GTEST_SKIP() << *why;
  broker_.emplace();
  cse_.emplace(kivtest::TestCse::Options{broker_->port(), checkIntervalSeconds_});
  std::cout << "oneM2M CSE ready in " << cse_->startDuration().count() << " ms\n";
}

void CseFixture::TearDown() {
  if (HasFailure() && cse_) std::cerr << cse_->Log();
}

}  // namespace interop
