#include "StateFolder.h"

#include "RandomHex.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kiv {
namespace {

constexpr char kDeviceIdFile[] = "device-id";
constexpr char kDevicePrefix[] = "kiv-";
constexpr size_t kDeviceDigits = 12;

bool IsGeneratedDeviceId(const std::string& id) {
  const size_t prefix = sizeof kDevicePrefix - 1;
  return id.size() == prefix + kDeviceDigits && id.compare(0, prefix, kDevicePrefix) == 0 &&
         id.find_first_not_of("0123456789abcdef", prefix) == std::string::npos;
}

std::string NewDeviceId() { return kDevicePrefix + RandomHex(kDeviceDigits); }

}  // namespace

std::string ReplaceFile(const std::string& path, const std::function<void(std::ostream&)>& write) {
  const std::string written = path + ".new";
  {
    std::ofstream out(written, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot create " + written + ": " + std::strerror(errno);
    write(out);
    out.flush();
    if (!out) {
      std::remove(written.c_str());
      return "cannot write " + written;
    }
  }
  if (std::rename(written.c_str(), path.c_str()) != 0) {
    std::string problem = "cannot rename " + written + " to " + path + ": " + std::strerror(errno);
    std::remove(written.c_str());
    return problem;
  }
  return "";
}

std::string StateFilePath(const std::string& name) {
  const char* folders = std::getenv("STATE_DIRECTORY");
  if (folders == nullptr || *folders == '\0') return "";
  std::string list = folders;
  return list.substr(0, list.find(':')) + "/" + name;
}

std::string GeneratedDeviceId(std::string* problem) {
  problem->clear();
  const std::string path = StateFilePath(kDeviceIdFile);
  if (path.empty()) return NewDeviceId();
  std::ifstream stored(path);
  std::string id;
  if (stored && std::getline(stored, id) && IsGeneratedDeviceId(id)) return id;
  if (stored) *problem = path + " holds no device id of the SDK's; a new one replaces it. ";
  id = NewDeviceId();
  std::string failure = ReplaceFile(path, [&id](std::ostream& out) { out << id << '\n'; });
  if (!failure.empty()) *problem += "cannot store the device id: " + failure;
  return id;
}

}  // namespace kiv
