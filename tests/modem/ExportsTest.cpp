// The modemctl program exports its functions and variables under the names
// other programs link against, and needs only the system's libraries.
#include "ElfSymbols.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

std::set<std::string> DemangledExports() {
  std::set<std::string> names;
  for (const std::string& symbol : kivtest::ExportedSymbols(kivtest::BuildDir() + "/modem/modemctl")) {
    names.insert(kivtest::Demangle(symbol));
  }
  return names;
}

TEST(Modemctl, ExportsItsFunctionsWithParameterTypesAndItsVariables) {
  std::set<std::string> exported = DemangledExports();
  const char* expected[] = {
      "fd",
      "readmsg_callback",
      "nb_init_serial(char*)",
      "set_interface_attribs(int, int, int)",
      "set_blocking(int, int)",
      "nb_close_serial()",
      "nb_init_bc66()",
      "nb_connect(int, char*, int, char*, char*, char*)",
      "nb_subcribe_topic(int, char*, int, char*, char*, char*, int, char*, int)",
      "nb_publish_message(int, char*, int, char*, char*, char*, int, char*, char*, int)",
      "nb_close(int)",
      "nb_clear()",
      "nb_process_urc()",
      "nb_loop_read()",
      "nb_set_onmessage_callback(void (*)(int, int, char*, int))",
      "print_content_callback(int, int, char*, int)",
  };
  for (const char* name : expected) EXPECT_EQ(1u, exported.count(name)) << name;
  // The layer's own helpers and its pipe stay inside.
  for (const std::string& name : exported) {
    for (const char* inside : {"CommandExchange", "ResponseBuffer", "Pipe", "modemctl::"}) {
      EXPECT_EQ(std::string::npos, name.find(inside)) << name;
    }
  }
}

TEST(Modemctl, NeedsOnlyTheSystemLibraries) {
  // The C++ runtime is GCC's (libstdc++) or LLVM's (libc++, the musl build).
  const char* systemPrefixes[] = {"libc.",    "libm.",      "libstdc++.", "libc++.",
                                  "libgcc_s.", "ld-",       "libpthread.", "libdl.",
                                  "librt.",   "libasan.",   "libubsan.",  "libtsan."};
  for (const std::string& library :
       kivtest::NeededLibraries(kivtest::BuildDir() + "/modem/modemctl")) {
    bool system = false;
    for (const char* prefix : systemPrefixes) system = system || library.rfind(prefix, 0) == 0;
    EXPECT_TRUE(system) << library;
  }
}

}  // namespace
