// gatewayd's entry steps: the settings, the command line, the configuration
// file, the program object's event log lines and the run loop. main() itself
// is in gatewayd.cpp so that the tests link everything here.
#include "Gateway.h"

#include "Pause.h"
#include "RepeatedLine.h"
#include "Request.h"
#include "System.h"
#include "cKivIO.h"
#include "cKivKey.h"
#include "kiv/StateFolder.h"

#include <json/json.h>
#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>
#include <unistd.h>

namespace {

constexpr const char* kDefaultConfigPath = "/opt/kiv/gw.cfg";

}  // namespace

std::string g_gatewayId;
std::string g_tokenId;
std::string g_key;
std::string g_serverURI;
std::string g_user;
std::string g_pass;
std::string g_interval;
bool g_debug_enable = false;
bool g_readWhileOffline = false;
std::string g_nodeTimeout;
std::string g_nodeOutputBytes;
std::atomic<bool> isBreak{false};
DeviceInfo deviceInfo;

void init() {
  g_debug_enable = false;
  g_readWhileOffline = false;
  g_gatewayId = "";
  g_tokenId = "";
  g_key = "";
  g_serverURI = "";
  g_user = "";
  g_pass = "";
  g_interval = "";
  g_nodeTimeout = "";
  g_nodeOutputBytes = "";
}

void setBreak() {
  isBreak.store(true);
  WakeUpForBreak();
}

// ---- Command line ----------------------------------------------------------

namespace {

// One call for the whole text, the program's name in its three places.
void PrintUsage(const char* program) {
  printf("Usage: %s [options...]\n"
         "Examples:\n"
         "\t %s -f /opt/gw.cfg\n"
         "\t %s -g a1b2c3d4e5 -s tcp://127.0.0.1:1883 -d -u user -p password -i 15\n"
         " -g,\t Define the gatewayId\n"
         " -s,\t Define the broker server uri\n"
         " -d,\t Enable debug mode\n"
         " -u,\t Define the username\n"
         " -p,\t Define the password\n"
         " -i,\t Define the interval time (seconds) to send all data\n",
         program, program, program);
}

// getopt keeps its position between calls; a full reset lets option parse
// more than one command line in a process (glibc and uClibc reset on 0).
void ResetGetopt() {
#ifdef __GLIBC__
  optind = 0;
#else
  optind = 1;
#endif
}

struct TextOption {
  int letter;
  std::string* setting;
  const char* label;  // logged as "<label> : <new value>"
};

const TextOption kTextOptions[] = {
    {'g', &g_gatewayId, "gatewayId"}, {'t', &g_tokenId, "tokenId"}, {'k', &g_key, "key"},
    {'s', &g_serverURI, "server"},    {'u', &g_user, "user"},       {'p', &g_pass, "pass"},
    {'i', &g_interval, "interval"},
};

const TextOption* FindTextOption(int letter) {
  for (const TextOption& text : kTextOptions) {
    if (text.letter == letter) return &text;
  }
  return nullptr;
}

// A password in a log (syslog on a router) is readable by whoever reads the
// log: only its length is shown.
std::string LoggedValue(const TextOption& text) {
  if (text.setting == &g_pass) return std::string(text.setting->size(), '*');
  return *text.setting;
}

// -d's value is optional and ignored. getopt takes the next word as the
// value: when that word is the next option (it starts with '-'), it is given
// back to getopt. A value written as "-dVALUE" is part of -d's own word.
void SkipDebugValue(char** argv) {
  if (optarg != nullptr && optarg == argv[optind - 1] && optarg[0] == '-') --optind;
}

void ReportBadOption(const char* program, int letter) {
  if (letter == ':') {
    fprintf(stderr, "%s: option requires an argument -- '%c'\n", program, optopt);
  } else {
    fprintf(stderr, "%s: invalid option -- '%c'\n", program, optopt);
  }
  fprintf(stderr, "%s: try '%s -h' for more information\n", program, program);
}

}  // namespace

