// The command layer against the modem simulator on a real pseudo-terminal:
// results, console dialogue, and every byte written, read back from the
// simulator's transcript. Each case runs its own simulator, so CTest runs
// them side by side.
#include "ModemTestSupport.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using kivtest::ConsoleCapture;
using kivtest::ModemLine;
using kivtest::Occurrences;

const std::string kBringUp = "AT\r\nAT\r\nAT\r\nAT+CPIN?\r\nAT+CEREG?\r\nAT+CGATT?\r\n";
const std::string kQuery = "AT+QMTCONN?\r\n";
const std::string kOpen = "AT+QMTOPEN=0,\"127.0.0.1\",1883\r\n";
const std::string kShortConnect = "AT+QMTCONN=0,\"KivClient\"\r\n";

// ---- Bring-up --------------------------------------------------------------

struct BringUpCase {
  const char* name;
  std::vector<std::string> options;
  int result;
  std::string written;
  int failures;  // "Command fail!" lines
};

void PrintTo(const BringUpCase& c, std::ostream* out) { *out << c.name; }

class BringUp : public ::testing::TestWithParam<BringUpCase> {};

TEST_P(BringUp, ResultTellsTheFailingCheck) {
  const BringUpCase& c = GetParam();
  ConsoleCapture console;
  ModemLine line(c.options);
  EXPECT_EQ(c.result, nb_init_bc66());
  EXPECT_EQ(c.written, line.simulator.TranscriptOnceEqual(c.written));
  EXPECT_EQ(c.failures, Occurrences(console.Text(), "Command fail!"));
}

// A reply longer than the response buffer, its "OK" at the very end.
const std::string kLongReply = std::string(250, 'x') + "\\r\\nOK";

INSTANTIATE_TEST_SUITE_P(
    Modem, BringUp,
    ::testing::Values(
        BringUpCase{"AllChecksPass", {}, 0, kBringUp, 0},
        // The first two probes fail as well, and do not stop the checks.
        BringUpCase{"AtFails", {"--error", "AT"}, -1, "AT\r\nAT\r\nAT\r\n", 3},
        BringUpCase{"SimFails", {"--error", "AT+CPIN?"}, -2, "AT\r\nAT\r\nAT\r\nAT+CPIN?\r\n",
                    1},
        BringUpCase{"NotRegistered", {"--error", "AT+CEREG?"}, -3,
                    "AT\r\nAT\r\nAT\r\nAT+CPIN?\r\nAT+CEREG?\r\n", 1},
        BringUpCase{"NotAttached", {"--drop", "AT+CGATT?"}, -4, kBringUp, 1},
        BringUpCase{"RepliesInOneBytePieces", {"--split", "1", "--split-gap-ms", "5"}, 0,
                    kBringUp, 0},
        BringUpCase{"GarbageWithNulBeforeTheReply", {"--garbage", "AT+CEREG?"}, 0, kBringUp, 0},
        BringUpCase{"ReplyLongerThanTheResponseBuffer", {"--reply", "AT+CPIN?", kLongReply}, 0,
                    kBringUp, 0}),
    kivtest::CaseName());

TEST(Modem, SilentModemFailsBringUpAfterAboutThreeSeconds) {
  ConsoleCapture console;
  ModemLine line({"--silent"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, nb_init_bc66());
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2800));
  EXPECT_LT(elapsed, std::chrono::seconds(60));
  EXPECT_EQ(3, Occurrences(console.Text(), "Command fail!"));
  EXPECT_EQ(0, Occurrences(console.Text(), "Command ok!"));
  EXPECT_EQ("AT\r\nAT\r\nAT\r\n", line.simulator.TranscriptOnceEqual("AT\r\nAT\r\nAT\r\n"));
}

TEST(Modem, ConsoleShowsEachCommandItsEchoedReplyAndTheOutcome) {
  ConsoleCapture console;
  ModemLine line;
  ASSERT_EQ(0, nb_init_bc66());
  EXPECT_NE(std::string::npos,
            console.Text().find("Send AT+CPIN?\r\n...\nAT+CPIN?\r\n\r\n+CPIN: READY\r\n\r\nOK"
                                "Command ok!"));
}

// ---- Connection sequence ----------------------------------------------------

TEST(Modem, ConnectOpensAndConnectsThenFindsTheClientConnected) {
  ModemLine line;
  EXPECT_EQ(0, line.Connect());
  std::string first = kQuery + kOpen + kShortConnect;
  EXPECT_EQ(first, line.simulator.TranscriptOnceEqual(first));
  // Already connected: the status query alone, no open and no connect.
  EXPECT_EQ(0, line.Connect());
  EXPECT_EQ(first + kQuery, line.simulator.TranscriptOnceEqual(first + kQuery));
}

struct ConnectFormCase {
  const char* name;
  const char* user;
  const char* password;
  std::string command;
};

void PrintTo(const ConnectFormCase& c, std::ostream* out) { *out << c.name; }

class ConnectForm : public ::testing::TestWithParam<ConnectFormCase> {};

