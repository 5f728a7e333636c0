// Retrieve replies (jsoncpp) and the reading of request items (cJSON).
#include "Request.h"

#include <cjson/cJSON.h>
#include <json/json.h>

#include <ctime>
#include <initializer_list>
#include <memory>
#include <utility>

namespace {

constexpr const char* kLoopbackAddress = "127.0.0.1";

}  // namespace

#define REQUEST_LOG(...) GATEWAY_LOG(kiv::kLogInformation, "RequestArrived", __VA_ARGS__)

std::string RequestTimeText() {
  time_t now = time(nullptr);
  tm local{};
  char text[50] = "";
  if (localtime_r(&now, &local) != nullptr) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// ---- Retrieve ----------------------------------------------------------------

namespace {

using TextMembers = std::initializer_list<std::pair<const char*, const char*>>;

// An object with the integer resourceType and the given text members.
Json::Value ResourceObject(int type, TextMembers texts = {}) {
  Json::Value object(Json::objectValue);
  object["resourceType"] = type;
  for (const auto& [name, value] : texts) object[name] = value;
  return object;
}

Json::Value FirmwareObject(int type) {
  Json::Value object =
      ResourceObject(type, {{"firmwareName", "fw01"}, {"version", "1.0"}, {"url", ""}});
  Json::Value status(Json::objectValue);
  status["action"] = "";
  status["status"] = 0;
  object["updateStatus"] = std::move(status);
  return object;
}

Json::Value DeviceInfoObject(int type) {
  return ResourceObject(type, {{"manufacturer", "OMA"},
                               {"model", "lwm2m"},
                               {"deviceType", ""},
                               {"fwVersion", "1.0"},
                               {"hwVersion", "1.0"},
                               {"swVersion", "1.0"},
                               {"bateryLevel", "69"},  // the platform's spelling
                               {"memoryFree", "96"}});
}

Json::Value NodeObject(int type) {
  return ResourceObject(type, {{"mgmtClientAddress", kLoopbackAddress}});
}

void AppendDeviceList(int type, const DeviceInfo& devices, Json::Value& reply) {
  reply.append(ResourceObject(type));
  for (const DeviceResource& resource : devices.resources) {
    Json::Value object = ResourceObject(type);
    object["resourceID"] = resource.name;
    object["resourceName"] = resource.name;
    reply.append(std::move(object));
  }
}

void AppendDeviceAttributes(int type, const DeviceInfo& devices, const std::string& timeText,
                            Json::Value& reply) {
  for (const DeviceResource& resource : devices.resources) {
    Json::Value content;  // stays null without attributes
    for (const auto& [name, value] : resource.attributes) content[name] = value;
    Json::Value object = ResourceObject(type);
    object["content"] = content.toStyledString();
    object["creationTime"] = timeText;
    object["parentID"] = resource.name;
    reply.append(std::move(object));
  }
}

void AppendTarget(int type, const DeviceInfo& devices, const std::string& timeText,
                  Json::Value& reply) {
  switch (type) {
    case kResourceFirmware: reply.append(FirmwareObject(type)); break;
    case kResourceDeviceInfo: reply.append(DeviceInfoObject(type)); break;
    case kResourceNode: reply.append(NodeObject(type)); break;
    case kResourceContainer: AppendDeviceList(type, devices, reply); break;
    case kResourceDeviceAttributes: AppendDeviceAttributes(type, devices, timeText, reply); break;
    default: break;
  }
}

}  // namespace

std::string RenderRetrieveReply(const std::list<kiv::RequestTarget>& targets,
                                const DeviceInfo& devices, const std::string& timeText) {
  Json::Value reply;  // becomes an array on the first append
  for (const kiv::RequestTarget& target : targets) AppendTarget(target.type, devices, timeText, reply);
  if (reply.size() == 0) return std::string();
  Json::Value document;
  document["primitiveContent"]["anyOrAny"] = std::move(reply);
  return document.toStyledString();
}

// ---- Create, update, delete ------------------------------------------------------

namespace {

using Document = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

struct PrintedJson {
  void operator()(char* text) const { cJSON_free(text); }
};
using PrintedText = std::unique_ptr<char, PrintedJson>;

// Member lookups ignore letter case, as the platform's payloads vary.
const cJSON* Member(const cJSON* object, const char* name) {
  return object ? cJSON_GetObjectItem(object, name) : nullptr;
}

const cJSON* FirstElement(const cJSON* array) {
  return array ? cJSON_GetArrayItem(array, 0) : nullptr;
}

// A string's own text; any other value as compact JSON.
std::string ValueText(const cJSON* value) {
  if (cJSON_IsString(value) && value->valuestring != nullptr) return value->valuestring;
  PrintedText printed(cJSON_PrintUnformatted(value));
  return printed ? printed.get() : std::string();
}

void LogScheduleConfiguration(const cJSON* document, int op) {
  const cJSON* entry = FirstElement(Member(Member(document, "scheduleElement"), "scheduleEntry"));
  if (entry == nullptr) return;
  std::string configuration = kiv::EscapeLogText(ValueText(entry));  // from the payload
  if (op == kiv::kOperationCreate) {
    REQUEST_LOG("create new configuration = %s", configuration.c_str());
  } else {
    REQUEST_LOG("update the configuration = %s", configuration.c_str());
  }
  REQUEST_LOG("TODO - Tranfer this configuration to Corvane Core Logic");
}

void LogScheduleDeletion(const cJSON* document) {
  const cJSON* name = Member(document, "resourceName");
  if (!cJSON_IsString(name) || name->valuestring == nullptr) return;
  REQUEST_LOG("TODO - delete the config with name = %s",
              kiv::EscapeLogText(name->valuestring).c_str());
  REQUEST_LOG("TODO - Tranfer this request to Corvane Core Logic");
}

void DeliverControlCommands(const cJSON* document, const CommandSink& deliver) {
  const cJSON* arguments =
      Member(FirstElement(Member(Member(document, "execReqArgs"), "all")), "anyArg");
  if (arguments == nullptr) return;
  // Walked by link, not by index: indexed access is quadratic on huge arrays.
  int position = 0;
  for (const cJSON* element = arguments->child; element != nullptr;
       element = element->next, ++position) {
    REQUEST_LOG("control command %d", position);
    const cJSON* value = Member(element, "value");
    if (value == nullptr) continue;
    PrintedText command(cJSON_Print(value));
    if (!command) continue;  // out of memory
    REQUEST_LOG("TODO - processing with this command");
    deliver(command.get());
  }
}

void HandleItem(int op, const kiv::RequestContent& item, const CommandSink& deliver) {
  bool schedule = item.type == kResourceSchedule;
  bool command = item.type == kResourceMgmtCmd && op == kiv::kOperationUpdate;
  if (!schedule && !command) return;
  Document document(cJSON_Parse(item.text.c_str()), cJSON_Delete);
  if (!document) return;
  if (command) {
    DeliverControlCommands(document.get(), deliver);
  } else if (op == kiv::kOperationDelete) {
    LogScheduleDeletion(document.get());
  } else {
    LogScheduleConfiguration(document.get(), op);
  }
}

}  // namespace

void HandleRequestContents(int op, const std::list<kiv::RequestContent>& contents,
                           const CommandSink& deliver) {
  if (op != kiv::kOperationCreate && op != kiv::kOperationUpdate && op != kiv::kOperationDelete) {
    return;
  }
  for (const kiv::RequestContent& item : contents) HandleItem(op, item, deliver);
}
