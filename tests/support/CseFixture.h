// What interoperability tests against a real oneM2M CSE share: a private
// broker with the CSE on it for each test.
#ifndef KIV_INTEROP_CSE_FIXTURE_H
#define KIV_INTEROP_CSE_FIXTURE_H

#include "TestCse.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace interop {

// Skips the test with one line when the CSE cannot run here (no CSE folder,
// no Python packages, an emulated build). On a failure prints the CSE's log.
class CseFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  int checkIntervalSeconds_ = 30;  // a derived fixture may shorten the CSE's liveness checks
  std::optional<kivtest::TestBroker> broker_;
  std::optional<kivtest::TestCse> cse_;
};

}  // namespace interop

#endif
