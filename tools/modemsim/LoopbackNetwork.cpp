#include "LoopbackNetwork.h"

#include "Protocol.h"

#include <algorithm>

namespace modemsim {

bool TopicMatches(const std::string& filter, const std::string& topic) {
  std::vector<std::string> wanted = kiv::protocol::Levels(filter);
  std::vector<std::string> levels = kiv::protocol::Levels(topic);
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (wanted[i] == "#") return true;
    if (i >= levels.size()) return false;
    if (wanted[i] != "+" && wanted[i] != levels[i]) return false;
  }
  return wanted.size() == levels.size();
}

void LoopbackNetwork::SetEvents(NetworkEvents events) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_ = std::move(events);
}

bool LoopbackNetwork::Open(int, const std::string&, int) { return true; }

bool LoopbackNetwork::Connect(int index, const ConnectRequest&) {
  std::lock_guard<std::mutex> lock(mutex_);
  sockets_[index] = Socket();
  sockets_[index].connected = true;
  return true;
}

bool LoopbackNetwork::IsConnected(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sockets_[index].connected;
}

bool LoopbackNetwork::Subscribe(int index, const std::string& filter, int qos) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sockets_[index].connected) return false;
  sockets_[index].filters.emplace_back(filter, qos);
  return true;
}

bool LoopbackNetwork::Publish(int index, const std::string& topic, const std::string& payload,
                              int qos) {
  std::vector<std::pair<int, int>> receivers;  // socket and delivery QoS
  NetworkEvents events;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sockets_[index].connected) return false;
    events = events_;
    for (int other = 0; other < kSockets; ++other) {
      if (!sockets_[other].connected) continue;
      for (const auto& [filter, granted] : sockets_[other].filters) {
        if (!TopicMatches(filter, topic)) continue;
        receivers.emplace_back(other, std::min(qos, granted));
        break;
      }
    }
  }
  // Outside the lock: the handler writes to the line.
  for (const auto& [receiver, deliveryQos] : receivers) {
    if (events.message) events.message(receiver, topic, payload, deliveryQos);
  }
  return true;
}

void LoopbackNetwork::Close(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  sockets_[index] = Socket();
}

}  // namespace modemsim
