// modemsim: a BC66 NB-IoT modem simulator on a pseudo-terminal (Simulator.h).
#include "Simulator.h"

int main(int argc, char** argv) {
  return modemsim::Main(std::vector<std::string>(argv + 1, argv + argc));
}
