// Setting TCP_NODELAY on the MQTT library's connection.
//
// Paho has no option for it and does not expose its socket. With QoS 1 an
// acknowledgement and a reply written back to back meet the peer's delayed
// ACK under Nagle's algorithm, and a round trip costs ~40-90 ms instead of a
// fraction of a millisecond. So the client notes the process's sockets and
// resolves the broker's host just before it asks Paho to connect, and once
// the connection is up it sets TCP_NODELAY on every TCP socket that appeared
// since and whose peer is the broker: one of the host's addresses and the
// broker's port. Sockets of the process to other hosts are left alone.
#ifndef KIV_SDK_TCP_NO_DELAY_H
#define KIV_SDK_TCP_NO_DELAY_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace kiv {
namespace mqtt {

// The broker's end of a connection: every address its host resolves to, as
// raw bytes (4 for IPv4, 16 for IPv6), and its port.
struct BrokerEndpoint {
  std::vector<std::string> addresses;
  int port = 0;
};

// Resolves host: a name (each of its IPv4 and IPv6 addresses), a dotted IPv4
// address, or an IPv6 address with or without its brackets. A host that does
// not resolve yields no address (and so matches no socket). May block on the
// name service: never call it on one of Paho's threads.
BrokerEndpoint ResolveBroker(const std::string& host, int port);

// Inodes of sockets: the few a process has open.
using SocketInodes = std::vector<ino_t>;

// Inodes of the sockets this process has open now (from /proc/self/fd).
SocketInodes OpenSocketInodes();

// Sets TCP_NODELAY on each TCP socket of the process connected to broker and
// absent from before; returns how many got it (-1 if /proc is unreadable).
// An IPv4 peer reached through an IPv4-mapped IPv6 address counts as IPv4.
int SetNoDelayOnNewSockets(const SocketInodes& before, const BrokerEndpoint& broker);

}  // namespace mqtt
}  // namespace kiv

#endif
