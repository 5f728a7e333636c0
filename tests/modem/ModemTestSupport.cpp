#include "ModemTestSupport.h"

#include "TextEscapes.h"
#include "modemctl.h"

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

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

Process::Options WithControlPipe() {
  Process::Options options;
  options.stdinPipe = true;
  return options;
}

}  // namespace

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

ModemLine::ModemLine(const std::vector<std::string>& options) : simulator(options) {
  std::string device = simulator.device();
  if (nb_init_serial(device.data()) != 0) throw std::runtime_error("cannot open " + device);
}

ModemLine::~ModemLine() {
  nb_close_serial();
  fd = -1;
}

int ModemLine::Connect(const char* user, const char* password) {
  return nb_connect(0, host.data(), 1883, clientId.data(), Text(user), Text(password));
}

int ModemLine::Subscribe(int msgId) {
  return nb_subcribe_topic(0, host.data(), 1883, clientId.data(), nullptr, nullptr, msgId,
                           topic.data(), 1);
}

int ModemLine::Publish(int msgId) {
  return nb_publish_message(0, host.data(), 1883, clientId.data(), nullptr, nullptr, msgId,
                            topic.data(), message.data(), 1);
}

char* ModemLine::Text(const char* text) {
  if (text == nullptr) return nullptr;
  texts_.push_back(std::make_unique<std::string>(text));
  return texts_.back()->data();
}

ConsoleCapture::ConsoleCapture() {
  fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  int file = open(dir_.File("console").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (saved_ < 0 || file < 0) throw std::runtime_error("cannot capture the console");
  dup2(file, STDOUT_FILENO);
  close(file);
}

ConsoleCapture::~ConsoleCapture() {
  fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
}

std::string ConsoleCapture::Text() const {
  fflush(stdout);
  return ReadFile(dir_.File("console"));
}

int Occurrences(const std::string& haystack, const std::string& text) {
  int count = 0;
  for (size_t at = haystack.find(text); at != std::string::npos;
       at = haystack.find(text, at + text.size())) {
    ++count;
  }
  return count;
}

}  // namespace kivtest
