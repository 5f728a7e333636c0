// What a test's own process prints on standard output, and counting texts in
// it.
#ifndef KIV_TEST_CONSOLE_CAPTURE_H
#define KIV_TEST_CONSOLE_CAPTURE_H

#include "TestSupport.h"

#include <string>

namespace kivtest {

// Redirects standard output (descriptor 1, so printf and write alike) to a
// file while it lives.
class ConsoleCapture {
public:
  // Throws std::runtime_error when the output cannot be redirected.
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  // Everything printed so far.
  std::string Text() const;

private:
  TempDir dir_;
  int saved_ = -1;
};

}  // namespace kivtest

#endif
