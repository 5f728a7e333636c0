// The AT command engine of the simulated BC66 modem: takes the bytes the
// tool writes, answers like the modem (command echo, "OK", MQTT commands
// with "OK" first and their result line after the broker answered) and
// reports received messages as "+QMTRECV:" lines. Fault rules make it
// misbehave on purpose for tests.
#ifndef MODEMSIM_MODEM_ENGINE_H
#define MODEMSIM_MODEM_ENGINE_H

#include "Network.h"

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace modemsim {

// A misbehaviour for the commands a pattern selects: the whole command
// line (without CR/LF), or its beginning when the pattern ends in '*'.
struct FaultRule {
  enum class Kind {
    kDrop,       // do the command, but never send the reply the tool waits for
    kError,      // do not do it, answer "ERROR"
    kReply,      // do it, but send text (a line) instead of that reply
    kUrcBefore,  // send text (a line) before answering
    kGarbage,    // send noise bytes (NUL included) before answering
  };
  Kind kind;
  std::string pattern;
  std::string text;

  bool Selects(const std::string& command) const;
};

struct Faults {
  bool silent = false;      // reads everything, sends nothing at all
  size_t splitBytes = 0;    // > 0: everything is sent in pieces of this size...
  std::chrono::milliseconds splitGap{20};  // ...this far apart
  std::vector<FaultRule> rules;
};

// One parameter of an AT command: a number, or a string between double quotes.
struct CommandParam {
  std::string text;  // without the quotes
  bool quoted;
};

class ModemEngine {
public:
  using Sink = std::function<void(const std::string& bytes)>;
  // Lets the gap between the pieces of a split answer pass.
  using Pause = std::function<void(std::chrono::milliseconds gap)>;

  // sink takes the bytes for the line; it is called under the engine's
  // output lock, from whichever thread answers. pause defaults to sleeping;
  // a simulation with a virtual clock moves that clock instead.
  ModemEngine(Network& network, Faults faults, Sink sink, Pause pause = nullptr);

  // Bytes the tool wrote. Commands end at CR or LF; each is answered before
  // this returns (network operations included). One thread only.
  void Feed(const std::string& bytes);

  // Sends bytes as they are (the stdin "send" command). Any thread.
  void Inject(const std::string& bytes);

  // The noise a kGarbage rule sends.
  static const std::string& Garbage();

private:
  struct Reply {
    std::string response;                      // sent at once
    std::function<std::string()> operation;    // when set: done after the response, and
                                               // its result line sent after that
  };
  using Params = std::vector<CommandParam>;

  void Send(const std::string& bytes);
  void HandleCommand(const std::string& command);
  Reply Execute(const std::string& command);
  Reply ExecuteMqtt(const std::string& name, const Params& params);
  Reply Open(const Params& params);
  Reply Connect(const Params& params);
  Reply Subscribe(const Params& params);
  Reply Publish(const Params& params);
  Reply Close(const Params& params, const char* name);
  std::string StatusLines() const;
  void MessageArrived(int index, const std::string& topic, const std::string& payload, int qos);
  void ConnectionLost(int index);

  Network& network_;
  const Faults faults_;
  const Sink sink_;
  const Pause pause_;
  std::mutex outputMutex_;
  std::string pending_;  // the command line being received
  bool echo_ = true;
  std::array<std::atomic<bool>, kSockets> opened_{};
  std::array<std::atomic<unsigned>, kSockets> lastMessageId_{};
};

}  // namespace modemsim

#endif
