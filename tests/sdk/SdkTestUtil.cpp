#include "SdkTestUtil.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace sdktest {
namespace {

template <typename Visit>
void ForEachSocketTo(int port, Visit visit) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    int fd = atoi(entry->d_name);
    struct stat info {};
    if (fd <= 2 || fd == dirfd(dir) || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET || ntohs(peer.sin_port) != port) {
      continue;
    }
    visit(fd, info.st_ino);
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
