// A minimal HTTP/1.1 client for servers on 127.0.0.1 that tests start (the
// oneM2M CSE): one request per connection, sent with "Connection: close".
// Reads bodies framed by Content-Length or by the end of the connection;
// chunked bodies are refused with an error.
#ifndef KIV_TEST_HTTP_CLIENT_H
#define KIV_TEST_HTTP_CLIENT_H

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kivtest {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";
  std::string target = "/";  // path with its query, e.g. "/cse-in?rcn=1"
  HttpHeaders headers;       // Host, Connection and Content-Length are added
  std::optional<std::string> body;
};

struct HttpResponse {
  int status = 0;
  HttpHeaders headers;
  std::string body;
  // The first header of that name, compared without regard to case.
  std::optional<std::string> Header(const std::string& name) const;
};

// Sends request to 127.0.0.1:port and reads the whole response, all within
// timeout. Throws std::runtime_error naming what failed (connection refused,
// deadline passed, a response that is not HTTP/1.x).
HttpResponse HttpExchange(int port, const HttpRequest& request,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// A oneM2M request over the HTTP binding: the originator, a fresh request
// identifier and release version "3" travel as X-M2M-* headers.
struct OneM2mHttpRequest {
  std::string method = "GET";
  std::string target;              // e.g. "/cse-in" or "/~/id-gw/gw?fu=1&ty=14"
  std::string origin = "CAdmin";
  std::optional<std::string> body;  // JSON
  std::optional<int> resourceType;  // a create's type: Content-Type ...;ty=N
};

// The response's X-M2M-RSC header tells the oneM2M result; X-M2M-RI echoes
// the request identifier.
HttpResponse OneM2mHttp(int port, const OneM2mHttpRequest& request,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace kivtest

#endif
