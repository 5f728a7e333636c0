#include "ModemSimulator.h"

#include "SimulatorSettings.h"
#include "TestSupport.h"
#include "TextEscapes.h"
#include "modemctl.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kivtest {

namespace {

const std::chrono::milliseconds kStartTimeout(20000);

// The transcript goes to its standard error, which comes back through a pipe.
std::vector<std::string> SimulatorCommand(const std::vector<std::string>& options) {
  std::vector<std::string> command = ProgramCommand("tools/modemsim/modemsim");
  command.push_back("--transcript");
  command.push_back("/dev/fd/2");
  command.insert(command.end(), options.begin(), options.end());
  return command;
}

char* TextOrNull(std::optional<std::string>& text) { return text ? text->data() : nullptr; }

Process::Options WithControlPipe() {
  Process::Options options;
  options.stdinPipe = true;
  return options;
}

}  // namespace

SimulatedModem::SimulatedModem(const std::vector<std::string>& options)
    : engine_(
          network_, modemsim::ParseArguments(options).faults,
          [this](const std::string& bytes) { pipe_.Arrive(bytes, answerDelay_); },
          [this](std::chrono::milliseconds gap) { answerDelay_ += gap; }),
      use_(pipe_) {
  pipe_.OnWrite([this](const std::string& bytes) {
    answerDelay_ = std::chrono::milliseconds(0);
    engine_.Feed(bytes);
  });
}

int SimulatedModem::Connect() {
  return nb_connect(0, host.data(), 1883, clientId.data(), TextOrNull(user), TextOrNull(password));
}

int SimulatedModem::Subscribe(int msgId) {
  return nb_subcribe_topic(0, host.data(), 1883, clientId.data(), TextOrNull(user),
                           TextOrNull(password), msgId, topic.data(), 1);
}

int SimulatedModem::Publish(int msgId) {
  return nb_publish_message(0, host.data(), 1883, clientId.data(), TextOrNull(user),
                            TextOrNull(password), msgId, topic.data(), message.data(), 1);
}

ModemSimulator::ModemSimulator(const std::vector<std::string>& options)
    : process_(std::make_unique<Process>(SimulatorCommand(options), WithControlPipe())) {
  if (!process_->WaitForOutput("\n", kStartTimeout)) {
    throw std::runtime_error("modem simulator did not start: " + process_->Stderr());
  }
  std::string out = process_->Stdout();
  device_ = out.substr(0, out.find('\n'));
}

std::string ModemSimulator::TranscriptOnceEqual(const std::string& expected) const {
  process_->WaitForOutput(expected, std::chrono::milliseconds(5000), Process::Stream::kErr);
  return Transcript();
}

void ModemSimulator::Send(const std::string& bytes) {
  process_->WriteStdin("send " + modemsim::Escape(bytes) + "\n");
  ++sent_;
  if (!process_->WaitForOutput("\nsent ", kStartTimeout, Process::Stream::kOut, sent_)) {
    throw std::runtime_error("modem simulator did not send: " + process_->Stdout());
  }
}

struct termios TerminalSettings(int descriptor) {
  struct termios settings;
  memset(&settings, 0, sizeof settings);
  if (tcgetattr(descriptor, &settings) != 0) {
    throw std::runtime_error(std::string("tcgetattr: ") + strerror(errno));
  }
  return settings;
}

void ConfigureTerminal(int descriptor, const std::function<void(struct termios&)>& change) {
  struct termios settings = TerminalSettings(descriptor);
  change(settings);
  if (tcsetattr(descriptor, TCSANOW, &settings) != 0) {
    throw std::runtime_error(std::string("tcsetattr: ") + strerror(errno));
  }
}

}  // namespace kivtest
