// Test helpers for modemctl: the modem simulator as a child process on its
// own pseudo-terminal, and the console (standard output) of this process
// captured while the command layer runs in it.
#ifndef KIV_TEST_MODEM_SUPPORT_H
#define KIV_TEST_MODEM_SUPPORT_H

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kivtest {

class ModemSimulator {
public:
  // options: the simulator's command-line options (faults, --broker ...).
  explicit ModemSimulator(const std::vector<std::string>& options = {});

  // The device path, as a modifiable string for the char* parameters.
  std::string device() const { return device_; }
  // Every byte the tool wrote so far.
  std::string Transcript() const { return ReadFile(transcriptPath_); }
  // Waits until the transcript holds exactly expected (the simulator reads
  // asynchronously); returns the transcript then or at the deadline.
  std::string TranscriptOnceEqual(const std::string& expected) const;
  // Writes bytes to the line and waits until the simulator has done it.
  void Send(const std::string& bytes);
  // The simulator's own diagnostics.
  std::string Log() const { return process_->Stderr(); }

private:
  TempDir dir_;
  std::string transcriptPath_;
  std::unique_ptr<Process> process_;
  std::string device_;
  int sent_ = 0;
};

// A simulator with modemctl's line (fd) open on it; closed again at the end.
class ModemLine {
public:
  // Throws when the line cannot be opened.
  explicit ModemLine(const std::vector<std::string>& options = {});
  ~ModemLine();
  ModemLine(const ModemLine&) = delete;
  ModemLine& operator=(const ModemLine&) = delete;

  // The nb_ calls for socket 0, port 1883 and the texts below.
  int Connect(const char* user = nullptr, const char* password = nullptr);
  int Subscribe(int msgId = 3);
  int Publish(int msgId = 7);

  ModemSimulator simulator;
  std::string host = "127.0.0.1";
  std::string clientId = "KivClient";
  std::string topic = "/t";
  std::string message = "hi";

private:
  // Keeps the given texts alive and modifiable for the char* parameters.
  char* Text(const char* text);
  std::vector<std::unique_ptr<std::string>> texts_;
};

// Redirects standard output (file descriptor 1) to a file while it lives.
class ConsoleCapture {
public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  std::string Text() const;

private:
  TempDir dir_;
  int saved_ = -1;
};

// Names parameterised cases after the `name` member of their parameter.
struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.name;
  }
};

// How often text occurs in haystack.
int Occurrences(const std::string& haystack, const std::string& text);

}  // namespace kivtest

#endif
