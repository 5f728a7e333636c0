// A pseudo-terminal for tests: a serial line without hardware. The device
// end stays open while the object lives, so settings made on it survive
// the code under test opening and closing the device.
#ifndef KIV_TEST_PSEUDO_TERMINAL_H
#define KIV_TEST_PSEUDO_TERMINAL_H

#include <functional>
#include <string>
#include <termios.h>

namespace kivtest {

class PseudoTerminal {
public:
  // Throws std::runtime_error when no pseudo-terminal can be had.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The device's path, for open().
  const std::string& path() const { return path_; }
  // The other end: what is written here arrives at the device.
  int master() const { return master_; }
  // The device end this object holds open.
  int device() const { return device_; }

  // Reads the device's settings, lets change alter them and applies them at
  // once. Throws std::runtime_error when the terminal refuses.
  void Configure(const std::function<void(struct termios&)>& change);

private:
  int master_ = -1;
  int device_ = -1;
  std::string path_;
};

// The settings a terminal descriptor has now; throws when it has none.
struct termios TerminalSettings(int descriptor);

}  // namespace kivtest

#endif
