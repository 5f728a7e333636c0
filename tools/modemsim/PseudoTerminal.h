// The simulated modem's serial line: a pseudo-terminal whose master is the
// modem's end; the tool opens the device. The simulator keeps the device
// open itself, raw and without echo, so the line survives the tool closing
// and reopening it.
#ifndef MODEMSIM_PSEUDO_TERMINAL_H
#define MODEMSIM_PSEUDO_TERMINAL_H

#include <string>

namespace modemsim {

class PseudoTerminal {
public:
  // Throws std::runtime_error when no pseudo-terminal can be had.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The modem's end, non-blocking.
  int master() const { return master_; }
  // The device the tool opens.
  const std::string& path() const { return path_; }
  // The device end the simulator holds open.
  int device() const { return device_; }

  // Writes everything, waiting while the tool does not read; after two
  // seconds of a full line the rest is dropped, as a modem's buffer would.
  void Write(const std::string& bytes);

private:
  int master_ = -1;
  int device_ = -1;
  std::string path_;
};

}  // namespace modemsim

#endif
