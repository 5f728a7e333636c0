#include "HttpClient.h"

#include "TestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kivtest {

namespace {

using Clock = std::chrono::steady_clock;

class Socket {
public:
  Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  }
  ~Socket() { close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

private:
  int fd_;
};

[[noreturn]] void Fail(const std::string& what, int port) {
  throw std::runtime_error("HTTP to 127.0.0.1:" + std::to_string(port) + ": " + what);
}

// Waits until fd is ready for events; false once the deadline passed.
bool WaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

void Connect(const Socket& s, int port, Clock::time_point deadline) {
  sockaddr_in addr = LoopbackAddress(port);
  if (connect(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return;
  if (errno != EINPROGRESS) Fail(std::string("connect: ") + strerror(errno), port);
  if (!WaitReady(s.fd(), POLLOUT, deadline)) Fail("no connection before the deadline", port);
  int error = 0;
  socklen_t len = sizeof error;
  getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &len);
  if (error != 0) Fail(std::string("connect: ") + strerror(error), port);
}

void SendAll(const Socket& s, const std::string& bytes, int port, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(s.fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitReady(s.fd(), POLLOUT, deadline)) Fail("request not sent before the deadline", port);
    } else {
      Fail(std::string("send: ") + strerror(errno), port);
    }
  }
}

// Appends what arrives to buffer; false at the end of the connection.
bool ReceiveSome(const Socket& s, std::string& buffer, int port, Clock::time_point deadline) {
  for (;;) {
    char chunk[4096];
    ssize_t n = recv(s.fd(), chunk, sizeof chunk, 0);
    if (n > 0) {
      buffer.append(chunk, static_cast<size_t>(n));
      return true;
    }
    if (n == 0) return false;
    if (errno != EAGAIN && errno != EINTR) Fail(std::string("recv: ") + strerror(errno), port);
    if (!WaitReady(s.fd(), POLLIN, deadline)) Fail("no complete response before the deadline", port);
  }
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string SerializeRequest(const HttpRequest& request, int port) {
  std::string text = request.method + " " + request.target + " HTTP/1.1\r\n" +
                     "Host: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n";
  for (const auto& [name, value] : request.headers) text += name + ": " + value + "\r\n";
  if (request.body) text += "Content-Length: " + std::to_string(request.body->size()) + "\r\n";
  text += "\r\n";
  if (request.body) text += *request.body;
  return text;
}

// Status line and header fields, everything before the blank line.
HttpResponse ParseHead(const std::string& head, int port) {
  HttpResponse response;
  size_t lineEnd = head.find("\r\n");
  std::string statusLine = head.substr(0, lineEnd);
  if (statusLine.compare(0, 7, "HTTP/1.") != 0 || statusLine.size() < 12) {
    Fail("not an HTTP response: " + statusLine, port);
  }
  try {
    response.status = std::stoi(statusLine.substr(9, 3));
  } catch (const std::exception&) {
    Fail("bad status line: " + statusLine, port);
  }
  while (lineEnd != std::string::npos) {
    size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
    size_t colon = line.find(':');
    if (colon == std::string::npos) Fail("bad header line: " + line, port);
    response.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
  }
  return response;
}

std::optional<size_t> ContentLength(const HttpResponse& response, int port) {
  auto header = response.Header("Content-Length");
  if (!header) return std::nullopt;
  if (header->empty() || header->find_first_not_of("0123456789") != std::string::npos) {
    Fail("bad Content-Length: " + *header, port);
  }
  return std::stoul(*header);
}

bool HasNoBody(const std::string& method, int status) {
  return method == "HEAD" || status / 100 == 1 || status == 204 || status == 304;
}

}  // namespace

std::optional<std::string> HttpResponse::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return std::nullopt;
}

HttpResponse HttpExchange(int port, const HttpRequest& request, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  Socket s;
  Connect(s, port, deadline);
  SendAll(s, SerializeRequest(request, port), port, deadline);

  std::string received;
  size_t headEnd;
  while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
    if (!ReceiveSome(s, received, port, deadline)) Fail("connection closed inside the header", port);
  }
  HttpResponse response = ParseHead(received.substr(0, headEnd), port);
  response.body = received.substr(headEnd + 4);
  if (HasNoBody(request.method, response.status)) {
    response.body.clear();
    return response;
  }
  auto encoding = response.Header("Transfer-Encoding");
  if (encoding && strcasecmp(encoding->c_str(), "identity") != 0) {
    Fail("chunked bodies are not supported", port);
  }

  if (auto length = ContentLength(response, port)) {
    while (response.body.size() < *length) {
      if (!ReceiveSome(s, response.body, port, deadline)) Fail("connection closed inside the body", port);
    }
    response.body.resize(*length);
  } else {
    while (ReceiveSome(s, response.body, port, deadline)) {
    }
  }
  return response;
}

HttpResponse OneM2mHttp(int port, const OneM2mHttpRequest& request, std::chrono::milliseconds timeout) {
  static std::atomic<unsigned> counter{0};
  HttpRequest http;
  http.method = request.method;
  http.target = request.target;
  http.headers = {{"X-M2M-Origin", request.origin},
                  {"X-M2M-RI", "kivtest-" + std::to_string(getpid()) + "-" + std::to_string(++counter)},
                  {"X-M2M-RVI", "3"},
                  {"Accept", "application/json"}};
  if (request.body || request.resourceType) {
    std::string type = "application/json";
    if (request.resourceType) type += ";ty=" + std::to_string(*request.resourceType);
    http.headers.emplace_back("Content-Type", type);
  }
  http.body = request.body;
  return HttpExchange(port, http, timeout);
}

}  // namespace kivtest
