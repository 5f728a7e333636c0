// What the SDK keeps across restarts in the service's state folder: the
// folder named by $STATE_DIRECTORY (systemd may list several, the first is
// ours; the OpenWrt service sets it too).
#ifndef KIV_SDK_STATE_FOLDER_H
#define KIV_SDK_STATE_FOLDER_H

#include "Function.h"

#include <cstdio>
#include <string>

namespace kiv {

// The path of the file name in the state folder, or "" without one.
std::string StateFilePath(const std::string& name);

// Replaces the file at path with what write puts out: written beside it and
// renamed over it, so that a power cut leaves the old file or the new one,
// never half of one. "" when done, else why not (the old file then stays).
std::string ReplaceFile(const std::string& path, const Function<void(std::FILE*)>& write);

// The next line of a file into *line, without its newline and cut at max
// bytes (a longer line is cut there); false at the end of the
// file.
bool ReadLine(std::FILE* file, std::string* line, size_t max);

// The device id of a gateway that was given none: "kiv-" and 12 hexadecimal
// digits, kept in the state folder, so that the platform knows the gateway
// again after a restart. The first start there draws it and stores it; a
// start without a state folder draws a new one for this run only. A stored
// id that cannot be read or is not of that form, or a folder that cannot be
// written, also gives a new id, with the reason in *problem (empty when
// all went well).
std::string GeneratedDeviceId(std::string* problem);

}  // namespace kiv

#endif
