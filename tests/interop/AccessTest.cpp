// The broker recipe of docs/operations.md (examples/mosquitto/) as it is,
// with two gateways A and B, the CSE and the console on it: what B's
// credentials can do against A, and that everyone else still works.
#include "CseFixture.h"
#include "Gatewayd.h"
#include "PlatformClient.h"

#include "kiv/MqttClient.h"

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <sstream>

namespace broker_access {
namespace {

using namespace std::chrono_literals;
using kivtest::Occurrences;

constexpr std::chrono::milliseconds kDeadline = 30s;
const std::map<std::string, std::string> kUsers = {
    {"gw-a", "pass-a"}, {"gw-b", "pass-b"}, {"id-in", "pass-cse"}, {"console", "pass-console"}};

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

class Access : public kivtest::CseFixture {
protected:
  void SetUp() override {
    if (auto why = kivtest::TestCse::Unavailable()) GTEST_SKIP() << *why;
    const std::string recipe = kivtest::SourceDir() + "/examples/mosquitto/";
    kivtest::WritePasswordFile(dir_.File("kiv.passwd"), kUsers);
    std::string config = kivtest::ReadFile(recipe + "kiv.conf");
    config = Replaced(config, "/etc/mosquitto/kiv.passwd", dir_.File("kiv.passwd"));
    config = Replaced(config, "/etc/mosquitto/kiv.acl", recipe + "kiv.acl");
    broker_.emplace();
    broker_->RequireAccess(config);
    kivtest::TestCse::Options cse;
    cse.mqttPort = broker_->port();
    cse.mqttUser = "id-in";
    cse.mqttPassword = kUsers.at("id-in");
    cse_.emplace(cse);
  }
  void TearDown() override {
    for (auto& [device, gateway] : gateways_) {
      gateway->Signal(SIGTERM);
      gateway->Wait(kDeadline);
      if (HasFailure()) std::cerr << device << "'s log:\n" << gateway->Stderr();
    }
    CseFixture::TearDown();
  }

  // A gateway with its own user and the packages' allow-list, registered.
  kivtest::Process& StartGateway(const std::string& device) {
    kivtest::WriteNodeScript(folders_[device], "true\n");
    auto& gateway = gateways_[device] = kivtest::StartGatewayd(
        folders_[device], broker_->uri(), device,
        {"-u", device, "-p", kUsers.at(device), "-d", "on", "-i", "60"},
        {{"KIV_ALLOWED_ORIGINATORS", "gwctl-*"}});
    EXPECT_TRUE(gateway->WaitForOutput("registered with the platform's CSE", kDeadline,
                                       kivtest::Process::Stream::kErr))
        << gateway->Stderr();
    return *gateway;
  }

  // The console, signed in as user with the originator gwctl-<user>, asks
  // device for a node resource: its exit status (3 when no answer came
  // within seconds).
  std::optional<int> Console(const std::string& user, const std::string& device,
                             const std::string& seconds = "10") {
    std::vector<std::string> command = kivtest::ProgramCommand("tools/gwctl/gwctl");
    for (const std::string& word : {std::string("-s"), broker_->uri(), std::string("-u"), user,
                                    std::string("-p"), kUsers.at(user), std::string("-t"), seconds,
                                    std::string("-i"), "gwctl-" + user,
                                    std::string("retrieve"), device, std::string("14")}) {
      command.push_back(word);
    }
    kivtest::Process console(command);
    return console.Wait(kDeadline);
  }

  // A client signed in as user (its user name is its client id).
  std::unique_ptr<kiv::mqtt::Client> SignIn(const std::string& user, kiv::platform::Inbox& inbox) {
    kiv::mqtt::Options options;
    options.serverUri = broker_->uri();
    options.username = user;
    options.password = kUsers.at(user);
    options.autoReconnect = false;
    auto client = std::make_unique<kiv::mqtt::Client>(options);
    client->OnMessage(inbox.Handler());
    EXPECT_EQ(client->Connect(10s), kiv::mqtt::kOk);
    return client;
  }

