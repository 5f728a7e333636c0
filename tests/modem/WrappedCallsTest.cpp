// Cases that need to see or steer calls the command layer makes into the C
// library. This program is linked with -Wl,--wrap=malloc and
// -Wl,--wrap=tcsetattr: one allocation of a chosen size can be made to fail,
// and the settings handed to the terminal can be taken as a serial port
// would take them (a pseudo-terminal refuses parity).
#include "ModemTestSupport.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

extern "C" void* __real_malloc(size_t size);
extern "C" int __real_tcsetattr(int descriptor, int when, const struct termios* settings);

namespace {
size_t failingSize = 0;  // 0: every allocation goes through
struct termios applied;  // the last settings asked for
bool acceptLikeASerialPort = false;  // keep them, do not hand them on
}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
  if (failingSize != 0 && size == failingSize) {
    failingSize = 0;
    return nullptr;
  }
  return __real_malloc(size);
}

extern "C" int __wrap_tcsetattr(int descriptor, int when, const struct termios* settings) {
  applied = *settings;
  if (acceptLikeASerialPort) return 0;
  return __real_tcsetattr(descriptor, when, settings);
}

namespace {

using kivtest::ConsoleCapture;
using kivtest::ModemLine;

TEST(Modem, PublishWithoutMemoryForItsCommandFailsAfterItsProbes) {
  ModemLine line;
  ConsoleCapture console;
  failingSize = line.message.size() + 100;
  EXPECT_EQ(-1, line.Publish(1));
  EXPECT_EQ(0u, failingSize) << "the command buffer was never allocated";
  EXPECT_NE(std::string::npos,
            console.Text().find("nb_publish_message: no memory for a 102-byte command\n"));
  EXPECT_EQ("AT\r\nAT\r\n", line.simulator.TranscriptOnceEqual("AT\r\nAT\r\n"));
}

TEST(SerialLine, ParityArgumentChoosesParityButNeverStopBitsOrFlowControl) {
  struct Case {
    int parity;
    tcflag_t expected;
  };
  const Case cases[] = {{0, 0}, {PARENB, PARENB}, {PARENB | PARODD, PARENB | PARODD}};
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  int descriptor = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(descriptor, 0);
  struct termios start;
  ASSERT_EQ(0, tcgetattr(descriptor, &start));
  start.c_cflag |= CSTOPB | CRTSCTS;
  ASSERT_EQ(0, tcsetattr(descriptor, TCSANOW, &start));
  acceptLikeASerialPort = true;
  for (const Case& c : cases) {
    ASSERT_EQ(0, set_interface_attribs(descriptor, B115200, c.parity)) << c.parity;
    EXPECT_EQ(c.expected, applied.c_cflag & (PARENB | PARODD)) << c.parity;
    EXPECT_EQ(0u, applied.c_cflag & (CSTOPB | CRTSCTS)) << c.parity;
    EXPECT_EQ(static_cast<tcflag_t>(CS8), applied.c_cflag & CSIZE) << c.parity;
  }
  acceptLikeASerialPort = false;
  close(descriptor);
  close(master);
}

}  // namespace
