// The simulator's command line: where it bridges to, what it records, and
// the faults it plays.
#ifndef MODEMSIM_SIMULATOR_SETTINGS_H
#define MODEMSIM_SIMULATOR_SETTINGS_H

#include "ModemEngine.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace modemsim {

extern const char kUsage[];

struct Settings {
  std::string broker;      // empty: the simulator's own small broker
  std::string transcript;  // empty: none
  std::string link;        // empty: none
  bool verbose = false;
  bool help = false;
  Faults faults;
};

// A command line the simulator cannot run with; what() says why.
class UsageError : public std::runtime_error {
public:
  UsageError(const std::string& why, bool unknownOption)
      : std::runtime_error(why), unknownOption_(unknownOption) {}
  // An option it does not know: the usage is worth showing.
  bool unknownOption() const { return unknownOption_; }

private:
  bool unknownOption_;
};

// arguments without the program's name. Throws UsageError.
Settings ParseArguments(const std::vector<std::string>& arguments);

}  // namespace modemsim

#endif
