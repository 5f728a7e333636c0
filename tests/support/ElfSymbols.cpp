#include "ElfSymbols.h"

#include "Process.h"

#include <cstdlib>
#include <cxxabi.h>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kivtest {
namespace {

// Each line readelf prints for the option, split into words.
std::vector<std::vector<std::string>> Readelf(const std::string& option, const std::string& path) {
  Process readelf({"readelf", "--wide", option, path});
  if (readelf.Wait(std::chrono::seconds(30)) != 0 || !readelf.Stderr().empty()) {
    throw std::runtime_error("readelf " + option + " " + path + ": " + readelf.Stderr());
  }
  std::vector<std::vector<std::string>> lines;
  std::istringstream text(readelf.Stdout());
  for (std::string line; std::getline(text, line);) {
    std::istringstream words(line);
    lines.emplace_back();
    for (std::string word; words >> word;) lines.back().push_back(word);
  }
  return lines;
}

}  // namespace

// A symbol line: "Num: Value Size Type Bind Vis [more Vis words] Ndx Name [(version)]".
std::set<std::string> ExportedSymbols(const std::string& path) {
  std::set<std::string> names;
  for (std::vector<std::string>& words : Readelf("--dyn-syms", path)) {
    if (words.size() < 8 || words[0].back() != ':' || words[0] == "Num:") continue;
    if (words.back().front() == '(') words.pop_back();
    const std::string& bind = words[4];
    const std::string& section = words[words.size() - 2];
    std::string name = words.back();
    if (section != "UND" && (bind == "GLOBAL" || bind == "WEAK")) names.insert(name.substr(0, name.find('@')));
  }
  return names;
}

// A needed line: "0x00000001 (NEEDED) Shared library: [libc.so.6]".
std::set<std::string> NeededLibraries(const std::string& path) {
  std::set<std::string> needed;
  for (const std::vector<std::string>& words : Readelf("--dynamic", path)) {
    if (words.size() == 5 && words[1] == "(NEEDED)") needed.insert(words[4].substr(1, words[4].size() - 2));
  }
  return needed;
}

std::string Demangle(const std::string& symbol) {
  int status = 0;
  char* text = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  if (status != 0 || text == nullptr) return symbol;
  std::string result(text);
  std::free(text);
  return result;
}

}  // namespace kivtest
