// The names a shared object or program exports and the libraries it links,
// as binutils' readelf reads them from the ELF file (of any class, byte
// order and machine, so the checks also work on cross-built binaries).
#ifndef KIV_TEST_ELF_SYMBOLS_H
#define KIV_TEST_ELF_SYMBOLS_H

#include <set>
#include <string>

namespace kivtest {

// Defined global and weak symbols of .dynsym, as raw (mangled) names.
// Throws std::runtime_error when readelf cannot read the file.
std::set<std::string> ExportedSymbols(const std::string& path);

// The DT_NEEDED entries: the shared libraries it links.
std::set<std::string> NeededLibraries(const std::string& path);

// A C++ symbol demangled ("_Z4execPKc" -> "exec(char const*)"); others as given.
std::string Demangle(const std::string& symbol);

}  // namespace kivtest

#endif
