#include "TcpNoDelay.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace kiv {
namespace mqtt {
namespace {

// Calls visit(fd, inode) for every stream socket among the process's open
// descriptors; false when the descriptor list cannot be read.
template <typename Visit>
bool ForEachStreamSocket(Visit visit) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return false;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long fd = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) continue;
    struct stat info {};
    if (fstat(static_cast<int>(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM) {
      continue;
    }
    visit(static_cast<int>(fd), info.st_ino);
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
  ForEachStreamSocket([&](int, ino_t inode) { inodes.insert(inode); });
  return inodes;
}

int SetNoDelayOnNewSockets(const std::set<ino_t>& before, int peerPort) {
  int count = 0;
  bool listed = ForEachStreamSocket([&](int fd, ino_t inode) {
    if (before.count(inode) != 0 || PeerPort(fd) != peerPort) return;
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) ++count;
  });
  return listed ? count : -1;
}

}  // namespace mqtt
}  // namespace kiv
