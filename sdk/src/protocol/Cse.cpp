#include "Cse.h"

#include "../Format.h"
#include "Protocol.h"
#include "ServerUri.h"

#include <vector>

namespace kiv {
namespace protocol {
namespace {

// One path segment of a oneM2M address: no separators, nothing a URL or a
// topic would read differently.
bool IsPathSegment(const std::string& name) {
  return !name.empty() && name.find_first_of(std::string("/?#+ \0", 6)) == std::string::npos;
}

// A CSE-relative address of count segments: gateway[/child], the CSEBase's
// resource id D, or the registrar's id (its remoteCSE resource here is
// named by it).
Target ResolveRelative(const std::string* segments, size_t count, const CseNames& names) {
  Target target;
  target.kind = Target::kElsewhere;
  const std::string& first = segments[0];
  if (count == 1) {
    if (first == kBaseName || first == names.device) target.kind = Target::kBase;
    if (first == names.registrarId) target.kind = Target::kRegistrarCsr;
    return target;
  }
  if (count == 2 && first == kBaseName && IsPathSegment(segments[1])) {
    if (segments[1] == names.registrarId) {
      target.kind = Target::kRegistrarCsr;
    } else {
      target.kind = Target::kChild;
      target.child = segments[1];
    }
  }
  return target;
}

// The attributes of the gateway's remoteCSE that may change between
// registrations; the others (rn, csi, cb, cst) are written once, at the
// create, and a strict registrar refuses an update that carries them.
JsonObject& UpdatableAttributes(JsonObject& resource, const std::string& poa) {
  return resource.Bool("rr", true).Raw("srv", StringList(kReleaseVersion)).Raw("poa", StringList(poa));
}

}  // namespace

std::string CseNames::Below(std::string base, std::string_view name) {
  base += '/';
  base += name;
  return base;
}

std::string CheckNames(const CseNames& names) {
  if (!IsPortableTopicLevel(names.device) || !IsPathSegment(names.device))
    return "device id \"" + names.device + "\" cannot stand in a topic or an address (no /, +, # or .)";
  if (!IsPortableTopicLevel(names.registrarId) || !IsPathSegment(names.registrarId))
    return "platform CSE-ID \"" + names.registrarId + "\" cannot stand in a topic (no /, +, # or .)";
  if (!IsPathSegment(names.registrarName))
    return "platform CSEBase name \"" + names.registrarName + "\" is not one path segment";
  if (names.registrarId == names.device)
    return "the device id \"" + names.device + "\" is the platform's own CSE-ID";
  return "";
}

Target ResolveTarget(const std::string& to, const CseNames& names) {
  if (to.empty()) return Target{};
  size_t start = 0;                  // where the SP-relative (/CSE-ID/...) or relative part starts
  if (to.compare(0, 2, "//") == 0) {  // absolute: //SP-ID/CSE-ID/...
    start = to.find('/', 2);
    if (start == std::string::npos) return Target{Target::kElsewhere, {}};
  }
  const bool spRelative = to[start] == '/';
  std::vector<std::string> segments = Levels(to.substr(start + (spRelative ? 1 : 0)));
  if (!spRelative) return ResolveRelative(segments.data(), segments.size(), names);
  if (segments[0] != names.device) return Target{Target::kElsewhere, {}};
  if (segments.size() == 1) return Target{Target::kBase, {}};
  return ResolveRelative(segments.data() + 1, segments.size() - 1, names);
}

std::string Timestamp(std::time_t time) {
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y%m%dT%H%M%S", &utc);
  return text;
}

std::string PointOfAccess(const ServerAddress& broker) {
  return SchemeHostPort(broker.tls ? "mqtts" : "mqtt", broker);
}

std::string PointOfAccess(const std::string& serverUri) {
  ServerAddress address;
  if (!ParseServerUri(serverUri, &address).empty()) return serverUri;  // checked by the client
  return PointOfAccess(address);
}

std::string RegistrationCreate(const CseNames& names, const std::string& rqi,
                               const std::string& poa) {
  // Only what a registration needs: an optional attribute a registrar does
  // not know makes it refuse the whole create.
  JsonObject csr;
  csr.String("rn", names.device).String("csi", names.CseId()).Number("cst", kCseTypeMiddleNode);
  csr.String("cb", names.BaseAddress());
  UpdatableAttributes(csr, poa);
  return RequestPrimitive(kWireCreate, names.RegistrarBase(), names.CseId(), rqi, kTypeRemoteCse,
                          csr.Wrapped("m2m:csr"));
}

std::string RegistrationUpdate(const CseNames& names, const std::string& rqi,
                               const std::string& poa) {
  JsonObject csr;
  UpdatableAttributes(csr, poa);
  return RequestPrimitive(kWireUpdate, names.RegistrationAddress(), names.CseId(), rqi, 0,
                          csr.Wrapped("m2m:csr"));
}

std::string RegistrationRetrieve(const CseNames& names, const std::string& rqi) {
  return RequestPrimitive(kWireRetrieve, names.RegistrationAddress(), names.CseId(), rqi, 0, "");
}

// The AE's id and name are written once, at the create; an update carries
// what may change, as the remoteCSE's does.
std::string AppCreate(const CseNames& names, const std::string& rqi, const std::string& poa) {
  JsonObject ae;
  ae.String("rn", names.AppId()).String("api", kAppApi);
  UpdatableAttributes(ae, poa);
  return RequestPrimitive(kWireCreate, names.RegistrarBase(), names.AppId(), rqi, kTypeAe,
                          ae.Wrapped("m2m:ae"));
}

std::string AppUpdate(const CseNames& names, const std::string& rqi, const std::string& poa) {
  JsonObject ae;
  UpdatableAttributes(ae, poa);
  return RequestPrimitive(kWireUpdate, names.AppAddress(), names.AppId(), rqi, 0,
                          ae.Wrapped("m2m:ae"));
}

std::string ContainerCreate(const CseNames& names, const std::string& rqi) {
  return RequestPrimitive(kWireCreate, names.RecordsParent(), names.RecordsOriginator(), rqi,
                          kTypeContainer, JsonObject().String("rn", kContainerName).Wrapped("m2m:cnt"));
}

namespace {

// Access control operations (acop), a bit each.
constexpr int kMayDoAll = 63;             // create, retrieve, update, delete, notify, discover
constexpr int kMayRetrieveAndDiscover = 2 | 32;

// {"acor":[originators],"acop":operations}, appended to rules.
void AppendAccessRule(std::string& rules, const std::string* originators, size_t count,
                      int operations) {
  rules += "{\"acor\":[";
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) rules += ',';
    AppendJsonString(rules, originators[i]);
  }
  rules += Format("],\"acop\":%d}", operations);
}

// {"acr":[rules]}: the owner may do all, the readers (when there are any)
// retrieve and discover.
std::string AccessRules(const std::string& owner, const std::string* readers, size_t readerCount) {
  std::string rules = "{\"acr\":[";
  AppendAccessRule(rules, &owner, 1, kMayDoAll);
  if (readerCount > 0) {
    rules += ',';
    AppendAccessRule(rules, readers, readerCount, kMayRetrieveAndDiscover);
  }
  rules += "]}";
  return rules;
}

// pv: the gateway all, the readers retrieve and discover; pvs: the policy
// itself is the gateway's alone.
JsonObject& Privileges(JsonObject& policy, const CseNames& names,
                       const std::vector<std::string>& readers) {
  const std::string owner = names.RecordsOriginator();
  return policy.Raw("pv", AccessRules(owner, readers.data(), readers.size()))
      .Raw("pvs", AccessRules(owner, nullptr, 0));
}

std::string Guard(const CseNames& names, const std::string& rqi, const std::string& to,
                  const char* resource) {
  return RequestPrimitive(kWireUpdate, to, names.RecordsOriginator(), rqi, 0,
                          JsonObject().Raw("acpi", StringList(names.PolicyReference())).Wrapped(resource));
}

}  // namespace

