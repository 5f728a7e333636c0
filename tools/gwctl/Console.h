// gwctl, the platform console: plays the platform's side of docs/protocol.md
// against one gateway. main() only calls RunConsole.
#ifndef KIV_GWCTL_CONSOLE_H
#define KIV_GWCTL_CONSOLE_H

#include <optional>
#include <string>
#include <vector>

namespace gwctl {

// Exit statuses.
enum ExitStatus {
  kExitOk = 0,          // a reply with a success status (2xxx), or watch ended as asked
  kExitUsage = 1,       // bad command line
  kExitConnection = 2,  // could not connect, subscribe or send
  kExitTimeout = 3,     // no reply in time
  kExitRefused = 4,     // the gateway answered with an error status
};

struct Settings {
  std::string serverUri;
  std::string user, password;
  std::string caFile, certFile, keyFile;
  int timeoutSeconds = 10;
  int count = 0;           // watch: stop after this many records (0: never)
  std::string originator;  // our id O (and MQTT client id)
  bool raw = false;        // print the whole reply, not only its content
  bool answer = false;     // watch: answer as the gateway's registrar
  bool help = false;       // -h: print the usage and do nothing else
  std::string command;     // watch, retrieve, control, schedule, request
  std::string device;      // D
  std::vector<std::string> arguments;
};

// Parses argv into settings; nullopt after printing the reason and usage to
// standard error. Keeps no state between calls.
std::optional<Settings> ParseCommandLine(int argc, char** argv);

// The request payload for a command other than watch, with this request id,
// or nullopt with the reason in *error.
std::optional<std::string> BuildRequest(const Settings& settings, const std::string& rqi,
                                        std::string* error);

// What the console shows for a message from the network, and how a command
// ends: a line for standard output, a line for standard error (printed after
// "gwctl: "). Pure, so that any bytes can be tried on it (fuzz/). Text from
// the network has its control characters escaped wherever it ends up in a
// line of the console's own, so that a line cannot be forged.
struct Shown {
  std::optional<std::string> output;  // standard output; a reply's content may span lines
  std::optional<std::string> error;   // one line, standard error
  int status = kExitOk;
};

// A reply to our request to device: its content (formatted JSON, or the text
// when it is a string; raw: the whole reply), and kExitOk for a success status,
// kExitRefused for an error status or a reply without one.
Shown ShowReply(const std::string& payload, const std::string& device, bool raw);

// A message watch received from device: a record on standard output (one
// line), a status change ("D is online") on standard error, nothing for the
// rest (the gateway's other requests, its registration).
Shown ShowWatched(const std::string& topic, const std::string& payload, const std::string& device);

// Runs the command; returns an ExitStatus.
int RunConsole(int argc, char** argv);

}  // namespace gwctl

#endif
