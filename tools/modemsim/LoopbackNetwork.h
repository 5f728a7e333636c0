// A broker inside the simulator, for runs without a real one: every message
// published goes to every connected socket subscribed to a matching filter.
#ifndef MODEMSIM_LOOPBACK_NETWORK_H
#define MODEMSIM_LOOPBACK_NETWORK_H

#include "Network.h"

#include <array>
#include <mutex>
#include <set>
#include <vector>

namespace modemsim {

class LoopbackNetwork : public Network {
public:
  void SetEvents(NetworkEvents events) override;
  bool Open(int index, const std::string& host, int port) override;
  bool Connect(int index, const ConnectRequest& request) override;
  bool IsConnected(int index) const override;
  bool Subscribe(int index, const std::string& filter, int qos) override;
  bool Publish(int index, const std::string& topic, const std::string& payload, int qos) override;
  void Close(int index) override;

private:
  struct Socket {
    bool connected = false;
    std::vector<std::pair<std::string, int>> filters;  // filter and granted QoS
  };
  mutable std::mutex mutex_;
  NetworkEvents events_;
  std::array<Socket, kSockets> sockets_;
};

}  // namespace modemsim

#endif
