// The built gatewayd as the tests run it: a child process in a folder of its
// own that holds its node script, against a test broker; and the documents
// it answers retrieves with.
#ifndef KIV_TEST_GATEWAYD_H
#define KIV_TEST_GATEWAYD_H

#include "TestSupport.h"

#include <json/json.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kivtest {

// Replaces folder's node script pynodes.py with a shell script whole (a
// running gateway never starts a half-written one).
void WriteNodeScript(const TempDir& folder, const std::string& shellBody);

// Starts gatewayd in folder against brokerUri as device, with these further
// options and environment; its standard input stays open and silent, as on
// a board.
std::unique_ptr<Process> StartGatewayd(const TempDir& folder, const std::string& brokerUri,
                                       const std::string& device,
                                       const std::vector<std::string>& options = {},
                                       const std::map<std::string, std::string>& env = {});

// Parses JSON text; throws std::runtime_error when it is not JSON.
Json::Value ParseJson(const std::string& text);

// The objects a retrieve reply holds for types 1001, 1007 and 14, as JSON.
inline const char* const kFirmware =
    R"({"resourceType": 1001, "firmwareName": "fw01", "version": "1.0", "url": "",
        "updateStatus": {"action": "", "status": 0}})";
inline const char* const kDeviceInfo =
    R"({"resourceType": 1007, "manufacturer": "OMA", "model": "lwm2m", "deviceType": "",
        "fwVersion": "1.0", "hwVersion": "1.0", "swVersion": "1.0", "bateryLevel": "69",
        "memoryFree": "96"})";
inline const char* const kNode = R"({"resourceType": 14, "mgmtClientAddress": "127.0.0.1"})";

// The reply document {"primitiveContent": {"anyOrAny": [objects...]}}.
Json::Value ReplyDocument(const std::vector<const char*>& objects);

}  // namespace kivtest

#endif
