// The CSE the fleet benchmark's gateways register with: the tinyIoT CSE, or
// the stand-in registrar. Either can go away and come back with what it
// stored, and tells what it stored of each gateway.
#ifndef KIV_BENCH_FLEET_CSE_H
#define KIV_BENCH_FLEET_CSE_H

#include "PlatformClient.h"
#include "TinyIotCse.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fleet {

class Cse {
public:
  virtual ~Cse() = default;
  virtual std::string Name() const = 0;
  virtual std::string RegistrarId() const = 0;
  // What gatewayd needs in its environment to find it.
  virtual std::map<std::string, std::string> GatewayEnvironment() const = 0;
  virtual void Stop() = 0;
  virtual void Start() = 0;  // with what it stored before
  // What it needs once the broker is back.
  virtual void BrokerRestarted() {}
  // The texts of each gateway's records, in the order stored.
  virtual std::map<std::string, std::vector<std::string>> Stored() const = 0;
};

class TinyIot : public Cse {
public:
  // Builds and starts it for the broker on 127.0.0.1:brokerPort.
  explicit TinyIot(int brokerPort) : cse_(brokerPort) {}
  std::string Name() const override { return "tinyIoT"; }
  std::string RegistrarId() const override { return "tinyiot"; }
  std::map<std::string, std::string> GatewayEnvironment() const override;
  void Stop() override { cse_.Stop(); }
  void Start() override { cse_.Start(); }
  // It ends when its broker goes away: it is started again, as a service
  // manager would.
  void BrokerRestarted() override;
  std::map<std::string, std::vector<std::string>> Stored() const override;

private:
  kivtest::TinyIotCse cse_;
};

class StandIn : public Cse {
public:
  // Connects to the broker and answers every gateway's registrar requests
  // answerDelay late; throws std::runtime_error when it cannot connect.
  StandIn(const std::string& brokerUri, std::chrono::seconds answerDelay);
  std::string Name() const override { return "the stand-in registrar"; }
  std::string RegistrarId() const override;
  std::map<std::string, std::string> GatewayEnvironment() const override { return {}; }
  void Stop() override { registrar().SetAbsent(true); }
  void Start() override { registrar().SetAbsent(false); }
  std::map<std::string, std::vector<std::string>> Stored() const override;

private:
  kiv::platform::StandInRegistrar& registrar() const { return *platform_->registrar(); }
  std::unique_ptr<kiv::platform::Platform> platform_;
};

}  // namespace fleet

#endif
