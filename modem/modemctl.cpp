// modemctl: the serial line to the BC66 modem and the AT command layer of its
// MQTT client. See modemctl.h for the contracts.
#include "modemctl.h"

#include "ModemPipe.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <termios.h>
#include <unistd.h>

int fd = -1;
void (*readmsg_callback)(int, int, char*, int) = nullptr;

// ---- Serial line ------------------------------------------------------------

int nb_init_serial(char* portname) {
  fd = open(portname, O_RDWR | O_NOCTTY);
  if (fd < 0) {
    int error = errno;
    printf("error %d opening %s: %s\n", error, portname, strerror(error));
    return -1;
  }
  // A line that keeps its old settings may still work: go on either way.
  set_interface_attribs(fd, B115200, 0);
  set_blocking(fd, 0);
  return 0;
}

int set_interface_attribs(int descriptor, int speed, int parity) {
  struct termios tty;
  memset(&tty, 0, sizeof tty);
  if (tcgetattr(descriptor, &tty) != 0) {
    printf("error %d from tcgetattr", errno);
    return -1;
  }
  cfsetospeed(&tty, static_cast<speed_t>(speed));
  cfsetispeed(&tty, static_cast<speed_t>(speed));
  tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
  tty.c_cflag |= CS8;  // CS8 fills the whole CSIZE field
  tty.c_cflag |= CREAD | CLOCAL;
  tty.c_cflag |= static_cast<tcflag_t>(parity);
  tty.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  tty.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  tty.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | IXON | IXOFF | IXANY);
  tty.c_lflag = 0;
  tty.c_oflag = 0;
  tty.c_cc[VMIN] = 0;
  tty.c_cc[VTIME] = 5;
  if (tcsetattr(descriptor, TCSANOW, &tty) != 0) {
    printf("error %d from tcsetattr", errno);
    return -1;
  }
  return 0;
}

void set_blocking(int descriptor, int block) {
  struct termios tty;
  memset(&tty, 0, sizeof tty);
  if (tcgetattr(descriptor, &tty) != 0) {
    printf("error %d from tggetattr", errno);
    return;
  }
  tty.c_cc[VMIN] = block ? 1 : 0;
  tty.c_cc[VTIME] = 5;
  if (tcsetattr(descriptor, TCSANOW, &tty) != 0) printf("error %d setting term attributes", errno);
}

void nb_close_serial() { close(fd); }

// ---- Modem MQTT commands ----------------------------------------------------

namespace {

constexpr size_t kResponseSize = 100;
constexpr size_t kCommandSize = 100;
constexpr size_t kUrcSize = 900;
constexpr unsigned kCyclePauseUs = 10000;
constexpr unsigned kReadTimeoutUs = 500000;
constexpr int kQuickCycles = 1;
constexpr int kStatusCycles = 5;
constexpr int kNetworkCycles = 9;
constexpr char kStatusQuery[] = "AT+QMTCONN?\r\n";
constexpr char kMessagePrefix[] = "+QMTRECV: ";
constexpr size_t kMessagePrefixLength = sizeof kMessagePrefix - 1;

// The serial line as the command layer's pipe: every call goes to the
// descriptor that `fd` holds at that moment.
class SerialLinePipe final : public modemctl::Pipe {
public:
  int ReadByte(char* byte) override {
    ssize_t result = read(fd, byte, 1);
    return result < 0 ? -errno : static_cast<int>(result);
  }
  ssize_t Write(const char* bytes, size_t size) override {
    ssize_t result = write(fd, bytes, size);
    return result < 0 ? -errno : result;
  }
  void Pause(unsigned microseconds) override { usleep(microseconds); }
};

SerialLinePipe serialLine;
modemctl::Pipe* activePipe = &serialLine;

// A direction of the line that fails is reported when it starts failing,
// not on every exchange: with no modem attached the console would fill up.
class LineFailure {
public:
  constexpr explicit LineFailure(const char* doing) : doing_(doing) {}

  // error: the errno value, or 0 for a call that took nothing and gave
  // no error (then there is no error text to show).
  void Report(int error) {
    if (reported_) return;
    reported_ = true;
    if (error == 0) {
      printf("error %s the serial line: no bytes taken\n", doing_);
    } else {
      printf("error %d %s the serial line: %s\n", error, doing_, strerror(error));
    }
  }

