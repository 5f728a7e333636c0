// Texts that end up between double quotes of an AT command: a double quote,
// CR or LF would let the rest reach the modem as a command of its own, and a
// text too long for the command buffer would overflow it. Such calls are
// refused before anything is written.
#include "ModemTestSupport.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using kivtest::ConsoleCapture;
using kivtest::ModemLine;
using kivtest::Occurrences;

struct Texts {
  std::string host = "127.0.0.1";
  std::string clientId = "KivClient";
  std::string user = "user";
  std::string password = "secret";
  std::string topic = "/t";
  std::string message = "hi";
};

struct RefusalCase {
  const char* name;
  std::function<void(Texts&)> spoil;
  std::string why;
};

int ConnectWith(Texts& t) {
  return nb_connect(0, t.host.data(), 1883, t.clientId.data(), t.user.data(), t.password.data());
}

int SubscribeWith(Texts& t) {
  return nb_subcribe_topic(0, t.host.data(), 1883, t.clientId.data(), t.user.data(),
                           t.password.data(), 1, t.topic.data(), 1);
}

int PublishWith(Texts& t) {
  return nb_publish_message(0, t.host.data(), 1883, t.clientId.data(), t.user.data(),
                            t.password.data(), 1, t.topic.data(), t.message.data(), 1);
}

const std::string kQuote = "a double quote, CR or LF";
const std::string kTooLong = "would not fit";

TEST(Modem, HostileOrOverlongTextsAreRefusedWithoutWritingAnything) {
  const std::string injected = "\",1883\r\nAT+QMTCLOSE=0\r\n";
  const RefusalCase cases[] = {
      {"quote in host", [&](Texts& t) { t.host += injected; }, kQuote},
      {"CR in client id", [](Texts& t) { t.clientId = "Kiv\rClient"; }, kQuote},
      {"LF in user name", [](Texts& t) { t.user = "us\ner"; }, kQuote},
      {"quote in password", [](Texts& t) { t.password = "se\"cret"; }, kQuote},
      {"quote in topic", [](Texts& t) { t.topic = "/t\""; }, kQuote},
      {"LF in message", [](Texts& t) { t.message = "hi\nAT+QMTCLOSE=0"; }, kQuote},
      {"host too long", [](Texts& t) { t.host = std::string(90, 'h'); }, kTooLong},
      {"topic too long", [](Texts& t) { t.topic = std::string(90, 't'); }, kTooLong},
  };
  using Call = int (*)(Texts&);
  const std::pair<const char*, Call> calls[] = {
      {"nb_connect", ConnectWith}, {"nb_subcribe_topic", SubscribeWith},
      {"nb_publish_message", PublishWith}};
  ModemLine line;
  for (const RefusalCase& c : cases) {
    for (const auto& [function, call] : calls) {
      Texts texts;
      c.spoil(texts);
      bool usesTopic = call != ConnectWith;
      bool usesMessage = call == PublishWith;
      if (!usesTopic && std::string(c.name).find("topic") != std::string::npos) continue;
      if (!usesMessage && std::string(c.name).find("message") != std::string::npos) continue;
      ConsoleCapture console;
      EXPECT_EQ(-1, call(texts)) << function << ": " << c.name;
      std::string text = console.Text();
      EXPECT_EQ(1, Occurrences(text, "\n")) << function << ": " << c.name << ": " << text;
      EXPECT_EQ(0u, text.find(std::string(function) + ": refused: ")) << text;
      EXPECT_NE(std::string::npos, text.find(c.why)) << function << ": " << c.name;
    }
  }
  std::string nothing = line.simulator.Transcript();
  EXPECT_EQ("", nothing);
}

TEST(Modem, MissingRequiredTextIsRefused) {
  ModemLine line;
  ConsoleCapture console;
  std::string clientId = "KivClient";
  EXPECT_EQ(-1, nb_connect(0, nullptr, 1883, clientId.data(), nullptr, nullptr));
  EXPECT_EQ("nb_connect: refused: no host given\n", console.Text());
  EXPECT_EQ("", line.simulator.Transcript());
}

// The open command of a host this long takes 99 bytes: with its
// terminator it just fits the 100-byte command buffer.
TEST(Modem, HostThatJustFitsIsSent) {
  ModemLine line;
  line.host = std::string(99 - std::string("AT+QMTOPEN=0,\"\",1883\r\n").size(), 'h');
  EXPECT_EQ(0, line.Connect());
  EXPECT_NE(std::string::npos, line.simulator.Transcript().find(line.host));
  line.host += 'h';
  ConsoleCapture console;
  EXPECT_EQ(-1, line.Connect());
  EXPECT_NE(std::string::npos, console.Text().find(kTooLong));
}

// The publish buffer grows with the message: long messages are sent whole.
TEST(Modem, LongMessageIsPublishedWhole) {
  ModemLine line;
  line.message = std::string(1000, 'm');
  EXPECT_EQ(0, line.Publish(1));
  EXPECT_NE(std::string::npos,
            line.simulator.Transcript().find("\"/t\",\"" + line.message + "\"\r\n"));
}

}  // namespace
