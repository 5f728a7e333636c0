#include "PlatformClient.h"

#include "Json.h"
#include "RepeatedLine.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unistd.h>

namespace kiv {
namespace platform {
namespace {

mqtt::Options ClientOptions(const Platform::Options& options, const std::string& originator) {
  mqtt::Options client;
  client.serverUri = options.serverUri;
  client.clientId = originator;
  if (!options.username.empty()) client.username = options.username;
  if (!options.password.empty()) client.password = options.password;
  client.caFile = options.caFile;
  client.certFile = options.certFile;
  client.keyFile = options.keyFile;
  // Back quickly after a broker restart (tests restart brokers).
  client.minRetry = std::min(milliseconds(100), options.reconnectAtMost);
  client.maxRetry = options.reconnectAtMost;
  return client;
}

}  // namespace

std::string FreshOriginator(const std::string& prefix) {
  std::random_device random;
  char text[40];
  snprintf(text, sizeof text, "-%ld-%06x", static_cast<long>(getpid()), random() & 0xffffffu);
  return prefix + text;
}

// ---- Inbox -----------------------------------------------------------------------

void Inbox::Add(const mqtt::Message& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
    arrivals_.push_back(std::chrono::steady_clock::now());
  }
  arrived_.notify_all();
}

std::vector<std::chrono::steady_clock::time_point> Inbox::Arrivals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_;
}

std::vector<mqtt::Message> Inbox::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

bool Inbox::WaitUntil(const std::function<bool(const std::vector<mqtt::Message>&)>& condition,
                      milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return condition(messages_); });
}

bool Inbox::WaitFor(size_t count, milliseconds timeout) const {
  return WaitUntil([count](const std::vector<mqtt::Message>& all) { return all.size() >= count; },
                   timeout);
}

// ---- Platform --------------------------------------------------------------------

std::vector<Record> RecordsIn(const std::vector<mqtt::Message>& messages,
                              const std::string& device) {
  std::vector<Record> records;
  std::set<std::string> names;
  const std::string prefix = "/oneM2M/req/" + device + "/";
  for (const mqtt::Message& message : messages) {
    if (message.topic.compare(0, prefix.size(), prefix) != 0) continue;
    std::optional<Record> record = ParseRecord(message.payload);
    if (record && (record->name.empty() || names.insert(record->name).second)) {
      records.push_back(*record);
    }
  }
  return records;
}

std::vector<std::string> StatusesIn(const std::vector<mqtt::Message>& messages,
                                    const std::string& device) {
  std::vector<std::string> statuses;
  const std::string topic = protocol::StatusTopic(device);
  for (const mqtt::Message& message : messages) {
    if (message.topic == topic) statuses.push_back(message.payload);
  }
  return statuses;
}

// The stand-in registrar's answers: sent at once, or later by a thread of
// their own in the order they fall due (the thread starts with the first
// one). A failed send is said on standard error, the same reason again at
// most once a minute. Stop() drops what still waits and makes later answers
// go nowhere.
class Platform::Answers {
public:
  explicit Answers(mqtt::Client& client) : client_(client) {}
  ~Answers() { Stop(); }

  void Send(StandInRegistrar::Answer answer) {
    if (answer.delay.count() <= 0) return SendNow(answer);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) return;
      if (waiting_.size() >= kMaxWaiting) return Unsent("more than 100000 answers wait");
      waiting_.emplace(Clock::now() + answer.delay, std::move(answer));
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    due_.notify_one();
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
      waiting_.clear();
    }
    due_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

private:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxWaiting = 100000;

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopped_) {
      if (waiting_.empty()) {
        due_.wait(lock);
        continue;
      }
      if (waiting_.begin()->first > Clock::now()) {
        due_.wait_until(lock, waiting_.begin()->first);  // or earlier: a new answer, a stop
        continue;
      }
      StandInRegistrar::Answer answer = std::move(waiting_.begin()->second);
      waiting_.erase(waiting_.begin());
      lock.unlock();
      SendNow(answer);
      lock.lock();
    }
  }

  void SendNow(const StandInRegistrar::Answer& answer) {
    std::string error;
    if (client_.Publish(answer.topic, answer.payload, 1, false, &error) != 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      Unsent(error);
    }
  }

  // Called with mutex_ held.
  void Unsent(const std::string& reason) {
    std::optional<std::string> line = unsent_.Next(
        "platform: an answer as the registrar was not sent: " + reason, Clock::now());
    if (line) std::fprintf(stderr, "%s\n", line->c_str());
  }

  mqtt::Client& client_;
  std::mutex mutex_;
  std::condition_variable due_;
  std::multimap<Clock::time_point, StandInRegistrar::Answer> waiting_;
  bool stopped_ = false;
  RepeatedLine unsent_{std::chrono::minutes(1)};
  std::thread thread_;
};

