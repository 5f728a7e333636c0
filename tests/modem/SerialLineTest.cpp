// The serial line on a real pseudo-terminal: the settings modemctl applies,
// its error texts, and the half-second read timeout the command layer uses.
#include "ModemTestSupport.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using kivtest::ConsoleCapture;

// A pseudo-terminal whose device end starts with settings of our choice,
// kept open so that they survive modemctl opening and closing it.
class PseudoTerminal {
public:
  explicit PseudoTerminal(tcflag_t iflag = 0, tcflag_t cflag = 0) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(0, grantpt(master_));
    EXPECT_EQ(0, unlockpt(master_));
    path_ = ptsname(master_);
    device_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    struct termios tty;
    EXPECT_EQ(0, tcgetattr(device_, &tty));
    tty.c_iflag |= iflag;
    tty.c_cflag |= cflag;
    EXPECT_EQ(0, tcsetattr(device_, TCSANOW, &tty));
  }
  ~PseudoTerminal() {
    close(device_);
    close(master_);
  }
  std::string path() const { return path_; }

private:
  int master_ = -1;
  int device_ = -1;
  std::string path_;
};

struct termios SettingsOf(int descriptor) {
  struct termios tty;
  EXPECT_EQ(0, tcgetattr(descriptor, &tty));
  return tty;
}

class SerialLine : public ::testing::Test {
protected:
  void TearDown() override {
    if (fd >= 0) nb_close_serial();
    fd = -1;
  }
};

TEST_F(SerialLine, MissingDevicePrintsTheOpenErrorAndReturnsMinusOne) {
  ConsoleCapture console;
  std::string path = "/nonexistent/ttyS9";
  EXPECT_EQ(-1, nb_init_serial(path.data()));
  EXPECT_LT(fd, 0);
  EXPECT_EQ("error 2 opening /nonexistent/ttyS9: No such file or directory\n", console.Text());
}

TEST_F(SerialLine, OpensRaw115200EightNoneOneWithoutFlowControl) {
  // Flags the line must clear, and input flags it must leave alone.
  PseudoTerminal line(IGNBRK | IXON | IXOFF | IXANY | ICRNL | INLCR, CSTOPB | CRTSCTS | PARENB);
  std::string path = line.path();
  ConsoleCapture console;
  ASSERT_EQ(0, nb_init_serial(path.data()));
  struct termios tty = SettingsOf(fd);
  EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tty));
  EXPECT_EQ(static_cast<speed_t>(B115200), cfgetispeed(&tty));
  EXPECT_EQ(static_cast<tcflag_t>(CS8), tty.c_cflag & CSIZE);
  EXPECT_EQ(0u, tty.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS));
  EXPECT_EQ(static_cast<tcflag_t>(CREAD | CLOCAL), tty.c_cflag & (CREAD | CLOCAL));
  EXPECT_EQ(0u, tty.c_iflag & (IGNBRK | IXON | IXOFF | IXANY));
  EXPECT_EQ(static_cast<tcflag_t>(ICRNL | INLCR), tty.c_iflag & (ICRNL | INLCR));
  EXPECT_EQ(0u, tty.c_lflag);
  EXPECT_EQ(0u, tty.c_oflag);
  EXPECT_EQ(0, tty.c_cc[VMIN]);
  EXPECT_EQ(5, tty.c_cc[VTIME]);
  EXPECT_EQ("", console.Text());
  EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST_F(SerialLine, ReadWithNothingArrivingReturnsZeroAfterHalfASecond) {
  PseudoTerminal line;
  std::string path = line.path();
  ASSERT_EQ(0, nb_init_serial(path.data()));
  char byte;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, read(fd, &byte, 1));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(400));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(SerialLine, BlockingFlagSetsReadMinimumToOneByte) {
  PseudoTerminal line;
  int descriptor = open(line.path().c_str(), O_RDWR | O_NOCTTY);
  for (int flag : {7, 1, 0}) {
    set_blocking(descriptor, flag);
    struct termios tty = SettingsOf(descriptor);
    EXPECT_EQ(flag ? 1 : 0, tty.c_cc[VMIN]) << flag;
    EXPECT_EQ(5, tty.c_cc[VTIME]) << flag;
  }
  close(descriptor);
}

TEST_F(SerialLine, SettingsErrorsOnANonTerminalArePrintedWithoutLineFeed) {
  kivtest::TempDir dir;
  std::string path = dir.File("not-a-tty");
  kivtest::WriteFile(path, "");
  ConsoleCapture console;
  // Configuration failures do not fail the open.
  ASSERT_EQ(0, nb_init_serial(path.data()));
  std::string notTty = std::to_string(ENOTTY);
  EXPECT_EQ("error " + notTty + " from tcgetattr" + "error " + notTty + " from tggetattr",
            console.Text());
  EXPECT_EQ(-1, set_interface_attribs(fd, B115200, 0));
}

TEST_F(SerialLine, CloseClosesTheDescriptorAndKeepsTheVariable) {
  PseudoTerminal line;
  std::string path = line.path();
  ASSERT_EQ(0, nb_init_serial(path.data()));
  int opened = fd;
  nb_close_serial();
  EXPECT_EQ(opened, fd);
  EXPECT_EQ(-1, fcntl(opened, F_GETFD));
  fd = -1;
}

}  // namespace
