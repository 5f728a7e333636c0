#include "LoopbackNetwork.h"

#include <algorithm>

namespace modemsim {

namespace {

std::vector<std::string> TopicLevels(const std::string& text) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (;;) {
    size_t slash = text.find('/', start);
    levels.push_back(text.substr(start, slash - start));
    if (slash == std::string::npos) return levels;
    start = slash + 1;
  }
}

}  // namespace

bool TopicMatches(const std::string& filter, const std::string& topic) {
  std::vector<std::string> wanted = TopicLevels(filter);
  std::vector<std::string> levels = TopicLevels(topic);
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
