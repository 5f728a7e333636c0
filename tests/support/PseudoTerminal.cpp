#include "PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace kivtest {

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + strerror(errno));
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) Fail("posix_openpt");
  const char* name = nullptr;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || (name = ptsname(master_)) == nullptr) {
    int error = errno;
    close(master_);
    errno = error;
    Fail("cannot set up a pseudo-terminal");
  }
  path_ = name;
  device_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (device_ < 0) {
    int error = errno;
    close(master_);
    errno = error;
    Fail("cannot open " + path_);
  }
}

PseudoTerminal::~PseudoTerminal() {
  close(device_);
  close(master_);
}

void PseudoTerminal::Configure(const std::function<void(struct termios&)>& change) {
  struct termios settings = TerminalSettings(device_);
  change(settings);
  if (tcsetattr(device_, TCSANOW, &settings) != 0) Fail("tcsetattr on " + path_);
}

struct termios TerminalSettings(int descriptor) {
  struct termios settings;
  memset(&settings, 0, sizeof settings);
  if (tcgetattr(descriptor, &settings) != 0) Fail("tcgetattr");
  return settings;
}

}  // namespace kivtest
