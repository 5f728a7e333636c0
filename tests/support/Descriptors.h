// A process's open descriptors, and this process's own TCP connections to a
// loopback port: for tests of descriptor limits, socket tuning and
// connection faults.
#ifndef KIV_TEST_DESCRIPTORS_H
#define KIV_TEST_DESCRIPTORS_H

#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kivtest {

// Each open descriptor of the process ("self" or a pid) and what it refers
// to, e.g. "socket:[1234]" or "/dev/null". A descriptor closed while the list
// is read may be missing.
std::map<int, std::string> OpenDescriptors(const std::string& process = "self");

// Inodes of this process's TCP sockets connected to the loopback port.
std::set<ino_t> SocketsTo(int port);

// The TCP_NODELAY flag of each such socket.
std::vector<int> NoDelayFlagsOfSocketsTo(int port);

// Shuts down (both ways) each such socket not in spare; returns how many.
int ShutdownSocketsTo(int port, const std::set<ino_t>& spare);

}  // namespace kivtest

#endif
