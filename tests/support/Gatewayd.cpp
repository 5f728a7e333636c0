#include "Gatewayd.h"

#include <cstdio>
#include <stdexcept>

namespace kivtest {

void WriteNodeScript(const TempDir& folder, const std::string& shellBody) {
  WriteFile(folder.File("pynodes.tmp"), "#!/bin/sh\n" + shellBody, true);
  if (rename(folder.File("pynodes.tmp").c_str(), folder.File("pynodes.py").c_str()) != 0)
    throw std::runtime_error("cannot put the node script in place in " + folder.path());
}

std::unique_ptr<Process> StartGatewayd(const TempDir& folder, const std::string& brokerUri,
                                       const std::string& device,
                                       const std::vector<std::string>& options,
                                       const std::map<std::string, std::string>& env) {
  std::vector<std::string> command = ProgramCommand("src/gatewayd");
  for (const std::string& word : {std::string("-s"), brokerUri, std::string("-g"), device}) {
    command.push_back(word);
  }
  command.insert(command.end(), options.begin(), options.end());
  Process::Options run;
  run.workingDir = folder.path();
  run.env = env;
  run.stdinPipe = true;
  return std::make_unique<Process>(command, run);
}

Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string error;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &error)) {
    throw std::runtime_error("not JSON (" + error + "): " + text);
  }
  return value;
}

Json::Value ReplyDocument(const std::vector<const char*>& objects) {
  Json::Value document;
  Json::Value& list = document["primitiveContent"]["anyOrAny"];
  list = Json::Value(Json::arrayValue);
  for (const char* object : objects) list.append(ParseJson(object));
  return document;
}

}  // namespace kivtest
