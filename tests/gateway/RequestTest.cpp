// Retrieve replies and the reading of create, update and delete items.
#include "Gateway.h"
#include "Gatewayd.h"
#include "LogCapture.h"
#include "Request.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

using kivtest::LogCapture;

namespace {

const std::string kTime = "2026-12-08 09:30:00";

std::list<kiv::RequestTarget> Targets(std::initializer_list<int> types) {
  std::list<kiv::RequestTarget> targets;
  for (int type : types) targets.push_back(kiv::RequestTarget{type});
  return targets;
}

using kivtest::kDeviceInfo;
using kivtest::kFirmware;
using kivtest::kNode;

// The styled rendering of the reply that lists these objects.
std::string Reply(const std::vector<const char*>& objects) {
  return kivtest::ReplyDocument(objects).toStyledString();
}

TEST(RetrieveReply, RendersEachTypeAloneAndCombined) {
  struct Case {
    const char* name;
    std::list<kiv::RequestTarget> targets;
    std::string reply;  // "" = no response
  } cases[] = {
      {"firmware", Targets({1001}), Reply({kFirmware})},
      {"device information", Targets({1007}), Reply({kDeviceInfo})},
      {"node", Targets({14}), Reply({kNode})},
      {"device list of an empty table", Targets({3}), Reply({R"({"resourceType": 3})"})},
      {"attributes of an empty table", Targets({20002}), ""},
      {"node then device information", Targets({14, 1007}), Reply({kNode, kDeviceInfo})},
      {"a type twice", Targets({1007, 1001, 1007}), Reply({kDeviceInfo, kFirmware, kDeviceInfo})},
      {"unknown types only", Targets({5, 99, -1, 12, 18}), ""},
      {"no targets", Targets({}), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RenderRetrieveReply(c.targets, DeviceInfo{}, kTime), c.reply);
  }
}

TEST(RetrieveReply, KeepsNumbersAndTextsApart) {
  std::string reply = RenderRetrieveReply(Targets({1001, 1007}), DeviceInfo{}, kTime);
  EXPECT_NE(reply.find("\"resourceType\" : 1001"), std::string::npos);
  EXPECT_NE(reply.find("\"status\" : 0"), std::string::npos);
  EXPECT_NE(reply.find("\"bateryLevel\" : \"69\""), std::string::npos);
  EXPECT_NE(reply.find("\"memoryFree\" : \"96\""), std::string::npos);
}

TEST(RetrieveReply, ReportsTheDeviceTable) {
  DeviceInfo devices;
  devices.resources.push_back({"lamp", {{"power", "on"}, {"level", "3"}, {"power", "off"}}});
  devices.resources.push_back({"bare", {}});
  Json::Value lampContent;
  lampContent["power"] = "off";
  lampContent["level"] = "3";
  Json::Value list(Json::arrayValue);
  auto object = [](int type) {
    Json::Value value(Json::objectValue);
    value["resourceType"] = type;
    return value;
  };
  list.append(object(3));
  for (const char* name : {"lamp", "bare"}) {
    Json::Value entry = object(3);
    entry["resourceID"] = name;
    entry["resourceName"] = name;
    list.append(entry);
  }
  for (const auto& [name, content] :
       {std::make_pair("lamp", lampContent.toStyledString()), std::make_pair("bare", std::string("null\n"))}) {
    Json::Value entry = object(20002);
    entry["content"] = content;
    entry["creationTime"] = kTime;
    entry["parentID"] = name;
    list.append(entry);
  }
  Json::Value document;
  document["primitiveContent"]["anyOrAny"] = list;
  EXPECT_EQ(RenderRetrieveReply(Targets({3, 20002}), devices, kTime), document.toStyledString());
}

TEST(RequestTimeText, IsLocalTimeInSeconds) {
  std::string text = RequestTimeText();
  EXPECT_EQ(kivtest::RegexSearch(text, "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$"), 0u) << text;
}

// Runs the contents through the handler; returns what reached the node bridge.
std::vector<std::string> Handle(int op, std::list<kiv::RequestContent> contents) {
  std::vector<std::string> delivered;
  HandleRequestContents(op, contents, [&](const char* text) { delivered.push_back(text); });
  return delivered;
}

const char* kThreeArguments = R"({"execReqArgs": {"all": [{"anyArg": [
    {"name": "switch", "value": "on"}, {"name": "note"}, {"name": "level", "value": 5}]}]}})";

