// modemctl's reading of the serial line, on any bytes from the modem,
// through the in-memory pipe (modem/MemoryPipe.h) on a virtual clock.
//
// Input: its first byte chooses what the bytes are.
//  - even: the lines waiting on the line when message delivery runs
//    (nb_process_urc); a delivered message's data must lie inside the
//    layer's buffer, end before its 900 bytes and hold no comma.
//  - odd: the modem's answers to a whole session (bring-up, connect,
//    subscribe, publish, close), one piece after each command written,
//    pieces separated by 0xff; every result must be one the header
//    documents, and every write one whole command ("AT...\r\n").
// What the layer echoes to standard output goes to /dev/null meanwhile.
#include "MemoryPipe.h"
#include "modemctl.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr size_t kMessageBuffer = 900;  // the length every delivery reports
constexpr char kSeparator = '\xff';

void Require(bool holds) {
  if (!holds) abort();
}

// Standard output goes to /dev/null while it lives (the replay driver
// prints the name of each input there first, so it comes back after).
class QuietStandardOutput {
public:
  QuietStandardOutput() : saved_(dup(STDOUT_FILENO)) {
    fflush(stdout);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStandardOutput() {
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  QuietStandardOutput(const QuietStandardOutput&) = delete;
  QuietStandardOutput& operator=(const QuietStandardOutput&) = delete;

private:
  int saved_;
};

void CheckDelivery(int, int, char* data, int length) {
  Require(length == static_cast<int>(kMessageBuffer));
  size_t size = strnlen(data, kMessageBuffer + 1);
  Require(size <= kMessageBuffer && strchr(data, ',') == nullptr);
}

void DeliverMessages(const std::string& bytes) {
  for (auto callback : {CheckDelivery, static_cast<decltype(&CheckDelivery)>(nullptr)}) {
    modemctl::MemoryPipe pipe;
    modemctl::PipeInUse use(pipe);
    pipe.Arrive(bytes);
    nb_set_onmessage_callback(callback);
    nb_process_urc();
  }
}

std::vector<std::string> Pieces(const std::string& bytes) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t end; (end = bytes.find(kSeparator, start)) != std::string::npos; start = end + 1)
    pieces.push_back(bytes.substr(start, end - start));
  pieces.push_back(bytes.substr(start));
  return pieces;
}

bool OneOf(int result, std::initializer_list<int> allowed) {
  for (int value : allowed)
    if (result == value) return true;
  return false;
}

// Each write is one command: "AT", no line end inside, "\r\n" at its end.
void CheckCommands(const std::vector<std::string>& writes) {
  for (const std::string& command : writes) {
    Require(command.compare(0, 2, "AT") == 0 && command.size() >= 4);
    Require(command.compare(command.size() - 2, 2, "\r\n") == 0);
    Require(command.find_first_of("\r\n") == command.size() - 2);
  }
}

void RunSession(const std::string& bytes) {
  std::vector<std::string> pieces = Pieces(bytes);
  size_t next = 0;
  std::vector<std::string> writes;
  modemctl::MemoryPipe pipe;
  modemctl::PipeInUse use(pipe);
  pipe.OnWrite([&](const std::string& written) {
    writes.push_back(written);
    if (next < pieces.size()) pipe.Arrive(pieces[next++]);
  });
  nb_set_onmessage_callback(CheckDelivery);
  char host[] = "broker.example", client[] = "gw", user[] = "u", password[] = "p";
  char topic[] = "/hello", message[] = "hello world!";
  Require(OneOf(nb_init_bc66(), {0, -1, -2, -3, -4}));
  Require(OneOf(nb_connect(0, host, 1883, client, user, password), {0, -1}));
  Require(OneOf(nb_subcribe_topic(0, host, 1883, client, nullptr, nullptr, 1, topic, 1), {0, -1}));
  Require(
      OneOf(nb_publish_message(0, host, 1883, client, nullptr, nullptr, 2, topic, message, 1),
            {0, -1}));
  Require(OneOf(nb_close(0), {0, -1}));
  CheckCommands(writes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  QuietStandardOutput quiet;
  if (data[0] % 2 == 0) {
    DeliverMessages(bytes);
  } else {
    RunSession(bytes);
  }
  return 0;
}
