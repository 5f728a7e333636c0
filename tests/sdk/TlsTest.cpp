// TLS against mosquitto with certificates made by openssl for the test.
#include "kiv/MqttClient.h"
#include "kiv/Proxy.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

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
  setenv("KIV_TLS_CAFILE", certificates->File("ca.crt").c_str(), 1);
  setenv("KIV_TLS_CERTFILE", certificates->File("client.crt").c_str(), 1);
  setenv("KIV_TLS_KEYFILE", certificates->File("client.key").c_str(), 1);
  std::string uri = "mqtts://127.0.0.1:" + std::to_string(broker.port());
  kiv::ProxyInfo info(kiv::kConnectionMqtt, "key", "token", uri);
  info.SetDeviceId("gw-tls");
  kiv::Proxy proxy(info);
  std::string error = proxy.Connect(10, false, nullptr);
  unsetenv("KIV_TLS_CAFILE");
  unsetenv("KIV_TLS_CERTFILE");
  unsetenv("KIV_TLS_KEYFILE");
  EXPECT_EQ(error, "");
  EXPECT_TRUE(proxy.IsConnected());

  // The console over TLS too: a notify is answered by the SDK itself.
  std::vector<std::string> argv = kivtest::ProgramCommand("tools/gwctl/gwctl");
  for (const std::string& word :
       {std::string("-s"), uri, std::string("--cafile"), certificates->File("ca.crt"),
        std::string("--cert"), certificates->File("client.crt"), std::string("--key"),
        certificates->File("client.key"), std::string("request"), std::string("gw-tls"),
        std::string(R"({"rqi":"n1","op":5})")}) {
    argv.push_back(word);
  }
  kivtest::Process gwctl(argv);
  EXPECT_EQ(gwctl.Wait(60s), 0) << gwctl.Stderr();
}

}  // namespace
