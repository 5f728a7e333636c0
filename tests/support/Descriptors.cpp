#include "Descriptors.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace kivtest {

std::map<int, std::string> OpenDescriptors(const std::string& process) {
  std::map<int, std::string> open;
  std::string folder = "/proc/" + process + "/fd";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return open;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[256];
    ssize_t length = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    if (length > 0) open[std::atoi(entry->d_name)] = std::string(target, static_cast<size_t>(length));
  }
  closedir(dir);
  return open;
}

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
  for (const auto& [fd, target] : OpenDescriptors()) {
    unsigned long long inode = 0;
    if (sscanf(target.c_str(), "socket:[%llu]", &inode) == 1 && wanted.count(static_cast<ino_t>(inode))) {
      visit(fd, static_cast<ino_t>(inode));
    }
  }
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

}  // namespace kivtest
