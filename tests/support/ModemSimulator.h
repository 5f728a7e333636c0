// Test helpers for modemctl: the simulated modem under the command layer in
// this process (virtual time, for nearly every case), and the simulator as a
// child process on a pseudo-terminal of its own (the real serial line).
#ifndef KIV_TEST_MODEM_SIMULATOR_H
#define KIV_TEST_MODEM_SIMULATOR_H

#include "LoopbackNetwork.h"
#include "MemoryPipe.h"
#include "ModemEngine.h"
#include "Process.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <termios.h>
#include <vector>

namespace kivtest {

// The simulator's engine with its own small broker, wired under the command
// layer while the object lives: what the layer writes goes to the engine,
// and the engine's answers arrive on a MemoryPipe, so every wait of the
// layer passes in virtual time.
class SimulatedModem {
public:
  // options: the simulator's command-line options (its faults).
  explicit SimulatedModem(const std::vector<std::string>& options = {});

  // Every byte the layer wrote.
  const std::string& Written() const { return pipe_.written(); }
  // Bytes from the modem that arrive now, e.g. a message line.
  void Send(const std::string& bytes) { pipe_.Arrive(bytes); }
  // The line itself: its virtual clock, and its faults.
  modemctl::MemoryPipe& pipe() { return pipe_; }

  // The nb_ calls for socket 0, port 1883 and the texts below.
  int Connect();
  int Subscribe(int msgId = 3);
  int Publish(int msgId = 7);

  std::string host = "127.0.0.1";
  std::string clientId = "KivClient";
  std::optional<std::string> user;  // none: a null pointer
  std::optional<std::string> password;
  std::string topic = "/t";
  std::string message = "hi";

private:
  modemctl::MemoryPipe pipe_;
  modemsim::LoopbackNetwork network_;
  // How far behind the command the engine's next piece of answer comes.
  std::chrono::milliseconds answerDelay_{0};
  modemsim::ModemEngine engine_;
  modemctl::PipeInUse use_;
};

// The simulator program as a child process on its own pseudo-terminal.
class ModemSimulator {
public:
  // options: the simulator's command-line options (faults, --broker ...).
  explicit ModemSimulator(const std::vector<std::string>& options = {});

  // The device path, as a modifiable string for the char* parameters.
  std::string device() const { return device_; }
  // Every byte the tool wrote so far (the simulator's standard error).
  std::string Transcript() const { return process_->Stderr(); }
  // Waits until the transcript holds expected (the simulator reads
  // asynchronously); returns the transcript then or at the deadline.
  std::string TranscriptOnceEqual(const std::string& expected) const;
  // Writes bytes to the line and waits until the simulator has done it.
  void Send(const std::string& bytes);

private:
  std::unique_ptr<Process> process_;
  std::string device_;
  size_t sent_ = 0;
};

// The settings a terminal descriptor has now; throws std::runtime_error
// when it has none.
struct termios TerminalSettings(int descriptor);

// Reads the terminal's settings, lets change alter them and applies them at
// once; throws std::runtime_error when the terminal refuses.
void ConfigureTerminal(int descriptor, const std::function<void(struct termios&)>& change);

}  // namespace kivtest

#endif
