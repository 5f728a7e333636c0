// The gateway as a small oneM2M CSE (its CSE-ID is "/D", its CSEBase is
// "gateway"), and the platform's CSE it registers with (the registrar). Names,
// addresses, the primitives the gateway sends to the registrar and the
// resource representations it serves itself (docs/protocol.md). Pure
// functions, no I/O.
#ifndef KIV_SDK_PROTOCOL_CSE_H
#define KIV_SDK_PROTOCOL_CSE_H

#include "ServerUri.h"

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {
namespace protocol {

constexpr char kDefaultRegistrarId[] = "id-in";
constexpr char kDefaultRegistrarName[] = "cse-in";
constexpr char kBaseName[] = "gateway";     // the gateway's CSEBase resource name
constexpr char kContainerName[] = "data";   // the records' container
// The gateway's application resource, where records are kept under an <AE>:
// its AE-ID and resource name are this prefix and the device id.
constexpr char kAppIdPrefix[] = "C";
constexpr char kAppApi[] = "Nkiv.gateway";
// The access control policy that guards the records' parent and container.
constexpr char kPolicyName[] = "acp";

// oneM2M resource types the SDK names itself.
constexpr int kTypeAccessControlPolicy = 1;
constexpr int kTypeAe = 2;
constexpr int kTypeContainer = 3;
constexpr int kTypeContentInstance = 4;
constexpr int kTypeCseBase = 5;
constexpr int kTypeRemoteCse = 16;
// Result content "nothing": the answer carries no resource.
constexpr int kResultContentNothing = 0;
// The gateway is a middle node between its nodes and the platform (MN-CSE).
constexpr int kCseTypeMiddleNode = 2;

struct CseNames {
  std::string device;         // D: the gateway's CSE-ID without its slash
  std::string registrarId;    // the registrar's CSE-ID without its slash
  std::string registrarName;  // the registrar's CSEBase resource name
  // Where the records container lives: under the gateway's remoteCSE
  // (false), or under an <AE> of its own on the registrar's CSEBase (true).
  bool recordsUnderApp = false;

  // The address of the resource name below base: base/name.
  static std::string Below(std::string base, std::string_view name);

  std::string CseId() const { return "/" + device; }
  std::string BaseAddress() const { return Below(CseId(), kBaseName); }
  std::string RegistrarCseId() const { return "/" + registrarId; }
  std::string RegistrarBase() const { return Below(RegistrarCseId(), registrarName); }
  // The gateway's remoteCSE resource at the registrar, named by its CSE-ID.
  std::string RegistrationAddress() const { return Below(RegistrarBase(), device); }
  // The gateway's <AE> at the registrar: its AE-ID is also its name.
  std::string AppId() const { return kAppIdPrefix + device; }
  std::string AppAddress() const { return Below(RegistrarBase(), AppId()); }
  std::string RecordsParent() const { return recordsUnderApp ? AppAddress() : RegistrationAddress(); }
  // Who creates the container and the records: the parent's owner.
  std::string RecordsOriginator() const { return recordsUnderApp ? AppId() : CseId(); }
  std::string ContainerAddress() const { return Below(RecordsParent(), kContainerName); }
  std::string PolicyAddress() const { return Below(RecordsParent(), kPolicyName); }
  // The policy as acpi names it: CSE-relative (cse-in/D/acp), the one form
  // every CSE we know resolves there.
  std::string PolicyReference() const { return PolicyAddress().substr(RegistrarCseId().size() + 1); }
};

// Why names cannot be used ("" when they can): ids must stand as one MQTT
// topic level, the CSEBase name as one path segment.
std::string CheckNames(const CseNames& names);

// What a request's "to" names, resolved against the gateway's CSE. Accepted
// forms: absolute (//SP/D/...), SP-relative (/D/...) and CSE-relative
// (gateway/..., or a resource id: D for the CSEBase, the registrar's id for
// its remoteCSE resource here).
struct Target {
  enum Kind {
    kNone,          // no "to" (the console's shorthand): the gateway itself
    kBase,          // the gateway's CSEBase
    kRegistrarCsr,  // the registrar's remoteCSE resource on the gateway
    kChild,         // a resource below the CSEBase, named child (a schedule)
    kElsewhere,     // anything else: not a resource of this gateway
  };
  Kind kind = kNone;
  std::string child;
};
Target ResolveTarget(const std::string& to, const CseNames& names);

// oneM2M time stamp (UTC): 20261208T140738.
std::string Timestamp(std::time_t time);

// The point of access a CSE reaches the gateway through: mqtt://host:port or
// mqtts://host:port of the broker.
std::string PointOfAccess(const ServerAddress& broker);
// The same for the broker a server URI names, checked already: an unusable
// one comes back as it is.
std::string PointOfAccess(const std::string& serverUri);

// Requests to the registrar, each a whole primitive.
std::string RegistrationCreate(const CseNames& names, const std::string& rqi,
                               const std::string& poa);
std::string RegistrationUpdate(const CseNames& names, const std::string& rqi,
                               const std::string& poa);
std::string RegistrationRetrieve(const CseNames& names, const std::string& rqi);
// The gateway's <AE> (records kept under it): created, or brought up to
// date when it exists (4105).
std::string AppCreate(const CseNames& names, const std::string& rqi, const std::string& poa);
std::string AppUpdate(const CseNames& names, const std::string& rqi, const std::string& poa);
std::string ContainerCreate(const CseNames& names, const std::string& rqi);
// The access control policy under the records' parent: the gateway may do
// everything there, readers (the registrar's CSE-ID, the operator's
// originator patterns) retrieve and discover. Created, or brought up to date
// when it exists (4105); then the parent and the container point at it
// (acpi, the only attribute of those updates, as CSEs require).
std::string PolicyCreate(const CseNames& names, const std::string& rqi,
                         const std::vector<std::string>& readers);
std::string PolicyUpdate(const CseNames& names, const std::string& rqi,
                         const std::vector<std::string>& readers);
std::string ParentGuard(const CseNames& names, const std::string& rqi);
std::string ContainerGuard(const CseNames& names, const std::string& rqi);
// A record: name is its resource name, unique to the record, so that a
// second create of it is refused (4105) instead of storing it twice.
std::string ContentInstanceCreate(const CseNames& names, const std::string& rqi,
                                  const std::string& name, const std::string& text);

// Representations the SDK answers retrieves with (the "pc" of a response).
std::string CseBaseResource(const CseNames& names, const std::string& poa,
                            const std::string& createdAt);
std::string RegistrarCsrResource(const CseNames& names, const std::string& createdAt);

}  // namespace protocol
}  // namespace kiv

#endif
