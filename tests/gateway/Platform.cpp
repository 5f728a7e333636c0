#include "Platform.h"

#include "TestSupport.h"

#include <stdexcept>
#include <unistd.h>

namespace gwtest {

namespace {

kiv::mqtt::Options ClientOptions(const std::string& uri) {
  kiv::mqtt::Options options;
  options.serverUri = uri;
  options.minRetry = std::chrono::milliseconds(100);
  options.maxRetry = std::chrono::milliseconds(500);
  return options;
}

}  // namespace

Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string error;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &error)) {
    throw std::runtime_error("not JSON (" + error + "): " + text);
  }
  return value;
}

Platform::Platform(const std::string& uri, const std::string& device)
    : device_(device),
      originator_("e2e-" + std::to_string(getpid())),
      client_(ClientOptions(uri)) {
  client_.OnMessage([this](const kiv::mqtt::Message& message) { Receive(message); });
  std::string error;
  if (client_.Connect(std::chrono::seconds(20), &error) != 0) {
    throw std::runtime_error("platform cannot connect: " + error);
  }
  for (const std::string& filter : {"/oneM2M/req/" + device_ + "/+/json",
                                    "/oneM2M/resp/" + originator_ + "/" + device_ + "/json",
                                    "/kiv/status/" + device_}) {
    if (client_.Subscribe(filter, 1, &error) != 0) {
      throw std::runtime_error("platform cannot subscribe: " + error);
    }
  }
}

Platform::~Platform() { client_.Disconnect(); }

void Platform::Receive(const kiv::mqtt::Message& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (message.topic == "/kiv/status/" + device_) {
    statuses_.push_back(message.payload);
    return;
  }
  Json::Value body;
  try {
    body = ParseJson(message.payload);
  } catch (const std::exception&) {
    return;
  }
  if (message.topic.rfind("/oneM2M/resp/", 0) == 0) {
    responses_[body["rqi"].asString()] = body;
  } else if (body["op"].asInt() == 1) {
    records_.push_back(body["pc"]["m2m:cin"]["con"].asString());
    recordTimes_.push_back(std::chrono::steady_clock::now());
  } else if (body["op"].asInt() == 5) {
    notifications_.push_back(body["pc"]["m2m:sgn"]["nev"]["rep"]["m2m:cin"]["con"].asString());
  }
}

std::vector<std::string> Platform::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<std::chrono::steady_clock::time_point> Platform::RecordTimes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recordTimes_;
}

std::vector<std::string> Platform::Notifications() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return notifications_;
}

std::vector<std::string> Platform::Statuses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statuses_;
}

bool Platform::WaitForRecords(size_t count, std::chrono::milliseconds timeout) const {
  return kivtest::WaitUntil([&] { return Records().size() >= count; }, timeout);
}

bool Platform::WaitForStatus(const std::string& status, std::chrono::milliseconds timeout) const {
  return kivtest::WaitUntil(
      [&] {
        std::vector<std::string> seen = Statuses();
        return !seen.empty() && seen.back() == status;
      },
      timeout);
}

void Platform::Send(const std::string& body) {
  std::string error;
  if (client_.PublishAndWait("/oneM2M/req/" + originator_ + "/" + device_ + "/json", body, 1,
                             false, std::chrono::seconds(10), &error) != 0) {
    throw std::runtime_error("platform cannot send a request: " + error);
  }
}

bool Platform::HasResponse(const std::string& requestId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return responses_.count(requestId) != 0;
}

std::optional<Json::Value> Platform::Response(const std::string& requestId,
                                              std::chrono::milliseconds timeout) const {
  if (!kivtest::WaitUntil([&] { return HasResponse(requestId); }, timeout)) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  return responses_.at(requestId);
}

}  // namespace gwtest
