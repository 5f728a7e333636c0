// The simulator in process: its AT engine with its own small broker (the
// replies the modem gives, and the fault rules tests rely on), and its
// command line.
#include "LoopbackNetwork.h"
#include "ModemEngine.h"
#include "SimulatorSettings.h"
#include "TextEscapes.h"

#include <gtest/gtest.h>

namespace {

using modemsim::FaultRule;
using modemsim::Faults;
using modemsim::LoopbackNetwork;
using modemsim::ModemEngine;

class Engine {
public:
  explicit Engine(Faults faults = {})
      : engine_(network_, std::move(faults), [this](const std::string& b) { pieces_.push_back(b); }) {}
  // What the modem sent in answer to the bytes, all pieces joined.
  std::string Answer(const std::string& bytes) {
    pieces_.clear();
    engine_.Feed(bytes);
    std::string all;
    for (const std::string& piece : pieces_) all += piece;
    return all;
  }
  const std::vector<std::string>& pieces() const { return pieces_; }

private:
  LoopbackNetwork network_;
  std::vector<std::string> pieces_;
  ModemEngine engine_;
};

TEST(ModemSimulator, AnswersLikeTheModem) {
  Engine modem;
  struct Step {
    std::string command;
    std::string answer;  // after the command's echo
  };
  const Step steps[] = {
      {"AT\r\n", "\r\nOK\r\n"},
      {"AT+CPIN?\r\n", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
      {"AT+QMTCONN?\r\n", "\r\nOK\r\n"},
      {"AT+QMTSUB=0,1,\"/a/+\",1\r\n", "\r\nERROR\r\n"},  // not connected
      {"AT+QMTCONN=0,\"id\"\r\n", "\r\nERROR\r\n"},       // not opened
      {"AT+QMTOPEN=0,\"127.0.0.1\",1883\r\n", "\r\nOK\r\n\r\n+QMTOPEN: 0,0\r\n"},
      {"AT+QMTCONN?\r\n", "\r\n+QMTCONN: 0,1\r\n\r\nOK\r\n"},
      {"AT+QMTOPEN=0,\"127.0.0.1\",1883\r\n", "\r\nOK\r\n\r\n+QMTOPEN: 0,2\r\n"},
      {"AT+QMTCONN=0,\"id\",\"u\", \"p\"\r\n", "\r\nOK\r\n\r\n+QMTCONN: 0,0,0\r\n"},
      {"AT+QMTCONN?\r\n", "\r\n+QMTCONN: 0,3\r\n\r\nOK\r\n"},
      {"AT+QMTSUB=0,1,\"/a/+\",1\r\n", "\r\nOK\r\n\r\n+QMTSUB: 0,1,0,1\r\n"},
      {"AT+QMTPUB=0,2,1,0,\"/a/b\",\"x,y\"\r\n",
       "\r\nOK\r\n\r\n+QMTRECV: 0,1,\"/a/b\",\"x,y\"\r\n\r\n+QMTPUB: 0,2,0\r\n"},
      {"AT+QMTPUB=0,3,0,0,\"/b\",\"x\"\r\n", "\r\nOK\r\n\r\n+QMTPUB: 0,3,0\r\n"},
      {"AT+QMTPUB=0,3,1,0,\"/b\"\r\n", "\r\nERROR\r\n"},
      {"AT+QMTOPEN=6,\"h\",1883\r\n", "\r\nERROR\r\n"},
      {"AT+QMTCLOSE=0\r\n", "\r\nOK\r\n\r\n+QMTCLOSE: 0,0\r\n"},
      {"AT+QMTCONN?\r\n", "\r\nOK\r\n"},
      {"AT+NOPE\r\n", "\r\nERROR\r\n"},
      {"ATE0\r\n", "\r\nOK\r\n"},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(step.command + step.answer, modem.Answer(step.command)) << step.command;
  }
  EXPECT_EQ("\r\nOK\r\n", modem.Answer("AT\r\n"));  // echo off now
}

TEST(ModemSimulator, FaultRulesChangeTheAnswer) {
  Faults faults;
  faults.rules = {{FaultRule::Kind::kDrop, "AT+CPIN?", ""},
                  {FaultRule::Kind::kReply, "AT+QMTOPEN=*", "+QMTOPEN: 0,5"},
                  {FaultRule::Kind::kUrcBefore, "AT+CEREG?", "+QMTSTAT: 0,1"},
                  {FaultRule::Kind::kError, "AT+CGATT?", ""},
                  {FaultRule::Kind::kGarbage, "AT", ""}};
  Engine modem(faults);
  EXPECT_EQ("AT+CPIN?\r\n", modem.Answer("AT+CPIN?\r\n"));
  EXPECT_EQ("AT+QMTOPEN=0,\"h\",1\r\n\r\nOK\r\n\r\n+QMTOPEN: 0,5\r\n",
            modem.Answer("AT+QMTOPEN=0,\"h\",1\r\n"));
  // The open did happen: the client can connect.
  EXPECT_EQ("AT+QMTCONN=0,\"c\"\r\n\r\nOK\r\n\r\n+QMTCONN: 0,0,0\r\n",
            modem.Answer("AT+QMTCONN=0,\"c\"\r\n"));
  EXPECT_EQ("AT+CEREG?\r\n\r\n+QMTSTAT: 0,1\r\n\r\n+CEREG: 0,1\r\n\r\nOK\r\n",
            modem.Answer("AT+CEREG?\r\n"));
  EXPECT_EQ("AT+CGATT?\r\n\r\nERROR\r\n", modem.Answer("AT+CGATT?\r\n"));
  EXPECT_EQ("AT\r\n" + ModemEngine::Garbage() + "\r\nOK\r\n", modem.Answer("AT\r\n"));
}

TEST(ModemSimulator, SilentModemSendsNothingAndSplitModemSendsPieces) {
  Faults silent;
  silent.silent = true;
  EXPECT_EQ("", Engine(silent).Answer("AT\r\n"));
  Faults split;
  split.splitBytes = 3;
  split.splitGap = std::chrono::milliseconds(1);
  Engine modem(split);
  EXPECT_EQ("AT\r\n\r\nOK\r\n", modem.Answer("AT\r\n"));
  for (const std::string& piece : modem.pieces()) EXPECT_LE(piece.size(), 3u);
}

TEST(ModemSimulator, TopicFiltersMatchLikeABroker) {
  struct Case {
    const char* filter;
    const char* topic;
    bool matches;
  };
  const Case cases[] = {{"/hello", "/hello", true}, {"/hello", "/hello/x", false},
                        {"/+", "/hello", true},     {"+/+", "/hello", true},
                        {"#", "/a/b", true},        {"/a/#", "/a", true},
                        {"/a/+/c", "/a/b/c", true}, {"/a/+/c", "/a/b/d", false}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.matches, modemsim::TopicMatches(c.filter, c.topic)) << c.filter << " " << c.topic;
  }
}

TEST(ModemSimulator, EscapesRoundTrip) {
  const char raw[] = "a\r\n\\\"\t\0\xff";
  const std::string bytes(raw, sizeof raw - 1);
  EXPECT_EQ(bytes, modemsim::Unescape(modemsim::Escape(bytes)));
  EXPECT_EQ(std::string("\r\n\0A\"", 5), modemsim::Unescape("\\r\\n\\0\\x41\\\""));
  for (const char* bad : {"\\", "\\q", "\\x4", "\\xg1"}) {
    EXPECT_FALSE(modemsim::Unescape(bad)) << bad;
  }
}

TEST(ModemSimulator, CommandLineRefusesWhatItCannotRun) {
  struct Case {
    std::vector<std::string> arguments;
    std::string why;
  };
  const Case cases[] = {
      {{"--nonsense"}, "unknown option --nonsense"},  // the only one that shows the usage
      {{"--drop"}, "--drop needs a value"},
      {{"--reply", "AT"}, "--reply needs a value"},
      {{"--split", "0"}, "bad number 0"},
      {{"--split-gap-ms", "5x"}, "bad number 5x"},
      {{"--error", "\\q"}, "bad escape in \"\\q\""},
  };
  for (const Case& c : cases) {
    try {
      modemsim::ParseArguments(c.arguments);
      ADD_FAILURE() << c.why << ": accepted";
    } catch (const modemsim::UsageError& error) {
      EXPECT_EQ(c.why, error.what());
      EXPECT_EQ(&c == &cases[0], error.unknownOption()) << c.why;
    }
  }
}

}  // namespace
