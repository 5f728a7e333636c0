// The demonstration program end to end: modemctl on the simulator's
// pseudo-terminal, the simulator bridged to a private mosquitto.
#include "ModemSimulator.h"
#include "TestBroker.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace {

using kivtest::ModemSimulator;
using kivtest::Process;
using kivtest::TestBroker;

const std::chrono::milliseconds kDemoDeadline(120000);

Process StartDemo(const std::string& device) {
  Process::Options options;
  options.env["MODEMCTL_DEVICE"] = device;
  options.env["MODEMCTL_BROKER_HOST"] = "127.0.0.1";
  return Process(kivtest::ProgramCommand("modem/modemctl"), options);
}

// Arrival times of "hello world!" in "<seconds> <payload>" lines.
std::vector<double> ArrivalTimes(const std::string& lines) {
  std::vector<double> times;
  std::istringstream in(lines);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(" hello world!") != std::string::npos) times.push_back(std::atof(line.c_str()));
  }
  return times;
}

TEST(ModemDemo, PublishesHelloWorldEveryFiveSecondsAndPrintsWhatArrivesOnceItsCallbackIsSet) {
  TestBroker broker;
  const std::string port = std::to_string(broker.port());
  Process subscriber({"mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-q", "1", "-t", "/hello",
                      "-F", "%U %p"});
  // A message during bring-up, before the callback is registered.
  ModemSimulator simulator({"--broker", broker.uri(), "--urc-before", "AT+CPIN?",
                            "+QMTRECV: 0,4,\"/hello\",\"early\""});
  Process demo(StartDemo(simulator.device()));
  // Its first publish comes after the callback is set.
  ASSERT_TRUE(subscriber.WaitForOutput("hello world!", kDemoDeadline)) << demo.Stdout();

  // A message another client publishes is printed by the callback, once it
  // arrives while the demo drains the line (not in the middle of a publish).
  // Tried between the first publishes, so the wait for them covers it.
  bool printed = false;
  for (int attempt = 0; attempt < 30 && !printed; ++attempt) {
    Process publisher(
        {"mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-q", "1", "-t", "/hello", "-m",
         "from outside"});
    ASSERT_EQ(0, publisher.Wait(std::chrono::milliseconds(30000)));
    printed = demo.WaitForOutput("data: \"from outside\"", std::chrono::milliseconds(3000));
  }

  // Two publishes show the interval and the message ids counting up (the
  // first comes some 14 s after the start: every exchange on a real line
  // waits its half-second silences).
  ASSERT_TRUE(subscriber.WaitForOutput("hello world!", kDemoDeadline, Process::Stream::kOut, 2))
      << subscriber.Stdout() << demo.Stdout();
  std::vector<double> times = ArrivalTimes(subscriber.Stdout());
  for (size_t i = 1; i < times.size(); ++i) {
    // Publishes start five seconds apart; the way to the broker varies by
    // a few scheduling delays.
    EXPECT_GE(times[i] - times[i - 1], 4.75) << subscriber.Stdout();
  }
  std::string written = simulator.Transcript();
  size_t at = 0;
  for (int msgId = 0; msgId < 2; ++msgId) {
    std::string publish =
        "AT+QMTPUB=0," + std::to_string(msgId) + ",1,0,\"/hello\",\"hello world!\"\r\n";
    at = written.find(publish, at);
    ASSERT_NE(std::string::npos, at) << publish << " in\n" << written;
  }
  EXPECT_TRUE(printed) << demo.Stdout();
  std::string out = demo.Stdout();
  EXPECT_NE(std::string::npos,
            kivtest::RegexSearch(out, "\nPrint content socket: 0, msgID: [0-9]+, data: \"from outside\""))
      << out;
  EXPECT_NE(std::string::npos, out.find("+QMTRECV: 0,4,\"/hello\",\"early\""));
  EXPECT_EQ(std::string::npos, out.find("data: \"early\"")) << out;
  EXPECT_TRUE(demo.Running());
}

}  // namespace