  void Cleared() { reported_ = false; }

private:
  const char* doing_;
  bool reported_ = false;
};

LineFailure readFailure("reading");
LineFailure writeFailure("writing");

// One byte from the modem: true with the byte, false after 0.5 s of silence
// or when the read failed (reported, never taken for a byte).
bool ReadModemByte(char* byte) {
  int result = activePipe->ReadByte(byte);
  if (result > 0) {
    readFailure.Cleared();
    return true;
  }
  if (result < 0) {
    readFailure.Report(-result);
    // A failed read returns at once; pausing as long as the line's timeout
    // keeps every wait as long as silence would make it, so callers that
    // loop on draining never spin.
    activePipe->Pause(kReadTimeoutUs);
  }
  return false;
}

void WriteCommand(const char* command) {
  size_t remaining = strlen(command);
  while (remaining > 0) {
    ssize_t written = activePipe->Write(command, remaining);
    if (written == -EINTR) continue;
    if (written <= 0) {
      // The exchange then fails by itself when no reply comes.
      writeFailure.Report(static_cast<int>(-written));
      return;
    }
    writeFailure.Cleared();
    command += written;
    remaining -= static_cast<size_t>(written);
  }
}

// What one exchange has read from the modem, as a NUL-terminated text for
// the reply search. When full it keeps only its newest bytes (more than the
// longest expected reply), so a reply behind a long echo is still found.
class ResponseBuffer {
public:
  ResponseBuffer() { memset(text_, 0, sizeof text_); }

  void Append(char byte) {
    if (byte == '\0') return;  // a NUL would hide everything after it from the search
    if (length_ == kResponseSize - 1) KeepNewest();
    text_[length_++] = byte;
  }

  bool Contains(const char* expected) const { return strstr(text_, expected) != nullptr; }

private:
  static constexpr size_t kKept = 64;

  void KeepNewest() {
    memmove(text_, text_ + length_ - kKept, kKept);
    memset(text_ + kKept, 0, sizeof text_ - kKept);
    length_ = kKept;
  }