TEST(ControlCommands, HandEachValueToTheBridgeInOrder) {
  struct Case {
    const char* name;
    std::string payload;
  } cases[] = {
      {"as written", kThreeArguments},
      {"member names in other letter case",
       R"({"ExecReqArgs": {"ALL": [{"AnyArg": [
           {"VALUE": "on"}, {"Name": "note"}, {"Value": 5}]}]}})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(Handle(kiv::kOperationUpdate, {{12, c.payload}}),
              (std::vector<std::string>{"\"on\"", "5"}));
    EXPECT_EQ(log.Messages("RequestArrived"),
              (std::vector<std::string>{"control command 0", "TODO - processing with this command",
                                        "control command 1", "control command 2",
                                        "TODO - processing with this command"}));
  }
}

TEST(ControlCommands, AreReadOnlyFromUpdates) {
  for (int op : {1, 2, 6, 5, 99}) {  // create, delete, retrieve, notify, unknown
    EXPECT_TRUE(Handle(op, {{12, kThreeArguments}}).empty()) << op;
  }
}

TEST(ScheduleItems, AreLoggedOrSkipped) {
  const std::string transfer = "TODO - Tranfer this configuration to Corvane Core Logic";
  const std::string schedule = R"({"scheduleElement": {"scheduleEntry": ["0 0 6 * * *", "x"]}})";
  struct Case {
    const char* name;
    int op;
    std::string payload;
    std::vector<std::string> logged;
  } cases[] = {
      {"create", kiv::kOperationCreate, schedule, {"create new configuration = 0 0 6 * * *", transfer}},
      {"update", kiv::kOperationUpdate, schedule, {"update the configuration = 0 0 6 * * *", transfer}},
      {"entry that is not a text", kiv::kOperationCreate,
       R"({"SCHEDULEELEMENT": {"scheduleentry": [{"at": 6}]}})",
       {"create new configuration = {\"at\":6}", transfer}},
      {"empty scheduleEntry", kiv::kOperationCreate, R"({"scheduleElement": {"scheduleEntry": []}})", {}},
      {"no scheduleElement", kiv::kOperationUpdate, R"({"other": 1})", {}},
      {"delete", kiv::kOperationDelete, R"({"resourceName": "morning"})",
       {"TODO - delete the config with name = morning",
        "TODO - Tranfer this request to Corvane Core Logic"}},
      {"delete with a numeric name", kiv::kOperationDelete, R"({"resourceName": 7})", {}},
      {"delete without a name", kiv::kOperationDelete, R"({"name": "x"})", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_TRUE(Handle(c.op, {{18, c.payload}}).empty());
    EXPECT_EQ(log.Messages("RequestArrived"), c.logged);
  }
}

TEST(RequestItems, BadItemsAreSkippedAndTheNextStillHandled) {
  LogCapture log;
  std::vector<std::string> delivered = Handle(
      kiv::kOperationUpdate, {{12, "not json"},
                              {12, "{\"execReqArgs\": 5}"},
                              {18, "[1, 2]"},
                              {99, kThreeArguments},
                              {12, R"({"execReqArgs": {"all": [{"anyArg": [{"value": true}]}]}})"}});
  EXPECT_EQ(delivered, std::vector<std::string>{"true"});
}

TEST(RequestItems, SurviveHostilePayloads) {
  std::string deep = std::string(100000, '[') + std::string(100000, ']');
  std::string wrongTypes =
      R"({"execReqArgs": [1, {"all": "x"}], "all": null, "anyArg": 5,
          "scheduleElement": 3, "resourceName": {"a": 1}})";
  std::string wrongInside = R"({"execReqArgs": {"all": [5, {"anyArg": []}]}})";
  std::string objectArguments = R"({"execReqArgs": {"all": {"first": {"anyArg": "text"}}}})";
  std::string huge = R"({"execReqArgs": {"all": [{"anyArg": [)";
  const int kElements = 20000;
  for (int i = 0; i < kElements; ++i) huge += std::string(i ? "," : "") + "{\"value\":1}";
  huge += "]}]}}";
  for (int op : {1, 4, 2}) {  // create, update, delete
    SCOPED_TRACE(op);
    for (int type : {12, 18}) {
      EXPECT_TRUE(Handle(op, {{type, deep}, {type, wrongTypes}, {type, wrongInside},
                              {type, objectArguments}})
                      .empty());
    }
  }
  size_t delivered = 0;
  HandleRequestContents(kiv::kOperationUpdate, {{12, huge}}, [&](const char*) { ++delivered; });
  EXPECT_EQ(delivered, static_cast<size_t>(kElements));
}

}  // namespace
