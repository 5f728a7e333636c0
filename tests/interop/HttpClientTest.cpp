// The loopback HTTP client the CSE tests use, against a server that answers
// one connection with canned bytes.
#include "HttpClient.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace interop {
namespace {

using namespace std::chrono_literals;

// Accepts one connection on a free loopback port, reads the request head
// (and a body of the length it names), writes reply and closes. With no
// reply it holds the connection until the client gives up.
class OneShotServer {
public:
  explicit OneShotServer(std::string reply)
      : reply_(std::move(reply)), listener_(kivtest::LoopbackListener(&port_)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~OneShotServer() {
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }
  const std::string& request() const { return request_; }  // after the exchange

private:
  void Serve() {
    int connection = accept(listener_, nullptr, nullptr);
    char chunk[1024];
    ssize_t n;
    while (!RequestComplete() && (n = recv(connection, chunk, sizeof chunk, 0)) > 0) {
      request_.append(chunk, static_cast<size_t>(n));
    }
    if (reply_.empty()) {
      while (recv(connection, chunk, sizeof chunk, 0) > 0) {
      }
    } else {
      send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    }
    close(connection);
  }
  bool RequestComplete() const {
    size_t end = request_.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t length = request_.find("Content-Length: ");
    if (length == std::string::npos) return true;
    return request_.size() >= end + 4 + std::stoul(request_.substr(length + 16));
  }

  std::string reply_;
  std::string request_;
  int port_ = 0;
  int listener_;  // after port_, which it fills
  std::thread thread_;
};

TEST(HttpClientTest, ReadsBodiesFramedByLengthOrByClose) {
  struct Case {
    const char* reply;
    int status;
    const char* body;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200, "hello"},
      {"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nokEXTRA", 200, "ok"},
      {"HTTP/1.0 404 NOT FOUND\r\nConnection: close\r\n\r\nno such\r\nthing", 404, "no such\r\nthing"},
      {"HTTP/1.1 204 No Content\r\nX-M2M-RSC: 2002\r\n\r\n", 204, ""},
  };
  for (const auto& c : cases) {
    OneShotServer server(c.reply);
    kivtest::HttpResponse response = kivtest::HttpExchange(server.port(), {});
    EXPECT_EQ(response.status, c.status) << c.reply;
    EXPECT_EQ(response.body, c.body) << c.reply;
  }
}

TEST(HttpClientTest, RefusesWhatIsNotAWholeHttpResponse) {
  for (const char* reply : {"SSH-2.0-OpenSSH\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort",
                            "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
                            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"}) {
    OneShotServer server(reply);
    EXPECT_THROW(kivtest::HttpExchange(server.port(), {}), std::runtime_error) << reply;
  }
}

TEST(HttpClientTest, GivesUpAtTheDeadline) {
  OneShotServer silent("");
  EXPECT_THROW(kivtest::HttpExchange(silent.port(), {}, 200ms), std::runtime_error);
}

TEST(HttpClientTest, SendsOneM2mHeadersAndTheBody) {
  OneShotServer server("HTTP/1.1 201 Created\r\nX-M2M-RSC: 2001\r\nContent-Length: 0\r\n\r\n");
  auto response =
      kivtest::OneM2mHttp(server.port(), {"POST", "/cse-in/gw", "Cgw", std::string("{\"m2m:cnt\":{}}"), 3});
  EXPECT_EQ(response.Header("x-m2m-rsc"), "2001");
  const std::string& request = server.request();
  for (const char* line : {"POST /cse-in/gw HTTP/1.1\r\n", "X-M2M-Origin: Cgw\r\n", "X-M2M-RVI: 3\r\n",
                           "X-M2M-RI: kivtest-", "Content-Type: application/json;ty=3\r\n",
                           "Content-Length: 14\r\n\r\n{\"m2m:cnt\":{}}"}) {
    EXPECT_NE(request.find(line), std::string::npos) << line << " missing in:\n" << request;
  }
}

}  // namespace
}  // namespace interop
