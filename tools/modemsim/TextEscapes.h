// C-style escapes for texts given on the simulator's command line and stdin
// (\r, \n, \t, \0, \\, \", \xHH), and back for its traffic log.
#ifndef MODEMSIM_TEXT_ESCAPES_H
#define MODEMSIM_TEXT_ESCAPES_H

#include <optional>
#include <string>

namespace modemsim {

// The bytes the text stands for; nothing for a malformed escape.
std::optional<std::string> Unescape(const std::string& text);

// Printable ASCII as is, everything else escaped.
std::string Escape(const std::string& bytes);

}  // namespace modemsim

#endif
