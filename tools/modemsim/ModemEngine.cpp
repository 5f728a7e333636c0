#include "ModemEngine.h"

#include <cstdlib>
#include <optional>
#include <thread>

namespace modemsim {

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";
constexpr size_t kLongestCommand = 4096;
constexpr int kLargestMessageId = 65535;

std::string Line(const std::string& text) { return "\r\n" + text + "\r\n"; }

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Splits at commas outside double quotes; nothing when a quote is left open.
std::optional<std::vector<CommandParam>> SplitParams(const std::string& text) {
  std::vector<CommandParam> params;
  std::string field;
  bool inQuotes = false;
  for (char c : text + ",") {
    if (c == '"') inQuotes = !inQuotes;
    if (c != ',' || inQuotes) {
      field += c;
      continue;
    }
    std::string trimmed = Trimmed(field);
    bool quoted = trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"';
    params.push_back({quoted ? trimmed.substr(1, trimmed.size() - 2) : trimmed, quoted});
    field.clear();
  }
  if (inQuotes) return std::nullopt;
  return params;
}

std::optional<int> Number(const CommandParam& param, int lowest, int highest) {
  if (param.quoted || param.text.empty()) return std::nullopt;
  char* end = nullptr;
  long value = strtol(param.text.c_str(), &end, 10);
  if (*end != '\0' || value < lowest || value > highest) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<std::string> Text(const CommandParam& param) {
  if (!param.quoted) return std::nullopt;
  return param.text;
}

std::optional<int> SocketIndex(const CommandParam& param) { return Number(param, 0, kSockets - 1); }

std::string Fields(int index, int second) {
  return std::to_string(index) + "," + std::to_string(second);
}

void Sleep(std::chrono::milliseconds gap) { std::this_thread::sleep_for(gap); }

}  // namespace

bool FaultRule::Selects(const std::string& command) const {
  if (!pattern.empty() && pattern.back() == '*') {
    return command.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  }
  return command == pattern;
}

const std::string& ModemEngine::Garbage() {
  static const char kNoise[] = "\xff\x00\xfe\x1b[2J\x80\x11\x13\x7f?\x00";
  static const std::string kGarbage(kNoise, sizeof kNoise - 1);
  return kGarbage;
}

ModemEngine::ModemEngine(Network& network, Faults faults, Sink sink, Pause pause)
    : network_(network),
      faults_(std::move(faults)),
      sink_(std::move(sink)),
      pause_(pause ? std::move(pause) : Sleep) {
  network_.SetEvents(NetworkEvents{
      [this](int index, const std::string& topic, const std::string& payload, int qos) {
        MessageArrived(index, topic, payload, qos);
      },
      [this](int index) { ConnectionLost(index); }});
}

void ModemEngine::Feed(const std::string& bytes) {
  if (faults_.silent) return;
  if (echo_) Send(bytes);
  for (char c : bytes) {
    if (c != '\r' && c != '\n') {
      pending_ += c;
      continue;
    }
    if (pending_.empty()) continue;  // the LF after a CR, or an empty line
    std::string command;
    command.swap(pending_);
    if (command.size() > kLongestCommand) {
      Send(kError);
    } else {
      HandleCommand(command);
    }
  }
}

void ModemEngine::Inject(const std::string& bytes) { Send(bytes); }

void ModemEngine::Send(const std::string& bytes) {
  if (faults_.silent || bytes.empty()) return;
  std::lock_guard<std::mutex> lock(outputMutex_);
  if (faults_.splitBytes == 0) {
    sink_(bytes);
    return;
  }
  for (size_t start = 0; start < bytes.size(); start += faults_.splitBytes) {
    // Pieces a little apart, as from a slow or busy modem; the gap is part
    // of the behaviour being simulated, not a wait for something.
    if (start > 0) pause_(faults_.splitGap);
    sink_(bytes.substr(start, faults_.splitBytes));
  }
}

void ModemEngine::HandleCommand(const std::string& command) {
  const FaultRule* drop = nullptr;
  const FaultRule* replace = nullptr;
  bool refuse = false;
  for (const FaultRule& rule : faults_.rules) {
    if (!rule.Selects(command)) continue;
    switch (rule.kind) {
      case FaultRule::Kind::kUrcBefore: Send(Line(rule.text)); break;
      case FaultRule::Kind::kGarbage: Send(Garbage()); break;
      case FaultRule::Kind::kError: refuse = true; break;
      case FaultRule::Kind::kDrop: drop = &rule; break;
      case FaultRule::Kind::kReply: replace = &rule; break;
    }
  }
  if (refuse) {
    Send(kError);
    return;
  }
  // The answer the tool waits for: the result line of an MQTT command,
  // else the whole response.
  auto awaited = [&](const std::string& answer) -> std::string {
    if (drop != nullptr) return "";
    if (replace != nullptr) return Line(replace->text);
    return answer;
  };
  Reply reply = Execute(command);
  if (!reply.operation) {
    Send(awaited(reply.response));
    return;
  }
  Send(reply.response);
  Send(awaited(Line(reply.operation())));
}

ModemEngine::Reply ModemEngine::Execute(const std::string& command) {
  if (command == "AT") return {kOk, nullptr};
  if (command == "ATE0" || command == "ATE1") {
    echo_ = command == "ATE1";
    return {kOk, nullptr};
  }
  if (command == "AT+CPIN?") return {Line("+CPIN: READY") + kOk, nullptr};
  if (command == "AT+CEREG?") return {Line("+CEREG: 0,1") + kOk, nullptr};
  if (command == "AT+CGATT?") return {Line("+CGATT: 1") + kOk, nullptr};
  if (command == "AT+QMTCONN?") return {StatusLines() + kOk, nullptr};
  size_t equals = command.find('=');
  if (command.compare(0, 6, "AT+QMT") != 0 || equals == std::string::npos) {
    return {kError, nullptr};
  }
  std::optional<Params> params = SplitParams(command.substr(equals + 1));
  if (!params) return {kError, nullptr};
  return ExecuteMqtt(command.substr(3, equals - 3), *params);
}

ModemEngine::Reply ModemEngine::ExecuteMqtt(const std::string& name, const Params& params) {
  if (name == "QMTOPEN") return Open(params);
  if (name == "QMTCONN") return Connect(params);
  if (name == "QMTSUB") return Subscribe(params);
  if (name == "QMTPUB") return Publish(params);
  if (name == "QMTCLOSE" || name == "QMTDISC") return Close(params, name.c_str());
  return {kError, nullptr};
}

// AT+QMTOPEN=<index>,"<host>",<port>
ModemEngine::Reply ModemEngine::Open(const Params& params) {
  if (params.size() != 3) return {kError, nullptr};
  std::optional<int> index = SocketIndex(params[0]);
  std::optional<std::string> host = Text(params[1]);
  std::optional<int> port = Number(params[2], 1, 65535);
  if (!index || !host || !port) return {kError, nullptr};
  int i = *index;
  return {kOk, [this, i, host = *host, port = *port] {
            std::string prefix = "+QMTOPEN: " + std::to_string(i) + ",";
            if (opened_[i]) return prefix + "2";  // identifier already in use
            if (!network_.Open(i, host, port)) return prefix + "-1";
            opened_[i] = true;
            return prefix + "0";
          }};
}

// AT+QMTCONN=<index>,"<client id>"[,"<user name>"[,"<password>"]]
ModemEngine::Reply ModemEngine::Connect(const Params& params) {
  if (params.size() < 2 || params.size() > 4) return {kError, nullptr};
  std::optional<int> index = SocketIndex(params[0]);
  ConnectRequest request;
  std::optional<std::string> clientId = Text(params[1]);
  if (!index || !clientId || !opened_[*index]) return {kError, nullptr};
  request.clientId = *clientId;
  if (params.size() > 2) {
    request.username = Text(params[2]);
    if (!request.username) return {kError, nullptr};
  }
  if (params.size() > 3) {
    request.password = Text(params[3]);
    if (!request.password) return {kError, nullptr};
  }
  int i = *index;
  return {kOk, [this, i, request] {
            std::string prefix = "+QMTCONN: " + std::to_string(i) + ",";
            return network_.Connect(i, request) ? prefix + "0,0" : prefix + "2";
          }};
}

// AT+QMTSUB=<index>,<message id>,"<topic filter>",<qos>
ModemEngine::Reply ModemEngine::Subscribe(const Params& params) {
  if (params.size() != 4) return {kError, nullptr};
  std::optional<int> index = SocketIndex(params[0]);
  std::optional<int> msgId = Number(params[1], 0, kLargestMessageId);
  std::optional<std::string> filter = Text(params[2]);
  std::optional<int> qos = Number(params[3], 0, 2);
  if (!index || !msgId || !filter || !qos || !network_.IsConnected(*index)) {
    return {kError, nullptr};
  }
  int i = *index;
  return {kOk, [this, i, msgId = *msgId, filter = *filter, qos = *qos] {
            std::string prefix = "+QMTSUB: " + Fields(i, msgId) + ",";
            return network_.Subscribe(i, filter, qos) ? prefix + "0," + std::to_string(qos)
                                                      : prefix + "2";
          }};
}

// AT+QMTPUB=<index>,<message id>,<qos>,<retain>,"<topic>","<message>"
ModemEngine::Reply ModemEngine::Publish(const Params& params) {
  if (params.size() != 6) return {kError, nullptr};
  std::optional<int> index = SocketIndex(params[0]);
  std::optional<int> msgId = Number(params[1], 0, kLargestMessageId);
  std::optional<int> qos = Number(params[2], 0, 2);
  std::optional<int> retain = Number(params[3], 0, 1);
  std::optional<std::string> topic = Text(params[4]);
  std::optional<std::string> message = Text(params[5]);
  if (!index || !msgId || !qos || !retain || !topic || !message ||
      !network_.IsConnected(*index)) {
    return {kError, nullptr};
  }
  int i = *index;
  return {kOk, [this, i, msgId = *msgId, qos = *qos, topic = *topic, message = *message] {
            std::string prefix = "+QMTPUB: " + Fields(i, msgId) + ",";
            return network_.Publish(i, topic, message, qos) ? prefix + "0" : prefix + "2";
          }};
}

// AT+QMTCLOSE=<index> and AT+QMTDISC=<index>: both end the connection.
ModemEngine::Reply ModemEngine::Close(const Params& params, const char* name) {
  std::optional<int> index = params.size() == 1 ? SocketIndex(params[0]) : std::nullopt;
  if (!index || !opened_[*index]) return {kError, nullptr};
  int i = *index;
  return {kOk, [this, i, name = std::string(name)] {
            network_.Close(i);
            opened_[i] = false;
            return "+" + name + ": " + std::to_string(i) + ",0";
          }};
}

// One "+QMTCONN: <index>,<state>" line per open socket: 3 connected,
// 1 opened but not connected.
std::string ModemEngine::StatusLines() const {
  std::string lines;
  for (int i = 0; i < kSockets; ++i) {
    if (network_.IsConnected(i)) {
      lines += Line("+QMTCONN: " + Fields(i, 3));
    } else if (opened_[i]) {
      lines += Line("+QMTCONN: " + Fields(i, 1));
    }
  }
  return lines;
}

void ModemEngine::MessageArrived(int index, const std::string& topic, const std::string& payload,
                                 int qos) {
  // Packet ids as a broker hands them out: 0 for QoS 0, else 1 to 65535.
  unsigned msgId = 0;
  if (qos > 0) msgId = lastMessageId_[index].fetch_add(1) % kLargestMessageId + 1;
  Send(Line("+QMTRECV: " + Fields(index, static_cast<int>(msgId)) + ",\"" + topic + "\",\"" + payload + "\""));
}

void ModemEngine::ConnectionLost(int index) {
  opened_[index] = false;
  Send(Line("+QMTSTAT: " + Fields(index, 1)));  // 1: closed or reset by the peer
}

}  // namespace modemsim
