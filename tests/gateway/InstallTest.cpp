// cmake --install lays gatewayd out as a board expects: the program in bin/,
// our three libraries in lib/, found through the program's run path.
#include "ElfSymbols.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

TEST(Install, PutsTheProgramAndItsThreeLibrariesInPlace) {
  kivtest::TempDir prefix;
  kivtest::Process install({"cmake", "--install", kivtest::BuildDir(), "--prefix", prefix.path()});
  ASSERT_EQ(install.Wait(120s), 0) << install.Stdout() << install.Stderr();

  const std::string program = prefix.File("bin/gatewayd");
  ASSERT_EQ(access(program.c_str(), X_OK), 0);
  std::set<std::string> needed = kivtest::NeededLibraries(program);
  for (const char* library : {"libKIVSdkcpp.so", "libKIVKeycpp.so", "libKIVIOcpp.so"}) {
    SCOPED_TRACE(library);
    EXPECT_EQ(needed.count(library), 1u);
    EXPECT_EQ(access(prefix.File(std::string("lib/") + library).c_str(), R_OK), 0);
  }

  // Run from the install folder: it finds its libraries there (its RUNPATH).
  std::vector<std::string> command = kivtest::TargetProgramCommand(program);
  command.push_back("-h");
  kivtest::Process run(command);
  ASSERT_EQ(run.Wait(30s), 0) << run.Stderr();
  EXPECT_EQ(run.Stdout().rfind("Usage: " + program + " [options...]\n", 0), 0u) << run.Stdout();
}

}  // namespace
