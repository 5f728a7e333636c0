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

// Runs the command; returns an ExitStatus.
int RunConsole(int argc, char** argv);

}  // namespace gwctl

#endif
