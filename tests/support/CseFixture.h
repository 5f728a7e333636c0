// What interoperability tests against a real oneM2M CSE share: a private
// broker with the CSE on it for each test.
#ifndef KIV_TEST_CSE_FIXTURE_H
#define KIV_TEST_CSE_FIXTURE_H

#include "TestBroker.h"
#include "TestCse.h"

#include <gtest/gtest.h>

#include <optional>

namespace kivtest {

// Skips the test with one line when the CSE cannot run here (no CSE folder,
// no Python packages, an emulated build). On a failure prints the CSE's log.
class CseFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  int checkIntervalSeconds_ = 30;  // a derived fixture may shorten the CSE's liveness checks
  std::optional<TestBroker> broker_;
  std::optional<TestCse> cse_;
};

}  // namespace kivtest

#endif
