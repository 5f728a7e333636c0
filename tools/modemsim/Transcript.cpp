#include "Transcript.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace modemsim {

Transcript::Transcript(const std::string& path) {
  if (path.empty()) return;
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
}

Transcript::~Transcript() {
  if (fd_ >= 0) close(fd_);
}

void Transcript::Append(const std::string& bytes) {
  if (fd_ >= 0 && write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    fprintf(stderr, "modemsim: transcript write failed: %s\n", strerror(errno));
  }
}

}  // namespace modemsim
