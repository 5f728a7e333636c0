// The console's reading of what a gateway sends, on any bytes: replies and
// records as the platform library reads them (ParseReply, ParseRecord,
// RequestIdOf) and what gwctl shows of them. Checked:
//  - the readers agree on the request id of one payload;
//  - gwctl's lines of its own (errors, status changes, records) stay one
//    line whatever the payload holds, a raw reply is shown unchanged, and
//    the exit status is one of the documented ones;
//  - with the input as a value inside a message built by the protocol code
//    (a record's text, a request id, an error's reason), reading the message
//    gives the value back unchanged.
#include "Cse.h"
#include "Console.h"
#include "PlatformRequests.h"
#include "Protocol.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using kiv::platform::ParseRecord;
using kiv::platform::ParseReply;
using kiv::platform::RequestIdOf;

const std::string kDevice = "gw";

void Require(bool holds) {
  if (!holds) abort();
}

bool OneLine(const std::optional<std::string>& text) {
  return !text || text->find_first_of("\r\n") == std::string::npos;
}

void ReadAsPayload(const std::string& payload) {
  std::string rqi = RequestIdOf(payload);
  if (auto reply = ParseReply(payload)) Require(reply->rqi == rqi && !rqi.empty());
  auto record = ParseRecord(payload);
  if (record) Require(record->rqi == rqi);

  for (bool raw : {false, true}) {
    gwctl::Shown shown = gwctl::ShowReply(payload, kDevice, raw);
    Require(OneLine(shown.error));
    Require(shown.status == gwctl::kExitOk || shown.status == gwctl::kExitRefused);
    Require(shown.error.has_value() == (shown.status != gwctl::kExitOk));
    if (raw) Require(shown.output == payload);
  }
  gwctl::Shown status = gwctl::ShowWatched(kiv::protocol::StatusTopic(kDevice), payload, kDevice);
  Require(OneLine(status.error) && !status.output);
  gwctl::Shown watched =
      gwctl::ShowWatched(kiv::protocol::RequestTopic(kDevice, "id-in"), payload, kDevice);
  Require(OneLine(watched.output) && !watched.error && watched.output.has_value() == !!record);
}

// Values cross the protocol as C strings inside cJSON: one with a NUL in it
// cannot come back whole, and an empty request id is none.
void ReadAsValue(const std::string& value) {
  if (value.empty() || value.find('\0') != std::string::npos) return;
  static const kiv::protocol::CseNames kNames{kDevice, "id-in", "cse-in"};
  auto record = ParseRecord(kiv::protocol::ContentInstanceCreate(kNames, "r1", "rec-r1", value));
  Require(record && record->text == value && record->rqi == "r1");

  kiv::platform::Header header{value, "console", kDevice};
  Require(RequestIdOf(kiv::platform::Retrieve(header, {14})) == value);

  auto error = ParseReply(kiv::protocol::ErrorBody(value, 4000, "/gw", "console", value));
  Require(error && error->rqi == value && error->rsc == 4000 && error->debug == value);
  gwctl::Shown shown = gwctl::ShowReply(kiv::protocol::ErrorBody("r1", 4000, "/gw", "c", value),
                                        kDevice, false);
  Require(shown.status == gwctl::kExitRefused && OneLine(shown.error));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  ReadAsPayload(input);
  ReadAsValue(input);
  return 0;
}
