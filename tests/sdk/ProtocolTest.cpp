// The wire protocol without a broker: how requests in both forms (a CSE's
// oneM2M primitives, the console's shorthand) reach RequestArrived, which
// are refused and how, and the broker addresses server URIs name.
#include "Cse.h"
#include "Originators.h"
#include "RequestMapping.h"
#include "ServerUri.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include <stdexcept>
#include <vector>

namespace {

using kiv::protocol::ParseRequest;
using kiv::protocol::Request;

const kiv::protocol::CseNames kNames{"gw-1", "id-in", "cse-in"};

struct Mapped {
  int op;
  std::vector<int> targets;
  std::vector<std::pair<int, std::string>> contents;
};

Mapped MappedOf(const Request& request) {
  Mapped mapped{request.operation, {}, {}};
  for (const auto& target : request.targets) mapped.targets.push_back(target.type);
  for (const auto& content : request.contents) mapped.contents.emplace_back(content.type, content.text);
  return mapped;
}

TEST(ProtocolTest, RequestsInBothFormsReachTheGatewayMapped) {
  const std::string kControl = R"({"execReqArgs":{"all":[{"anyArg":[{"value":"on"},{"value":5}]}]}})";
  struct Case {
    std::string payload;
    Mapped expected;
  } cases[] = {
      // What a CSE forwards from its HTTP interface.
      {R"({"op":2,"to":"/gw-1/gateway","fr":"/id-in/CAdmin","rqi":"5","rvi":"3",)"
       R"("fc":{"fu":"1","ty":["1007","14"]},"pc":null})",
       {kiv::kOperationRetrieve, {1007, 14}, {}}},
      {R"({"op":3,"to":"/gw-1/gateway","fr":"/id-in/CAdmin","rqi":"6","rvi":"3",)"
       R"("pc":{"m2m:mgc":{"exra":{"all":[{"anyArg":[{"value":"on"},{"value":5}]}]}}}})",
       {kiv::kOperationUpdate, {}, {{12, kControl}}}},
      {R"({"op":4,"to":"/gw-1/gateway/morning","fr":"/id-in/CAdmin","rqi":"7","rvi":"3","pc":null})",
       {kiv::kOperationDelete, {}, {{18, R"({"resourceName":"morning"})"}}}},
      // Short names become long ones where the resource's attributes stand,
      // never inside argument values; unknown ones pass as they are.
      {R"({"op":3,"rqi":"a","pc":{"m2m:mgc":{"cmt":1,"zz":2,"exra":{"all":[{"anyArg":[{"value":{"rn":1}}]}]}}}})",
       {kiv::kOperationUpdate,
        {},
        {{12, R"({"cmdType":1,"zz":2,"execReqArgs":{"all":[{"anyArg":[{"value":{"rn":1}}]}]}})"}}}},
      {R"({"op":1,"ty":18,"to":"gateway","rqi":"b","pc":{"m2m:sch":{"rn":"morning","se":{"sce":["0 0 7 * * *"]}}}})",
       {kiv::kOperationCreate,
        {},
        {{18, R"({"resourceName":"morning","scheduleElement":{"scheduleEntry":["0 0 7 * * *"]}})"}}}},
      {R"({"op":3,"to":"//sp.example/gw-1/gateway/evening","rqi":"c","pc":{"m2m:sch":{"se":{"sce":["x"]}}}})",
       {kiv::kOperationUpdate,
        {},
        {{18, R"({"scheduleElement":{"scheduleEntry":["x"]},"resourceName":"evening"})"}}}},
      // The console's shorthand, with or without a target.
      {R"({"rqi":"r1","op":2,"fc":{"ty":[1007,14]}})", {kiv::kOperationRetrieve, {1007, 14}, {}}},
      {R"({"rqi":"r2","op":2,"to":"gw-1","fc":{"ty":3}})", {kiv::kOperationRetrieve, {3}, {}}},
      {R"({"rqi":"r3","op":3,"pc":[{"ty":12,"con":{"a":1}},{"ty":18,"con":"plain text"}]})",
       {kiv::kOperationUpdate, {}, {{12, R"({"a":1})"}, {18, "plain text"}}}},
      {R"({"rqi":"r4","op":4,"pc":{"ty":18,"con":{"resourceName":"s1"}}})",
       {kiv::kOperationDelete, {}, {{18, R"({"resourceName":"s1"})"}}}},
      {R"({"rqi":"r5","op":5,"fr":"console"})", {kiv::kOperationNotify, {}, {}}},
      {R"({"rqi":"r6","op":2})", {kiv::kOperationRetrieve, {}, {}}},
  };
  for (const auto& c : cases) {
    Request request = ParseRequest(c.payload, kNames);
    ASSERT_EQ(request.handling, Request::kGateway) << c.payload << ": " << request.error;
    Mapped mapped = MappedOf(request);
    EXPECT_EQ(mapped.op, c.expected.op) << c.payload;
    EXPECT_EQ(mapped.targets, c.expected.targets) << c.payload;
    EXPECT_EQ(mapped.contents, c.expected.contents) << c.payload;
  }
}

TEST(ProtocolTest, TheSdkServesItsOwnResourcesAndRefusesWhatIsWrong) {
  std::string tooMany = "[1";
  for (int i = 0; i < 64; ++i) tooMany += ",1";
  tooMany += "]";
  struct Case {
    std::string payload;
    Request::Handling handling;
    int refusal;
  } cases[] = {
      // The registrar's liveness check, and the CSEBase in each address form.
      {R"({"fr":"/id-in","to":"id-in","op":2,"rqi":"1","rvi":"3"})", Request::kRegistrarCsr, 0},
      {R"({"to":"/gw-1/gateway/id-in","op":2,"rqi":"1"})", Request::kRegistrarCsr, 0},
      {R"({"to":"/gw-1/gateway","op":2,"rqi":"1","fc":{"fu":1}})", Request::kCseBase, 0},
      {R"({"to":"//sp/gw-1","op":2,"rqi":"1"})", Request::kCseBase, 0},
      {R"({"to":"gateway","op":2,"rqi":"1"})", Request::kCseBase, 0},
      // Not a request the gateway can read: 4000.
      {"not json", Request::kRefused, 4000},
      {R"({"op":2})", Request::kRefused, 4000},
      {R"({"rqi":"b1"})", Request::kRefused, 4000},
      {R"({"rqi":"b2","op":9})", Request::kRefused, 4000},
      {R"({"rqi":"b3","op":"2"})", Request::kRefused, 4000},
      {R"({"rqi":"b4","op":2.5})", Request::kRefused, 4000},
      {R"({"rqi":"b5","op":2,"fr":5})", Request::kRefused, 4000},
      {R"({"rqi":"b6","op":2,"rvi":3})", Request::kRefused, 4000},
      {R"({"rqi":"b7","op":2,"fc":[]})", Request::kRefused, 4000},
      {R"({"rqi":"b8","op":2,"fc":{"ty":["x"]}})", Request::kRefused, 4000},
      {R"({"rqi":"b9","op":2,"fc":{"ty":["-1"]}})", Request::kRefused, 4000},
      {R"({"rqi":"b10","op":2,"fc":{"ty":[1.5]}})", Request::kRefused, 4000},
      {R"({"rqi":"b11","op":2,"fc":{"ty":)" + tooMany + "}}", Request::kRefused, 4000},
      {R"({"rqi":"b12","op":3,"pc":[{"con":1}]})", Request::kRefused, 4000},
      {R"({"rqi":"b13","op":3,"pc":5})", Request::kRefused, 4000},
      {R"({"rqi":"b14","op":3,"pc":{"m2m:cnt":{"rn":"x"}}})", Request::kRefused, 4000},
      {R"({"rqi":"b15","op":3,"pc":{"m2m:mgc":5}})", Request::kRefused, 4000},
      {R"({"rqi":"b16","op":3,"pc":{"m2m:mgc":{},"extra":1}})", Request::kRefused, 4000},
      {R"({"rqi":"b17","op":1,"ty":18,"pc":{"m2m:mgc":{}}})", Request::kRefused, 4000},
      // Not a resource of this gateway, or not one that may be changed.
      {R"({"rqi":"n1","op":2,"to":"/other/gateway","fc":{"ty":[14]}})", Request::kRefused, 4004},
      {R"({"rqi":"n2","op":2,"to":"/gw-1/gateway/morning"})", Request::kRefused, 4004},
      {R"({"rqi":"n3","op":4,"to":"/gw-1/gateway/a/b"})", Request::kRefused, 4004},
      {R"({"rqi":"x1","op":4,"to":"/gw-1/gateway"})", Request::kRefused, 4005},
      {R"({"rqi":"x2","op":3,"to":"id-in","pc":{"m2m:csr":{}}})", Request::kRefused, 4005},
      {R"({"rqi":"x3","op":1,"to":"/gw-1/gateway/morning","pc":null})", Request::kRefused, 4005},
  };
  for (const auto& c : cases) {
    Request request = ParseRequest(c.payload, kNames);
    EXPECT_EQ(request.handling, c.handling) << c.payload << ": " << request.error;
    EXPECT_EQ(request.refusal, c.refusal) << c.payload;
    EXPECT_EQ(request.error.empty(), c.handling != Request::kRefused) << c.payload;
  }
  // As many types as allowed are taken.
  std::string most = "[1";
  for (size_t i = 1; i < kiv::protocol::kMaxRequestedTypes; ++i) most += ",1";
  Request full = ParseRequest(R"({"rqi":"m","op":2,"fc":{"ty":)" + most + "]}}", kNames);
  EXPECT_EQ(full.targets.size(), kiv::protocol::kMaxRequestedTypes) << full.error;
}

// A payload past the bound is refused 4000 unparsed, and still answered: a
// scan finds its top-level rqi, fr and to, whatever stands around them.
TEST(ProtocolTest, RequestsPastTheBoundAreRefusedButAnswered) {
  const size_t bound = 1024;
  auto padded = [](std::string payload, size_t size) { return payload.append(size - payload.size(), ' '); };
  const std::string retrieve = R"({"rqi":"r","op":2,"fc":{"ty":14}})";
  EXPECT_EQ(ParseRequest(padded(retrieve, bound), kNames, bound).handling, Request::kGateway);
  Request past = ParseRequest(padded(retrieve, bound + 1), kNames, bound);
  EXPECT_EQ(past.handling, Request::kRefused);
  EXPECT_EQ(past.refusal, 4000);
  EXPECT_EQ(past.error, "the request has 1025 bytes, more than the limit of 1024");
  Request cut = ParseRequest(padded(retrieve, bound + 1), kNames, bound, 5 << 20);
  EXPECT_EQ(cut.rqi, "r");
  EXPECT_EQ(cut.error, "the request has 5242880 bytes, more than the limit of 1024");
  struct Case {
    std::string payload;
    std::string rqi, from, to;
  } const cases[] = {
      {R"({"pc":{"rqi":"in","a":[1,{"rqi":"x"}]},"s":"\"rqi\":\"fake\",","rqi":"out","fr":"C1","to":"gw-1"})",
       "out", "C1", "gw-1"},
      {R"({"rqi":"a\"b\u00e9","op":3})", "a\"b\xc3\xa9", "", ""},
      {R"({"rqi":5,"rqi":"second"})", "", "", ""},  // the first decides, as in a parse
      {R"({"op":3,"rqi":")" + std::string(2000, 'x') + R"(","fr":"C2"})", "", "C2", ""},
      {R"({"op":"open,"rqi":"lost"})", "", "", ""},  // no longer JSON: the scan ends
      {"not json", "", "", ""},
  };
  for (const Case& c : cases) {
    Request request =
        ParseRequest(padded(c.payload, std::max(c.payload.size(), bound) + 1), kNames, bound);
    EXPECT_EQ(request.refusal, 4000) << c.payload;
    EXPECT_EQ(request.rqi, c.rqi) << c.payload;
    EXPECT_EQ(request.from, c.from) << c.payload;
    EXPECT_EQ(request.to, c.to) << c.payload;
  }
}

