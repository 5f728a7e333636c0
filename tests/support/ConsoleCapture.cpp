#include "ConsoleCapture.h"

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>

namespace kivtest {

ConsoleCapture::ConsoleCapture(int descriptor) : descriptor_(descriptor) {
  Flush();
  saved_ = dup(descriptor_);
  int file = open(dir_.File("console").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool redirected = saved_ >= 0 && file >= 0 && dup2(file, descriptor_) >= 0;
  if (file >= 0) close(file);
  if (!redirected) {
    if (saved_ >= 0) close(saved_);
    throw std::runtime_error("cannot capture the console");
  }
}

ConsoleCapture::~ConsoleCapture() {
  Flush();
  dup2(saved_, descriptor_);
  close(saved_);
}

std::string ConsoleCapture::Text() const {
  Flush();
  return ReadFile(dir_.File("console"));
}

void ConsoleCapture::Flush() const { fflush(descriptor_ == STDERR_FILENO ? stderr : stdout); }

}  // namespace kivtest
