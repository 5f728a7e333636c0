// What the registration and the outbox need from around them: fresh
// request ids, a way to the platform's CSE (the registrar) and the log. The
// proxy's core carries it out over MQTT; the tests record what would go out.
#ifndef KIV_SDK_CORE_REGISTRAR_LINK_H
#define KIV_SDK_CORE_REGISTRAR_LINK_H

#include <string>

namespace kiv {

class RegistrarLink {
public:
  // kAppCreate and kAppUpdate: the gateway's <AE>, when records live under it.
  // kPolicy to kContainerGuard: the access control policy, then the records'
  // parent and container pointed at it.
  enum class Step {
    kCreate, kUpdate, kAppCreate, kAppUpdate, kContainer,
    kPolicy, kPolicyUpdate, kParentGuard, kContainerGuard, kCheck
  };

  virtual ~RegistrarLink() = default;
  virtual std::string NewRequestId() = 0;
  virtual void SendStep(Step step, const std::string& rqi) = 0;
  virtual void SendRecord(const std::string& rqi, const std::string& name,
                          const std::string& text) = 0;
  // category: a LogCategory; kLogInformation lines name the registrar.
  virtual void Log(int category, const std::string& text) = 0;
};

}  // namespace kiv

#endif
