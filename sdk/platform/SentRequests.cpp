#include "SentRequests.h"

#include "Cse.h"
#include "Protocol.h"

namespace kiv {
namespace platform {
namespace {

RequestKind KindOf(int op, int type) {
  switch (op) {
    case protocol::kWireCreate:
      return type == protocol::kTypeRemoteCse      ? kRegistrationCreate
             : type == protocol::kTypeContainer    ? kContainerCreate
             : type == protocol::kTypeContentInstance ? kRecordCreate
             : type == protocol::kTypeAe           ? kAppCreate
             : type == protocol::kTypeAccessControlPolicy ? kPolicyCreate
                                                   : kOtherRequest;
    case protocol::kWireUpdate:
      return kRegistrationUpdate;
    case protocol::kWireRetrieve:
      return kRegistrationRetrieve;
    default:
      return kOtherRequest;
  }
}

// The resource representation a create or an update carries: the one member
// of pc ({"m2m:csr": {...}}).
const cJSON* ResourceOf(const cJSON* root) {
  const cJSON* pc = protocol::Member(root, "pc");
  return cJSON_IsObject(pc) && cJSON_IsObject(pc->child) ? pc->child : nullptr;
}

void ReadResource(const cJSON* resource, GatewayRequest& request) {
  if (resource == nullptr) return;
  request.name = protocol::StringMember(resource, "rn");
  request.csi = protocol::StringMember(resource, "csi");
  request.text = protocol::StringMember(resource, "con");
  for (const cJSON* member = resource->child; member != nullptr; member = member->next) {
    if (member->string != nullptr) request.attributes.push_back(member->string);
  }
}

}  // namespace

size_t KindIndex(RequestKind kind) {
  size_t index = 0;
  while (index + 1 < kRequestKindCount && (1u << index) != kind) ++index;
  return index;
}

const char* KindName(RequestKind kind) {
  switch (kind) {
    case kRegistrationCreate: return "registration create";
    case kRegistrationUpdate: return "registration update";
    case kRegistrationRetrieve: return "registration retrieve";
    case kContainerCreate: return "container create";
    case kRecordCreate: return "record";
    case kAppCreate: return "AE create";
    case kPolicyCreate: return "policy create";
    default: return "other request";
  }
}

std::optional<GatewayRequest> ParseGatewayRequest(const std::string& topic,
                                                  const std::string& payload) {
  std::vector<std::string> levels = protocol::Levels(topic);
  if (levels.size() != 6 || !levels[0].empty() || levels[1] != "oneM2M" || levels[2] != "req" ||
      levels[5] != "json") {
    return std::nullopt;
  }
  protocol::Json json = protocol::ParseWhole(payload);
  const cJSON* root = json.get();
  GatewayRequest request;
  request.device = levels[3];
  request.registrar = levels[4];
  request.rqi = protocol::StringMember(root, "rqi");
  const std::string from = protocol::StringMember(root, "fr");
  if (request.rqi.empty() || (from != "/" + request.device && from != protocol::kAppIdPrefix + request.device))
    return std::nullopt;
  request.kind = KindOf(protocol::AsInt(protocol::Member(root, "op")).value_or(0),
                        protocol::AsInt(protocol::Member(root, "ty")).value_or(0));
  request.to = protocol::StringMember(root, "to");
  ReadResource(ResourceOf(root), request);
  return request;
}

SentRequests::SentRequests(Limits limits) : limits_(limits), requestIds_(limits.requestIds) {}

void SentRequests::Count(const GatewayRequest& request) {
  const size_t kind = KindIndex(request.kind);
  std::lock_guard<std::mutex> lock(mutex_);
  ++totals_[kind];
  int& times = ++requestIds_[request.rqi];
  if (times > 1 && (repeated_.count(request.rqi) != 0 || repeated_.size() < limits_.requestIds))
    repeated_[request.rqi] = times;
  auto gateway = gateways_.find(request.device);
  if (gateway == gateways_.end()) {
    if (gateways_.size() >= limits_.gateways) return;
    gateway = gateways_.emplace(request.device, Gateway(limits_.namesPerGateway)).first;
  }
  ++gateway->second.requests[kind];
  if (request.kind == kRecordCreate) ++gateway->second.sends[request.name];
}

size_t SentRequests::Sum(const std::array<size_t, kRequestKindCount>& counts, RequestKinds kinds) {
  size_t sum = 0;
  for (size_t i = 0; i < kRequestKindCount; ++i) {
    if ((kinds & (1u << i)) != 0) sum += counts[i];
  }
  return sum;
}

size_t SentRequests::Total(RequestKinds kinds) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Sum(totals_, kinds);
}

size_t SentRequests::Of(const std::string& device, RequestKinds kinds) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto gateway = gateways_.find(device);
  return gateway == gateways_.end() ? 0 : Sum(gateway->second.requests, kinds);
}

int SentRequests::SendsOf(const std::string& device, const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto gateway = gateways_.find(device);
  if (gateway == gateways_.end()) return 0;
  const int* sends = gateway->second.sends.Find(name);
  return sends == nullptr ? 0 : *sends;
}

std::map<std::string, int> SentRequests::RepeatedRequestIds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return repeated_;
}

std::vector<std::string> SentRequests::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return KeysOf(gateways_);
}

}  // namespace platform
}  // namespace kiv
