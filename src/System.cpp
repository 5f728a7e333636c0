#include "System.h"

#include "kiv/Proxy.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr const char* kLogFile = "src/System";
// Linux keeps interface names below IFNAMSIZ (16) bytes with the NUL.
constexpr size_t kLongestInterfaceName = 15;

struct PipeCloser {
  void operator()(FILE* pipe) const { pclose(pipe); }
};

// The helpers' finishing step: drop the last character (the commands end
// with a newline), then upper-case the rest.
std::string FinishOutput(std::string output) {
  if (output.empty()) return output;
  output.pop_back();
  for (char& c : output) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return output;
}

}  // namespace

#define SYSTEM_LOG(category, function, ...) \
  kiv::PrintLog(-1, category, "", kLogFile, __LINE__, function, __VA_ARGS__)

namespace System {

std::string ReadAllOutput(FILE* stream) {
  std::string result;
  char buffer[128];
  while (!feof(stream)) {
    if (fgets(buffer, sizeof buffer, stream) != nullptr) {
      result.append(buffer);
    } else if (ferror(stream)) {
      if (errno != EINTR) break;
      clearerr(stream);
    }
  }
  return result;
}

std::string ExecuteShellCommand(const char* cmd) {
  if (cmd == nullptr) throw std::runtime_error("popen() failed!");
  // Closed also when reading throws (memory exhausted): the text is dropped.
  std::unique_ptr<FILE, PipeCloser> pipe(popen(cmd, "r"));
  if (!pipe) throw std::runtime_error("popen() failed!");
  return ReadAllOutput(pipe.get());
}

bool IsPlainInterfaceName(const char* ifname) {
  if (ifname == nullptr) return false;
  size_t length = strlen(ifname);
  if (length == 0 || length > kLongestInterfaceName) return false;
  if (strcmp(ifname, ".") == 0 || strcmp(ifname, "..") == 0) return false;
  for (const char* c = ifname; *c != '\0'; ++c) {
    if (!isalnum(static_cast<unsigned char>(*c)) && *c != '.' && *c != '-' && *c != '_') {
      return false;
    }
  }
  return true;
}

std::string GetIfMacAddr(const char* ifname) {
  std::string output;
  if (IsPlainInterfaceName(ifname)) {
    char command[256] = {0};
    snprintf(command, sizeof command, "cat /sys/class/net/%s/address | sed 's/://g'", ifname);
    output = ExecuteShellCommand(command);
  }
  if (output.empty()) {
    SYSTEM_LOG(kiv::kLogError, "GetIfMacAddr", "Error while get %s mac address",
               ifname ? ifname : "(null)");
    return output;
  }
  return FinishOutput(output);
}

}  // namespace System

std::string GetTunIpAddr() {
  std::string output = System::ExecuteShellCommand("ip a s dev tun0 | awk '/inet / {print $2}'");
  if (output.empty()) {
    SYSTEM_LOG(kiv::kLogError, "GetTunIpAddr", "Error while get TUN addresss");
    return output;
  }
  return FinishOutput(output);
}

std::string GetLocalIpAddr() {
  std::string address = FinishOutput(System::ExecuteShellCommand(
      "ifconfig | grep -A 1 'eth0' | tail -1 | cut -d ':' -f 2 | cut -d ' ' -f 1"));
  SYSTEM_LOG(kiv::kLogInformation, "GetLocalIpAddr", "Local IP: %s", address.c_str());
  return address;
}