std::string PolicyCreate(const CseNames& names, const std::string& rqi,
                         const std::vector<std::string>& readers) {
  JsonObject policy;
  policy.String("rn", kPolicyName);
  return RequestPrimitive(kWireCreate, names.RecordsParent(), names.RecordsOriginator(), rqi,
                          kTypeAccessControlPolicy, Privileges(policy, names, readers).Wrapped("m2m:acp"));
}

std::string PolicyUpdate(const CseNames& names, const std::string& rqi,
                         const std::vector<std::string>& readers) {
  JsonObject policy;
  return RequestPrimitive(kWireUpdate, names.PolicyAddress(), names.RecordsOriginator(), rqi, 0,
                          Privileges(policy, names, readers).Wrapped("m2m:acp"));
}

std::string ParentGuard(const CseNames& names, const std::string& rqi) {
  return Guard(names, rqi, names.RecordsParent(), names.recordsUnderApp ? "m2m:ae" : "m2m:csr");
}

std::string ContainerGuard(const CseNames& names, const std::string& rqi) {
  return Guard(names, rqi, names.ContainerAddress(), "m2m:cnt");
}

// A record's primitive is the largest message the gateway sends: it is
// written once, into room taken at once, with the text escaped in place.
// Its answer is asked to carry nothing (rcn 0): a CSE answers a create with
// the resource it made by default, which would bring the record back once
// more, and only the status is read.
std::string ContentInstanceCreate(const CseNames& names, const std::string& rqi,
                                  const std::string& name, const std::string& text) {
  constexpr size_t kEnvelopeBytes = 128;  // the member names, numbers and punctuation
  const std::string to = names.ContainerAddress();
  const std::string from = names.RecordsOriginator();
  JsonObject body;
  body.Reserve(JsonStringSize(text) + JsonStringSize(name) + JsonStringSize(to) +
               JsonStringSize(from) + JsonStringSize(rqi) + kEnvelopeBytes);
  RequestHead(body, kWireCreate, to, from, rqi, kTypeContentInstance);
  body.Number("rcn", kResultContentNothing).Open("pc").Open("m2m:cin").String("rn", name).String("con", text);
  return body.Take();
}

std::string CseBaseResource(const CseNames& names, const std::string& poa,
                            const std::string& createdAt) {
  JsonObject base;
  base.Number("ty", kTypeCseBase).String("ri", names.device).String("rn", kBaseName);
  base.String("pi", "").String("csi", names.CseId()).Number("cst", kCseTypeMiddleNode);
  base.Raw("srt", "[12,13,14,16,18]").Raw("srv", StringList(kReleaseVersion));
  base.Raw("poa", StringList(poa)).Raw("csz", StringList("application/json")).Bool("rr", true);
  base.String("ct", createdAt).String("lt", createdAt);
  return base.Wrapped("m2m:cb");
}

std::string RegistrarCsrResource(const CseNames& names, const std::string& createdAt) {
  JsonObject csr;
  csr.Number("ty", kTypeRemoteCse).String("ri", names.registrarId).String("rn", names.registrarId);
  csr.String("pi", names.device).String("csi", names.RegistrarCseId());
  csr.String("cb", names.RegistrarBase()).Bool("rr", true);
  csr.String("ct", createdAt).String("lt", createdAt);
  return csr.Wrapped("m2m:csr");
}

}  // namespace protocol
}  // namespace kiv
