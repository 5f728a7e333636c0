#include "PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace kivtest {

namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + strerror(error));
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  bool unlocked = master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0;
  const char* name = unlocked ? ptsname(master_) : nullptr;
  if (name != nullptr) device_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (device_ < 0) {
    int error = errno;
    if (master_ >= 0) close(master_);
    Fail("no pseudo-terminal", error);
  }
  path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
  close(device_);
  close(master_);
}

void PseudoTerminal::Configure(const std::function<void(struct termios&)>& change) {
  struct termios settings = TerminalSettings(device_);
  change(settings);
  if (tcsetattr(device_, TCSANOW, &settings) != 0) Fail("tcsetattr on " + path_, errno);
}

struct termios TerminalSettings(int descriptor) {
  struct termios settings;
  memset(&settings, 0, sizeof settings);
  if (tcgetattr(descriptor, &settings) != 0) Fail("tcgetattr", errno);
  return settings;
}

}  // namespace kivtest
