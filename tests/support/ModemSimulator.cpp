#include "ModemTestSupport.h"

#include "ConsoleCapture.h"
#include "SimulatorSettings.h"
#include "TextEscapes.h"
#include "modemctl.h"

#include <stdexcept>

namespace kivtest {

namespace {

const std::chrono::milliseconds kStartTimeout(20000);

std::vector<std::string> SimulatorCommand(const std::vector<std::string>& options,
                                          const std::string& transcript) {
  std::vector<std::string> command = ProgramCommand("tools/modemsim/modemsim");
  command.push_back("--transcript");
  command.push_back(transcript);
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
    : transcriptPath_(dir_.File("transcript")),
      process_(std::make_unique<Process>(SimulatorCommand(options, transcriptPath_),
                                         WithControlPipe())) {
  if (!process_->WaitForOutput("\n", kStartTimeout)) {
    throw std::runtime_error("modem simulator did not start: " + process_->Stderr());
  }
  std::string out = process_->Stdout();
  device_ = out.substr(0, out.find('\n'));
}

std::string ModemSimulator::TranscriptOnceEqual(const std::string& expected) const {
  WaitUntil([&] { return Transcript() == expected; }, std::chrono::milliseconds(5000));
  return Transcript();
}

void ModemSimulator::Send(const std::string& bytes) {
  process_->WriteStdin("send " + modemsim::Escape(bytes) + "\n");
  ++sent_;
  if (!WaitUntil([&] { return Occurrences(process_->Stdout(), "\nsent ") >= sent_; },
                 kStartTimeout)) {
    throw std::runtime_error("modem simulator did not send: " + process_->Stdout());
  }
}

}  // namespace kivtest
