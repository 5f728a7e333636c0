// TLS against mosquitto with certificates made by openssl for the test.
#include "kiv/MqttClient.h"
#include "kiv/Proxy.h"

#include "Console.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <iostream>
#include <thread>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class TlsTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    certificates = new kivtest::TempDir;
    otherCa = new kivtest::TempDir;
    kivtest::MakeTestCertificates(certificates->path());
    kivtest::MakeTestCertificates(otherCa->path(), "some other CA");
    const std::string dir = certificates->path();
    kivtest::MakeDatedCertificate(dir, "expired", "IP:127.0.0.1", "200101000000Z", "200201000000Z");
    kivtest::MakeDatedCertificate(dir, "future", "IP:127.0.0.1", "400101000000Z", "400201000000Z");
    kivtest::MakeDatedCertificate(dir, "elsewhere", "DNS:broker.example", "200101000000Z",
                                  "400101000000Z");
    kivtest::MakeDatedCertificate(dir, "old-client", "DNS:kiv-client", "200101000000Z",
                                  "200201000000Z");
  }
  static void TearDownTestSuite() {
    delete certificates;
    delete otherCa;
  }
  static kivtest::TestBroker::Tls BrokerTls(bool requireClientCertificate) {
    return {certificates->File("ca.crt"), certificates->File("server.crt"),
            certificates->File("server.key"), requireClientCertificate};
  }
  static kivtest::TempDir* certificates;
  static kivtest::TempDir* otherCa;
};
kivtest::TempDir* TlsTest::certificates = nullptr;
kivtest::TempDir* TlsTest::otherCa = nullptr;

TEST_F(TlsTest, BrokerIsVerifiedAgainstTheGivenCa) {
  for (bool clientCertificate : {false, true}) {
    kivtest::TestBroker broker(BrokerTls(clientCertificate));
    struct Case {
      std::string caFile;
      bool withClientCertificate;
      bool connects;
    } cases[] = {
        {certificates->File("ca.crt"), true, true},
        {certificates->File("ca.crt"), false, !clientCertificate},
        {otherCa->File("ca.crt"), true, false},
        {"", true, false},  // the system's trust store does not know our test CA
    };
    for (const auto& c : cases) {
      kiv::mqtt::Options options;
      options.serverUri = broker.uri();
      options.caFile = c.caFile;
      if (c.withClientCertificate) {
        options.certFile = certificates->File("client.crt");
        options.keyFile = certificates->File("client.key");
      }
      kiv::mqtt::Client client(options);
      std::string error;
      int rc = client.Connect(c.connects ? 10s : 2s, &error);
      std::string what =
          "CA " + c.caFile + (c.withClientCertificate ? " with" : " without") +
          " client certificate, broker requires one: " + std::to_string(clientCertificate);
      EXPECT_EQ(rc == 0, c.connects) << what << ": " << error;
      EXPECT_EQ(client.IsConnected(), c.connects) << what;
      EXPECT_EQ(error.empty(), c.connects) << error;
    }
  }
}

// Each failing TLS connection is named: what the broker's certificate
// verification found, or what the broker said of ours.
TEST_F(TlsTest, FailuresSayWhatIsWrong) {
  struct Case {
    std::string serverCertificate;
    bool requireClientCertificate;
    bool trustOtherCa;
    std::string clientCertificate;  // "" for none
    std::string named;
  } cases[] = {
      {"expired", false, false, "", "the broker's certificate has expired (not valid after Feb  1"},
      {"future", false, false, "", "the broker's certificate is not yet valid (not before Jan  1"},
      {"server", false, true, "", "the broker's certificate comes from an unknown CA"},
      {"elsewhere", false, false, "", "the broker's certificate does not name the host 127.0.0.1"},
      {"server", true, false, "", "the broker asked for a client certificate and none was given"},
      {"server", true, false, "old-client", "the broker refused the client certificate"},
  };
  for (const auto& c : cases) {
    kivtest::TestBroker broker({certificates->File("ca.crt"),
                                certificates->File(c.serverCertificate + ".crt"),
                                certificates->File(c.serverCertificate + ".key"),
                                c.requireClientCertificate});
    kiv::mqtt::Options options;
    options.serverUri = broker.uri();
    options.caFile = (c.trustOtherCa ? otherCa : certificates)->File("ca.crt");
    if (!c.clientCertificate.empty()) {
      options.certFile = certificates->File(c.clientCertificate + ".crt");
      options.keyFile = certificates->File(c.clientCertificate + ".key");
    }
    kiv::mqtt::Client client(options);
    std::string error;
    // The reason is found after the first failure; a slow machine may need
    // a few waits for it.
    EXPECT_TRUE(kivtest::WaitUntil([&] {
      EXPECT_NE(client.Connect(300ms, &error), kiv::mqtt::kOk);
      return error.find(c.named) != std::string::npos;
    }, 20s)) << c.named << "\n  got: " << error;
    std::cout << "[tls] " << c.serverCertificate << " / "
              << (c.clientCertificate.empty() ? "no client certificate" : c.clientCertificate)
              << ": " << error << "\n";
  }
}

