// The simulated modem's MQTT client as a real one: every socket is a
// kiv::mqtt::Client on the broker given to the simulator, whatever host and
// port the modem was asked for. Like the modem's client it does not
// reconnect by itself: a lost connection is reported and stays down.
#ifndef MODEMSIM_MQTT_NETWORK_H
#define MODEMSIM_MQTT_NETWORK_H

#include "Network.h"

#include <kiv/MqttClient.h>

#include <array>
#include <memory>
#include <mutex>

namespace modemsim {

class MqttNetwork : public Network {
public:
  // brokerUri: tcp://host:port, or any server URI kiv::mqtt::Client takes (a
  // list of a cluster's nodes included).
  explicit MqttNetwork(std::string brokerUri);
  ~MqttNetwork() override;

  void SetEvents(NetworkEvents events) override;
  bool Open(int index, const std::string& host, int port) override;
  bool Connect(int index, const ConnectRequest& request) override;
  bool IsConnected(int index) const override;
  bool Subscribe(int index, const std::string& filter, int qos) override;
  bool Publish(int index, const std::string& topic, const std::string& payload, int qos) override;
  void Close(int index) override;

private:
  NetworkEvents Events() const;

  const std::string brokerUri_;
  mutable std::mutex eventsMutex_;
  NetworkEvents events_;
  // Touched by the simulator's main thread only.
  std::array<std::unique_ptr<kiv::mqtt::Client>, kSockets> clients_;
};

}  // namespace modemsim

#endif