int option(int argc, char** argv) {
  ResetGetopt();
  int letter;
  // The leading ':' makes getopt report a missing value as ':' and print
  // nothing itself: -d may end the command line, the rest is ours to report.
  while ((letter = getopt(argc, argv, ":g:t:k:s:d:u:p:i:f:h")) != -1) {
    if (const TextOption* text = FindTextOption(letter)) {
      *text->setting = optarg;
      GATEWAY_LOG(kiv::kLogInformation, "option", "%s : %s", text->label,
                  LoggedValue(*text).c_str());
      continue;
    }
    if (letter == 'd' || (letter == ':' && optopt == 'd')) {
      if (letter == 'd') SkipDebugValue(argv);
      g_debug_enable = true;
      GATEWAY_LOG(kiv::kLogInformation, "option", "Enable DEBUG MODE");
      continue;
    }
    switch (letter) {
      case 'f':
        return loadconfig(optarg);
      case 'h':
        PrintUsage(argv[0]);
        return 0;
      default:
        ReportBadOption(argv[0], letter);
        return 1;
    }
  }
  return 0;
}

// ---- Configuration file ----------------------------------------------------

namespace {

struct TextKey {
  const char* key;
  std::string* setting;
};

// The text settings in the order their keys are read.
const TextKey kTextKeys[] = {
    {"serverURI", &g_serverURI}, {"gatewayId", &g_gatewayId}, {"tokenId", &g_tokenId},
    {"key", &g_key},             {"user", &g_user},           {"pass", &g_pass},
    {"interval", &g_interval},
};

struct FlagKey {
  const char* key;
  bool* setting;
};

// read_while_offline: the node script runs each interval while the broker
// is away too, and its records wait in the SDK's journal.
const FlagKey kFlagKeys[] = {
    {"debug_enable", &g_debug_enable},
    {"read_while_offline", &g_readWhileOffline},
};

// The node bridge's bounds: whole numbers from 1 to most, as a number or a
// text of digits; kept as their decimal text.
struct BoundKey {
  const char* key;
  std::string* setting;
  unsigned long long most;
  const char* unit;
};

const BoundKey kBoundKeys[] = {
    {"node_timeout", &g_nodeTimeout, 86400, "seconds"},
    {"node_output_bytes", &g_nodeOutputBytes, 64ull * 1024 * 1024, "bytes"},
};

// The bound's value as decimal text, "" when it is not given (a missing key
// or an empty text), nothing when it is not a whole number from 1 to most.
std::optional<std::string> BoundText(const Json::Value& value, unsigned long long most) {
  if (value.isNull()) return std::string();
  unsigned long long number = 0;
  if (value.isString()) {
    const std::string text = value.asString();
    if (text.empty()) return std::string();
    if (text.size() > 20 || strspn(text.c_str(), "0123456789") != text.size()) return std::nullopt;
    number = strtoull(text.c_str(), nullptr, 10);
  } else if (value.isUInt64()) {  // a whole number that asUInt64 takes without throwing
    number = value.asUInt64();
  } else {
    return std::nullopt;
  }
  if (number < 1 || number > most) return std::nullopt;
  char decimal[24];
  snprintf(decimal, sizeof decimal, "%llu", number);
  return std::string(decimal);
}

// Settings of the SDK that the file may give as well: they reach it through
// its environment variables. The service's own environment (UCI,
// /etc/default) wins over the file, whose value fills only a variable unset.
struct EnvironmentKey {
  const char* key;
  const char* variable;
};
const EnvironmentKey kEnvironmentKeys[] = {
    {"recordsPlacement", "KIV_RECORDS_PLACEMENT"},
    {"pointOfAccess", "KIV_POINT_OF_ACCESS"},
    {"keepAlive", "KIV_KEEPALIVE_SECONDS"},
};

// Hands the file's SDK settings on; runs while the parse of the command line
// is the only thread (setenv is not safe beside readers of the environment).
void PassToEnvironment(const Json::Value& settings) {
  for (const EnvironmentKey& passed : kEnvironmentKeys) {
    const std::string value = settings[passed.key].asString();
    if (value.empty()) continue;
    if (setenv(passed.variable, value.c_str(), 0) != 0) {
      GATEWAY_LOG(kiv::kLogError, "loadconfig", "%s not applied: %s\n", passed.key, strerror(errno));
    }
  }
}

// Values asBool converts without throwing; null (a missing key) is false.
bool IsFlagValue(const Json::Value& value) {
  return value.isNull() || value.isBool() || value.isNumeric();
}

// Values asString converts without throwing; numbers become decimal text.
bool IsTextValue(const Json::Value& value) {
  return value.isNull() || value.isString() || value.isBool() || value.isNumeric();
}

// Whether key holds a text setting's value; logs the problem when not.
bool IsValidText(const Json::Value& root, const char* key, const std::string& path) {
  if (IsTextValue(root[key])) return true;
  GATEWAY_LOG(kiv::kLogError, "loadconfig",
              "Error in configuration file %s: key \"%s\" must be a text or a number\n",
              path.c_str(), key);
  return false;
}

// Checks the whole document before anything is stored, so that a bad file
// changes no setting. Logs the problem and returns false.
bool IsValidConfig(const Json::Value& root, const std::string& path) {
  if (!root.isObject()) {
    GATEWAY_LOG(kiv::kLogError, "loadconfig",
                "Error in configuration file %s: the root is not a JSON object\n", path.c_str());
    return false;
  }
  for (const FlagKey& flag : kFlagKeys) {
    if (!IsFlagValue(root[flag.key])) {
      GATEWAY_LOG(kiv::kLogError, "loadconfig",
                  "Error in configuration file %s: key \"%s\" must be a boolean or a number\n",
                  path.c_str(), flag.key);
      return false;
    }
  }
  for (const TextKey& text : kTextKeys) {
    if (!IsValidText(root, text.key, path)) return false;
  }
  for (const EnvironmentKey& passed : kEnvironmentKeys) {
    if (!IsValidText(root, passed.key, path)) return false;
  }
  for (const BoundKey& bound : kBoundKeys) {
    if (!BoundText(root[bound.key], bound.most)) {
      GATEWAY_LOG(kiv::kLogError, "loadconfig",
                  "Error in configuration file %s: key \"%s\" must be a whole number of %s "
                  "from 1 to %llu\n",
                  path.c_str(), bound.key, bound.unit, bound.most);
      return false;
    }
  }
  return true;
}

// Parses the whole stream; jsoncpp throws on nesting deeper than it allows.
bool ParseConfig(const std::string& text, Json::Value& root) {
  try {
    Json::Reader reader;  // default features: comments allowed, any root
    return reader.parse(text, root, true);
  } catch (const std::exception&) {
    return false;
  }
}

// The whole file, read through stdio: an ifstream would bring its own
// template code into the program (the reader took the stream whole anyway).
std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string text;
  char buffer[4096];
  while (size_t got = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, got);
  std::fclose(file);
  return text;
}

}  // namespace

