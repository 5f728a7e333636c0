// Texts that end up between double quotes of an AT command: a double quote,
// CR or LF would let the rest reach the modem as a command of its own, and a
// text too long for the command buffer would overflow it. Such calls are
// refused before anything is written.
#include "ConsoleCapture.h"
#include "ModemSimulator.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using kivtest::ConsoleCapture;
using kivtest::Occurrences;
using kivtest::SimulatedModem;

const std::string kQuote = "a double quote, CR or LF";
const std::string kTooLong = "would not fit";

TEST(Modem, HostileOrOverlongTextsAreRefusedWithoutWritingAnything) {
  struct Case {
    const char* name;
    std::function<void(SimulatedModem&)> spoil;
    std::string why;
    int firstCall;  // 0: every call takes the text; 1: not nb_connect; 2: publish only
  };
  const Case cases[] = {
      {"quote in host", [](SimulatedModem& m) { m.host += "\",1883\r\nAT+QMTCLOSE=0\r\n"; },
       kQuote, 0},
      {"CR in client id", [](SimulatedModem& m) { m.clientId = "Kiv\rClient"; }, kQuote, 0},
      {"LF in user name", [](SimulatedModem& m) { m.user = "us\ner"; }, kQuote, 0},
      {"quote in password", [](SimulatedModem& m) { m.password = "se\"cret"; }, kQuote, 0},
      {"quote in topic", [](SimulatedModem& m) { m.topic = "/t\""; }, kQuote, 1},
      {"LF in message", [](SimulatedModem& m) { m.message = "hi\nAT+QMTCLOSE=0"; }, kQuote, 2},
      {"host too long", [](SimulatedModem& m) { m.host = std::string(90, 'h'); }, kTooLong, 0},
      {"topic too long", [](SimulatedModem& m) { m.topic = std::string(90, 't'); }, kTooLong, 1},
  };
  const std::pair<const char*, std::function<int(SimulatedModem&)>> calls[] = {
      {"nb_connect", [](SimulatedModem& m) { return m.Connect(); }},
      {"nb_subcribe_topic", [](SimulatedModem& m) { return m.Subscribe(); }},
      {"nb_publish_message", [](SimulatedModem& m) { return m.Publish(); }}};
  for (const Case& c : cases) {
    for (int i = c.firstCall; i < 3; ++i) {
      const auto& [function, call] = calls[i];
      SimulatedModem modem;
      modem.user = "user";
      modem.password = "secret";
      c.spoil(modem);
      int result;
      std::string text;
      {
        ConsoleCapture console;
        result = call(modem);
        text = console.Text();
      }
      EXPECT_EQ(-1, result) << function << ": " << c.name;
      EXPECT_EQ(1u, Occurrences(text, "\n")) << function << ": " << c.name << ": " << text;
      EXPECT_EQ(0u, text.find(std::string(function) + ": refused: ")) << text;
      EXPECT_NE(std::string::npos, text.find(c.why)) << function << ": " << c.name;
      EXPECT_EQ("", modem.Written()) << function << ": " << c.name;
    }
  }
}

TEST(Modem, MissingRequiredTextIsRefused) {
  SimulatedModem modem;
  std::string clientId = "KivClient";
  ConsoleCapture console;
  EXPECT_EQ(-1, nb_connect(0, nullptr, 1883, clientId.data(), nullptr, nullptr));
  EXPECT_EQ("nb_connect: refused: no host given\n", console.Text());
  EXPECT_EQ("", modem.Written());
}

// The open command of a host this long takes 99 bytes: with its
// terminator it just fits the 100-byte command buffer.
TEST(Modem, HostThatJustFitsIsSent) {
  SimulatedModem modem;
  modem.host = std::string(99 - std::string("AT+QMTOPEN=0,\"\",1883\r\n").size(), 'h');
  EXPECT_EQ(0, modem.Connect());
  EXPECT_NE(std::string::npos, modem.Written().find(modem.host));
  modem.host += 'h';
  ConsoleCapture console;
  EXPECT_EQ(-1, modem.Connect());
  EXPECT_NE(std::string::npos, console.Text().find(kTooLong));
}

// The publish buffer grows with the message: long messages are sent whole.
TEST(Modem, LongMessageIsPublishedWhole) {
  SimulatedModem modem;
  modem.message = std::string(1000, 'm');
  EXPECT_EQ(0, modem.Publish(1));
  EXPECT_NE(std::string::npos, modem.Written().find("\"/t\",\"" + modem.message + "\"\r\n"));
}

}  // namespace
