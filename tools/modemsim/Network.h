// The MQTT side of the simulated modem: what its AT commands do on a broker.
#ifndef MODEMSIM_NETWORK_H
#define MODEMSIM_NETWORK_H

#include <functional>
#include <optional>
#include <string>

namespace modemsim {

// The modem's client sockets are numbered 0 to kSockets - 1.
constexpr int kSockets = 6;

struct ConnectRequest {
  std::string clientId;
  std::optional<std::string> username;
  std::optional<std::string> password;
};

// Implementations may call the event handlers from their own threads.
struct NetworkEvents {
  std::function<void(int index, const std::string& topic, const std::string& payload, int qos)>
      message;
  std::function<void(int index)> lost;  // an established connection went away
};

// Operations block until the broker answered (or gave up) and report
// success; every index is valid.
class Network {
public:
  virtual ~Network() = default;
  virtual void SetEvents(NetworkEvents events) = 0;
  // Reaches the broker's network address; whatever host the modem asked
  // for, the simulator's broker is the one that answers.
  virtual bool Open(int index, const std::string& host, int port) = 0;
  virtual bool Connect(int index, const ConnectRequest& request) = 0;
  virtual bool IsConnected(int index) const = 0;
  virtual bool Subscribe(int index, const std::string& filter, int qos) = 0;
  virtual bool Publish(int index, const std::string& topic, const std::string& payload,
                       int qos) = 0;
  virtual void Close(int index) = 0;
};

// MQTT topic filter matching with the '+' and '#' wildcards.
bool TopicMatches(const std::string& filter, const std::string& topic);

}  // namespace modemsim

#endif
