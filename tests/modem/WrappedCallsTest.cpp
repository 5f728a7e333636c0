// Cases that need to see or steer calls the command layer makes into the C
// library. malloc, tcgetattr and tcsetattr are replaced in this program
// (Interposition.h): one allocation of a chosen size can be made to fail,
// and the terminal calls can go to a serial port played here, which keeps
// what it is given (a pseudo-terminal would refuse parity).
#include "ConsoleCapture.h"
#include "Interposition.h"
#include "ModemSimulator.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <termios.h>

KIV_DECLARE_ORIGINAL(void*, malloc, (size_t size))
KIV_DECLARE_ORIGINAL(int, tcgetattr, (int descriptor, struct termios* settings))
KIV_DECLARE_ORIGINAL(int, tcsetattr, (int descriptor, int when, const struct termios* settings))

namespace {
size_t failingSize = 0;      // 0: every allocation goes through
bool playSerialPort = false;  // the terminal calls go to playedPort, not to the system
struct termios playedPort;    // the played port's settings
}  // namespace

extern "C" void* KIV_REPLACEMENT(malloc)(size_t size) {
  if (failingSize != 0 && size == failingSize) {
    failingSize = 0;
    return nullptr;
  }
  return KIV_ORIGINAL(malloc)(size);
}

extern "C" int KIV_REPLACEMENT(tcgetattr)(int descriptor, struct termios* settings) {
  if (!playSerialPort) return KIV_ORIGINAL(tcgetattr)(descriptor, settings);
  *settings = playedPort;
  return 0;
}

extern "C" int KIV_REPLACEMENT(tcsetattr)(int descriptor, int when, const struct termios* settings) {
  if (!playSerialPort) return KIV_ORIGINAL(tcsetattr)(descriptor, when, settings);
  playedPort = *settings;
  return 0;
}

namespace {

using kivtest::ConsoleCapture;
using kivtest::SimulatedModem;

TEST(Modem, PublishWithoutMemoryForItsCommandFailsAfterItsProbes) {
  SimulatedModem modem;
  ConsoleCapture console;
  failingSize = modem.message.size() + 100;
  EXPECT_EQ(-1, modem.Publish(1));
  EXPECT_EQ(0u, failingSize) << "the command buffer was never allocated";
  EXPECT_NE(std::string::npos,
            console.Text().find("nb_publish_message: no memory for a 102-byte command\n"));
  EXPECT_EQ("AT\r\nAT\r\n", modem.Written());
}

TEST(SerialLineSettings, ParityArgumentChoosesParityButNeverStopBitsOrFlowControl) {
  struct Case {
    int parity;
    tcflag_t expected;
  };
  const Case cases[] = {{0, 0}, {PARENB, PARENB}, {PARENB | PARODD, PARENB | PARODD}};
  playSerialPort = true;
  for (const Case& c : cases) {
    playedPort = termios();
    playedPort.c_cflag = CSTOPB | CRTSCTS | CS7;
    ASSERT_EQ(0, set_interface_attribs(3, B115200, c.parity)) << c.parity;
    EXPECT_EQ(c.expected, playedPort.c_cflag & (PARENB | PARODD)) << c.parity;
    EXPECT_EQ(0u, playedPort.c_cflag & (CSTOPB | CRTSCTS)) << c.parity;
    EXPECT_EQ(static_cast<tcflag_t>(CS8), playedPort.c_cflag & CSIZE) << c.parity;
  }
  playSerialPort = false;
}

}  // namespace
