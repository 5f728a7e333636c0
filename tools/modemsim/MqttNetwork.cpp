#include "MqttNetwork.h"

#include "ServerUri.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace modemsim {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kBrokerTimeout{5000};

void Report(const std::string& what) { fprintf(stderr, "modemsim: broker: %s\n", what.c_str()); }

// Connects with a deadline; true when one of the broker's addresses answered.
bool TryAddress(const struct addrinfo& address) {
  int s = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                 address.ai_protocol);
  if (s < 0) return false;
  bool reached = connect(s, address.ai_addr, address.ai_addrlen) == 0;
  if (!reached && errno == EINPROGRESS) {
    struct pollfd out = {s, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    reached = poll(&out, 1, static_cast<int>(kBrokerTimeout.count())) == 1 &&
              getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  close(s);
  return reached;
}

// Whether one of the broker's addresses accepts a TCP connection.
bool Reachable(const kiv::ServerAddress& broker) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* addresses = nullptr;
  std::string port = std::to_string(broker.port);
  int status = getaddrinfo(broker.name.c_str(), port.c_str(), &hints, &addresses);
  if (status != 0) {
    Report(broker.name + ": " + gai_strerror(status));
    return false;
  }
  bool reached = false;
  for (struct addrinfo* a = addresses; a != nullptr && !reached; a = a->ai_next) {
    reached = TryAddress(*a);
  }
  freeaddrinfo(addresses);
  return reached;
}

// The network connection the modem's open makes: a TCP connection to the
// broker (to one of them, for a list), closed again at once (the MQTT client
// makes its own, to the same list).
bool BrokerReachable(const std::string& uri) {
  std::vector<kiv::ServerAddress> brokers;
  std::string problem = kiv::ParseServerUriList(uri, &brokers);
  if (!problem.empty()) {
    Report(problem);
    return false;
  }
  for (const kiv::ServerAddress& broker : brokers) {
    if (Reachable(broker)) return true;
  }
  Report("cannot reach " + uri);
  return false;
}

}  // namespace

MqttNetwork::MqttNetwork(std::string brokerUri) : brokerUri_(std::move(brokerUri)) {}

MqttNetwork::~MqttNetwork() {
  for (int i = 0; i < kSockets; ++i) Close(i);
}

void MqttNetwork::SetEvents(NetworkEvents events) {
  std::lock_guard<std::mutex> lock(eventsMutex_);
  events_ = std::move(events);
}

NetworkEvents MqttNetwork::Events() const {
  std::lock_guard<std::mutex> lock(eventsMutex_);
  return events_;
}

bool MqttNetwork::Open(int index, const std::string&, int) {
  Close(index);
  return BrokerReachable(brokerUri_);
}

bool MqttNetwork::Connect(int index, const ConnectRequest& request) {
  Close(index);
  kiv::mqtt::Options options;
  options.serverUri = brokerUri_;
  options.clientId = request.clientId;
  options.username = request.username;
  options.password = request.password;
  options.autoReconnect = false;
  std::unique_ptr<kiv::mqtt::Client> client;
  try {
    client = std::make_unique<kiv::mqtt::Client>(options);
  } catch (const std::exception& error) {
    Report(error.what());
    return false;
  }
  // Both handlers run on the client's threads; they only write to the line.
  client->OnMessage([this, index](const kiv::mqtt::Message& message) {
    NetworkEvents events = Events();
    if (events.message) events.message(index, message.topic, message.payload, message.qos);
  });
  client->OnConnectionLost([this, index](const std::string& cause) {
    Report("connection " + std::to_string(index) + " lost: " + cause);
    NetworkEvents events = Events();
    if (events.lost) events.lost(index);
  });
  std::string error;
  if (client->Connect(kBrokerTimeout, &error) != kiv::mqtt::kOk) {
    Report("connect failed: " + error);
    return false;
  }
  clients_[index] = std::move(client);
  return true;
}

bool MqttNetwork::IsConnected(int index) const {
  return clients_[index] != nullptr && clients_[index]->IsConnected();
}

bool MqttNetwork::Subscribe(int index, const std::string& filter, int qos) {
  if (!IsConnected(index)) return false;
  std::string error;
  if (clients_[index]->Subscribe(filter, qos, &error) == kiv::mqtt::kOk) return true;
  Report("subscribe failed: " + error);
  return false;
}

bool MqttNetwork::Publish(int index, const std::string& topic, const std::string& payload,
                          int qos) {
  if (!IsConnected(index)) return false;
  std::string error;
  if (clients_[index]->PublishAndWait(topic, payload, qos, false, kBrokerTimeout, &error) ==
      kiv::mqtt::kOk) {
    return true;
  }
  Report("publish failed: " + error);
  return false;
}

void MqttNetwork::Close(int index) {
  if (clients_[index] == nullptr) return;
  clients_[index]->Disconnect();
  clients_[index].reset();
}

}  // namespace modemsim
