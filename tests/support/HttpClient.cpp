#include "HttpClient.h"

#include "Process.h"

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <strings.h>
#include <unistd.h>

namespace kivtest {

namespace {

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// What curl --include printed: the status line, the header lines, a blank
// line and the body.
HttpResponse ParseResponse(const std::string& text) {
  HttpResponse response;
  size_t headEnd = text.find("\r\n\r\n");
  if (text.compare(0, 7, "HTTP/1.") != 0 || headEnd == std::string::npos) {
    throw std::runtime_error("not an HTTP response: " + text);
  }
  response.status = std::atoi(text.c_str() + 9);
  response.body = text.substr(headEnd + 4);
  for (size_t start = text.find("\r\n") + 2; start < headEnd;) {
    size_t end = text.find("\r\n", start);
    std::string line = text.substr(start, end - start);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      response.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    start = end + 2;
  }
  return response;
}

}  // namespace

std::optional<std::string> HttpResponse::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return std::nullopt;
}

HttpResponse OneM2mHttp(int port, const OneM2mHttpRequest& request, std::chrono::milliseconds timeout) {
  static std::atomic<unsigned> counter{0};
  std::vector<std::string> command = {
      "curl", "--silent", "--show-error", "--include", "--max-time",
      std::to_string(static_cast<double>(timeout.count()) / 1000), "--request", request.method,
      "--header", "X-M2M-Origin: " + request.origin,
      "--header", "X-M2M-RI: kivtest-" + std::to_string(getpid()) + "-" + std::to_string(++counter),
      "--header", "X-M2M-RVI: 3", "--header", "Accept: application/json",
      "--header", "Expect:"};  // no interim "100 Continue" before the response
  if (request.body || request.resourceType) {
    std::string type = "Content-Type: application/json";
    if (request.resourceType) type += ";ty=" + std::to_string(*request.resourceType);
    command.insert(command.end(), {"--header", type});
  }
  if (request.body) command.insert(command.end(), {"--data-binary", "@-"});
  command.push_back("http://127.0.0.1:" + std::to_string(port) + request.target);
  Process::Options options;
  options.stdinPipe = true;
  Process curl(command, options);
  if (request.body) curl.WriteStdin(*request.body);
  curl.CloseStdin();
  if (curl.Wait(timeout + std::chrono::seconds(5)) != 0) {
    throw std::runtime_error("HTTP to 127.0.0.1:" + std::to_string(port) + request.target + ": " +
                             curl.Stderr());
  }
  return ParseResponse(curl.Stdout());
}

}  // namespace kivtest