// A record goes out as one primitive written in place: every byte of the
// text, escaped as JSON requires, and nothing around it lost or doubled.
TEST(ProtocolTest, ARecordsPrimitiveCarriesEveryByteOfItsText) {
  const std::string large(300000, 'x');
  struct Case {
    std::string text, literal;
  } const cases[] = {
      {"{\"t\":21.5}", R"("{\"t\":21.5}")"},
      {"back\\slash\ttab\r\n", R"("back\\slash\ttab\r\n")"},
      {std::string("nul\0after\x7f\x01\x1f", 12), R"("nul\u0000after\u007f\u0001\u001f")"},
      {"\xff\xfe\xc3\xa9", "\"\xff\xfe\xc3\xa9\""},
      {large + '"' + large, '"' + large + "\\\"" + large + '"'},
  };
  for (const Case& c : cases) {
    const std::string expected = R"({"op":1,"to":")" + kNames.ContainerAddress() +
                                 R"(","fr":"/gw-1","rqi":"q-7","rvi":"3","ty":4,"rcn":0,)" +
                                 R"("pc":{"m2m:cin":{"rn":"r-9","con":)" + c.literal + "}}}";
    EXPECT_EQ(kiv::protocol::ContentInstanceCreate(kNames, "q-7", "r-9", c.text), expected)
        << c.literal.substr(0, 80);
  }
}