  char text_[kResponseSize];
  size_t length_ = 0;
};

// Writes command and waits up to waitCycles cycles for expected; the
// dialogue is echoed to standard output.
bool CommandExchange(const char* command, const char* expected, int waitCycles) {
  ResponseBuffer response;
  nb_process_urc();
  printf("Send %s...\n", command);
  WriteCommand(command);
  for (int cycle = 0; cycle < waitCycles; ++cycle) {
    activePipe->Pause(kCyclePauseUs);
    char byte;
    while (ReadModemByte(&byte)) {
      putchar(byte);
      response.Append(byte);
      if (response.Contains(expected)) {
        printf("Command ok!");
        return true;
      }
    }
  }
  printf("Command fail!");
  return false;
}

// The reply text an exchange waits for, formatted from its values.
class ExpectedReply {
public:
  __attribute__((format(printf, 2, 3))) explicit ExpectedReply(const char* format, ...) {
    memset(text_, 0, sizeof text_);
    va_list values;
    va_start(values, format);
    vsnprintf(text_, sizeof text_, format, values);
    va_end(values);
  }
  const char* text() const { return text_; }

private:
  char text_[kResponseSize];
};

// The broker a connection sequence brings the modem's client to.
struct Broker {
  int index;
  const char* host;
  int port;
  const char* clientId;
  const char* username;  // may be null
  const char* password;  // may be null
};

// The command formats. Called with a null buffer of size 0 they give the
// length a command needs, which is how texts are checked before anything is
// sent.
int FormatOpen(char* buffer, size_t size, const Broker& broker) {
  return snprintf(buffer, size, "AT+QMTOPEN=%d,\"%s\",%d\r\n", broker.index, broker.host,
                  broker.port);
}

int FormatConnect(char* buffer, size_t size, const Broker& broker) {
  if (broker.username != nullptr && broker.password != nullptr) {
    return snprintf(buffer, size, "AT+QMTCONN=%d,\"%s\",\"%s\", \"%s\"\r\n", broker.index,
                    broker.clientId, broker.username, broker.password);
  }
  return snprintf(buffer, size, "AT+QMTCONN=%d,\"%s\"\r\n", broker.index, broker.clientId);
}

int FormatSubscribe(char* buffer, size_t size, int index, int msgId, const char* topic, int qos) {
  return snprintf(buffer, size, "AT+QMTSUB=%d,%d,\"%s\",%d\r\n", index, msgId, topic, qos);
}

int FormatPublish(char* buffer, size_t size, int index, int msgId, int qos, const char* topic,
                  const char* message) {
  return snprintf(buffer, size, "AT+QMTPUB=%d,%d,%d,0,\"%s\",\"%s\"\r\n", index, msgId, qos, topic,
                  message);
}

// A text bound for the inside of a quoted AT string.
struct QuotedText {
  const char* what;
  const char* text;
  bool mayBeNull;
};

// A double quote would end the string early and CR or LF the command, and the
// rest would reach the modem as a command of its own.
bool QuotedTextIsSafe(const char* function, const QuotedText& quoted) {
  if (quoted.text == nullptr) {
    if (quoted.mayBeNull) return true;
    printf("%s: refused: no %s given\n", function, quoted.what);
    return false;
  }
  if (strpbrk(quoted.text, "\"\r\n") != nullptr) {
    printf("%s: refused: the %s contains a double quote, CR or LF\n", function, quoted.what);
    return false;
  }
  return true;
}

bool QuotedTextsAreSafe(const char* function, std::initializer_list<QuotedText> texts) {
  for (const QuotedText& quoted : texts) {
    if (!QuotedTextIsSafe(function, quoted)) return false;
  }
  return true;
}

bool BrokerTextsAreSafe(const char* function, const Broker& broker) {
  return QuotedTextsAreSafe(function, {{"host", broker.host, false},
                                       {"client id", broker.clientId, false},
                                       {"user name", broker.username, true},
                                       {"password", broker.password, true}});
}

// Length is what a command needs without its terminator; size the buffer.
bool CommandFits(const char* function, int length, size_t size) {
  if (length >= 0 && static_cast<size_t>(length) < size) return true;
  printf("%s: refused: the command would not fit its %zu-byte buffer\n", function, size);
  return false;
}

bool ConnectionCommandsFit(const char* function, const Broker& broker, size_t size) {
  return CommandFits(function, FormatOpen(nullptr, 0, broker), size) &&
         CommandFits(function, FormatConnect(nullptr, 0, broker), size);
}

enum class Connection { kAlreadyUp, kConnected, kConnectFailed };

// Asks the modem for its client's state and, when it is not connected, opens
// the network connection and connects. The open's outcome never stops the
// sequence: the connect reply alone tells whether the client is up. command
// is the caller's buffer of size bytes, checked to hold every command.
Connection ConnectionSequence(const Broker& broker, char* command, size_t size) {
  if (CommandExchange(kStatusQuery, ExpectedReply("+QMTCONN: %d,3", broker.index).text(),
                      kStatusCycles)) {
    return Connection::kAlreadyUp;
  }
  memset(command, 0, size);
  FormatOpen(command, size, broker);
  CommandExchange(command, ExpectedReply("+QMTOPEN: %d,0", broker.index).text(), kNetworkCycles);
  memset(command, 0, size);
  FormatConnect(command, size, broker);
  bool connected = CommandExchange(
      command, ExpectedReply("+QMTCONN: %d,0,0", broker.index).text(), kNetworkCycles);
  return connected ? Connection::kConnected : Connection::kConnectFailed;
}

// strtol with atoi's rules (leading blanks skipped, stops at the first
// non-digit, 0 without digits), but defined for values beyond int.
int DecimalValue(const char* text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Hands the first message line in text to the callback. Fields are split
// at runs of commas (empty fields do not count); the fourth ends at the
// next comma, so data holding a comma arrives cut.
void DeliverFirstMessage(char* text) {
  char* start = strstr(text, kMessagePrefix);
  if (start == nullptr) return;
  constexpr int kFields = 4;
  char* fields[kFields];
  char* rest = nullptr;
  for (int i = 0; i < kFields; ++i) {
    fields[i] = strtok_r(i == 0 ? start : nullptr, ",", &rest);
    if (fields[i] == nullptr) return;
  }
  readmsg_callback(DecimalValue(fields[0] + kMessagePrefixLength), DecimalValue(fields[1]),
                   fields[3], static_cast<int>(kUrcSize));
}

}  // namespace

int nb_init_bc66() {
  const char* kAlive = "AT\r\n";
  // The first two only wake the modem and settle its echo; their outcome
  // does not count.
  CommandExchange(kAlive, "OK", kQuickCycles);
  CommandExchange(kAlive, "OK", kQuickCycles);
  const char* checks[] = {kAlive, "AT+CPIN?\r\n", "AT+CEREG?\r\n", "AT+CGATT?\r\n"};
  int result = -1;
  for (const char* check : checks) {
    if (!CommandExchange(check, "OK", kQuickCycles)) return result;
    --result;
  }
  return 0;
}

int nb_connect(int index, char* host, int port, char* clientId, char* username, char* password) {
  const char* kFunction = "nb_connect";
  Broker broker{index, host, port, clientId, username, password};
  if (!BrokerTextsAreSafe(kFunction, broker) ||
      !ConnectionCommandsFit(kFunction, broker, kCommandSize)) {
    return -1;
  }
  char command[kCommandSize];
  return ConnectionSequence(broker, command, sizeof command) == Connection::kConnectFailed ? -1
                                                                                           : 0;
}

int nb_subcribe_topic(int index, char* host, int port, char* clientId, char* username,
                      char* password, int msgId, char* topic, int qos) {
  const char* kFunction = "nb_subcribe_topic";
  Broker broker{index, host, port, clientId, username, password};
  if (!BrokerTextsAreSafe(kFunction, broker) ||
      !QuotedTextsAreSafe(kFunction, {{"topic", topic, false}}) ||
      !ConnectionCommandsFit(kFunction, broker, kCommandSize) ||
      !CommandFits(kFunction, FormatSubscribe(nullptr, 0, index, msgId, topic, qos),
                   kCommandSize)) {
    return -1;
  }
  char command[kCommandSize];
  ConnectionSequence(broker, command, sizeof command);  // the subscribe reply decides
  memset(command, 0, sizeof command);
  FormatSubscribe(command, sizeof command, index, msgId, topic, qos);
  if (CommandExchange(command, ExpectedReply("+QMTSUB: %d", index).text(), kNetworkCycles)) {
    return 0;
  }
  printf("subcribe fail!");
  return -1;
}

int nb_publish_message(int index, char* host, int port, char* clientId, char* username,
                       char* password, int msgId, char* topic, char* message, int qos) {
  const char* kFunction = "nb_publish_message";
  Broker broker{index, host, port, clientId, username, password};
  if (!BrokerTextsAreSafe(kFunction, broker) ||
      !QuotedTextsAreSafe(kFunction, {{"topic", topic, false}, {"message", message, false}})) {
    return -1;
  }
  const size_t size = strlen(message) + 100;
  if (!ConnectionCommandsFit(kFunction, broker, size) ||
      !CommandFits(kFunction, FormatPublish(nullptr, 0, index, msgId, qos, topic, message),
                   size)) {
    return -1;
  }
  // Two probes first: they wake a sleeping modem; their outcome does not count.
  CommandExchange("AT\r\n", "OK", kQuickCycles);
  CommandExchange("AT\r\n", "OK", kQuickCycles);
  char* command = static_cast<char*>(malloc(size));
  if (command == nullptr) {
    printf("%s: no memory for a %zu-byte command\n", kFunction, size);
    return -1;
  }
  ConnectionSequence(broker, command, size);  // the publish reply decides
  memset(command, 0, size);
  FormatPublish(command, size, index, msgId, qos, topic, message);
  bool published = CommandExchange(
      command, ExpectedReply("+QMTPUB: %d,%d,0", index, msgId).text(), kNetworkCycles);
  free(command);
  return published ? 0 : -1;
}

int nb_close(int index) {
  char command[kCommandSize];
  memset(command, 0, sizeof command);
  snprintf(command, sizeof command, "AT+QMTCLOSE=%d\r\n", index);
  return CommandExchange(command, "OK", kStatusCycles) ? 0 : -1;
}

void nb_clear() {
  char byte;
  while (ReadModemByte(&byte)) putchar(byte);
}

void nb_process_urc() {
  // One byte more than is filled: the text always ends in a NUL, also after
  // storing wrapped around to the start.
  char urc[kUrcSize + 1];
  memset(urc, 0, sizeof urc);
  size_t position = 0;
  char byte;
  while (ReadModemByte(&byte)) {
    putchar(byte);
    if (byte == '\0') continue;  // would hide the rest from the search
    urc[position++] = byte;
    if (position == kUrcSize) position = 0;
  }
  if (readmsg_callback == nullptr) return;
  DeliverFirstMessage(urc);
}

void nb_loop_read() { nb_process_urc(); }

void nb_set_onmessage_callback(void (*callback)(int, int, char*, int)) {
  readmsg_callback = callback;
}

void modemctl::UsePipe(Pipe* replacement) {
  activePipe = replacement != nullptr ? replacement : &serialLine;
  // Another line: its failures are its own, and reported afresh.
  readFailure.Cleared();
  writeFailure.Cleared();
}
