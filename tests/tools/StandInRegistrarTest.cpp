// The stand-in registrar the tests and benchmarks use in place of a CSE:
// what it answers, what it keeps, and what it counts, fed the primitives the
// SDK sends.
#include "Cse.h"
#include "PlatformRequests.h"
#include "StandInRegistrar.h"

#include "CaseName.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace {

using namespace std::chrono_literals;
using kiv::platform::StandInRegistrar;

const kiv::protocol::CseNames kNames{"gw-1", "id-in", "cse-in"};
const std::string kRequestTopic = "/oneM2M/req/gw-1/id-in/json";

enum Send {
  kCreate, kUpdate, kUpdateWithWriteOnce, kRetrieve, kContainer,
  kRecordA, kRecordB, kRecordElsewhere,
  kForget, kHeal,  // not sent: done to the stand-in
};

// One step of a story and the status expected (0: no answer), with the
// answer's delay.
struct Step {
  Send send;
  int rsc = 0;
  std::chrono::milliseconds delay{0};
};

struct Story {
  std::string name;
  std::function<void(StandInRegistrar&)> faults;
  std::vector<Step> steps;
};

std::string Primitive(Send send, const std::string& rqi) {
  namespace p = kiv::protocol;
  switch (send) {
    case kCreate: return p::RegistrationCreate(kNames, rqi, "mqtt://127.0.0.1:1883");
    case kUpdate: return p::RegistrationUpdate(kNames, rqi, "mqtt://127.0.0.1:1883");
    case kUpdateWithWriteOnce:
      return p::RequestPrimitive(p::kWireUpdate, kNames.RegistrationAddress(), kNames.CseId(), rqi, 0,
                                 R"({"m2m:csr":{"cb":"/gw-1/gateway","poa":["mqtt://h:1"]}})");
    case kRetrieve: return p::RegistrationRetrieve(kNames, rqi);
    case kContainer: return p::ContainerCreate(kNames, rqi);
    case kRecordA: return p::ContentInstanceCreate(kNames, rqi, "rec-a", "A " + rqi);
    case kRecordB: return p::ContentInstanceCreate(kNames, rqi, "rec-b", "B " + rqi);
    default:
      return p::RequestPrimitive(p::kWireCreate, kNames.RegistrationAddress() + "/other",
                                 kNames.CseId(), rqi, p::kTypeContentInstance,
                                 R"({"m2m:cin":{"rn":"rec-c","con":"C"}})");
  }
}

void PrintTo(const Story& story, std::ostream* out) { *out << story.name; }

class StandInStories : public testing::TestWithParam<Story> {};

TEST_P(StandInStories, AnswersAsAStrictCseThatStores) {
  StandInRegistrar registrar;
  if (GetParam().faults) GetParam().faults(registrar);
  std::vector<StandInRegistrar::StoredRecord> expected;  // the first text of each name stored
  int number = 0;
  for (const Step& step : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(number));
    std::string rqi = "r" + std::to_string(++number);
    if (step.send == kForget) {
      registrar.Forget();
      expected.clear();
      continue;
    }
    if (step.send == kHeal) {
      registrar.Heal();
      continue;
    }
    std::string request = Primitive(step.send, rqi);
    std::optional<StandInRegistrar::Answer> answer = registrar.Take(kRequestTopic, request);
    ASSERT_EQ(answer.has_value(), step.rsc != 0);
    // Stored: a record answered 2001, or whose answer was dropped.
    std::optional<kiv::platform::Record> record = kiv::platform::ParseRecord(request);
    if (record && (step.rsc == 2001 || step.rsc == 0)) expected.push_back({record->name, record->text});
    if (!answer) continue;
    EXPECT_EQ(answer->topic, "/oneM2M/resp/gw-1/id-in/json");
    std::optional<kiv::protocol::Reply> reply = kiv::protocol::ParseReply(answer->payload);
    ASSERT_TRUE(reply) << answer->payload;
    EXPECT_EQ(reply->rqi, rqi);
    EXPECT_EQ(reply->rsc, step.rsc) << answer->payload;
    EXPECT_EQ(answer->delay, step.delay);
  }
  std::vector<StandInRegistrar::StoredRecord> stored = registrar.Records("gw-1");
  ASSERT_EQ(stored.size(), expected.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(stored[i].name, expected[i].name);
    EXPECT_EQ(stored[i].text, expected[i].text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stories, StandInStories,
    testing::Values(
        Story{"EachNameIsStoredOnce", nullptr,
              {{kCreate, 2001}, {kContainer, 2001}, {kRecordA, 2001}, {kRecordA, 4105}, {kRecordB, 2001},
               {kRetrieve, 2000}, {kUpdate, 2004}, {kCreate, 4105}, {kContainer, 4105}}},
        Story{"NothingWithoutARegistration", nullptr,
              {{kRecordA, 4004}, {kContainer, 4004}, {kUpdate, 4004}, {kRetrieve, 4004}}},
        Story{"ForgetsAsACseWithoutStorage", nullptr,
              {{kCreate, 2001}, {kContainer, 2001}, {kRecordA, 2001}, {kForget}, {kRetrieve, 4004},
               {kRecordA, 4004}, {kCreate, 2001}, {kContainer, 2001}, {kRecordA, 2001}}},
        Story{"RefusesWhatAStrictCseRefuses", nullptr,
              {{kCreate, 2001}, {kUpdateWithWriteOnce, 4000}, {kRecordA, 4004}, {kContainer, 2001},
               {kRecordElsewhere, 4004}}},
        Story{"RefusesAsToldWithoutStoring",
              [](StandInRegistrar& r) { r.Refuse(kiv::platform::kRecordCreate, 5000, 1); },
              {{kCreate, 2001}, {kContainer, 2001}, {kRecordA, 5000}, {kRecordA, 2001}}},
        Story{"RefusesEveryRegistrationAsTold",
              [](StandInRegistrar& r) { r.Refuse(kiv::platform::kRegistrationCreate, 4000); },
              {{kCreate, 4000}, {kCreate, 4000}, {kHeal}, {kCreate, 2001}}},
        Story{"DropsTheAnswerButStores",
              [](StandInRegistrar& r) { r.DropNext(kiv::platform::kRecordCreate, 1); },
              {{kCreate, 2001}, {kContainer, 2001}, {kRecordA, 0}, {kRecordA, 4105}}},
        Story{"AbsentItTakesNothing", [](StandInRegistrar& r) { r.SetAbsent(true); },
              {{kCreate, 0}, {kHeal}, {kRetrieve, 4004}, {kCreate, 2001}}},
        Story{"DelaysAsTold",
              [](StandInRegistrar& r) { r.Delay(kiv::platform::kRecordCreate, 12s); },
              {{kCreate, 2001}, {kContainer, 2001}, {kRecordA, 2001, 12s}}}),
    kivtest::CaseName());

TEST(StandInRegistrar, CountsEveryRequestAsItArrives) {
  StandInRegistrar registrar;
  registrar.SetAbsent(true);
  registrar.Take(kRequestTopic, Primitive(kCreate, "1"));
  registrar.Heal();
  registrar.Refuse(kiv::platform::kRecordCreate, 5000, 1);
  for (auto [send, rqi] : std::vector<std::pair<Send, std::string>>{
           {kCreate, "2"}, {kContainer, "3"}, {kRecordA, "4"}, {kRecordA, "5"}, {kRecordB, "6"},
           {kRecordA, "5"}}) {
    registrar.Take(kRequestTopic, Primitive(send, rqi));
  }
  // Not a gateway's request to its registrar: an application's request to
  // the gateway, and an answer.
  EXPECT_FALSE(registrar.Take("/oneM2M/req/app/gw-1/json", Primitive(kRetrieve, "7")));
  EXPECT_FALSE(registrar.Take("/oneM2M/resp/gw-1/id-in/json", R"({"rqi":"8","rsc":2001})"));

  const kiv::platform::SentRequests& sent = registrar.sent();
  EXPECT_EQ(sent.Total(kiv::platform::kRegistrationCreate), 2u);
  EXPECT_EQ(sent.Total(kiv::platform::kRecordCreate), 4u);
  EXPECT_EQ(sent.Of("gw-1", kiv::platform::kAnyRequest), 7u);
  EXPECT_EQ(sent.SendsOf("gw-1", "rec-a"), 3);
  EXPECT_EQ(sent.SendsOf("gw-1", "rec-b"), 1);
  EXPECT_EQ(sent.RepeatedRequestIds(), (std::map<std::string, int>{{"5", 2}}));
}

}  // namespace