// A NUL would cut the value a C string carries to the gateway: refused 4000.
TEST(ProtocolTest, StringsHoldingANulAreRefused) {
  const std::string control =
      R"({"rqi":"n","op":3,"pc":[{"ty":12,"con":{"execReqArgs":{"all":[{"anyArg":[{"value":"VALUE"}]}]}}}]})";
  struct Case {
    std::string value;
    bool refused;
  } const cases[] = {
      {R"(\u0000x)", true},
      {R"(on\u0000)", true},
      {std::string("raw\0nul", 7), true},
      {R"(\\u0000)", false},  // a backslash, then the text u0000
      {R"(\u0001)", false},
  };
  for (const Case& c : cases) {
    std::string payload = control;
    payload.replace(payload.find("VALUE"), 5, c.value);
    Request request = ParseRequest(payload, kNames);
    EXPECT_EQ(request.handling == Request::kRefused, c.refused) << c.value << ": " << request.error;
    if (c.refused) {
      EXPECT_EQ(request.refusal, 4000) << c.value;
      EXPECT_EQ(request.rqi, "n") << c.value;
    }
  }
}

TEST(ProtocolTest, TheRequestBoundIsASetting) {
  struct Case {
    const char* value;  // nullptr: unset
    size_t bound;
    bool warned;
  } const cases[] = {
      {nullptr, 65536, false}, {"", 65536, false},        {"2048", 2048, false},
      {"1023", 65536, true},   {"67108865", 65536, true}, {"64k", 65536, true},
  };
  for (const Case& c : cases) {
    kivtest::ScopedEnvironment setting(
        {{"KIV_MAX_REQUEST_BYTES", c.value ? std::optional<std::string>(c.value) : std::nullopt}});
    std::string warning;
    EXPECT_EQ(kiv::protocol::MaxRequestBytesFromEnvironment(&warning), c.bound) << c.value;
    EXPECT_EQ(warning.find("KIV_MAX_REQUEST_BYTES") != std::string::npos, c.warned) << warning;
  }
}

