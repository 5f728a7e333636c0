// loadconfig on any file contents: a file it refuses changes no setting.
#include "Gateway.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// One file for the whole run, rewritten for each input and removed at exit.
class ConfigFile {
public:
  ConfigFile() {
    const char* folder = getenv("TMPDIR");
    std::string pattern = std::string(folder && *folder ? folder : "/tmp") + "/kiv-fuzz-XXXXXX";
    int fd = mkstemp(&pattern[0]);
    if (fd < 0) abort();
    close(fd);
    path_ = pattern;
  }
  ~ConfigFile() { unlink(path_.c_str()); }
  const std::string& Write(const uint8_t* data, size_t size) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) abort();
    return path_;
  }

private:
  std::string path_;
};

const char kUntouched[] = "untouched";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (kiv::SetLogConfig(0, 0, 0, 0), true);  // no log output
  static ConfigFile file;
  (void)quiet;
  init();
  g_serverURI = kUntouched;
  g_interval = kUntouched;
  if (loadconfig(file.Write(data, size)) != 0 &&
      (g_serverURI != kUntouched || g_interval != kUntouched)) {
    abort();
  }
  return 0;
}
