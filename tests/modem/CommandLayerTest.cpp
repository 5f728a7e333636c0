// The command layer against the simulated modem in process: results,
// console dialogue, every byte written, and the time each wait takes, on the
// line's virtual clock.
#include "CaseName.h"
#include "ConsoleCapture.h"
#include "ModemSimulator.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>

namespace {

using kivtest::ConsoleCapture;
using kivtest::Occurrences;
using kivtest::SimulatedModem;
using std::chrono::milliseconds;
using Call = std::function<int(SimulatedModem&)>;

const std::string kBringUp = "AT\r\nAT\r\nAT\r\nAT+CPIN?\r\nAT+CEREG?\r\nAT+CGATT?\r\n";
const std::string kQuery = "AT+QMTCONN?\r\n";
const std::string kOpen = "AT+QMTOPEN=0,\"127.0.0.1\",1883\r\n";
const std::string kShortConnect = "AT+QMTCONN=0,\"KivClient\"\r\n";
const std::string kConnected = kQuery + kOpen + kShortConnect;
const std::string kProbes = "AT\r\nAT\r\n";
const std::string kSubscribe = "AT+QMTSUB=0,3,\"/t\",1\r\n";
const std::string kPublish = "AT+QMTPUB=0,7,1,0,\"/t\",\"hi\"\r\n";

int BringUp(SimulatedModem&) { return nb_init_bc66(); }
int Connect(SimulatedModem& m) { return m.Connect(); }
int Subscribe(SimulatedModem& m) { return m.Subscribe(); }
int Publish(SimulatedModem& m) { return m.Publish(); }
int Close(SimulatedModem&) { return nb_close(0); }

// Runs the calls in turn; the last one's result.
Call Then(Call first, Call second) {
  return [=](SimulatedModem& m) {
    first(m);
    return second(m);
  };
}

// A line from the modem, then the bring-up.
Call BringUpAfter(const std::string& line) {
  return [=](SimulatedModem& m) {
    m.Send(line);
    return nb_init_bc66();
  };
}

Call ConnectAs(const char* user, const char* password) {
  return [=](SimulatedModem& m) {
    if (user != nullptr) m.user = user;
    if (password != nullptr) m.password = password;
    return m.Connect();
  };
}

struct ExchangeCase {
  const char* name;
  std::vector<std::string> options;  // the simulator's faults
  Call call;
  int result;
  std::string written;
  size_t failures;  // "Command fail!" lines
  const char* printed = "";
  std::optional<milliseconds> duration = std::nullopt;  // on the line's virtual clock
};

void PrintTo(const ExchangeCase& c, std::ostream* out) { *out << c.name; }

class Exchanges : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(Exchanges, ResultWrittenCommandsAndConsole) {
  const ExchangeCase& c = GetParam();
  SimulatedModem modem(c.options);
  int result;
  std::string console;
  {
    ConsoleCapture capture;
    result = c.call(modem);
    console = capture.Text();
  }
  EXPECT_EQ(c.result, result);
  EXPECT_EQ(c.written, modem.Written());
  EXPECT_EQ(c.failures, Occurrences(console, "Command fail!")) << console;
  EXPECT_NE(std::string::npos, console.find(c.printed)) << console;
  if (c.duration) {
    EXPECT_EQ(*c.duration, modem.pipe().now());
  }
}

// A reply longer than the response buffer, its "OK" at the very end.
const std::string kLongReply = std::string(250, 'x') + "\\r\\nOK";

INSTANTIATE_TEST_SUITE_P(
    BringUp, Exchanges,
    ::testing::Values(
        ExchangeCase{"AllChecksPass", {}, BringUp, 0, kBringUp, 0},
        // The first two probes fail as well, and do not stop the checks.
        ExchangeCase{"AtFails", {"--error", "AT"}, BringUp, -1, "AT\r\nAT\r\nAT\r\n", 3},
        ExchangeCase{"SimFails", {"--error", "AT+CPIN?"}, BringUp, -2,
                     "AT\r\nAT\r\nAT\r\nAT+CPIN?\r\n", 1},
        ExchangeCase{"NotRegistered", {"--error", "AT+CEREG?"}, BringUp, -3,
                     "AT\r\nAT\r\nAT\r\nAT+CPIN?\r\nAT+CEREG?\r\n", 1},
        ExchangeCase{"NotAttached", {"--drop", "AT+CGATT?"}, BringUp, -4, kBringUp, 1},
        ExchangeCase{"RepliesInOneBytePieces", {"--split", "1", "--split-gap-ms", "5"}, BringUp,
                     0, kBringUp, 0},
        // 0.4 s apart: every piece comes before the line's 0.5 s of silence.
        ExchangeCase{"RepliesInSlowPieces", {"--split", "4", "--split-gap-ms", "400"}, BringUp, 0,
                     kBringUp, 0},
        ExchangeCase{"GarbageWithNulBeforeTheReply", {"--garbage", "AT+CEREG?"}, BringUp, 0,
                     kBringUp, 0},
        ExchangeCase{"ReplyLongerThanTheResponseBuffer", {"--reply", "AT+CPIN?", kLongReply},
                     BringUp, 0, kBringUp, 0},
        ExchangeCase{"ConsoleShowsCommandEchoedReplyAndOutcome", {}, BringUp, 0, kBringUp, 0,
                     "Send AT+CPIN?\r\n...\nAT+CPIN?\r\n\r\n+CPIN: READY\r\n\r\nOKCommand ok!"},
        // An exchange ends as soon as its reply is there (no silence waited
        // for); what follows the reply, and what came before the command,
        // is echoed by the next drain.
        ExchangeCase{"ExchangeEndsAtItsReply", {}, BringUpAfter("+QMTSTAT: 0,1\r\n"), 0, kBringUp,
                     0, "+QMTSTAT: 0,1\r\nSend AT\r\n...\nAT\r\n\r\nOKCommand ok!\r\nSend AT\r\n",
                     milliseconds(6 * 510)}),
    kivtest::CaseName());

INSTANTIATE_TEST_SUITE_P(
    Connection, Exchanges,
    ::testing::Values(
        ExchangeCase{"ConnectOpensAndConnects", {}, Connect, 0, kConnected, 1},
        // Already connected: the status query alone, no open and no connect.
        ExchangeCase{"ConnectedClientIsOnlyQueried", {}, Then(Connect, Connect), 0,
                     kConnected + kQuery, 1},
        ExchangeCase{"LongFormWithUserAndPassword", {}, ConnectAs("user", "secret"), 0,
                     kQuery + kOpen + "AT+QMTCONN=0,\"KivClient\",\"user\", \"secret\"\r\n", 1},
        ExchangeCase{"EmptyTextsCountAsPresent", {}, ConnectAs("", ""), 0,
                     kQuery + kOpen + "AT+QMTCONN=0,\"KivClient\",\"\", \"\"\r\n", 1},
        ExchangeCase{"ShortFormWithoutPassword", {}, ConnectAs("user", nullptr), 0, kConnected, 1},
        ExchangeCase{"ShortFormWithoutUser", {}, ConnectAs(nullptr, "secret"), 0, kConnected, 1},
        ExchangeCase{"FailedOpenStillConnectsAndTheConnectReplyDecides",
                     {"--reply", "AT+QMTOPEN=*", "+QMTOPEN: 0,-1"}, Connect, 0, kConnected, 2},
        ExchangeCase{"ConnectWithoutItsReplyFails", {"--drop", "AT+QMTCONN=*"}, Connect, -1,
                     kConnected, 2},
        ExchangeCase{"SubscribeAfterAFailedConnectStillSubscribes", {"--drop", "AT+QMTCONN=*"},
                     Subscribe, 0, kConnected + kSubscribe, 2},
        ExchangeCase{"RefusedSubscribeSaysSo", {"--error", "AT+QMTSUB=*"},
                     Then(Connect, Subscribe), -1, kConnected + kQuery + kSubscribe, 2,
                     "Command fail!subcribe fail!"},
        ExchangeCase{"CloseEndsTheConnection", {}, Then(Connect, Close), 0,
                     kConnected + "AT+QMTCLOSE=0\r\n", 1},
        // Nothing open: the modem answers ERROR.
        ExchangeCase{"CloseWithoutAConnectionFails", {}, Close, -1, "AT+QMTCLOSE=0\r\n", 1}),
    kivtest::CaseName());

INSTANTIATE_TEST_SUITE_P(
    Publish, Exchanges,
    ::testing::Values(
        ExchangeCase{"ProbesTwiceThenQueriesAndPublishes", {}, Then(Connect, Publish), 0,
                     kConnected + kProbes + kQuery + kPublish, 1},
        ExchangeCase{"BringsTheConnectionUpFirst", {}, Publish, 0,
                     kProbes + kConnected + kPublish, 1},
        // Only result 0 for this socket and message id counts.
        ExchangeCase{"Sent", {"--reply", "AT+QMTPUB=*", "+QMTPUB: 0,7,0"}, Publish, 0,
                     kProbes + kConnected + kPublish, 1},
        ExchangeCase{"Retransmitted", {"--reply", "AT+QMTPUB=*", "+QMTPUB: 0,7,1"}, Publish, -1,
                     kProbes + kConnected + kPublish, 2},
        ExchangeCase{"OtherMessageId", {"--reply", "AT+QMTPUB=*", "+QMTPUB: 0,8,0"}, Publish, -1,
                     kProbes + kConnected + kPublish, 2},
        ExchangeCase{"OtherSocket", {"--reply", "AT+QMTPUB=*", "+QMTPUB: 1,7,0"}, Publish, -1,
                     kProbes + kConnected + kPublish, 2}),
    kivtest::CaseName());

// ---- Timing -----------------------------------------------------------------

// Against a modem that sends nothing every exchange takes its drain (0.5 s)
// and all its wait cycles (10 ms and 0.5 s of silence each): 1.01 s, 3.05 s
// or 5.09 s for 1, 5 or 9 cycles.
INSTANTIATE_TEST_SUITE_P(
    SilentModem, Exchanges,
    ::testing::Values(
        ExchangeCase{"BringUpWaitsThreeExchangesOfOneCycle", {"--silent"}, BringUp, -1,
                     "AT\r\nAT\r\nAT\r\n", 3, "", milliseconds(3 * 1010)},
        ExchangeCase{"CloseWaitsFiveCycles", {"--silent"}, Close, -1, "AT+QMTCLOSE=0\r\n", 1, "",
                     milliseconds(3050)},
        ExchangeCase{"ConnectWaitsQueryOpenAndConnect", {"--silent"}, Connect, -1, kConnected, 3,
                     "", milliseconds(3050 + 2 * 5090)},
        ExchangeCase{"PublishWaitsProbesConnectionAndPublish", {"--silent"}, Publish, -1,
                     kProbes + kConnected + kPublish, 6, "",
                     milliseconds(2 * 1010 + 3050 + 3 * 5090)}),
    kivtest::CaseName());

// ---- A failing line -----------------------------------------------------------

TEST(Modem, DeadLineMakesEveryWaitLastAsLongAsSilenceAndIsReportedOnceEachWay) {
  SimulatedModem modem;
  modem.pipe().FailReads(EBADF);
  modem.pipe().FailWrites(EBADF);
  std::string text;
  {
    ConsoleCapture console;
    EXPECT_EQ(-1, nb_init_bc66());
    text = console.Text();
  }
  // Three exchanges of a drain and one wait cycle each: no spinning, no hang.
  EXPECT_EQ(milliseconds(3 * 1010), modem.pipe().now());
  EXPECT_EQ(1u, Occurrences(text, "error 9 reading the serial line: Bad file descriptor\n"));
  EXPECT_EQ(1u, Occurrences(text, "error 9 writing the serial line: Bad file descriptor\n"));
  EXPECT_EQ(3u, Occurrences(text, "Command fail!"));
}

// A write that fails is reported when writing starts to fail, with what
// that write said and never with an errno left over from an earlier call;
// once writing works again, the next failure is reported again.
TEST(Modem, FailingWritesAreReportedOnceAndWithoutAStaleError) {
  struct Case {
    const char* name;
    std::function<void(modemctl::MemoryPipe&, bool)> fail;
    std::string report;
  };
  const Case cases[] = {
      {"write error", [](modemctl::MemoryPipe& p, bool on) { p.FailWrites(on ? EIO : 0); },
       // The C library's text: glibc and musl word EIO differently.
       std::string("error 5 writing the serial line: ") + std::strerror(EIO) + "\n"},
      {"nothing taken", [](modemctl::MemoryPipe& p, bool on) { p.StallWrites(on); },
       "error writing the serial line: no bytes taken\n"},
  };
  for (const Case& c : cases) {
    SimulatedModem modem;
    std::vector<int> results;
    std::string text;
    {
      ConsoleCapture console;
      c.fail(modem.pipe(), true);
      errno = EACCES;
      results = {nb_init_bc66(), nb_close(0)};
      c.fail(modem.pipe(), false);
      results.push_back(nb_init_bc66());
      c.fail(modem.pipe(), true);
      results.push_back(nb_init_bc66());
      text = console.Text();
    }
    EXPECT_EQ(std::vector<int>({-1, -1, 0, -1}), results) << c.name;
    EXPECT_EQ(2u, Occurrences(text, c.report)) << c.name << ":\n" << text;
    EXPECT_EQ(2u, Occurrences(text, "writing the serial line")) << c.name << ":\n" << text;
  }
}

}  // namespace
