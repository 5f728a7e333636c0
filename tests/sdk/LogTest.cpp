#include "kiv/Proxy.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class LogTest : public ::testing::Test {
protected:
  void SetUp() override {
    kiv::SetLogSink([this](const kiv::LogRecord& r) { records.push_back(r); });
  }
  void TearDown() override {
    kiv::SetLogSink(nullptr);
    kiv::SetLogConfig(0, 7, 0, 0);
  }
  std::vector<kiv::LogRecord> records;
};

TEST_F(LogTest, CategoryMaskChoosesWhatIsPrinted) {
  struct Case {
    int mask;
    int category;
    bool printed;
  } cases[] = {{7, 4, true}, {7, 16, false}, {31, 16, true}, {31, 4, true}, {0, 4, false}};
  for (const auto& c : cases) {
    records.clear();
    kiv::SetLogConfig(0, c.mask, 0, 0);
    kiv::PrintLog(-1, c.category, "", "src/main", 1, "Test", "x");
    EXPECT_EQ(records.size(), c.printed ? 1u : 0u) << "mask " << c.mask << " category " << c.category;
  }
}

TEST_F(LogTest, RecordCarriesFormattedMessageAndSource) {
  kiv::SetLogConfig(3, 31, 0, 0);
  const char* value = "100% sure\nsecond line %s";
  kiv::PrintLog(-1, 16, "", "src/main", 42, "Start", "gatewayId: %s\n", value);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, std::string("gatewayId: ") + value + "\n");
  EXPECT_EQ(records[0].file, "src/main");
  EXPECT_EQ(records[0].line, 42);
  EXPECT_EQ(records[0].function, "Start");
  EXPECT_EQ(records[0].category, 16);
}

}  // namespace
