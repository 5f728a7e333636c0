// Setting TCP_NODELAY on the MQTT library's connection.
//
// Paho has no option for it and does not expose its socket. With QoS 1 an
// acknowledgement and a reply written back to back meet the peer's delayed
// ACK under Nagle's algorithm, and a round trip costs ~40-90 ms instead of a
// fraction of a millisecond. So the client notes the process's sockets just
// before it asks Paho to connect, and once the connection is up it sets
// TCP_NODELAY on every TCP socket that appeared since and whose peer port is
// the broker's. A socket that another part of the process opened to the same
// broker port in that short window gets the option too, which is harmless.
#ifndef KIV_SDK_TCP_NO_DELAY_H
#define KIV_SDK_TCP_NO_DELAY_H

#include <set>
#include <sys/types.h>

namespace kiv {
namespace mqtt {

// Inodes of the sockets this process has open now (from /proc/self/fd).
std::set<ino_t> OpenSocketInodes();

// Sets TCP_NODELAY on each TCP socket of the process connected to peerPort
// and absent from before; returns how many got it (-1 if /proc is unreadable).
int SetNoDelayOnNewSockets(const std::set<ino_t>& before, int peerPort);

}  // namespace mqtt
}  // namespace kiv

#endif
