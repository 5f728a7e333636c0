#include "StandInRegistrar.h"

#include "Cse.h"
#include "Protocol.h"

#include <algorithm>

namespace kiv {
namespace platform {
namespace {

// Attributes a registration is created with and that an update must not
// carry (a strict CSE refuses it: 4000).
const char* const kWriteOnce[] = {"rn", "csi", "cb", "cst"};

std::string CsrResource(const std::string& name, const std::string& device) {
  return protocol::JsonObject()
      .Number("ty", protocol::kTypeRemoteCse)
      .String("rn", name)
      .String("csi", "/" + device)
      .Wrapped("m2m:csr");
}

}  // namespace

StandInRegistrar::StandInRegistrar(Limits limits, std::uint32_t seed)
    : limits_(limits), random_(seed) {}

std::optional<StandInRegistrar::Answer> StandInRegistrar::Take(const std::string& topic,
                                                               const std::string& payload) {
  std::optional<GatewayRequest> request = ParseGatewayRequest(topic, payload);
  if (!request) return std::nullopt;
  sent_.Count(*request);
  std::lock_guard<std::mutex> lock(mutex_);
  if (absent_) return std::nullopt;
  Fault& fault = faults_[KindIndex(request->kind)];
  Outcome outcome;
  if (fault.refuseWith != 0 && fault.refuseLeft != 0) {
    if (fault.refuseLeft > 0) --fault.refuseLeft;
    outcome = {fault.refuseWith, fault.refuseText.empty()
                                     ? "refused by the stand-in registrar, as it was told to"
                                     : fault.refuseText};
  } else {
    outcome = CarryOut(*request);
  }
  if (Dropped(fault)) return std::nullopt;
  const std::string from = "/" + request->registrar;
  const std::string to = "/" + request->device;
  Answer answer;
  answer.topic = protocol::ResponseTopic(request->device, request->registrar);
  answer.payload = protocol::IsSuccess(outcome.rsc)
                       ? protocol::ResponseBody(request->rqi, outcome.rsc, from, to, outcome.content)
                       : protocol::ErrorBody(request->rqi, outcome.rsc, from, to, outcome.content);
  answer.delay = fault.delay;
  return answer;
}

bool StandInRegistrar::Dropped(Fault& fault) {
  if (fault.dropNext > 0) {
    --fault.dropNext;
    return true;
  }
  return fault.dropShare > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < fault.dropShare;
}

StandInRegistrar::Outcome StandInRegistrar::CarryOut(const GatewayRequest& request) {
  if (request.kind == kRegistrationCreate) return Register(request);
  if (request.kind == kOtherRequest) {
    return {protocol::kRscBadRequest, "not a request the stand-in registrar serves"};
  }
  Gateway* gateway = Registration(request.device);
  if (gateway == nullptr) return {protocol::kRscNotFound, "/" + request.device + " is not registered"};
  switch (request.kind) {
    case kRegistrationUpdate: return UpdateRegistration(*gateway, request);
    case kRegistrationRetrieve: return RetrieveRegistration(*gateway, request);
    case kAppCreate: return CreateApp(*gateway, request);
    case kContainerCreate:
    case kPolicyCreate: return CreateChild(*gateway, request);
    default: return StoreRecord(*gateway, request);
  }
}

StandInRegistrar::Gateway* StandInRegistrar::Registration(const std::string& device) {
  auto found = gateways_.find(device);
  return found == gateways_.end() ? nullptr : &found->second;
}

StandInRegistrar::Outcome StandInRegistrar::Register(const GatewayRequest& request) {
  if (Registration(request.device) != nullptr) {
    return {protocol::kRscConflict, "/" + request.device + " is registered already"};
  }
  std::vector<std::string> base = protocol::Levels(request.to);
  if (base.size() != 3 || !base[0].empty() || base[1] != request.registrar || base[2].empty()) {
    return {protocol::kRscNotFound, "no CSEBase at " + request.to};
  }
  if (request.name.empty() || request.csi != "/" + request.device) {
    return {protocol::kRscBadRequest, "a registration needs rn, and csi the originator's CSE-ID"};
  }
  if (gateways_.size() >= limits_.gateways) {
    return {protocol::kRscInternalError, "the stand-in registrar keeps " +
                                             std::to_string(limits_.gateways) + " gateways at most"};
  }
  Gateway& gateway = gateways_.emplace(request.device, Gateway(limits_.recordsPerGateway)).first->second;
  gateway.address = request.to + "/" + request.name;
  return {protocol::kRscCreated, CsrResource(request.name, request.device)};
}

StandInRegistrar::Outcome StandInRegistrar::UpdateRegistration(const Gateway& gateway,
                                                               const GatewayRequest& request) const {
  const std::string& to = request.to;
  bool known = to == gateway.address || (!gateway.app.empty() && to == gateway.app) ||
               gateway.containers.count(to) != 0 || gateway.policies.count(to) != 0;
  if (!known) return {protocol::kRscNotFound, "nothing at " + to};
  for (const char* name : kWriteOnce) {
    if (std::find(request.attributes.begin(), request.attributes.end(), name) != request.attributes.end())
      return {protocol::kRscBadRequest, std::string("attribute ") + name + " is not allowed in an update"};
  }
  return {protocol::kRscUpdated, ""};
}

// The gateway's <AE>, beside its registration on the same CSEBase.
StandInRegistrar::Outcome StandInRegistrar::CreateApp(Gateway& gateway,
                                                      const GatewayRequest& request) const {
  if (request.to != gateway.address.substr(0, gateway.address.rfind('/')))
    return {protocol::kRscNotFound, "no CSEBase at " + request.to};
  if (request.name.empty()) return {protocol::kRscBadRequest, "an AE needs rn"};
  if (!gateway.app.empty()) return {protocol::kRscConflict, "the AE " + gateway.app + " exists already"};
  gateway.app = request.to + "/" + request.name;
  return {protocol::kRscCreated, ""};
}
StandInRegistrar::Outcome StandInRegistrar::RetrieveRegistration(const Gateway& gateway,
                                                                 const GatewayRequest& request) const {
  if (request.to != gateway.address) return {protocol::kRscNotFound, "nothing at " + request.to};
  return {protocol::kRscOk, CsrResource(gateway.address.substr(gateway.address.rfind('/') + 1),
                                        request.device)};
}

// A container or a policy, under the registration or the <AE>.
StandInRegistrar::Outcome StandInRegistrar::CreateChild(Gateway& gateway,
                                                        const GatewayRequest& request) const {
  if (request.to != gateway.address && (gateway.app.empty() || request.to != gateway.app))
    return {protocol::kRscNotFound, "nothing at " + request.to};
  if (request.name.empty()) return {protocol::kRscBadRequest, "a resource needs rn"};
  std::set<std::string>& children =
      request.kind == kContainerCreate ? gateway.containers : gateway.policies;
  const std::string address = request.to + "/" + request.name;
  if (children.count(address) != 0) return {protocol::kRscConflict, address + " exists already"};
  if (children.size() >= limits_.containersPerGateway) {
    return {protocol::kRscBadRequest, "too many resources of this type"};
  }
  children.insert(address);
  return {protocol::kRscCreated, ""};
}

StandInRegistrar::Outcome StandInRegistrar::StoreRecord(Gateway& gateway, const GatewayRequest& request) {
  if (gateway.containers.count(request.to) == 0) {
    return {protocol::kRscNotFound, "no container at " + request.to};
  }
  if (request.name.empty()) return {protocol::kRscBadRequest, "a record without a resource name"};
  if (gateway.records.Find(request.name) != nullptr) {
    return {protocol::kRscConflict, "a record named " + request.name + " exists already"};
  }
  gateway.records[request.name] = request.text;
  return {protocol::kRscCreated, ""};
}

template <typename Change>
void StandInRegistrar::ForEachFault(RequestKinds kinds, Change change) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < kRequestKindCount; ++i) {
    if ((kinds & (1u << i)) != 0) change(faults_[i]);
  }
}

