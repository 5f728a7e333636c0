// modemsim: a BC66 NB-IoT modem on a pseudo-terminal, for trying modemctl
// without hardware and for its tests. Prints the device path on its first
// line, answers AT commands on it, and bridges the modem's MQTT client to a
// real broker (or to a small broker of its own when none is given).
//
// Control lines on standard input: "send <text>" writes text (C escapes)
// to the line and answers "sent <bytes>"; "quit" ends the simulator, as do
// SIGINT and SIGTERM.
#ifndef MODEMSIM_SIMULATOR_H
#define MODEMSIM_SIMULATOR_H

#include "SimulatorSettings.h"

#include <string>
#include <vector>

namespace modemsim {

// The whole program: arguments without the program's name; the exit status
// (0, or 2 with the reason on standard error).
int Main(const std::vector<std::string>& arguments);

// Runs the simulator until it is told to stop. Throws std::runtime_error
// when it cannot set itself up.
void Run(const Settings& settings);

}  // namespace modemsim

#endif
