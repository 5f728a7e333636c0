#include "RequestMapping.h"

#include "../Format.h"
#include "Json.h"
#include "Protocol.h"
#include "Settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kiv {
namespace protocol {
namespace {

// The resource representations the gateway serves, by their wrapper name.
struct ResourceKind {
  const char* wrapper;
  int type;
};
constexpr ResourceKind kResourceKinds[] = {{"m2m:mgc", 12}, {"m2m:sch", 18}};

// Short attribute names (TS-0004) of those resources and their common
// attributes, with the long names the gateway's handler reads. Renamed only
// where the resource's own attributes stand (and inside scheduleElement),
// never inside argument values, which are the requester's data.
struct NameMapping {
  const char* shortName;
  const char* longName;
};
constexpr NameMapping kLongNames[] = {
    {"rn", "resourceName"},     {"ty", "resourceType"},      {"ri", "resourceID"},
    {"pi", "parentID"},         {"ct", "creationTime"},      {"lt", "lastModifiedTime"},
    {"et", "expirationTime"},   {"lbl", "labels"},           {"acpi", "accessControlPolicyIDs"},
    {"dc", "description"},      {"cmt", "cmdType"},          {"exra", "execReqArgs"},
    {"exe", "execEnable"},      {"ext", "execTarget"},       {"exm", "execMode"},
    {"exf", "execFrequency"},   {"exy", "execDelay"},        {"exn", "execNumber"},
    {"se", "scheduleElement"},  {"sce", "scheduleEntry"},    {"nco", "networkCoordinated"},
};

const char* LongName(const char* name) {
  for (const NameMapping& mapping : kLongNames) {
    if (std::strcmp(name, mapping.shortName) == 0) return mapping.longName;
  }
  return name;  // a long name already, or one we do not know: passed on as it is
}

// Renames the members of object in place, keeping their order.
void RenameMembers(cJSON* object) {
  Json renamed(cJSON_CreateObject());
  while (cJSON* member = object->child) {
    cJSON_DetachItemViaPointer(object, member);
    cJSON_AddItemToObject(renamed.get(), LongName(member->string), member);
  }
  object->child = renamed->child;
  renamed->child = nullptr;
}

void Refuse(Request& request, int rsc, std::string why) {
  request.handling = Request::kRefused;
  request.refusal = rsc;
  request.error = std::move(why);
}

int OperationFor(int wireOperation) {
  switch (wireOperation) {
    case kWireCreate: return kOperationCreate;
    case kWireRetrieve: return kOperationRetrieve;
    case kWireUpdate: return kOperationUpdate;
    case kWireDelete: return kOperationDelete;
    case kWireNotify: return kOperationNotify;
    default: return 0;
  }
}

// A type code: a whole number, or a string of digits as a CSE forwards it.
std::optional<int> TypeCode(const cJSON* item) {
  if (cJSON_IsNumber(item)) return AsInt(item);
  if (!cJSON_IsString(item) || item->valuestring == nullptr) return std::nullopt;
  const char* text = item->valuestring;
  size_t length = std::strlen(text);
  if (length == 0 || length > 9 || std::strspn(text, "0123456789") != length) return std::nullopt;
  return std::atoi(text);
}

// fc.ty: one type code or an array of them, in order; fc.fu and the other
// filter criteria are not used.
std::string ReadTargets(const cJSON* root, std::list<RequestTarget>& targets) {
  const cJSON* filter = Member(root, "fc");
  if (filter == nullptr || cJSON_IsNull(filter)) return "";
  if (!cJSON_IsObject(filter)) return "\"fc\" is not an object";
  const cJSON* types = Member(filter, "ty");
  if (types == nullptr || cJSON_IsNull(types)) return "";
  if (!cJSON_IsArray(types)) {
    std::optional<int> type = TypeCode(types);
    if (!type) return "\"fc.ty\" is neither a type code nor an array of them";
    targets.push_back(RequestTarget{*type});
    return "";
  }
  if (static_cast<size_t>(cJSON_GetArraySize(types)) > kMaxRequestedTypes)
    return Format("\"fc.ty\" asks for more than %zu types", kMaxRequestedTypes);
  for (const cJSON* item = types->child; item != nullptr; item = item->next) {
    std::optional<int> type = TypeCode(item);
    if (!type) return "\"fc.ty\" holds an item that is not a type code";
    targets.push_back(RequestTarget{*type});
  }
  return "";
}

// The console's item {"ty": type, "con": content}: a string content is
// passed as that string, any other JSON value as its compact text.
std::string ReadShorthandItem(const cJSON* item, std::list<RequestContent>& contents) {
  if (!cJSON_IsObject(item)) return "a \"pc\" item is not an object";
  std::optional<int> type = AsInt(Member(item, "ty"));
  const cJSON* content = Member(item, "con");
  if (!type) return "a \"pc\" item has no integer \"ty\"";
  if (content == nullptr) return "a \"pc\" item has no \"con\"";
  contents.push_back(
      RequestContent{*type, cJSON_IsString(content) ? content->valuestring : Compact(content)});
  return "";
}

std::string ReadShorthand(const cJSON* pc, std::list<RequestContent>& contents) {
  if (cJSON_IsObject(pc)) return ReadShorthandItem(pc, contents);
  for (const cJSON* item = pc->child; item != nullptr; item = item->next) {
    std::string error = ReadShorthandItem(item, contents);
    if (!error.empty()) return error;
  }
  return "";
}

bool IsRepresentation(const cJSON* pc) {
  return cJSON_IsObject(pc) && pc->child != nullptr && pc->child->next == nullptr &&
         std::strncmp(pc->child->string, "m2m:", 4) == 0;
}

// A resource representation {"m2m:xxx": {attributes}} as one content item of
// its type, its attributes under their long names. A schedule addressed by
// name gets that name when it carries none.
std::string ReadRepresentation(const cJSON* root, cJSON* pc, const Target& target,
                               std::list<RequestContent>& contents) {
  cJSON* resource = pc->child;
  const ResourceKind* kind = nullptr;
  for (const ResourceKind& known : kResourceKinds) {
    if (std::strcmp(resource->string, known.wrapper) == 0) kind = &known;
  }
  if (kind == nullptr) return Format("this gateway serves no %s", resource->string);
  if (!cJSON_IsObject(resource)) return Format("\"%s\" is not an object", resource->string);
  const cJSON* declared = Member(root, "ty");
  if (declared != nullptr && TypeCode(declared) != kind->type)
    return Format("\"ty\" does not match %s", resource->string);
  RenameMembers(resource);
  cJSON* element = cJSON_GetObjectItemCaseSensitive(resource, "scheduleElement");
  if (cJSON_IsObject(element)) RenameMembers(element);
  if (kind->type == 18 && target.kind == Target::kChild &&
      !cJSON_HasObjectItem(resource, "resourceName")) {
    cJSON_AddItemToObject(resource, "resourceName", cJSON_CreateString(target.child.c_str()));
  }
  contents.push_back(RequestContent{kind->type, Compact(resource)});
  return "";
}

// pc of a create or update: absent, a representation, or the shorthand.
std::string ReadContents(cJSON* root, const Target& target,
                         std::list<RequestContent>& contents) {
  cJSON* pc = cJSON_GetObjectItemCaseSensitive(root, "pc");
  if (pc == nullptr || cJSON_IsNull(pc)) return "";
  if (IsRepresentation(pc)) return ReadRepresentation(root, pc, target, contents);
  if (cJSON_IsArray(pc) || (cJSON_IsObject(pc) && Member(pc, "con") != nullptr))
    return ReadShorthand(pc, contents);
  return "\"pc\" is neither a resource representation nor a list of items";
}

bool HasContent(const cJSON* root) {
  const cJSON* pc = Member(root, "pc");
  return pc != nullptr && !cJSON_IsNull(pc);
}

// The gateway's resources are its CSEBase, the schedules below it and the
// registrar's remoteCSE; what each operation may do to which.
void Route(cJSON* root, const Target& target, Request& request) {
  const bool atGateway = target.kind == Target::kNone || target.kind == Target::kBase;
  const bool notHere = target.kind == Target::kElsewhere ||
                       (target.kind == Target::kChild && request.wireOperation == kWireRetrieve);
  if (notHere) {
    return Refuse(request, kRscNotFound, Format("no resource %s on this gateway", request.to.c_str()));
  }
  switch (request.wireOperation) {
    case kWireRetrieve:
      if (target.kind == Target::kRegistrarCsr) {
        request.handling = Request::kRegistrarCsr;
      } else if (request.targets.empty() && target.kind == Target::kBase) {
        request.handling = Request::kCseBase;
      }
      return;
    case kWireNotify:
      return;
    case kWireDelete:
      if (target.kind == Target::kChild) {
        request.contents.push_back(
            RequestContent{18, JsonObject().String("resourceName", target.child).Take()});
        return;
      }
      if (target.kind == Target::kBase && !HasContent(root)) {
        return Refuse(request, kRscOperationNotAllowed, "the gateway's CSEBase cannot be deleted");
      }
      break;
    case kWireCreate:
      if (!atGateway) {
        return Refuse(request, kRscOperationNotAllowed,
                      Format("nothing can be created in %s", request.to.c_str()));
      }
      break;
    default:  // update: at the gateway or a schedule
      break;
  }
  if (target.kind == Target::kRegistrarCsr) {
    return Refuse(request, kRscOperationNotAllowed, Format("%s cannot be changed here", request.to.c_str()));
  }
  std::string error = ReadContents(root, target, request.contents);
  if (!error.empty()) Refuse(request, kRscBadRequest, std::move(error));
}

// Members that must be strings when present.
std::string CheckStringMembers(const cJSON* root) {
  for (const char* name : {"rqi", "fr", "to", "rvi"}) {
    const cJSON* member = Member(root, name);
    if (member != nullptr && !cJSON_IsString(member))
      return Format("\"%s\" is not a string", name);
  }
  return "";
}

// An oversize request, answered without parsing it. 4000 (bad request): the
// fault is the originator's, and the same request will never fit; 5207 (not
// acceptable) is a receiver's error, which an originator may try again.
Request RefuseOversize(const std::string& payload, size_t sentBytes, size_t maxBytes) {
  Request request;
  std::vector<std::string> found = ScanTopLevelStrings(payload, {"rqi", "fr", "to"});
  request.rqi = std::move(found[0]);
  request.from = std::move(found[1]);
  request.to = std::move(found[2]);
  Refuse(request, kRscBadRequest,
         Format("the request has %zu bytes, more than the limit of %zu", sentBytes, maxBytes));
  return request;
}

// The members every request is read for (rqi, fr, to, op, and fc for a
// retrieve) into request: "" when they can be routed, else why the request
// is refused (4000).
std::string ReadHead(const cJSON* root, const std::string& payload, Request& request) {
  request.rqi = StringMember(root, "rqi");
  request.from = StringMember(root, "fr");
  request.to = StringMember(root, "to");
  if (request.rqi.empty()) return "no request id \"rqi\"";
  std::string error = CheckStringMembers(root);
  if (!error.empty()) return error;
  if (HoldsNulCharacter(payload)) return "a string holds a NUL character (\\u0000)";
  const cJSON* op = Member(root, "op");
  if (op == nullptr) return "no operation \"op\"";
  std::optional<int> wire = AsInt(op);
  request.operation = wire ? OperationFor(*wire) : 0;
  if (request.operation == 0) return "unknown operation " + Compact(op);
  request.wireOperation = *wire;
  return request.wireOperation == kWireRetrieve ? ReadTargets(root, request.targets) : "";
}

}  // namespace

size_t MaxRequestBytesFromEnvironment(std::string* warning) {
  return WholeNumberSetting("KIV_MAX_REQUEST_BYTES", kLeastMaxRequestBytes, kMostMaxRequestBytes,
                            kDefaultMaxRequestBytes, warning);
}

Request ParseRequest(const std::string& payload, const CseNames& names, size_t maxBytes) {
  return ParseRequest(payload, names, maxBytes, payload.size());
}

Request ParseRequest(const std::string& payload, const CseNames& names, size_t maxBytes,
                     size_t sentBytes) {
  const size_t requestBytes = std::max(sentBytes, payload.size());
  if (requestBytes > maxBytes) return RefuseOversize(payload, requestBytes, maxBytes);
  Request request;
  Json json = ParseWhole(payload);
  std::string error = json && cJSON_IsObject(json.get()) ? ReadHead(json.get(), payload, request)
                                                          : "not a JSON object";
  if (!error.empty()) {
    Refuse(request, kRscBadRequest, std::move(error));
    return request;
  }
  Route(json.get(), ResolveTarget(request.to, names), request);
  return request;
}

}  // namespace protocol
}  // namespace kiv
