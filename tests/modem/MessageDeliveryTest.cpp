// Delivery of received messages ("+QMTRECV: " lines) to the callback, with
// the lines arriving from the simulated modem.
#include "CaseName.h"
#include "ConsoleCapture.h"
#include "ModemSimulator.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <tuple>

namespace {

using kivtest::ConsoleCapture;
using kivtest::SimulatedModem;

// Socket index, message id, data and length, as the callback got them.
using Delivery = std::tuple<int, int, std::string, int>;

std::vector<Delivery> deliveries;

void Record(int index, int msgId, char* data, int length) {
  deliveries.emplace_back(index, msgId, data, length);
}

class Delivering : public ::testing::Test {
protected:
  void SetUp() override {
    deliveries.clear();
    nb_set_onmessage_callback(Record);
  }
  void TearDown() override { nb_set_onmessage_callback(nullptr); }
};

struct LineCase {
  const char* name;
  std::string sent;
  std::optional<Delivery> delivered;
  void (*read)() = nb_loop_read;
  bool withCallback = true;
};

void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }

class MessageLine : public Delivering, public ::testing::WithParamInterface<LineCase> {};

TEST_P(MessageLine, DeliversTheFirstMessageWithItsFourthFieldCutAtAComma) {
  const LineCase& c = GetParam();
  SimulatedModem modem;
  if (!c.withCallback) nb_set_onmessage_callback(nullptr);
  std::string echoed;
  {
    ConsoleCapture console;
    modem.Send(c.sent);
    c.read();
    echoed = console.Text();
  }
  EXPECT_EQ(c.sent, echoed);  // every byte echoed, nothing else printed
  EXPECT_EQ(c.delivered ? std::vector<Delivery>{*c.delivered} : std::vector<Delivery>(),
            deliveries);
}

const std::string kX1000(1000, 'x');
const char kNoisy[] = "junk\0\xff+QMTRECV: 2,9,\"t\",\"z\"";
const std::string kMessage = "+QMTRECV: 0,4,\"t\",\"d\"\r\n";

INSTANTIATE_TEST_SUITE_P(
    Modem, MessageLine,
    ::testing::Values(
        LineCase{"Plain", "\r\n+QMTRECV: 0,5,\"/hello\",\"hi there\"\r\n",
                 Delivery{0, 5, "\"hi there\"\r\n", 900}},
        LineCase{"AtoiRules", "+QMTRECV:  12abc,x7,\"t\",\"d\"", Delivery{12, 0, "\"d\"", 900}},
        LineCase{"NumbersBeyondInt", "+QMTRECV: 99999999999,-3,\"t\",\"d\"",
                 Delivery{INT_MAX, -3, "\"d\"", 900}},
        LineCase{"CommaInTheData", "+QMTRECV: 0,1,\"t\",\"a,b\"\r\n", Delivery{0, 1, "\"a", 900}},
        LineCase{"RunsOfCommasCountOnce", "+QMTRECV: 3,,,4,,\"t\",,\"d\"\r\n",
                 Delivery{3, 4, "\"d\"\r\n", 900}},
        LineCase{"FewerThanFourFields", "+QMTRECV: 0,5,\"t\"\r\n", std::nullopt},
        LineCase{"PrefixWithoutItsBlank", "+QMTRECV:0,5,\"t\",\"d\"\r\n", std::nullopt},
        LineCase{"TwoMessagesOneCallDataRunsOn",
                 "+QMTRECV: 0,1,\"t\",\"a\"\r\n+QMTRECV: 0,2,\"t\",\"b\"\r\n",
                 Delivery{0, 1, "\"a\"\r\n+QMTRECV: 0", 900}},
        LineCase{"NoiseAndNulBefore", std::string(kNoisy, sizeof kNoisy - 1),
                 Delivery{2, 9, "\"z\"", 900}},
        // Past 900 bytes storing starts again at the front; the text still
        // ends at the buffer's end, with what the first pass left there.
        LineCase{"StoringWrapsAfter900Bytes", kX1000 + kMessage,
                 Delivery{0, 4, "\"d\"\r\n" + std::string(900 - 100 - kMessage.size(), 'x'),
                          900}},
        LineCase{"WithoutACallbackOnlyEchoed", kMessage, std::nullopt, nb_process_urc, false},
        LineCase{"ClearOnlyEchoes", kMessage, std::nullopt, nb_clear}),
    kivtest::CaseName());

TEST_F(Delivering, ReplacingTheCallbackDeliversToTheNewOne) {
  SimulatedModem modem;
  static int calls = 0;
  nb_set_onmessage_callback([](int, int, char*, int) { ++calls; });
  modem.Send(kMessage);
  nb_process_urc();
  EXPECT_EQ(1, calls);
  EXPECT_TRUE(deliveries.empty());
}

TEST_F(Delivering, MessageWaitingBeforeAnExchangeIsDeliveredBeforeItsCommand) {
  SimulatedModem modem;
  modem.Send(kMessage);
  ASSERT_EQ(0, nb_init_bc66());
  ASSERT_EQ(1u, deliveries.size());
  EXPECT_EQ(4, std::get<1>(deliveries[0]));
}

TEST_F(Delivering, MessageArrivingDuringAnExchangeIsEchoedButNeverDelivered) {
  SimulatedModem modem({"--urc-before", "AT+CPIN?", "+QMTRECV: 0,9,\"/t\",\"mid\""});
  ConsoleCapture console;
  ASSERT_EQ(0, nb_init_bc66());
  nb_loop_read();
  EXPECT_TRUE(deliveries.empty());
  EXPECT_NE(std::string::npos, console.Text().find("+QMTRECV: 0,9,\"/t\",\"mid\""));
}

}  // namespace
