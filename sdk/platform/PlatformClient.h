// A platform over MQTT (docs/protocol.md): sends requests to gateways and
// waits for their replies, follows gateways' records and status. The
// console gwctl, the end-to-end tests and the benchmarks use it.
//
// Threading: messages are collected on the MQTT library's threads; every
// method may be called from any other thread.
#ifndef KIV_PLATFORM_CLIENT_H
#define KIV_PLATFORM_CLIENT_H

#include "PlatformRequests.h"
#include "StandInRegistrar.h"
#include "kiv/MqttClient.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kiv {
namespace platform {

using std::chrono::milliseconds;

// An originator id unique to this run: PREFIX-PID-RANDOM.
std::string FreshOriginator(const std::string& prefix);

// Messages delivered by an MQTT client's handler, readable from other
// threads; waits wake when a message arrives, not by polling.
class Inbox {
public:
  void Add(const mqtt::Message& message);
  // A handler for mqtt::Client::OnMessage that adds to this inbox; the inbox
  // must outlive the client.
  mqtt::Client::MessageHandler Handler() {
    return [this](const mqtt::Message& message) { Add(message); };
  }
  std::vector<mqtt::Message> Messages() const;
  // When each message arrived, in the same order.
  std::vector<std::chrono::steady_clock::time_point> Arrivals() const;
  // Waits until condition holds for the messages so far; false at timeout.
  bool WaitUntil(const std::function<bool(const std::vector<mqtt::Message>&)>& condition,
                 milliseconds timeout) const;
  bool WaitFor(size_t count, milliseconds timeout = std::chrono::seconds(10)) const;

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<mqtt::Message> messages_;
  std::vector<std::chrono::steady_clock::time_point> arrivals_;
};

// The records and status payloads of device among messages, in order. The
// records are those a registrar stores: a record sent again under a name
// already seen (its first answer was lost) counts once, as the registrar
// refuses the second create of a name.
std::vector<Record> RecordsIn(const std::vector<mqtt::Message>& messages,
                              const std::string& device);
std::vector<std::string> StatusesIn(const std::vector<mqtt::Message>& messages,
                                    const std::string& device);

class Platform {
public:
  struct Options {
    std::string serverUri;
    std::string originator;  // our originator and MQTT client id; empty: a fresh one
    std::string username, password;
    std::string caFile, certFile, keyFile;
    // The longest wait between two attempts to reconnect after a lost
    // connection (the first comes after 100 ms): a benchmark that must be
    // back before the clients it follows makes it short.
    milliseconds reconnectAtMost{1000};
    // Keep every message in the inbox (tests); off for a long watch.
    bool collect = true;
    // Called for every message as it arrives, on the MQTT library's thread.
    std::function<void(const mqtt::Message&)> onMessage;
    // Stand in for the platform's CSE where none runs: every request a
    // watched gateway sends its registrar (the registration, its container,
    // each record) is answered as a strict CSE that stores them would
    // (StandInRegistrar.h; registrar() reaches it, to count or to inject
    // faults).
    bool answerAsRegistrar = false;
  };

  // Throws std::invalid_argument for a server URI it cannot use.
  explicit Platform(Options options);
  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // 0 or a negative mqtt::ErrorCode, with the reason in *error.
  int Connect(milliseconds timeout, std::string* error = nullptr);
  int Subscribe(const std::string& filter, std::string* error = nullptr);
  // Follows the gateway: its records and its status from now on.
  int Watch(const std::string& device, std::string* error = nullptr);

  // Sends a request payload to the gateway and waits for its broker's
  // acknowledgement; subscribed to the gateway's replies to us first.
  int Send(const std::string& device, const std::string& payload, std::string* error = nullptr);
  // Sends and waits for the reply carrying the payload's rqi (any reply when
  // it has none); the reply's payload, or nullopt at timeout (reason in *error).
  std::optional<std::string> Ask(const std::string& device, const std::string& payload,
                                 milliseconds timeout, std::string* error = nullptr);
  // A reply to us from the gateway with this rqi, once it arrived within timeout.
  std::optional<std::string> WaitForReply(const std::string& device, const std::string& rqi,
                                          milliseconds timeout) const;

  // What the watched gateway sent so far, in arrival order.
  std::vector<Record> Records(const std::string& device) const;
  std::vector<std::string> Statuses(const std::string& device) const;

  // A request id of ours, new each time.
  std::string NewRequestId();
  Header HeaderFor(const std::string& device) { return Header{NewRequestId(), originator_, device}; }
  const std::string& originator() const { return originator_; }
  const Inbox& inbox() const { return inbox_; }
  mqtt::Client& client() { return *client_; }
  // The stand-in registrar, with answerAsRegistrar; null without.
  StandInRegistrar* registrar() { return registrar_.get(); }

private:
  class Answers;
  int SubscribeToReplies(const std::string& device, std::string* error);

  Options options_;
  std::string originator_;
  Inbox inbox_;
  std::mutex mutex_;
  std::set<std::string> replyTopics_;
  unsigned counter_ = 0;
  std::unique_ptr<StandInRegistrar> registrar_;
  std::unique_ptr<Answers> answers_;  // the stand-in's, sent through client_
  std::unique_ptr<mqtt::Client> client_;  // last: it stops before what its handler fills
};

}  // namespace platform
}  // namespace kiv

#endif
