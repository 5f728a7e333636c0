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

// Written under another name and renamed: a power cut leaves no half id.
std::string StoreDeviceId(const std::string& path, const std::string& id) {
  const std::string written = path + ".new";
  FILE* file = std::fopen(written.c_str(), "w");
  if (file == nullptr) return "cannot create " + written + ": " + std::strerror(errno);
  bool complete = std::fprintf(file, "%s\n", id.c_str()) > 0;
  complete = std::fclose(file) == 0 && complete;
  if (!complete || std::rename(written.c_str(), path.c_str()) != 0) {
    std::string problem = "cannot store the device id in " + path + ": " + std::strerror(errno);
    std::remove(written.c_str());
    return problem;
  }
  return "";
}

}  // namespace

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
  *problem += StoreDeviceId(path, id);
  return id;
}

}  // namespace kiv