TEST_P(ConnectForm, LongFormOnlyWithUserAndPassword) {
  const ConnectFormCase& c = GetParam();
  ModemLine line;
  EXPECT_EQ(0, line.Connect(c.user, c.password));
  std::string expected = kQuery + kOpen + c.command;
  EXPECT_EQ(expected, line.simulator.TranscriptOnceEqual(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Modem, ConnectForm,
    ::testing::Values(
        ConnectFormCase{"UserAndPassword", "user", "secret",
                        "AT+QMTCONN=0,\"KivClient\",\"user\", \"secret\"\r\n"},
        ConnectFormCase{"EmptyTextsCountAsPresent", "", "",
                        "AT+QMTCONN=0,\"KivClient\",\"\", \"\"\r\n"},
        ConnectFormCase{"NullPassword", "user", nullptr, kShortConnect},
        ConnectFormCase{"NullUser", nullptr, "secret", kShortConnect}),
    kivtest::CaseName());

TEST(Modem, FailedOpenStillConnectsAndTheConnectReplyDecides) {
  ModemLine line({"--reply", "AT+QMTOPEN=*", "+QMTOPEN: 0,-1"});
  EXPECT_EQ(0, line.Connect());
  std::string expected = kQuery + kOpen + kShortConnect;
  EXPECT_EQ(expected, line.simulator.TranscriptOnceEqual(expected));
}

TEST(Modem, ConnectWithoutItsReplyFails) {
  ConsoleCapture console;
  ModemLine line({"--drop", "AT+QMTCONN=*"});
  EXPECT_EQ(-1, line.Connect());
  EXPECT_EQ(2, Occurrences(console.Text(), "Command fail!"));  // query and connect
}

TEST(Modem, SubscribeAfterAFailedConnectStillSubscribes) {
  ModemLine line({"--drop", "AT+QMTCONN=*"});
  EXPECT_EQ(0, line.Subscribe(3));
  std::string expected = kQuery + kOpen + kShortConnect + "AT+QMTSUB=0,3,\"/t\",1\r\n";
  EXPECT_EQ(expected, line.simulator.TranscriptOnceEqual(expected));
}

TEST(Modem, RefusedSubscribeSaysSo) {
  ConsoleCapture console;
  ModemLine line({"--error", "AT+QMTSUB=*"});
  ASSERT_EQ(0, line.Connect());
  EXPECT_EQ(-1, line.Subscribe());
  EXPECT_NE(std::string::npos, console.Text().find("Command fail!subcribe fail!"));
}

// ---- Publish ---------------------------------------------------------------

TEST(Modem, PublishProbesTwiceThenQueriesAndPublishes) {
  ModemLine line;
  ASSERT_EQ(0, line.Connect());
  std::string before = line.simulator.TranscriptOnceEqual(kQuery + kOpen + kShortConnect);
  EXPECT_EQ(0, line.Publish(7));
  std::string expected =
      before + "AT\r\nAT\r\n" + kQuery + "AT+QMTPUB=0,7,1,0,\"/t\",\"hi\"\r\n";
  EXPECT_EQ(expected, line.simulator.TranscriptOnceEqual(expected));
}

TEST(Modem, PublishBringsTheConnectionUpFirst) {
  ModemLine line;
  EXPECT_EQ(0, line.Publish(0));
  std::string expected = "AT\r\nAT\r\n" + kQuery + kOpen + kShortConnect +
                         "AT+QMTPUB=0,0,1,0,\"/t\",\"hi\"\r\n";
  EXPECT_EQ(expected, line.simulator.TranscriptOnceEqual(expected));
}

struct PublishReplyCase {
  const char* name;
  std::string reply;
  int result;
};

void PrintTo(const PublishReplyCase& c, std::ostream* out) { *out << c.name; }

class PublishReply : public ::testing::TestWithParam<PublishReplyCase> {};

TEST_P(PublishReply, OnlyResultZeroForThisSocketAndMessageIdCounts) {
  const PublishReplyCase& c = GetParam();
  ModemLine line({"--reply", "AT+QMTPUB=*", c.reply});
  EXPECT_EQ(c.result, line.Publish(7));
}

INSTANTIATE_TEST_SUITE_P(
    Modem, PublishReply,
    ::testing::Values(PublishReplyCase{"Sent", "+QMTPUB: 0,7,0", 0},
                      PublishReplyCase{"Retransmitted", "+QMTPUB: 0,7,1", -1},
                      PublishReplyCase{"OtherMessageId", "+QMTPUB: 0,8,0", -1},
                      PublishReplyCase{"OtherSocket", "+QMTPUB: 1,7,0", -1}),
    kivtest::CaseName());

// ---- Close -----------------------------------------------------------------

TEST(Modem, CloseEndsTheConnection) {
  ModemLine line;
  ASSERT_EQ(0, line.Connect());
  std::string before = line.simulator.TranscriptOnceEqual(kQuery + kOpen + kShortConnect);
  EXPECT_EQ(0, nb_close(0));
  EXPECT_EQ(before + "AT+QMTCLOSE=0\r\n",
            line.simulator.TranscriptOnceEqual(before + "AT+QMTCLOSE=0\r\n"));
  EXPECT_EQ(-1, nb_close(0));  // nothing open any more: the modem answers ERROR
}

// ---- A dead line --------------------------------------------------------------

TEST(Modem, FailedOpenMakesEveryWaitLastAsLongAsSilenceAndIsReportedOnce) {
  ConsoleCapture console;
  std::string missing = "/nonexistent/ttyS9";
  ASSERT_EQ(-1, nb_init_serial(missing.data()));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, nb_init_bc66());
  auto elapsed = std::chrono::steady_clock::now() - start;
  // Three exchanges of a drain and one wait cycle each: no spinning, no hang.
  EXPECT_GE(elapsed, std::chrono::milliseconds(2800));
  EXPECT_LT(elapsed, std::chrono::seconds(60));
  std::string text = console.Text();
  EXPECT_EQ(1, Occurrences(text, "error 9 reading the serial line: Bad file descriptor\n"));
  EXPECT_EQ(3, Occurrences(text, "error 9 writing the serial line: Bad file descriptor\n"));
  EXPECT_EQ(3, Occurrences(text, "Command fail!"));
  fd = -1;
}

}  // namespace
