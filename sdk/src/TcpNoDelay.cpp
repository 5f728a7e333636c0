#include "TcpNoDelay.h"

#include "Function.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kiv {
namespace mqtt {
namespace {

// Calls visit(fd, inode) for every socket among the process's descriptors.
// The inode comes from the /proc link ("socket:[inode]"), so that listing
// touches no descriptor: another thread may close any of them meanwhile.
bool ForEachSocket(const Function<void(int fd, ino_t inode)>& visit) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return false;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long fd = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    char path[64];
    char target[64];
    snprintf(path, sizeof path, "/proc/self/fd/%ld", fd);
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    unsigned long long inode = 0;
    if (sscanf(target, "socket:[%llu]", &inode) != 1) continue;
    visit(static_cast<int>(fd), static_cast<ino_t>(inode));
  }
  closedir(dir);
  return true;
}

// The raw address bytes of an IPv4 or IPv6 socket address, with an
// IPv4-mapped IPv6 address reduced to its IPv4 part; "" for other families.
std::string AddressBytes(const sockaddr_storage& address, int* port) {
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    *port = ntohs(in.sin_port);
    return std::string(reinterpret_cast<const char*>(&in.sin_addr), sizeof in.sin_addr);
  }
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    *port = ntohs(in6.sin6_port);
    const char* bytes = reinterpret_cast<const char*>(&in6.sin6_addr);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) return std::string(bytes + 12, 4);
    return std::string(bytes, sizeof in6.sin6_addr);
  }
  return std::string();  // a Unix socket or something else without a TCP peer
}

bool IsConnectedTo(int fd, const BrokerEndpoint& broker) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
  int port = -1;
  std::string address = AddressBytes(peer, &port);
  return port == broker.port &&
         std::find(broker.addresses.begin(), broker.addresses.end(), address) != broker.addresses.end();
}

}  // namespace

SocketInodes OpenSocketInodes() {
  SocketInodes inodes;
  ForEachSocket([&](int, ino_t inode) { inodes.push_back(inode); });
  return inodes;
}

BrokerEndpoint ResolveBroker(const std::string& host, int port) {
  BrokerEndpoint broker;
  broker.port = port;
  std::string name = host;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return broker;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    sockaddr_storage address{};
    if (entry->ai_addrlen > sizeof address) continue;
    memcpy(&address, entry->ai_addr, entry->ai_addrlen);
    int ignoredPort = 0;
    std::string bytes = AddressBytes(address, &ignoredPort);
    if (!bytes.empty()) broker.addresses.push_back(bytes);
  }
  freeaddrinfo(found);
  return broker;
}

int SetNoDelayOnNewSockets(const SocketInodes& before, const BrokerEndpoint& broker) {
  int count = 0;
  bool listed = ForEachSocket([&](int fd, ino_t inode) {
    // Only the sockets opened since the snapshot are looked at (and only
    // those connected to the broker are changed): the connection just made.
    if (std::find(before.begin(), before.end(), inode) != before.end() || !IsConnectedTo(fd, broker)) {
      return;
    }
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) ++count;
  });
  return listed ? count : -1;
}

}  // namespace mqtt
}  // namespace kiv
