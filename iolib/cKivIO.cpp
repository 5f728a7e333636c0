// libKIVIOcpp: runs the node script and passes its output on; prints the
// control commands meant for the nodes.
#include "cKivIO.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace {

constexpr char kNodeScript[] = "./pynodes.py";

// Closes the pipe on every way out of exec, an exception included.
struct PipeCloser {
  void operator()(FILE* pipe) const { pclose(pipe); }
};

}  // namespace

std::string exec(const char* cmd) {
  if (!cmd) throw std::runtime_error("popen() failed!");
  std::string result;
  std::unique_ptr<FILE, PipeCloser> pipe(popen(cmd, "r"));
  if (!pipe) throw std::runtime_error("popen() failed!");
  char buffer[128];
  // fgets returns null at end of file and on a read error alike; either ends
  // the loop, so a pipe that keeps failing cannot keep us spinning.
  while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) result += buffer;
  return result;
}

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" {

std::string OutputAll() {
  std::string data = exec(kNodeScript);
  std::cout << "retrive data = " << data;
  return data;
}

std::string Input(const char* input) {
  if (input) std::printf("\ninput =%s\n", input);
  return std::string();
}

std::string Output() { return std::string(); }

}  // extern "C"
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