Platform::Platform(Options options)
    : options_(std::move(options)),
      originator_(options_.originator.empty() ? FreshOriginator("platform") : options_.originator),
      client_(std::make_unique<mqtt::Client>(ClientOptions(options_, originator_))) {
  if (options_.answerAsRegistrar) {
    registrar_ = std::make_unique<StandInRegistrar>();
    answers_ = std::make_unique<Answers>(*client_);
  }
  client_->OnMessage([this](const mqtt::Message& message) {
    if (options_.collect) inbox_.Add(message);
    if (options_.onMessage) options_.onMessage(message);
    // A gateway's request to its registrar: the stand-in carries it out and
    // answers, now or later (StandInRegistrar::Take tells what is one).
    if (!registrar_) return;
    std::optional<StandInRegistrar::Answer> answer = registrar_->Take(message.topic, message.payload);
    if (answer) answers_->Send(std::move(*answer));
  });
}

Platform::~Platform() {
  if (answers_) answers_->Stop();  // its thread sends through the client
  client_->Disconnect();
}

int Platform::Connect(milliseconds timeout, std::string* error) {
  return client_->Connect(timeout, error);
}

int Platform::Subscribe(const std::string& filter, std::string* error) {
  return client_->Subscribe(filter, 1, error);
}

int Platform::Watch(const std::string& device, std::string* error) {
  int rc = Subscribe(protocol::RequestTopic(device, "+"), error);
  return rc != 0 ? rc : Subscribe(protocol::StatusTopic(device), error);
}

int Platform::SubscribeToReplies(const std::string& device, std::string* error) {
  std::string topic = protocol::ResponseTopic(originator_, device);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (replyTopics_.count(topic) != 0) return 0;
  }
  int rc = Subscribe(topic, error);
  if (rc == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    replyTopics_.insert(topic);
  }
  return rc;
}

int Platform::Send(const std::string& device, const std::string& payload, std::string* error) {
  int rc = SubscribeToReplies(device, error);
  if (rc != 0) return rc;
  return client_->PublishAndWait(protocol::RequestTopic(originator_, device), payload, 1, false,
                                 std::chrono::seconds(10), error);
}

std::optional<std::string> Platform::Ask(const std::string& device, const std::string& payload,
                                         milliseconds timeout, std::string* error) {
  if (Send(device, payload, error) != 0) return std::nullopt;
  std::optional<std::string> reply = WaitForReply(device, RequestIdOf(payload), timeout);
  if (!reply && error) {
    *error = "no reply from " + device + " in " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
             " s";
  }
  return reply;
}

std::optional<std::string> Platform::WaitForReply(const std::string& device,
                                                  const std::string& rqi,
                                                  milliseconds timeout) const {
  const std::string topic = protocol::ResponseTopic(originator_, device);
  std::optional<std::string> reply;
  inbox_.WaitUntil(
      [&](const std::vector<mqtt::Message>& all) {
        for (const mqtt::Message& message : all) {
          if (message.topic == topic && (rqi.empty() || RequestIdOf(message.payload) == rqi)) {
            reply = message.payload;
            return true;
          }
        }
        return false;
      },
      timeout);
  return reply;
}

std::vector<Record> Platform::Records(const std::string& device) const {
  return RecordsIn(inbox_.Messages(), device);
}

std::vector<std::string> Platform::Statuses(const std::string& device) const {
  return StatusesIn(inbox_.Messages(), device);
}

std::string Platform::NewRequestId() {
  std::lock_guard<std::mutex> lock(mutex_);
  return originator_ + "-" + std::to_string(++counter_);
}

}  // namespace platform
}  // namespace kiv
