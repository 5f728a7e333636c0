#include "SdkTestUtil.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace sdktest {
namespace {

// Inodes of the IPv4 TCP sockets whose remote port is port, from the kernel's
// table: no descriptor is touched, so the MQTT library's threads may close
// theirs meanwhile.
std::set<ino_t> InodesConnectedTo(int port) {
  std::set<ino_t> inodes;
  std::ifstream table("/proc/self/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long long inode = 0;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    size_t colon = remote.find(':');
    if (colon == std::string::npos || std::stoi(remote.substr(colon + 1), nullptr, 16) != port)
      continue;
    if (inode != 0) inodes.insert(static_cast<ino_t>(inode));
  }
  return inodes;
}

// visit(fd, inode) for each of our descriptors that is one of those sockets.
template <typename Visit>
void ForEachSocketTo(int port, Visit visit) {
  std::set<ino_t> wanted = InodesConnectedTo(port);
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string path = std::string("/proc/self/fd/") + entry->d_name;
    char target[64];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    unsigned long long inode = 0;
    if (sscanf(target, "socket:[%llu]", &inode) == 1 && wanted.count(static_cast<ino_t>(inode))) {
      visit(atoi(entry->d_name), static_cast<ino_t>(inode));
    }
  }
  closedir(dir);
}

}  // namespace

std::set<ino_t> SocketsTo(int port) {
  std::set<ino_t> inodes;
  ForEachSocketTo(port, [&](int, ino_t inode) { inodes.insert(inode); });
  return inodes;
}

std::vector<int> NoDelayFlagsOfSocketsTo(int port) {
  std::vector<int> flags;
  ForEachSocketTo(port, [&](int fd, ino_t) {
    int flag = -1;
    socklen_t length = sizeof flag;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flag, &length);
    flags.push_back(flag);
  });
  return flags;
}

int ShutdownSocketsTo(int port, const std::set<ino_t>& spare) {
  int count = 0;
  ForEachSocketTo(port, [&](int fd, ino_t inode) {
    if (spare.count(inode) == 0 && shutdown(fd, SHUT_RDWR) == 0) ++count;
  });
  return count;
}

}  // namespace sdktest
