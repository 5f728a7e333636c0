#include "TcpNoDelay.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
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
template <typename Visit>
bool ForEachSocket(Visit visit) {
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

int PeerPort(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return -1;
  if (peer.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
  }
  if (peer.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
  }
  return -1;  // a Unix socket or something else without a TCP port
}

}  // namespace

std::set<ino_t> OpenSocketInodes() {
  std::set<ino_t> inodes;
  ForEachSocket([&](int, ino_t inode) { inodes.insert(inode); });
  return inodes;
}

int SetNoDelayOnNewSockets(const std::set<ino_t>& before, int peerPort) {
  int count = 0;
  bool listed = ForEachSocket([&](int fd, ino_t inode) {
    // Only the sockets opened since the snapshot are looked at (and only
    // those with the broker's port are changed): the connection just made.
    if (before.count(inode) != 0 || PeerPort(fd) != peerPort) return;
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) ++count;
  });
  return listed ? count : -1;
}

}  // namespace mqtt
}  // namespace kiv
