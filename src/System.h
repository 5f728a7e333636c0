// Shell runner and the network facts of the board read through the shell.
// Each call opens and closes its own pipe; nothing is shared between calls.
#ifndef KIV_GATEWAY_SYSTEM_H
#define KIV_GATEWAY_SYSTEM_H

#include <cstdio>
#include <string>

namespace System {

// Runs cmd through the shell and returns all it writes on standard output,
// newlines included (its standard error is ours). The exit status is not
// looked at. Throws std::runtime_error("popen() failed!") when the command
// cannot be started (also for a null cmd).
std::string ExecuteShellCommand(const char* cmd);

// Reads stream to its end in reads of at most 127 characters; each read's text
// counts up to its first NUL. Ends at end of file, and also at a read error
// other than an interrupted read, which would otherwise repeat for ever.
std::string ReadAllOutput(FILE* stream);

// The MAC address of interface ifname as 12 upper-case hex digits, or "" with
// the line "Error while get %s mac address" logged: for an interface without
// an address, and for a name that is not a plain Linux interface name (1 to 15
// letters, digits, '.', '-' or '_'), which never reaches the shell.
std::string GetIfMacAddr(const char* ifname);

// Whether ifname is safe to place in a shell command as an interface name.
bool IsPlainInterfaceName(const char* ifname);

}  // namespace System

// The IPv4 address and prefix length of tun0 ("10.8.0.2/24"), or "" logged.
std::string GetTunIpAddr();

// The IPv4 address of eth0 from ifconfig, or ""; logged either way.
std::string GetLocalIpAddr();

#endif  // KIV_GATEWAY_SYSTEM_H
