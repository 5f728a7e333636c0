// What a test's own process prints on standard output or error.
#ifndef KIV_TEST_CONSOLE_CAPTURE_H
#define KIV_TEST_CONSOLE_CAPTURE_H

#include "TestSupport.h"

#include <string>
#include <unistd.h>

namespace kivtest {

// Redirects the descriptor (standard output or error, so printf, fprintf
// and write alike) to a file while it lives.
class ConsoleCapture {
public:
  // Throws std::runtime_error when the output cannot be redirected.
  explicit ConsoleCapture(int descriptor = STDOUT_FILENO);
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  // Everything printed so far.
  std::string Text() const;

private:
  void Flush() const;
  TempDir dir_;
  int descriptor_;
  int saved_ = -1;
};

}  // namespace kivtest

#endif