TEST(ProtocolTest, ServerUrisNameABrokerAndItsPointOfAccess) {
  struct Case {
    const char* uri;
    const char* poa;  // nullptr: unusable
  } cases[] = {
      {"tcp://127.0.0.1:1", "mqtt://127.0.0.1:1"},
      {"mqtt://localhost:65535", "mqtt://localhost:65535"},
      {"ssl://127.0.0.1:8883", "mqtts://127.0.0.1:8883"},
      {"mqtts://[::1]:8883", "mqtts://[::1]:8883"},
      {"tcp://127.0.0.1", "mqtt://127.0.0.1:1883"},
      {"ssl://broker.example", "mqtts://broker.example:8883"},
      {"tcp://[::1]", "mqtt://[::1]:1883"},
      {"MQTT://127.0.0.1:5/", "mqtt://127.0.0.1:5"},
      {"127.0.0.1:1883", nullptr},      {"http://127.0.0.1:80", nullptr},
      {"tcp://:1883", nullptr},         {"tcp://127.0.0.1:0", nullptr},
      {"tcp://127.0.0.1:65536", nullptr}, {"tcp://127.0.0.1:12ab", nullptr},
      {"tcp://127.0.0.1:", nullptr},    {"tcp://[::1:1883", nullptr},
      {"tcp://[::1]x", nullptr},        {"tcp://host/path", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    if (c.poa) {
      EXPECT_EQ(kiv::protocol::PointOfAccess(c.uri), c.poa) << c.uri;
    } else {
      kiv::ServerAddress address;
      EXPECT_NE(kiv::ParseServerUri(c.uri, &address), "") << c.uri;
    }
  }
}

// Patterns from the operator's setting against originators from the network.
TEST(ProtocolTest, OriginatorPatternsMatchWholeIds) {
  struct Case {
    const char* patterns;
    const char* originator;
    bool allowed;
    const char* from = "";  // "fr": who asked the registrar, for a forwarded request
  } cases[] = {
      {"", "anyone", true},                  {" , ", "anyone", true},
      {"gwctl-*", "id-in", true},            {"gwctl-*", "gwctl-1-ab", true},
      {"gwctl-*", "gwctl-", true},           {"gwctl-*", "gwctl", false},
      {"gwctl-*", "Gwctl-1", false},         {"gwctl-*", "x-gwctl-1", false},
      {"gwctl-*,C*", "CAdmin", true},        {"gwctl-* C*", "cadmin", false},
      {"*-ops-*", "site-ops-7", true},       {"*-ops-*", "site-ops", false},
      {"a*b*c", "aXbYbZc", true},            {"a*b*c", "aXbYc-", false},
      {"console", "console", true},          {"console", "console2", false},
      {"id-in", "id-in2", false},            {"**", "", true},
      // Forwarded by the registrar: its own entities come in, another CSE
      // registered there only when the patterns name it.
      {"gwctl-*", "id-in", true, "/id-in/CAdmin"}, {"gwctl-*", "id-in", true, "CAdmin"},
      {"gwctl-*", "id-in", true, "/id-in"},        {"gwctl-*", "id-in", false, "/gw-b"},
      {"gwctl-*", "id-in", false, "/gw-b/Capp"},   {"gwctl-*", "id-in", false, "//sp.example/gw-b"},
      {"gw-*", "id-in", true, "/gw-b"},            {"", "id-in", true, "/gw-b"},
      {"gwctl-*", "gwctl-1", true, "/gw-b"},
  };
  for (const auto& c : cases) {
    kiv::protocol::OriginatorAllowList allowed("id-in", c.patterns);
    EXPECT_EQ(allowed.Allows(c.originator, c.from), c.allowed)
        << "\"" << c.patterns << "\" " << c.originator << " fr " << c.from;
  }
  EXPECT_EQ(kiv::protocol::OriginatorAllowList("id-in", "").Describe(), "everyone");
  EXPECT_EQ(kiv::protocol::OriginatorAllowList("id-in", "gwctl-*,C*").Describe(),
            "id-in gwctl-* C*");
}

}  // namespace
