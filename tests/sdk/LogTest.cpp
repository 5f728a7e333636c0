// The SDK's log: which lines its configuration lets through, what a record
// carries, how text from outside is escaped, and how a line said over and
// over is held back.
#include "kiv/Proxy.h"

#include "LogCapture.h"
#include "RepeatedLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(LogTest, CategoryMaskChoosesWhatIsPrinted) {
  struct Case {
    int mask;
    int category;
    bool printed;
  } cases[] = {{7, 4, true}, {7, 16, false}, {31, 16, true}, {31, 4, true}, {0, 4, false}};
  for (const auto& c : cases) {
    kivtest::LogCapture log(c.mask);
    kiv::PrintLog(-1, c.category, "", "src/main", 1, "Test", "x");
    EXPECT_EQ(log.Records().size(), c.printed ? 1u : 0u) << "mask " << c.mask << " category " << c.category;
  }
}

TEST(LogTest, RecordCarriesFormattedMessageAndSource) {
  kivtest::LogCapture log(31, 3);
  const char* value = "100% sure\nsecond line %s";
  kiv::PrintLog(-1, 16, "", "src/main", 42, "Start", "gatewayId: %s\n", value);
  std::vector<kiv::LogRecord> records = log.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, std::string("gatewayId: ") + value + "\n");
  EXPECT_EQ(records[0].file, "src/main");
  EXPECT_EQ(records[0].line, 42);
  EXPECT_EQ(records[0].function, "Start");
  EXPECT_EQ(records[0].category, 16);
}

TEST(EscapeLogText, EscapesControlCharactersOnly) {
  struct Case {
    std::string text, escaped;
  } cases[] = {
      {"plain 100% \"quoted\" back\\slash \xc3\xa9 \xff", "plain 100% \"quoted\" back\\slash \xc3\xa9 \xff"},
      {"one\ntwo\r\n", "one\\ntwo\\r\\n"},
      {std::string("\0\x01\t\x1b[2J\x1f\x7f", 9), "\\x00\\x01\\x09\\x1b[2J\\x1f\\x7f"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(kiv::EscapeLogText(c.text), c.escaped) << c.escaped;
}

// A reason repeated every second is logged once a minute, with the count of
// those held back; another reason, or the same after a success, at once.
TEST(RepeatedLine, HoldsBackTheSameTextForAnInterval) {
  using std::chrono::seconds;
  struct Moment {
    int at;             // seconds
    const char* text;   // nullptr: Reset
    const char* logged; // nullptr: held back
  } moments[] = {
      {0, "refused", "refused"},
      {1, "refused", nullptr},
      {59, "refused", nullptr},
      {60, "refused", "refused (2 more times since the last such line)"},
      {61, "timeout", "timeout"},
      {62, "refused", "refused"},
      {63, nullptr, nullptr},
      {64, "refused", "refused"},
  };
  kiv::RepeatedLine line(seconds(60));
  const kiv::RepeatedLine::Clock::time_point start{};
  for (const Moment& step : moments) {
    if (step.text == nullptr) {
      line.Reset();
      continue;
    }
    std::optional<std::string> logged = line.Next(step.text, start + seconds(step.at));
    EXPECT_EQ(logged, step.logged ? std::optional<std::string>(step.logged) : std::nullopt)
        << "at " << step.at << " s";
  }
}

}  // namespace
