#include "CseFixture.h"

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace interop {

void CseFixture::SetUp() {
  if (auto why = kivtest::TestCse::Unavailable()) GTEST_SKIP() << *why;
  broker_.emplace();
  cse_.emplace(kivtest::TestCse::Options{broker_->port(), checkIntervalSeconds_});
  std::cout << "oneM2M CSE ready in " << cse_->startDuration().count() << " ms\n";
}

void CseFixture::TearDown() {
  if (HasFailure() && cse_) std::cerr << cse_->Log();
}

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::istringstream stream(text);
  try {
    stream >> value;
  } catch (const Json::Exception& e) {
    throw std::runtime_error(std::string("not JSON (") + e.what() + "): " + text);
  }
  return value;
}

namespace {

kiv::mqtt::Options ClientOptions(const std::string& uri) {
  kiv::mqtt::Options options;
  options.serverUri = uri;
  return options;
}

}  // namespace

MqttOriginator::MqttOriginator(const std::string& brokerUri, const std::string& originator,
                               const std::string& cseId)
    : requestTopic_("/oneM2M/req/" + originator + "/" + cseId + "/json"),
      responseTopic_("/oneM2M/resp/" + originator + "/" + cseId + "/json"),
      client_(ClientOptions(brokerUri)) {
  client_.OnMessage([this](const kiv::mqtt::Message& message) { Receive(message); });
  std::string error;
  if (client_.Connect(std::chrono::seconds(10), &error) != kiv::mqtt::kOk ||
      client_.Subscribe(responseTopic_, 1, &error) != kiv::mqtt::kOk) {
    throw std::runtime_error("MQTT originator on " + brokerUri + ": " + error);
  }
}

MqttOriginator::~MqttOriginator() { client_.Disconnect(); }

void MqttOriginator::Send(const Json::Value& primitive) {
  std::string error;
  if (client_.PublishAndWait(requestTopic_, Json::writeString(Json::StreamWriterBuilder(), primitive), 1,
                             false, std::chrono::seconds(10), &error) != kiv::mqtt::kOk) {
    throw std::runtime_error("publish on " + requestTopic_ + ": " + error);
  }
}

std::optional<Json::Value> MqttOriginator::Response(const std::string& requestId,
                                                    std::chrono::milliseconds timeout) const {
  std::optional<Json::Value> response;
  kivtest::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = responses_.find(requestId);
        if (found != responses_.end()) response = found->second;
        return response.has_value();
      },
      timeout);
  return response;
}

void MqttOriginator::Receive(const kiv::mqtt::Message& message) {
  Json::Value body;
  try {
    body = ParseJson(message.payload);
  } catch (const std::runtime_error& e) {
    std::cerr << message.topic << ": " << e.what() << "\n";
    return;
  }
  if (!body.isObject()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  responses_[body["rqi"].asString()] = body;
}

}  // namespace interop
