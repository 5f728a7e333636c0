// What the SDK keeps across restarts in the service's state folder: the
// folder named by $STATE_DIRECTORY (systemd may list several, the first is
// ours; the OpenWrt service sets it too). The folder's start-up check and
// lock are in the public kiv/StateFolder.h.
#ifndef KIV_SDK_STATE_FOLDER_H
#define KIV_SDK_STATE_FOLDER_H

#include "Function.h"

#include <cstdio>
#include <string>

namespace kiv {

// The state folder, or "" without one.
std::string StateFolder();
// The path of the file name in the state folder, or "" without one.
std::string StateFilePath(const std::string& name);

// Puts a file's content out; false when a write failed.
using FileWriter = Function<bool(std::FILE* out)>;

// Replaces the file at path with what write puts out: written beside it,
// flushed to the storage, renamed over it and the rename flushed too, so that
// a power cut at any moment leaves the old file or the new one whole, never
// half of one or an empty one. "" when done, else why not (the old file then
// stays).
std::string ReplaceFile(const std::string& path, const FileWriter& write);

// Writes bytes to out whole; false when it could not.
bool WriteBytes(std::FILE* out, const std::string& bytes);

// The first line of the file at path (without its line end) when it has one
// of at most most bytes; false when it cannot be read or has none.
bool ReadFirstLine(const std::string& path, size_t most, std::string* line);

// Flushes the folder's entries (a file created, renamed or removed in it) to
// the storage. "" when done, else why not.
std::string SyncFolder(const std::string& folder);
// The folder that holds path ("." for a bare name).
std::string FolderOf(const std::string& path);

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