// A stop (Disconnect, from another thread) ends a Connect that waits on a
// TLS handshake the peer never answers, or on a broker whose certificate
// fails, and the proxy goes at once: neither the library's handshake nor the
// failure's diagnosis holds it up.
TEST_F(TlsTest, AStopEndsAConnectInTheMiddleOfTls) {
  int silentPort = 0;
  int silent = kivtest::LoopbackListener(&silentPort);  // takes the TCP connection, says nothing
  kivtest::TestBroker expired({certificates->File("ca.crt"), certificates->File("expired.crt"),
                               certificates->File("expired.key"), false});
  struct Case {
    std::string what, uri;
  } cases[] = {
      {"handshake unanswered", "ssl://127.0.0.1:" + std::to_string(silentPort)},
      {"broker's certificate failing", expired.uri()},
  };
  for (const auto& c : cases) {
    kivtest::ScopedEnvironment environment({{"KIV_TLS_CAFILE", certificates->File("ca.crt")}});
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", c.uri);
    info.SetDeviceId("gw-stop");
    auto proxy = std::make_unique<kiv::Proxy>(info);
    std::string error;
    std::thread connecting([&] { error = proxy->Connect(10, false, nullptr); });
    // Not a wait for an event: the stop comes at a moment of our choosing,
    // inside the handshake or after a failure or two.
    std::this_thread::sleep_for(500ms);
    auto stop = std::chrono::steady_clock::now();
    proxy->Disconnect();
    connecting.join();
    proxy.reset();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stop);
    EXPECT_EQ(error, "disconnected while connecting") << c.what;
    std::cout << "[stop] " << c.what << ": " << took.count() << " ms\n";
  }
  close(silent);
}

TEST_F(TlsTest, ProxyTakesItsTlsFilesFromTheEnvironment) {
  kivtest::TestBroker broker(BrokerTls(true));
  std::string uri = "mqtts://127.0.0.1:" + std::to_string(broker.port());
  std::string error;
  auto proxy = [&] {
    kivtest::ScopedEnvironment environment({{"KIV_TLS_CAFILE", certificates->File("ca.crt")},
                                            {"KIV_TLS_CERTFILE", certificates->File("client.crt")},
                                            {"KIV_TLS_KEYFILE", certificates->File("client.key")}});
    kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", uri);
    info.SetDeviceId("gw-tls");
    auto made = std::make_unique<kiv::Proxy>(info);
    error = made->Connect(10, false, nullptr);
    return made;
  }();
  EXPECT_EQ(error, "");
  EXPECT_TRUE(proxy->IsConnected());

  // The console over TLS too (its main in this process): a notify is
  // answered by the SDK itself.
  kivtest::CommandLine console("gwctl", {"-s", uri, "--cafile", certificates->File("ca.crt"), "--cert",
                                         certificates->File("client.crt"), "--key",
                                         certificates->File("client.key"), "request", "gw-tls",
                                         R"({"rqi":"n1","op":5})"});
  EXPECT_EQ(gwctl::RunConsole(console.argc(), console.argv()), gwctl::kExitOk);
}

}  // namespace
