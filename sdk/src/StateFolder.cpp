#include "StateFolder.h"

#include "RandomHex.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kiv {
namespace {

constexpr char kDeviceIdFile[] = "device-id";
constexpr char kDevicePrefix[] = "kiv-";
constexpr size_t kDeviceDigits = 12;
constexpr size_t kDeviceIdLineLimit = 256;  // far more than an id of ours

bool IsGeneratedDeviceId(const std::string& id) {
  const size_t prefix = sizeof kDevicePrefix - 1;
  return id.size() == prefix + kDeviceDigits && id.compare(0, prefix, kDevicePrefix) == 0 &&
         id.find_first_not_of("0123456789abcdef", prefix) == std::string::npos;
}

std::string NewDeviceId() { return kDevicePrefix + RandomHex(kDeviceDigits); }

}  // namespace

std::string ReplaceFile(const std::string& path, const Function<void(std::FILE*)>& write) {
  const std::string written = path + ".new";
  std::FILE* out = std::fopen(written.c_str(), "wb");
  if (out == nullptr) return "cannot create " + written + ": " + std::strerror(errno);
  write(out);
  bool failed = std::ferror(out) != 0;
  if (std::fclose(out) != 0 || failed) {
    std::remove(written.c_str());
    return "cannot write " + written;
  }
  if (std::rename(written.c_str(), path.c_str()) != 0) {
    std::string problem = "cannot rename " + written + " to " + path + ": " + std::strerror(errno);
    std::remove(written.c_str());
    return problem;
  }
  return "";
}

bool ReadLine(std::FILE* file, std::string* line, size_t max) {
  line->clear();
  int c = std::getc(file);
  if (c == EOF) return false;
  for (; c != EOF && c != '\n' && line->size() < max; c = std::getc(file)) {
    line->push_back(static_cast<char>(c));
  }
  return true;
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
  std::string id;
  if (std::FILE* stored = std::fopen(path.c_str(), "r")) {
    bool read = ReadLine(stored, &id, kDeviceIdLineLimit);
    std::fclose(stored);
    if (read && IsGeneratedDeviceId(id)) return id;
    if (read) *problem = path + " holds no device id of the SDK's; a new one replaces it. ";
  }
  id = NewDeviceId();
  std::string failure = ReplaceFile(path, [&id](std::FILE* out) { std::fprintf(out, "%s\n", id.c_str()); });
  if (!failure.empty()) *problem += "cannot store the device id: " + failure;
  return id;
}

}  // namespace kiv
