#include "PlatformRequests.h"

#include "Cse.h"

namespace kiv {
namespace platform {
namespace {

using protocol::JsonString;

std::string ToGateway(const Header& header, int op, const std::string& to, int type,
                      const std::string& pc) {
  return protocol::RequestPrimitive(op, to, header.from, header.rqi, type, pc);
}

std::string Schedule(const Header& header, int op, const std::string& entry) {
  std::string element = protocol::JsonObject().Raw("sce", protocol::StringList(entry)).Text();
  return ToGateway(header, op, GatewayBase(header.device), op == protocol::kWireCreate ? 18 : 0,
                   protocol::JsonObject().Raw("se", element).Wrapped("m2m:sch"));
}

}  // namespace

std::string GatewayBase(const std::string& device) {
  return "/" + device + "/" + protocol::kBaseName;
}

std::string Retrieve(const Header& header, const std::vector<int>& types) {
  std::string list;
  for (int type : types) list += (list.empty() ? "" : ",") + std::to_string(type);
  // fu 1 (discovery), as a CSE forwards a retrieve by type; the gateway reads
  // only the types.
  return protocol::RequestPrimitive(protocol::kWireRetrieve, GatewayBase(header.device),
                                    header.from, header.rqi, 0, "",
                                    "{\"fu\":1,\"ty\":[" + list + "]}");
}

std::string Control(const Header& header, const std::vector<std::string>& values) {
  std::string arguments;
  for (const std::string& value : values)
    arguments += (arguments.empty() ? "" : ",") + ("{\"value\":" + value + "}");
  return ToGateway(header, protocol::kWireUpdate, GatewayBase(header.device), 0,
                   "{\"m2m:mgc\":{\"exra\":{\"all\":[{\"anyArg\":[" + arguments + "]}]}}}");
}

std::string ScheduleCreate(const Header& header, const std::string& entry) {
  return Schedule(header, protocol::kWireCreate, entry);
}

std::string ScheduleUpdate(const Header& header, const std::string& entry) {
  return Schedule(header, protocol::kWireUpdate, entry);
}

std::string ScheduleDelete(const Header& header, const std::string& name) {
  return ToGateway(header, protocol::kWireDelete, GatewayBase(header.device) + "/" + name, 0, "");
}

std::string ValueJson(const std::string& text) {
  protocol::Json json = protocol::ParseWhole(text);
  return json ? protocol::Compact(json.get()) : JsonString(text);
}

std::string RequestIdOf(const std::string& payload) {
  protocol::Json json = protocol::ParseWhole(payload);
  return json ? protocol::StringMember(json.get(), "rqi") : "";
}

std::optional<Record> ParseRecord(const std::string& payload) {
  protocol::Json json = protocol::ParseWhole(payload);
  const cJSON* root = json.get();
  if (!cJSON_IsObject(root) || protocol::AsInt(protocol::Member(root, "op")) != protocol::kWireCreate)
    return std::nullopt;
  const cJSON* instance = protocol::Member(protocol::Member(root, "pc"), "m2m:cin");
  const cJSON* content = protocol::Member(instance, "con");
  if (!cJSON_IsString(content)) return std::nullopt;
  return Record{protocol::StringMember(root, "rqi"), protocol::StringMember(root, "to"),
                protocol::StringMember(instance, "rn"), content->valuestring};
}

}  // namespace platform
}  // namespace kiv
