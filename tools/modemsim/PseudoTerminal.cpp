#include "PseudoTerminal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace modemsim {

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + strerror(errno));
}

constexpr int kFullLineMs = 2000;

}  // namespace

PseudoTerminal::PseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    int error = errno;
    if (master_ >= 0) close(master_);
    errno = error;
    Fail("cannot open a pseudo-terminal");
  }
  const char* name = ptsname(master_);
  if (name == nullptr) Fail("ptsname");
  path_ = name;
  device_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (device_ < 0) Fail("cannot open " + path_);
  struct termios tty;
  if (tcgetattr(device_, &tty) != 0) Fail("tcgetattr");
  cfmakeraw(&tty);
  cfsetspeed(&tty, B115200);
  if (tcsetattr(device_, TCSANOW, &tty) != 0) Fail("tcsetattr");
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal() {
  if (device_ >= 0) close(device_);
  if (master_ >= 0) close(master_);
}

void PseudoTerminal::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = write(master_, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) break;
    struct pollfd out = {master_, POLLOUT, 0};
    if (poll(&out, 1, kFullLineMs) == 0) break;
  }
  if (done < bytes.size()) {
    fprintf(stderr, "modemsim: line full, dropped %zu bytes\n", bytes.size() - done);
  }
}

}  // namespace modemsim