int loadconfig(std::string path) {
  Json::Value root;
  std::optional<std::string> content = ReadWholeFile(path);
  if (!content) {
    GATEWAY_LOG(kiv::kLogError, "loadconfig", "Could not open file %s\n", path.c_str());
    return 1;
  }
  if (!ParseConfig(*content, root)) {
    GATEWAY_LOG(kiv::kLogError, "loadconfig", "Error while parse gw.cnf\n");
    return 1;
  }
  if (!IsValidConfig(root, path)) return 1;
  const Json::Value& settings = root;  // const lookups leave the document alone
  for (const FlagKey& flag : kFlagKeys) *flag.setting = settings[flag.key].asBool();
  for (const TextKey& text : kTextKeys) *text.setting = settings[text.key].asString();
  for (const BoundKey& bound : kBoundKeys) *bound.setting = *BoundText(settings[bound.key], bound.most);
  PassToEnvironment(settings);
  return 0;
}

// ---- Run loop ----------------------------------------------------------------

namespace {

constexpr std::chrono::milliseconds kDefaultInterval{15000};
constexpr std::chrono::milliseconds kDisconnectedWait{2000};
constexpr std::chrono::milliseconds kLongestDefaultNodeTimeLimit{60000};
// The same failure of the node script is logged at most once a minute.
constexpr std::chrono::seconds kRepeatedNodeFailureInterval{60};
constexpr int kConnectTimeoutSeconds = 10;
constexpr const char* kNoGatewayId =
    "no gatewayId: the token and key come from the empty text, and the SDK names the gateway "
    "(the same name after a restart only where $STATE_DIRECTORY keeps it)\n";

// Copies a key text of the key library and releases its block. The library
// returns NULL for input it refuses; that leaves the setting empty.
std::string TakeKeyText(char* block) {
  std::string text = block != nullptr ? block : "";
  free(block);
  return text;
}

}  // namespace

