// The real serial line on pseudo-terminals: the settings modemctl applies,
// its error texts, the half-second read timeout the command layer relies on,
// one bring-up through the simulator program, and the demonstration when
// its device does not exist.
#include "ConsoleCapture.h"
#include "ModemSimulator.h"
#include "PseudoTerminal.h"
#include "TestSupport.h"
#include "modemctl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using kivtest::ConsoleCapture;
using kivtest::Occurrences;
using kivtest::TerminalSettings;
using modemsim::PseudoTerminal;

const std::chrono::milliseconds kDeadline(120000);

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
  PseudoTerminal line;
  // Flags the line must clear, and input flags it must leave alone.
  kivtest::ConfigureTerminal(line.device(), [](struct termios& tty) {
    tty.c_iflag |= IGNBRK | IXON | IXOFF | IXANY | ICRNL | INLCR;
    tty.c_cflag |= CSTOPB | CRTSCTS | PARENB;
  });
  std::string path = line.path();
  ConsoleCapture console;
  ASSERT_EQ(0, nb_init_serial(path.data()));
  struct termios tty = TerminalSettings(fd);
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
  for (int flag : {7, 1, 0}) {
    set_blocking(line.device(), flag);
    struct termios tty = TerminalSettings(line.device());
    EXPECT_EQ(flag ? 1 : 0, tty.c_cc[VMIN]) << flag;
    EXPECT_EQ(5, tty.c_cc[VTIME]) << flag;
  }
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

// The command layer on the real line, with real half-second silences: the
// simulator program gets every command, the console shows the dialogue, and
// what the simulator is told to send arrives.
TEST_F(SerialLine, BringsTheSimulatedModemUpAndHearsIt) {
  kivtest::ModemSimulator simulator;
  std::string device = simulator.device();
  ConsoleCapture console;
  ASSERT_EQ(0, nb_init_serial(device.data()));
  EXPECT_EQ(0, nb_init_bc66());
  const std::string bringUp = "AT\r\nAT\r\nAT\r\nAT+CPIN?\r\nAT+CEREG?\r\nAT+CGATT?\r\n";
  EXPECT_EQ(bringUp, simulator.TranscriptOnceEqual(bringUp));
  simulator.Send("+QMTRECV: 0,5,\"t\",\"d\"\r\n");
  nb_loop_read();
  std::string text = console.Text();
  EXPECT_NE(std::string::npos,
            text.find("Send AT+CPIN?\r\n...\nAT+CPIN?\r\n\r\n+CPIN: READY\r\n\r\nOKCommand ok!"));
  EXPECT_NE(std::string::npos, text.find("OKCommand ok!\r\n+QMTRECV: 0,5,\"t\",\"d\"\r\n"));
}

// Without its device the program goes on: each pass drains for as long as
// silence would last, every publish attempt fails, and the dead line is
// reported once each way, not once per command.
TEST(ModemDemoAlone, WithoutAModemItKeepsLoopingAndTrying) {
  kivtest::Process::Options options;
  options.env["MODEMCTL_DEVICE"] = "/nonexistent/ttyS9";
  auto start = std::chrono::steady_clock::now();
  kivtest::Process demo(kivtest::ProgramCommand("modem/modemctl"), options);
  ASSERT_TRUE(demo.WaitForOutput("error 2 opening /nonexistent/ttyS9: No such file or directory\n",
                                 kDeadline));
  // Three bring-up probes, then the probes of the first publish attempt.
  EXPECT_TRUE(demo.WaitForOutput("Send AT\r\n...", kDeadline, kivtest::Process::Stream::kOut, 5))
      << demo.Stdout();
  // The pause after the open and four exchanges (a drain and a cycle, 1.01 s
  // each) came before: a dead line does not spin.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
  EXPECT_TRUE(demo.Running());
  std::string out = demo.Stdout();
  EXPECT_EQ(std::string::npos, out.find("Send AT+QMTCONN=")) << "no connect after a failed bring-up";
  EXPECT_EQ(1u, Occurrences(out, "error 9 reading the serial line: Bad file descriptor\n")) << out;
  EXPECT_EQ(1u, Occurrences(out, "error 9 writing the serial line: Bad file descriptor\n")) << out;
}

}  // namespace
