// Looking at this process's own TCP connections to a broker, for tests of the
// socket tuning and of connection faults.
#ifndef KIV_SDK_TEST_UTIL_H
#define KIV_SDK_TEST_UTIL_H

#include <set>
#include <sys/types.h>
#include <vector>

namespace sdktest {

// Inodes of this process's TCP sockets connected to the loopback port.
std::set<ino_t> SocketsTo(int port);

// The TCP_NODELAY flag of each such socket.
std::vector<int> NoDelayFlagsOfSocketsTo(int port);

// Shuts down (both ways) each such socket not in spare; returns how many.
int ShutdownSocketsTo(int port, const std::set<ino_t>& spare);

}  // namespace sdktest

#endif
