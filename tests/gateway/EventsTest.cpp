// The program object's event log lines and the stop flag's wake-up.
#include "Gateway.h"
#include "LogCapture.h"
#include "Pause.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using kivtest::LogCapture;

namespace {

struct EventCase {
  const char* name;
  std::function<void(IoTGatewayProgram&)> event;
  int category;
  const char* function;
  std::string message;
};

// Texts from the network are escaped; the formats' own line breaks stay.
TEST(Events, LogOneLineEach) {
  const std::string tricky = "50% done\n%s %d %n\r\x1b[1mend";
  const std::string escaped = "50% done\\n%s %d %n\\r\\x1b[1mend";
  const std::vector<EventCase> cases = {
      {"Connected", [](IoTGatewayProgram& p) { p.Connected(); }, kiv::kLogInformation, "Connected",
       "Connected"},
      {"MessageArrived", [&](IoTGatewayProgram& p) { p.MessageArrived(tricky); },
       kiv::kLogInformation, "MessageArrived", "MessageArrived\nmessage=" + escaped},
      {"MessageArrived, a large message shown in part",
       [&](IoTGatewayProgram& p) { p.MessageArrived(std::string(5000000, 'm')); },
       kiv::kLogInformation, "MessageArrived",
       "MessageArrived\nmessage=" + std::string(1024, 'm') + "... (5000000 bytes)"},
      {"ResponseArrived", [](IoTGatewayProgram& p) { p.ResponseArrived("r-1", 4004); },
       kiv::kLogInformation, "ResponseArrived", "ResponseArrived\nrequestId=r-1 ec=4004"},
      {"OnSuccess through ResultCallback",
       [](IoTGatewayProgram& p) { static_cast<kiv::Proxy::ResultCallback&>(p).OnSuccess("a%d"); },
       kiv::kLogInformation, "OnSuccess", "OnSuccess requestId=a%d"},
      {"OnSuccess through ResultCb",
       [](IoTGatewayProgram& p) { static_cast<kiv::Proxy::ResultCb&>(p).OnSuccess("a%d"); },
       kiv::kLogInformation, "OnSuccess", "OnSuccess requestId=a%d"},
      {"OnFailure with a cause",
       [&](IoTGatewayProgram& p) {
         static_cast<kiv::Proxy::ResultCallback&>(p).OnFailure("r-2", tricky);
       },
       kiv::kLogError, "OnFailure", "OnFailure \nrequestId=r-2 \ncause=" + escaped},
      {"OnFailure with a code",
       [](IoTGatewayProgram& p) { static_cast<kiv::Proxy::ResultCb&>(p).OnFailure("r-3", -5); },
       kiv::kLogError, "OnFailure", "OnFailure \nrequestId=r-3 \nec=-5"},
  };
  for (const EventCase& c : cases) {
    SCOPED_TRACE(c.name);
    IoTGatewayProgram program;
    LogCapture log;
    c.event(program);
    auto records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, -1);
    EXPECT_EQ(records[0].category, c.category);
    EXPECT_EQ(records[0].tag, "");
    EXPECT_EQ(records[0].file, "src/main");
    EXPECT_EQ(records[0].function, c.function);
    EXPECT_EQ(records[0].message, c.message);
  }
}

TEST(Events, ProgramDerivesFromTheThreeInterfacesInOrder) {
  IoTGatewayProgram program;
  auto* object = reinterpret_cast<char*>(&program);
  // The primary base comes first; the other two follow in declaration order.
  EXPECT_EQ(reinterpret_cast<char*>(static_cast<kiv::Proxy::Callback*>(&program)), object);
  EXPECT_LT(reinterpret_cast<char*>(static_cast<kiv::Proxy::ResultCallback*>(&program)),
            reinterpret_cast<char*>(static_cast<kiv::Proxy::ResultCb*>(&program)));
  EXPECT_EQ(program.proxy, nullptr);
}

class StopFlag : public testing::Test {
protected:
  void SetUp() override {
    PrepareBreakWakeUp();
    isBreak = false;
  }
  void TearDown() override { isBreak = false; }
};

TEST_F(StopFlag, EndsAPauseLongerThan32BitMicrosecondsWhenSet) {
  // 4295 s is past what a 32-bit microsecond count holds; wrapped, it would
  // be 33 ms.
  auto pause = std::async(std::launch::async,
                          [] { return PauseUnlessBreak(std::chrono::seconds(4295)); });
  EXPECT_EQ(pause.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  std::thread([] { setBreak(); }).join();
  ASSERT_EQ(pause.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(pause.get());
}

TEST_F(StopFlag, PauseRunsItsFullLengthWithoutABreak) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(PauseUnlessBreak(std::chrono::milliseconds(50)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(StopFlag, AStopTakenBackLeavesLaterPausesWhole) {
  setBreak();
  EXPECT_FALSE(PauseUnlessBreak(std::chrono::seconds(100)));
  isBreak = false;
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(PauseUnlessBreak(std::chrono::milliseconds(50)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

}  // namespace
