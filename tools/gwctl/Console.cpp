#include "Console.h"

#include "PlatformClient.h"
#include "kiv/Proxy.h"  // EscapeLogText

#include <cjson/cJSON.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <getopt.h>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <random>
#include <unistd.h>

namespace gwctl {
namespace {

using namespace std::chrono_literals;
using kiv::mqtt::Message;

const char kUsage[] =
    "usage: gwctl [options] COMMAND DEVICE [ARGUMENTS]\n"
    "Plays the platform for the gateway DEVICE (its device id).\n"
    "\n"
    "commands:\n"
    "  watch DEVICE                          print every record the gateway stores\n"
    "  retrieve DEVICE TYPE...               ask for resource types (e.g. 1007 14)\n"
    "  control DEVICE VALUE...               send one management command with these values\n"
    "  schedule create|update DEVICE ENTRY   send a schedule configuration\n"
    "  schedule delete DEVICE NAME           delete a schedule\n"
    "  request DEVICE JSON                   send a raw request payload\n"
    "\n"
    "options (before the command; watch also takes them after it):\n"
    "  -s, --server URI      broker (tcp://, mqtt://, ssl://, mqtts://); default $KIV_SERVER_URI\n"
    "  -u, --user NAME       MQTT user name\n"
    "  -p, --password TEXT   MQTT password\n"
    "      --cafile FILE     CA certificates for TLS (default $KIV_TLS_CAFILE)\n"
    "      --cert FILE       client certificate (default $KIV_TLS_CERTFILE)\n"
    "      --key FILE        client key (default $KIV_TLS_KEYFILE)\n"
    "  -t, --timeout SEC     wait this long to connect and for the reply (default 10)\n"
    "  -n, --count N         watch: stop after N records\n"
    "  -a, --answer          watch: answer the gateway's registration and records as its\n"
    "                        registrar would (where no oneM2M CSE runs on the broker)\n"
    "  -i, --id ID           our originator and client id, without / + # . (default\n"
    "                        gwctl-PID-RANDOM)\n"
    "  -r, --raw             print the whole reply, not just its content\n"
    "  -h, --help            this text\n"
    "\n"
    "A VALUE that is JSON (5, true, \"text\", {...}) is sent as such, any other as a string.\n"
    "Exit status: 0 success reply (or watch ended), 1 usage, 2 connection, 3 timeout,\n"
    "4 the gateway answered with an error status.\n";

void PrintError(const std::string& message) { fprintf(stderr, "gwctl: %s\n", message.c_str()); }

int Fail(int status, const std::string& message) {
  PrintError(message);
  return status;
}

std::optional<Settings> UsageError(const std::string& message) {
  fprintf(stderr, "gwctl: %s\n\n%s", message.c_str(), kUsage);
  return std::nullopt;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool ParseCount(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  errno = 0;
  long number = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || number < low || number > high) return false;
  *value = static_cast<int>(number);
  return true;
}

// Checks the positional arguments of each command.
std::string CheckArguments(const Settings& s) {
  const size_t n = s.arguments.size();
  if (s.command == "watch") return n == 0 ? "" : "watch takes only the device";
  if (s.command == "retrieve") {
    if (n == 0) return "retrieve needs at least one resource type";
    int type = 0;
    for (const auto& a : s.arguments) {
      if (!ParseCount(a.c_str(), 0, 2147483647, &type))
        return "resource type \"" + a + "\" is not a number";
    }
    return "";
  }
  if (s.command == "control") return n > 0 ? "" : "control needs at least one value";
  if (s.command == "request") return n == 1 ? "" : "request takes one JSON payload";
  return "unknown command \"" + s.command + "\"";
}

std::string Printed(const cJSON* item) {
  char* text = cJSON_Print(item);
  std::string result = text ? text : "";
  cJSON_free(text);
  return result;
}

bool Refuse(const char* why) {
  UsageError(why);
  return false;
}

// Reads options up to the next word that is not one (optind then names it).
// Returns false where an option was refused (said on standard error); a help
// option ends the reading with s.help set.
bool ReadOptions(int argc, char** argv, Settings& s) {
  enum { kCaFile = 256, kCert, kKey };
  static const option kOptions[] = {{"server", required_argument, nullptr, 's'},
                                    {"user", required_argument, nullptr, 'u'},
                                    {"password", required_argument, nullptr, 'p'},
                                    {"cafile", required_argument, nullptr, kCaFile},
                                    {"cert", required_argument, nullptr, kCert},
                                    {"key", required_argument, nullptr, kKey},
                                    {"timeout", required_argument, nullptr, 't'},
                                    {"count", required_argument, nullptr, 'n'},
                                    {"id", required_argument, nullptr, 'i'},
                                    {"raw", no_argument, nullptr, 'r'},
                                    {"answer", no_argument, nullptr, 'a'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  int option;
  // "+": options end at the first other word, so that values like -5 stay values.
  while ((option = getopt_long(argc, argv, "+s:u:p:t:n:i:rah", kOptions, nullptr)) != -1) {
    switch (option) {
      case 's': s.serverUri = optarg; break;
      case 'u': s.user = optarg; break;
      case 'p': s.password = optarg; break;
      case kCaFile: s.caFile = optarg; break;
      case kCert: s.certFile = optarg; break;
      case kKey: s.keyFile = optarg; break;
      case 'i': s.originator = optarg; break;
      case 'a': s.answer = true; break;
      case 'r': s.raw = true; break;
      case 't':
        if (!ParseCount(optarg, 1, 86400, &s.timeoutSeconds)) return Refuse("bad timeout");
        break;
      case 'n':
        if (!ParseCount(optarg, 1, 1000000, &s.count)) return Refuse("bad count");
        break;
      case 'h':
        s.help = true;
        return true;
      default: return Refuse("bad option");
    }
  }
  return true;
}

}  // namespace

std::optional<Settings> ParseCommandLine(int argc, char** argv) {
  Settings s;
  s.serverUri = Env("KIV_SERVER_URI");
  s.caFile = Env("KIV_TLS_CAFILE");
  s.certFile = Env("KIV_TLS_CERTFILE");
  s.keyFile = Env("KIV_TLS_KEYFILE");
  // 0 restarts getopt entirely; with 1 it would go on inside a group of
  // options ("-hr") that an earlier call left half read, in the old argv.
  optind = 0;
  std::vector<std::string> words;
  // Options come before the command; watch, whose one value is a device id
  // that cannot look like an option, also takes them after it.
  for (;;) {
    if (!ReadOptions(argc, argv, s)) return std::nullopt;
    if (s.help) return s;
    if (optind >= argc) break;
    words.push_back(argv[optind++]);
    if (words[0] != "watch") {
      words.insert(words.end(), argv + optind, argv + argc);
      break;
    }
  }
  if (words.empty()) return UsageError("no command");
  s.command = words[0];
  size_t deviceAt = 1;
  if (s.command == "schedule") {
    if (words.size() != 4 ||
        (words[1] != "create" && words[1] != "update" && words[1] != "delete")) {
      return UsageError("schedule create|update DEVICE ENTRY or schedule delete DEVICE NAME");
    }
    s.arguments.push_back(words[1]);
    deviceAt = 2;
  }
  if (words.size() <= deviceAt) return UsageError("no device id");
  s.device = words[deviceAt];
  s.arguments.insert(s.arguments.end(), words.begin() + static_cast<long>(deviceAt) + 1,
                     words.end());
  if (s.command != "schedule") {
    std::string problem = CheckArguments(s);
    if (!problem.empty()) return UsageError(problem);
  }
  if (s.serverUri.empty()) return UsageError("no server: give -s URI or set KIV_SERVER_URI");
  if (!kiv::protocol::IsPortableTopicLevel(s.device))
    return UsageError("device id cannot contain / + # .");
  if (s.originator.empty()) s.originator = kiv::platform::FreshOriginator("gwctl");
  if (!kiv::protocol::IsPortableTopicLevel(s.originator))
    return UsageError("id cannot contain / + # .");
  return s;
}

std::optional<std::string> BuildRequest(const Settings& s, const std::string& rqi,
                                        std::string* error) {
  namespace platform = kiv::platform;
  const platform::Header header{rqi, s.originator, s.device};
  if (s.command == "retrieve") {
    std::vector<int> types;
    for (const auto& a : s.arguments) types.push_back(std::atoi(a.c_str()));
    return platform::Retrieve(header, types);
  }
  if (s.command == "control") {
    std::vector<std::string> values;
    for (const auto& a : s.arguments) values.push_back(platform::ValueJson(a));
    return platform::Control(header, values);
  }
  if (s.command == "schedule" && s.arguments.size() == 2) {
    const std::string& action = s.arguments[0];
    if (action == "delete") return platform::ScheduleDelete(header, s.arguments[1]);
    return action == "create" ? platform::ScheduleCreate(header, s.arguments[1])
                              : platform::ScheduleUpdate(header, s.arguments[1]);
  }
  if (s.command == "request" && s.arguments.size() == 1) return s.arguments[0];
  if (error) *error = "no request for command " + s.command;
  return std::nullopt;
}

namespace {

kiv::platform::Platform::Options PlatformOptions(const Settings& s) {
  kiv::platform::Platform::Options options;
  options.serverUri = s.serverUri;
  options.originator = s.originator;
  options.username = s.user;
  options.password = s.password;
  options.caFile = s.caFile;
  options.certFile = s.certFile;
  options.keyFile = s.keyFile;
  return options;
}

void PrintLine(const std::string& text) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  fwrite(text.data(), 1, text.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

// The platform is made after the state its handler uses, so that its
// destructor, which waits for a running handler, comes first.
std::unique_ptr<kiv::platform::Platform> MakePlatform(kiv::platform::Platform::Options options) {
  try {
    return std::make_unique<kiv::platform::Platform>(std::move(options));
  } catch (const std::exception& e) {
    Fail(kExitUsage, e.what());
    return nullptr;
  }
}

// Blocks signals of the calling thread (and of the threads it starts) while
// it lives, then restores the mask it found. Those that came meanwhile and
// were not waited for are taken first: the watch they would have ended is
// over, and SIGUSR1's default action would end the process.
class BlockedSignals {
public:
  explicit BlockedSignals(std::initializer_list<int> signals) {
    sigemptyset(&blocked_);
    for (int signal : signals) sigaddset(&blocked_, signal);
    pthread_sigmask(SIG_BLOCK, &blocked_, &saved_);
  }
  ~BlockedSignals() {
    const timespec now{0, 0};
    while (sigtimedwait(&blocked_, nullptr, &now) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

private:
  sigset_t blocked_;
  sigset_t saved_;
};

int Watch(const Settings& s) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGUSR1);  // sent by the handler once --count records were printed
  std::atomic<int> records{0};  // counted on the MQTT library's thread, read on this one
  kiv::platform::Platform::Options options = PlatformOptions(s);
  options.collect = false;  // printed as they come, never kept
  options.answerAsRegistrar = s.answer;
  options.onMessage = [&](const Message& m) {
    Shown shown = ShowWatched(m.topic, m.payload, s.device);
    if (shown.error) PrintError(*shown.error);
    if (!shown.output) return;
    PrintLine(*shown.output);
    if (++records == s.count) kill(getpid(), SIGUSR1);
  };
  std::unique_ptr<kiv::platform::Platform> platform = MakePlatform(std::move(options));
  if (!platform) return kExitUsage;
  std::string error;
  if (platform->Connect(std::chrono::seconds(s.timeoutSeconds), &error) != 0 ||
      platform->Watch(s.device, &error) != 0) {
    return Fail(kExitConnection, error);
  }
  if (s.answer) {
    std::fprintf(stderr, "gwctl: answering as %s's registrar\n",
                 kiv::EscapeLogText(s.device).c_str());
  }
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  timespec timeout{s.timeoutSeconds, 0};
  // With --count the timeout bounds the whole watch; without, it runs until stopped.
  int signal = s.count > 0 ? sigtimedwait(&stops, nullptr, &timeout) : sigwaitinfo(&stops, nullptr);
  if (signal < 0 && s.count > 0) {
    return Fail(kExitTimeout, "only " + std::to_string(records.load()) + " of " + std::to_string(s.count) +
                                  " records in " + std::to_string(s.timeoutSeconds) + " s");
  }
  return kExitOk;
}

int PrintReply(const Settings& s, const std::string& payload) {
  Shown shown = ShowReply(payload, s.device, s.raw);
  if (shown.output) PrintLine(*shown.output);
  return shown.error ? Fail(shown.status, *shown.error) : shown.status;
}

int Ask(const Settings& s) {
  std::random_device device;
  std::string error;
  std::optional<std::string> request =
      BuildRequest(s, s.originator + "-" + std::to_string(device() % 100000), &error);
  if (!request) return Fail(kExitUsage, error);
  std::unique_ptr<kiv::platform::Platform> platform = MakePlatform(PlatformOptions(s));
  if (!platform) return kExitUsage;
  auto timeout = std::chrono::seconds(s.timeoutSeconds);
  if (platform->Connect(timeout, &error) != 0) return Fail(kExitConnection, error);
  if (platform->Send(s.device, *request, &error) != 0) return Fail(kExitConnection, error);
  std::optional<std::string> reply =
      platform->WaitForReply(s.device, kiv::platform::RequestIdOf(*request), timeout);
  if (!reply) {
    return Fail(kExitTimeout,
                "no reply from " + s.device + " in " + std::to_string(s.timeoutSeconds) + " s");
  }
  return PrintReply(s, *reply);
}

}  // namespace

Shown ShowReply(const std::string& payload, const std::string& device, bool raw) {
  Shown shown;
  std::optional<kiv::platform::Reply> reply = kiv::platform::ParseReply(payload);
  if (raw) {
    shown.output = payload;
  } else if (reply && !reply->content.empty()) {
    std::unique_ptr<cJSON, void (*)(cJSON*)> json(cJSON_Parse(reply->content.c_str()), cJSON_Delete);
    // A string content is printed as its text, any other as formatted JSON.
    shown.output = json && !cJSON_IsString(json.get()) ? Printed(json.get()) : reply->content;
  }
  if (!reply) {
    shown.status = kExitRefused;
    shown.error = "reply without a status: " + kiv::EscapeLogText(payload);
  } else if (!kiv::protocol::IsSuccess(reply->rsc)) {
    shown.status = kExitRefused;
    shown.error = device + " answered " + std::to_string(reply->rsc) +
                  (reply->debug.empty() ? "" : ": " + kiv::EscapeLogText(reply->debug));
  }
  return shown;
}

Shown ShowWatched(const std::string& topic, const std::string& payload, const std::string& device) {
  Shown shown;
  if (topic == kiv::protocol::StatusTopic(device)) {
    shown.error = device + " is " + kiv::EscapeLogText(payload);
  } else if (kiv::platform::ParseRecord(payload)) {
    // The gateway's records are compact JSON: escaping changes none of them.
    shown.output = kiv::EscapeLogText(payload);
  }  // the gateway's other requests (its registration) are not records
  return shown;
}

int RunConsole(int argc, char** argv) {
  std::optional<Settings> settings = ParseCommandLine(argc, argv);
  if (!settings) return kExitUsage;
  if (settings->help) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (settings->command != "watch") return Ask(*settings);
  // Blocked before the MQTT library starts its threads, so that only
  // sigwait sees them.
  BlockedSignals stops({SIGINT, SIGTERM, SIGUSR1});
  return Watch(*settings);
}

}  // namespace gwctl
