#include "SimulatorSettings.h"

#include "TextEscapes.h"

#include <cstdlib>

namespace modemsim {

const char kUsage[] =
    "usage: modemsim [options]\n"
    "  --broker URI          bridge MQTT to this broker (tcp://host:port); any host the\n"
    "                        tool asks for maps to it. Without it, messages published\n"
    "                        come back to the simulator's own subscribers.\n"
    "  --transcript FILE     write every byte the tool sends to FILE, as is\n"
    "  --link PATH           also make PATH a symbolic link to the device\n"
    "  --verbose             log the traffic on standard error, with monotonic times\n"
    "faults (PATTERN is a whole command line, or its beginning when it ends in '*'):\n"
    "  --silent              answer nothing at all\n"
    "  --split N             send everything in pieces of N bytes...\n"
    "  --split-gap-ms MS     ...MS milliseconds apart (default 20)\n"
    "  --drop PATTERN        do the command, never send the reply the tool waits for\n"
    "  --error PATTERN       answer ERROR instead\n"
    "  --reply PATTERN TEXT  send the line TEXT instead of the awaited reply\n"
    "  --urc-before PATTERN TEXT  send the line TEXT before answering\n"
    "  --garbage PATTERN     send noise bytes (NUL included) before answering\n"
    "TEXT takes C escapes (\\r \\n \\t \\0 \\\\ \\\" \\xHH).\n"
    "standard input: \"send TEXT\" writes TEXT to the line, \"quit\" ends.\n";

namespace {

std::string EscapedArgument(const std::string& text) {
  std::optional<std::string> bytes = Unescape(text);
  if (!bytes) throw UsageError("bad escape in \"" + text + "\"", false);
  return *bytes;
}

int PositiveNumber(const std::string& text) {
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value <= 0 || value > 1000000) {
    throw UsageError("bad number " + text, false);
  }
  return static_cast<int>(value);
}

// Walks the arguments; options take their values from behind them.
class ArgumentReader {
public:
  explicit ArgumentReader(const std::vector<std::string>& arguments) : arguments_(arguments) {}
  bool Done() const { return next_ >= arguments_.size(); }
  const std::string& Option() {
    option_ = next_;
    return arguments_[next_++];
  }
  // The next value of the current option.
  const std::string& Value() {
    if (Done()) throw UsageError(arguments_[option_] + " needs a value", false);
    return arguments_[next_++];
  }

private:
  const std::vector<std::string>& arguments_;
  size_t next_ = 0;
  size_t option_ = 0;
};

void AddRule(Settings& settings, ArgumentReader& reader, FaultRule::Kind kind, bool withText) {
  FaultRule rule{kind, EscapedArgument(reader.Value()), ""};
  if (withText) rule.text = EscapedArgument(reader.Value());
  settings.faults.rules.push_back(rule);
}

}  // namespace

Settings ParseArguments(const std::vector<std::string>& arguments) {
  Settings settings;
  ArgumentReader reader(arguments);
  while (!reader.Done()) {
    const std::string& option = reader.Option();
    if (option == "--broker") {
      settings.broker = reader.Value();
    } else if (option == "--transcript") {
      settings.transcript = reader.Value();
    } else if (option == "--link") {
      settings.link = reader.Value();
    } else if (option == "--verbose") {
      settings.verbose = true;
    } else if (option == "--silent") {
      settings.faults.silent = true;
    } else if (option == "--split") {
      settings.faults.splitBytes = static_cast<size_t>(PositiveNumber(reader.Value()));
    } else if (option == "--split-gap-ms") {
      settings.faults.splitGap = std::chrono::milliseconds(PositiveNumber(reader.Value()));
    } else if (option == "--drop") {
      AddRule(settings, reader, FaultRule::Kind::kDrop, false);
    } else if (option == "--error") {
      AddRule(settings, reader, FaultRule::Kind::kError, false);
    } else if (option == "--garbage") {
      AddRule(settings, reader, FaultRule::Kind::kGarbage, false);
    } else if (option == "--reply") {
      AddRule(settings, reader, FaultRule::Kind::kReply, true);
    } else if (option == "--urc-before") {
      AddRule(settings, reader, FaultRule::Kind::kUrcBefore, true);
    } else if (option == "--help") {
      settings.help = true;  // what follows does not matter
      return settings;
    } else {
      throw UsageError("unknown option " + option, true);
    }
  }
  return settings;
}

}  // namespace modemsim
