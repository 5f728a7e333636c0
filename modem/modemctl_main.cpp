// The demonstration of modemctl: brings the modem up, connects its MQTT
// client, prints every message it receives and publishes "hello world!" to
// "/hello" every five seconds, for ever.
#include "modemctl.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

// Built-in values. The device and the broker host can be overridden from the
// environment, e.g. to point the demo at the modem simulator.
char kDefaultDevice[] = "/dev/ttyS0";
char kDefaultBrokerHost[] = "192.0.2.1";  // a documentation address: set your broker's
char kClientId[] = "KivClient";
char kTopic[] = "/hello";
char kMessage[] = "hello world!";
constexpr int kSocketIndex = 0;
constexpr int kBrokerPort = 1883;
constexpr int kSubscribeMsgId = 0;
constexpr int kQos = 1;
constexpr useconds_t kSettlePauseUs = 1000000;
constexpr double kPublishIntervalSeconds = 5.0;

char* Setting(const char* variable, char* builtIn) {
  char* value = getenv(variable);
  return value != nullptr && *value != '\0' ? value : builtIn;
}

// A monotonic clock: a wall clock stepped back (a router setting its time
// from the network) would otherwise stop publishing until it caught up.
double Seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

void print_content_callback(int index, int msgId, char* data, int length) {
  (void)length;
  printf("Print content socket: %d, msgID: %d, data: %s\n", index, msgId, data);
}

int main() {
  // Line by line also when the console is a pipe or a file.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  char* device = Setting("MODEMCTL_DEVICE", kDefaultDevice);
  char* host = Setting("MODEMCTL_BROKER_HOST", kDefaultBrokerHost);

  nb_init_serial(device);  // after a failed open the loop below still runs
  usleep(kSettlePauseUs);
  if (nb_init_bc66() == 0) {
    nb_connect(kSocketIndex, host, kBrokerPort, kClientId, nullptr, nullptr);
    // Subscribed after a successful connect too, so that the callback has
    // messages to print; after a failed one this is a second attempt.
    nb_subcribe_topic(kSocketIndex, host, kBrokerPort, kClientId, nullptr, nullptr,
                      kSubscribeMsgId, kTopic, kQos);
  }
  nb_set_onmessage_callback(print_content_callback);

  int counter = 0;
  bool published = false;
  double lastPublish = 0;
  for (;;) {
    double passStart = Seconds();
    nb_loop_read();
    if (!published || passStart - lastPublish >= kPublishIntervalSeconds) {
      lastPublish = Seconds();
      published = true;
      nb_publish_message(kSocketIndex, host, kBrokerPort, kClientId, nullptr, nullptr, counter,
                         kTopic, kMessage, kQos);
      ++counter;  // whatever the publish returned
    }
  }
}
