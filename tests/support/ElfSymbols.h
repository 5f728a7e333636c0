// Reads the names a shared object or program exports in its dynamic symbol
// table, straight from the ELF file (32 or 64 bits, either byte order), so
// export checks also work on cross-built binaries.
#ifndef KIV_TEST_ELF_SYMBOLS_H
#define KIV_TEST_ELF_SYMBOLS_H

#include <set>
#include <string>

namespace kivtest {

// Defined global and weak symbols of .dynsym, as raw (mangled) names.
// Throws std::runtime_error when the file is not a readable ELF file.
std::set<std::string> ExportedSymbols(const std::string& path);

// The DT_NEEDED entries: the shared libraries it links.
std::set<std::string> NeededLibraries(const std::string& path);

// A C++ symbol demangled ("_Z4execPKc" -> "exec(char const*)"); others as given.
std::string Demangle(const std::string& symbol);

}  // namespace kivtest

#endif
