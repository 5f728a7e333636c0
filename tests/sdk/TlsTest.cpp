// TLS against mosquitto with certificates made by openssl for the test.
#include "kiv/MqttClient.h"
#include "kiv/Proxy.h"

#include "Console.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class TlsTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    certificates = new kivtest::TempDir;
    otherCa = new kivtest::TempDir;
    kivtest::MakeTestCertificates(certificates->path());
    kivtest::MakeTestCertificates(otherCa->path(), "some other CA");
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