void CompleteIdentity() {
  if (g_gatewayId.empty()) {
    GATEWAY_LOG(kiv::kLogInformation, "Start", "use MAC address as a gatewayId value\n");
    g_gatewayId = System::GetIfMacAddr("eth0");
    if (g_gatewayId.empty()) GATEWAY_LOG(kiv::kLogError, "Start", "%s", kNoGatewayId);
  }
  GATEWAY_LOG(kiv::kLogInformation, "Start", "gatewayId: %s\n", g_gatewayId.c_str());
  if (g_tokenId.empty()) g_tokenId = TakeKeyText(generateTokenKey(g_gatewayId.c_str(), nullptr));
  GATEWAY_LOG(kiv::kLogInformation, "Start", "tokenId: %s\n", g_tokenId.c_str());
  if (g_key.empty()) {
    g_key = TakeKeyText(generateDeviceKey(g_gatewayId.c_str(), nullptr, nullptr));
  }
  GATEWAY_LOG(kiv::kLogInformation, "Start", "key: %s\n", g_key.c_str());
}

namespace {

void ApplyLogConfig() {
  GATEWAY_LOG(kiv::kLogInformation, "Start", "%s debug mode\n",
              g_debug_enable ? "enable" : "disable");
  if (g_debug_enable) {
    kiv::SetLogConfig(3, 31, 1, 1);
  } else {
    kiv::SetLogConfig(0, 7, 0, 0);
  }
}

kiv::ProxyInfo ConnectionDescription() {
  kiv::ProxyInfo info(kiv::kConnectionMqtt, g_key, g_tokenId, g_serverURI);
  info.SetDeviceId(g_gatewayId);
  info.SetServiceEnabled(true);
  if (!g_user.empty()) info.SetUsername(g_user);
  if (!g_pass.empty()) info.SetPassword(g_pass);
  return info;
}

// The connection object for as long as Start runs: created and registered
// with the program, then disconnected and deleted when Start ends, also when
// an exception leaves it.
class Connection {
public:
  Connection(IoTGatewayProgram& program, const kiv::ProxyInfo& info)
      : program_(program), proxy_(new kiv::Proxy(info)) {
    program_.proxy = proxy_.get();
    proxy_->SetCallback(program_);
  }
  ~Connection() {
    proxy_->Disconnect();
    proxy_.reset();
    program_.proxy = nullptr;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

private:
  IoTGatewayProgram& program_;
  std::unique_ptr<kiv::Proxy> proxy_;
};

void SetEnvironment(const char* name, const char* value) {
  if (setenv(name, value, 1) != 0) {
    GATEWAY_LOG(kiv::kLogError, "Start", "cannot set %s for the node bridge: %s\n", name,
                strerror(errno));
  }
}

void SetEnvironmentNumber(const char* name, long long value) {
  char decimal[24];
  snprintf(decimal, sizeof decimal, "%lld", value);
  SetEnvironment(name, decimal);
}

// The node bridge reads its bounds from the environment at each run: the time
// limit, the output bound when the configuration gives one (else the
// bridge's own), and the stop pipe, which ends a run as soon as a stop is
// asked for. Set before the SDK starts its threads.
void ConfigureNodeBridge(std::chrono::milliseconds interval) {
  SetEnvironmentNumber("KIV_NODE_TIMEOUT_MS", NodeTimeLimit(g_nodeTimeout, interval).count());
  if (!g_nodeOutputBytes.empty()) {
    SetEnvironment("KIV_NODE_OUTPUT_BYTES", g_nodeOutputBytes.c_str());
  }
  if (BreakWakeUpDescriptor() >= 0) SetEnvironmentNumber("KIV_NODE_STOP_FD", BreakWakeUpDescriptor());
}

// One cycle's record. A node script that fails (cannot start, too slow, too
// much output) costs this cycle only: the error is logged, the same one at
// most once a minute, and the loop goes on. A run ended by a stop is no error.
void PublishNodeData(kiv::Data& data, kiv::RepeatedLine& failures) {
  std::string nodeData;
  try {
    nodeData = OutputAll();
  } catch (const std::exception& error) {
    if (isBreak.load()) {
      GATEWAY_LOG(kiv::kLogInformation, "Start", "OutputAll ended for the stop: %s\n", error.what());
    } else if (std::optional<std::string> line =
                   failures.Next(error.what(), kiv::RepeatedLine::Clock::now())) {
      GATEWAY_LOG(kiv::kLogError, "Start", "OutputAll failed: %s\n", line->c_str());
    }
    return;
  }
  if (nodeData.empty()) return;
  // NotifyCreating sends nothing and keeps no text, so it is asked first:
  // Create then takes the text over, and the record is its only copy.
  int errorCode = data.NotifyCreating(nodeData, kiv::kNotificationCreateChild);
  data.Create(std::move(nodeData), false);
  GATEWAY_LOG(kiv::kLogInformation, "Start", "result.errorCode = %d\n", errorCode);
}

// The first connection, attempted until it is up or a stop is asked for. A
// stop does not wait for the attempt under way (up to 10 s while the broker
// is away or silent): disconnecting the proxy from the watch's thread ends
// the Connect at once, and the proxy stays disconnected.
void DisconnectProxy(void* proxy) { static_cast<kiv::Proxy*>(proxy)->Disconnect(); }

void ConnectUnlessBreak(kiv::Proxy& proxy) {
  BreakWatch stop(DisconnectProxy, &proxy);
  // Reported as std::thread reports it; the pipe is closed with the watch.
  if (stop.ThreadError() != 0) {
    throw std::system_error(stop.ThreadError(), std::system_category(), "thread constructor failed");
  }
  while (!proxy.IsConnected() && !isBreak.load()) {
    proxy.Connect(kConnectTimeoutSeconds, false, nullptr);
  }
}

}  // namespace

std::chrono::milliseconds NodeTimeLimit(const std::string& nodeTimeout,
                                        std::chrono::milliseconds interval) {
  // loadconfig let only whole numbers from 1 to 86400 through.
  if (!nodeTimeout.empty()) return std::chrono::seconds(strtoll(nodeTimeout.c_str(), nullptr, 10));
  return std::min(interval, kLongestDefaultNodeTimeLimit);
}

std::chrono::milliseconds PublishInterval(const std::string& text) {
  // atoi's reading (leading blanks, a sign, the leading digits), without its
  // undefined overflow: out-of-range texts saturate.
  long seconds = strtol(text.c_str(), nullptr, 10);
  seconds = std::min<long>(std::max<long>(seconds, INT_MIN), INT_MAX);
  if (seconds < 1) return kDefaultInterval;
  return std::chrono::milliseconds(static_cast<int64_t>(seconds) * 1000);
}

namespace {

// The configuration file's read_while_offline, or the service's setting
// (KIV_READ_WHILE_OFFLINE=1: UCI, /etc/default).
bool ReadsWhileOffline() {
  const char* service = std::getenv("KIV_READ_WHILE_OFFLINE");
  return g_readWhileOffline || (service != nullptr && strcmp(service, "1") == 0);
}

}  // namespace

void IoTGatewayProgram::Start(int argc, char** argv) {
  (void)argc;
  (void)argv;
  if (g_serverURI.empty()) {
    GATEWAY_LOG(kiv::kLogError, "Start",
                "serverURI is empty!, please enter the serverURI correctly\n");
    return;
  }
  CompleteIdentity();
  const std::chrono::milliseconds interval = PublishInterval(g_interval);
  GATEWAY_LOG(kiv::kLogInformation, "Start", "interval: %s\n", g_interval.c_str());
  ApplyLogConfig();
  ConfigureNodeBridge(interval);

  // Destroyed in reverse: the connection (disconnected first), the data
  // channel, the description.
  const kiv::ProxyInfo info = ConnectionDescription();
  std::optional<kiv::Data> data;
  Connection connection(*this, info);
  ConnectUnlessBreak(*proxy);
  data.emplace(proxy);
  srand(static_cast<unsigned>(time(nullptr)));

  kiv::RepeatedLine nodeFailures(kRepeatedNodeFailureInterval);
  const bool readWhileOffline = ReadsWhileOffline();
  while (!isBreak.load()) {
    if (!proxy->IsConnected() && !readWhileOffline) {
      GATEWAY_LOG(kiv::kLogInformation, "Start", "Not connected!");
      PauseUnlessBreak(kDisconnectedWait);
      continue;
    }
    PublishNodeData(*data, nodeFailures);
    PauseUnlessBreak(interval);
  }
}

// ---- Requests ----------------------------------------------------------------

namespace {

void AnswerRetrieve(kiv::Proxy& proxy, const std::string& requestId,
                    const std::list<kiv::RequestTarget>& targets) {
  std::string reply = RenderRetrieveReply(targets, deviceInfo, RequestTimeText());
  if (reply.empty()) return;
  kiv::Proxy::Result result = proxy.Response(requestId, reply, kiv::kStatusOk, true, nullptr);
  GATEWAY_LOG(kiv::kLogInformation, "RequestArrived", "result.errorCode = %d", result.errorCode);
}

}  // namespace

void IoTGatewayProgram::RequestArrived(const std::string& requestId, int op,
                                       std::list<kiv::RequestTarget>& targets,
                                       std::list<kiv::RequestContent>& contents) {
  GATEWAY_LOG(kiv::kLogInformation, "RequestArrived", "RequestArrived\nrequestId=%s op=%d",
              kiv::EscapeLogText(requestId).c_str(), op);
  // An exception is left to the SDK, which logs it and answers the request
  // with an error status.
  if (op == kiv::kOperationRetrieve) {
    if (proxy != nullptr) AnswerRetrieve(*proxy, requestId, targets);
  } else {
    HandleRequestContents(op, contents, [](const char* command) { Input(command); });
  }
}

// ---- Program -----------------------------------------------------------------

namespace {

extern "C" void StopOnSignal(int) {
  int savedErrno = errno;
  setBreak();
  errno = savedErrno;
}

// SIGTERM and SIGINT ask the run loop to stop and disconnect. The handler is
// reset once it ran, so a second signal ends a stop that hangs.
void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = StopOnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

// The exit status: 1 when another process holds the state folder (this one
// would overwrite its records) or the allow-list names no one, else 0.
int RunSteps(int argc, char** argv) {
  init();
  if (argc < 2) {
    if (loadconfig(kDefaultConfigPath) != 0) return 0;
  } else if (option(argc, argv) != 0) {
    return 0;
  }
  // Every connection would be refused: stop with the reason, not retry.
  const std::string allowList = kiv::AllowedOriginatorsProblem();
  if (!allowList.empty()) {
    GATEWAY_LOG(kiv::kLogError, "main", "%s; gatewayd does not start",
                kiv::EscapeLogText(allowList).c_str());
    return 1;
  }
  std::string problem;
  const kiv::StateFolderLock stateFolder = kiv::AcquireStateFolder(&problem);
  if (!problem.empty()) {
    GATEWAY_LOG(kiv::kLogError, "main", "%s%s", kiv::EscapeLogText(problem).c_str(),
                stateFolder.TakenElsewhere() ? "; gatewayd does not start" : "");
  }
  if (stateFolder.TakenElsewhere()) return 1;
  IoTGatewayProgram program;
  program.Start(argc, argv);
  WaitForInputUnlessBreak();
  return 0;
}

// Large buffers (a record, the message sent for it, a request) are mapped on
// their own and go back to the system when freed. The C library would
// otherwise raise its threshold after the first such free and carve later
// ones out of the heap of whichever thread allocates them, where freed room
// stays resident and only that thread reuses it: each thread that handles a
// record would keep its own copy of the memory for it. musl maps large
// buffers this way by itself.
void MapLargeBuffersOnTheirOwn() {
#ifdef M_MMAP_THRESHOLD
  constexpr int kLargeBuffer = 128 * 1024;
  if (mallopt(M_MMAP_THRESHOLD, kLargeBuffer) == 0) {
    GATEWAY_LOG(kiv::kLogWarning, "main", "large buffers are not mapped on their own: mallopt failed");
  }
#endif
}

}  // namespace

int RunGateway(int argc, char** argv) {
  MapLargeBuffersOnTheirOwn();
  // The node bridge prints each cycle's data and each control command; line
  // buffering shows them as they happen also when stdout is a file or pipe.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  int status = 0;
  try {
    PrepareBreakWakeUp();
    InstallStopSignals();
    status = RunSteps(argc, argv);
  } catch (const std::exception& error) {
    GATEWAY_LOG(kiv::kLogError, "main", "stopped by an unexpected error: %s", error.what());
    status = 1;  // a service manager restarts a failed start, not a clean end
  } catch (...) {
    GATEWAY_LOG(kiv::kLogError, "main", "stopped by an unexpected error");
    status = 1;
  }
  return status;
}
