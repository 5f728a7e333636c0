#include "ConsoleCapture.h"

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace kivtest {

ConsoleCapture::ConsoleCapture() {
  fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  int file = open(dir_.File("console").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool redirected = saved_ >= 0 && file >= 0 && dup2(file, STDOUT_FILENO) >= 0;
  if (file >= 0) close(file);
  if (!redirected) {
    if (saved_ >= 0) close(saved_);
    throw std::runtime_error("cannot capture the console");
  }
}

ConsoleCapture::~ConsoleCapture() {
  fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
}

std::string ConsoleCapture::Text() const {
  fflush(stdout);
  return ReadFile(dir_.File("console"));
}


}  // namespace kivtest