  kivtest::TempDir dir_;
  std::map<std::string, kivtest::TempDir> folders_;
  std::map<std::string, std::unique_ptr<kivtest::Process>> gateways_;
};

TEST_F(Access, AGatewaysCredentialsReachNothingOfAnotherGateway) {
  kivtest::Process& a = StartGateway("gw-a");
  kivtest::Process& b = StartGateway("gw-b");
  ASSERT_EQ(Console("console", "gw-a"), 0) << "the console reaches A";
  // B's credentials fall into other hands: B itself stops, so that it does
  // not take its session back from the intruder.
  b.Signal(SIGTERM);
  ASSERT_EQ(b.Wait(kDeadline), 0);

  kiv::platform::Inbox inbox;
  kiv::mqtt::Options options;
  options.serverUri = broker_->uri();
  options.clientId = "gw-a";  // A's client id: a takeover, were it honoured
  options.username = "gw-b";
  options.password = kUsers.at("gw-b");
  options.autoReconnect = false;
  kiv::mqtt::Client intruder(options);
  intruder.OnMessage(inbox.Handler());
  ASSERT_EQ(intruder.Connect(10s), kiv::mqtt::kOk);

  struct Attempt {
    std::string what, topic, payload;  // a subscription when payload is empty
    bool retained = false;
  } attempts[] = {
      {"read A's requests", "/oneM2M/req/+/gw-a/json", ""},
      {"read A's answers", "/oneM2M/resp/+/gw-a/json", ""},
      {"read the answers to A", "/oneM2M/resp/gw-a/#", ""},
      {"request to A", "/oneM2M/req/gw-b/gw-a/json", R"({"rqi":"forged-request","op":2,"fc":{"ty":[14]}})"},
      {"request to A in the CSE's name", "/oneM2M/req/id-in/gw-a/json", R"({"rqi":"forged-cse","op":5})"},
      {"record as A", "/oneM2M/req/gw-a/id-in/json",
       R"({"op":1,"to":"/id-in/cse-in/gw-a/data","fr":"/gw-a","rqi":"forged-record","rvi":"3","ty":4,"pc":{"m2m:cin":{"rn":"forged","con":"x"}}})"},
      {"answer to A from the CSE", "/oneM2M/resp/gw-a/id-in/json", R"({"rqi":"forged-answer","rsc":4004,"rvi":"3"})"},
      {"answer to A from B", "/oneM2M/resp/gw-a/gw-b/json", R"({"rqi":"forged-answer-b","rsc":4004,"rvi":"3"})"},
      {"A's status", "/kiv/status/gw-a", "offline", true},
  };
  std::vector<std::string> answers;  // the broker's, to each attempt
  for (const Attempt& attempt : attempts) {
    std::string error;
    int rc = attempt.payload.empty()
                 ? intruder.Subscribe(attempt.topic, 1, &error)
                 : intruder.PublishAndWait(attempt.topic, attempt.payload, 1, attempt.retained, 10s, &error);
    answers.push_back(rc == 0 ? "accepted" : "refused: " + error);
  }
  // The console's request and A's answer pass while the intruder listens;
  // the broker handled the intruder's messages before them.
  EXPECT_EQ(Console("console", "gw-a"), 0) << "A still serves the console";
  std::cout << "attempt with B's credentials | the broker's answer | what came of it\n";
  for (size_t i = 0; i < std::size(attempts); ++i) {
    std::cout << attempts[i].what << " (" << attempts[i].topic << ") | " << answers[i] << " | "
              << (attempts[i].payload.empty()
                      ? std::to_string(inbox.Messages().size()) + " messages received"
                      : std::to_string(Occurrences(a.Stderr(), "forged")) + " forged lines in A's log")
              << "\n";
  }
  std::cout << "client id gw-a with B's credentials | accepted as gw-b | A's connection losses: "
            << Occurrences(a.Stderr(), "lost") << "\n";
  EXPECT_TRUE(inbox.Messages().empty()) << inbox.Messages()[0].topic;
  std::string logA = a.Stderr();
  EXPECT_EQ(Occurrences(logA, "forged"), 0u) << "nothing of B's reached A:\n" << logA;
  EXPECT_EQ(Occurrences(logA, "lost"), 0u) << "A kept its session:\n" << logA;
  EXPECT_EQ(cse_->Retrieve("/cse-in/gw-a/data/forged").Header("X-M2M-RSC").value_or(""), "4004");

  // The CSE still forwards to A, and A's status is its own.
  kivtest::HttpResponse forwarded = cse_->Retrieve("/~/gw-a/gateway?fu=1&ty=14");
  EXPECT_EQ(forwarded.Header("X-M2M-RSC").value_or(""), "2000") << forwarded.body;
  kiv::platform::Inbox status;
  options.clientId.clear();
  options.username = "console";
  options.password = kUsers.at("console");
  kiv::mqtt::Client console(options);
  console.OnMessage(status.Handler());
  ASSERT_EQ(console.Connect(10s), kiv::mqtt::kOk);
  ASSERT_EQ(console.Subscribe("/kiv/status/gw-a", 1), kiv::mqtt::kOk);
  ASSERT_TRUE(status.WaitFor(1));
  EXPECT_EQ(status.Messages()[0].payload, "online");
  // B as a console: its request never reaches A, so no answer comes.
  EXPECT_EQ(Console("gw-b", "gw-a", "2"), 3);
}

// What the console's user and B can do to A beyond the broker's own topics:
// as the console on topics that are A's or the CSE's, and as B through the
// CSE, which forwards and stores what B asks under B's own topic.
TEST_F(Access, WhatTheConsoleAndAnotherGatewayReachOfAGateway) {
  kivtest::Process& a = StartGateway("gw-a");
  StartGateway("gw-b").Signal(SIGTERM);  // registered, then its credentials in other hands
  ASSERT_EQ(gateways_["gw-b"]->Wait(kDeadline), 0);

  kiv::platform::Inbox consoleInbox, intruderInbox;
  std::unique_ptr<kiv::mqtt::Client> console = SignIn("console", consoleInbox);
  std::unique_ptr<kiv::mqtt::Client> intruder = SignIn("gw-b", intruderInbox);
  ASSERT_EQ(intruder->Subscribe("/oneM2M/resp/gw-b/id-in/json", 1), kiv::mqtt::kOk);
  const std::string record =
      R"({"op":1,"to":"/id-in/cse-in/gw-a/data","fr":"/gw-a","rqi":"RQI","rvi":"3","ty":4,)"
      R"("pc":{"m2m:cin":{"rn":"RQI","con":"forged"}}})";
  struct Attempt {
    std::string who, what, topic, payload;
    bool refusedByTheBroker;  // else the CSE's answer is shown
  } attempts[] = {
      {"console", "record as A", "/oneM2M/req/gw-a/id-in/json", Replaced(record, "RQI", "console-record"), true},
      {"console", "request to A as the CSE", "/oneM2M/req/id-in/gw-a/json",
       R"({"op":3,"to":"/gw-a/gateway","fr":"id-in","rqi":"console-as-cse","rvi":"3","pc":{"m2m:mgc":{"exra":{"all":[{"anyArg":[{"value":"forged-console"}]}]}}}})", true},
      {"gw-b", "record into A's container through the CSE", "/oneM2M/req/gw-b/id-in/json",
       Replaced(record, "RQI", "cse-record"), false},
      {"gw-b", "record into A's container through the CSE as itself", "/oneM2M/req/gw-b/id-in/json",
       Replaced(Replaced(record, "RQI", "cse-record-b"), "\"fr\":\"/gw-a\"", "\"fr\":\"/gw-b\""), false},
      {"gw-b", "retrieve of A's latest record at the CSE", "/oneM2M/req/gw-b/id-in/json",
       R"({"op":2,"to":"/id-in/cse-in/gw-a/data/la","fr":"/gw-b","rqi":"cse-read","rvi":"3"})", false},
      {"gw-b", "retrieve of A's device information through the CSE", "/oneM2M/req/gw-b/id-in/json",
       R"({"op":2,"to":"/gw-a/gateway","fr":"/gw-b","rqi":"cse-retrieve","rvi":"3","fc":{"fu":1,"ty":[14]}})", false},
      {"gw-b", "command to A through the CSE", "/oneM2M/req/gw-b/id-in/json",
       R"({"op":3,"to":"/gw-a/gateway","fr":"/gw-b","rqi":"cse-command","rvi":"3","pc":{"m2m:mgc":{"exra":{"all":[{"anyArg":[{"value":"forged-through-cse"}]}]}}}})", false},
  };
  std::vector<std::string> answers;  // the CSE's, to B's attempts through it
  for (const Attempt& attempt : attempts) {
    kiv::mqtt::Client& client = attempt.who == "console" ? *console : *intruder;
    std::string error;
    ASSERT_EQ(client.PublishAndWait(attempt.topic, attempt.payload, 1, false, 10s, &error), 0) << error;
    if (attempt.refusedByTheBroker) continue;
    ASSERT_TRUE(intruderInbox.WaitFor(answers.size() + 1, kDeadline)) << attempt.what;
    auto reply = kiv::platform::ParseReply(intruderInbox.Messages().back().payload);
    answers.push_back(reply ? std::to_string(reply->rsc) : intruderInbox.Messages().back().payload);
  }
  // A serves requests in order: once the console's is answered, the
  // forgeries before it have had their effect.
  EXPECT_EQ(Console("console", "gw-a"), 0);
  auto stored = [&](const std::string& name) {
    return cse_->Retrieve("/cse-in/gw-a/data/" + name).Header("X-M2M-RSC").value_or("none");
  };
  auto executed = [&](const std::string& value) {
    return Occurrences(a.Stdout(), value) > 0 ? "executed by A's node" : "not executed";
  };
  std::cout << "who | attempt | the CSE's answer | what came of it\n"
            << "console | " << attempts[0].what << " | none | record retrieved: " << stored("console-record") << "\n"
            << "console | " << attempts[1].what << " | none | " << executed("forged-console") << "\n"
            << "B | " << attempts[2].what << " | " << answers[0] << " | record retrieved: " << stored("cse-record") << "\n"
            << "B | " << attempts[3].what << " | " << answers[1] << " | record retrieved: " << stored("cse-record-b") << "\n"
            << "B | " << attempts[4].what << " | " << answers[2] << " | \n"
            << "B | " << attempts[5].what << " | " << answers[3] << " | \n"
            << "B | " << attempts[6].what << " | " << answers[4] << " | " << executed("forged-through-cse") << "\n";
  // The console's forgeries reach neither A nor the CSE; A refuses what B
  // asks through the CSE, which names B as the asker.
  EXPECT_EQ(answers[3], "4103");
  EXPECT_EQ(answers[4], "4103");
  EXPECT_EQ(Occurrences(a.Stdout(), "forged-through-cse"), 0u) << a.Stdout();
  EXPECT_EQ(stored("console-record"), "4004");
  EXPECT_EQ(Occurrences(a.Stdout(), "forged-console"), 0u) << a.Stdout();
  EXPECT_TRUE(consoleInbox.Messages().empty());

  // A's access control policy at the CSE: the allowed originators read A's
  // records there, and neither they nor anyone else but A write them.
  const std::string cin = R"({"m2m:cin":{"rn":"by-reader","con":"forged"}})";
  struct AtTheCse {
    const char* what;
    kivtest::OneM2mHttpRequest request;
    const char* expected;
  } direct[] = {
      {"an allowed originator (gwctl-ops) retrieves A's container", {"GET", "/cse-in/gw-a/data", "gwctl-ops", {}, {}}, "2000"},
      {"an allowed originator (gwctl-ops) creates a record in it", {"POST", "/cse-in/gw-a/data", "gwctl-ops", cin, 4}, "4103"},
      {"another originator (Cnobody) retrieves A's container", {"GET", "/cse-in/gw-a/data", "Cnobody", {}, {}}, "4103"},
  };
  for (const AtTheCse& attempt : direct) {
    std::string rsc = cse_->Request(attempt.request).Header("X-M2M-RSC").value_or("none");
    std::cout << "HTTP | " << attempt.what << " | " << rsc << " |\n";
    EXPECT_EQ(rsc, attempt.expected) << attempt.what;
  }
  kivtest::HttpResponse container = cse_->Retrieve("/cse-in/gw-a/data");
  EXPECT_NE(container.body.find("\"acpi\""), std::string::npos) << container.body;
}

// docs/operations.md shows the recipe's files line for line (comments aside).
TEST(AccessRecipe, TheGuideShowsTheFilesAsTheyAre) {
  const std::string guide = kivtest::ReadFile(kivtest::SourceDir() + "/docs/operations.md");
  for (const char* file : {"kiv.conf", "kiv.acl"}) {
    std::istringstream lines(kivtest::ReadFile(kivtest::SourceDir() + "/examples/mosquitto/" + file));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] == '#') continue;
      EXPECT_NE(guide.find("\n    " + line + "\n"), std::string::npos) << file << ": " << line;
    }
  }
}

}  // namespace
}  // namespace broker_access
