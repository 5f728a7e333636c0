// oneM2M requests over HTTP to a server on 127.0.0.1 that a test started
// (the oneM2M CSE), made with curl.
#ifndef KIV_TEST_HTTP_CLIENT_H
#define KIV_TEST_HTTP_CLIENT_H

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kivtest {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
  int status = 0;
  HttpHeaders headers;
  std::string body;
  // The first header of that name, compared without regard to case.
  std::optional<std::string> Header(const std::string& name) const;
};

// The originator, a fresh request identifier and release version "3" travel
// as X-M2M-* headers.
struct OneM2mHttpRequest {
  std::string method = "GET";
  std::string target;              // e.g. "/cse-in" or "/~/id-gw/gw?fu=1&ty=14"
  std::string origin = "CAdmin";
  std::optional<std::string> body;  // JSON
  std::optional<int> resourceType;  // a create's type: Content-Type ...;ty=N
};

// Sends the request to 127.0.0.1:port and returns the whole response within
// timeout; its X-M2M-RSC header tells the oneM2M result. Throws
// std::runtime_error with curl's reason when there is none.
HttpResponse OneM2mHttp(int port, const OneM2mHttpRequest& request,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace kivtest

#endif