void StandInRegistrar::Delay(RequestKinds kinds, std::chrono::milliseconds delay) {
  ForEachFault(kinds, [&](Fault& fault) { fault.delay = delay; });
}

void StandInRegistrar::DropShare(RequestKinds kinds, double share) {
  ForEachFault(kinds, [&](Fault& fault) { fault.dropShare = share; });
}

void StandInRegistrar::DropNext(RequestKinds kinds, int count) {
  ForEachFault(kinds, [&](Fault& fault) { fault.dropNext = count; });
}

void StandInRegistrar::Refuse(RequestKinds kinds, int rsc, int count, const std::string& text) {
  ForEachFault(kinds, [&](Fault& fault) {
    fault.refuseWith = rsc;
    fault.refuseLeft = count;
    fault.refuseText = text;
  });
}

void StandInRegistrar::SetAbsent(bool absent) {
  std::lock_guard<std::mutex> lock(mutex_);
  absent_ = absent;
}

void StandInRegistrar::Heal() {
  ForEachFault(kAnyRequest, [](Fault& fault) { fault = Fault(); });
  SetAbsent(false);
}

void StandInRegistrar::Forget() {
  std::lock_guard<std::mutex> lock(mutex_);
  gateways_.clear();
}

bool StandInRegistrar::IsRegistered(const std::string& device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gateways_.count(device) != 0;
}

bool StandInRegistrar::ReadyForRecords(const std::string& device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = gateways_.find(device);
  return found != gateways_.end() && !found->second.containers.empty();
}

std::vector<StandInRegistrar::StoredRecord> StandInRegistrar::Records(const std::string& device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<StoredRecord> records;
  auto found = gateways_.find(device);
  if (found == gateways_.end()) return records;
  found->second.records.ForEach(
      [&](const std::string& name, const std::string& text) { records.push_back({name, text}); });
  return records;
}

std::vector<std::string> StandInRegistrar::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return KeysOf(gateways_);
}

}  // namespace platform
}  // namespace kiv
