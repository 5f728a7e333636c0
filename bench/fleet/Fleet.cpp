#include "Fleet.h"

#include "TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fleet {
namespace {

// Numbers its records in a file of its folder, and stops producing once the
// benchmark drains (the file ../stop). Builtins only: one shell a cycle.
std::string NodeScript(const std::string& device) {
  return "#!/bin/sh\n"
         "[ -e ../stop ] && exit 0\n"
         "read n < count || n=0\n"
         "n=$((n+1))\n"
         "echo $n > count\n"
         "printf '{\"gw\":\"" + device + "\",\"seq\":%d,\"temp\":21.5}\\n' $n\n";
}

long StatusField(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const size_t length = std::strlen(field);
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length);
  }
  return 0;
}

}  // namespace

std::string FleetDeviceId(int i) {
  char id[32];
  std::snprintf(id, sizeof id, "fleet%04d", i + 1);
  return id;
}

Fleet::Fleet(const std::string& root, Settings settings)
    : root_(root), settings_(std::move(settings)) {
  for (int i = 0; i < settings_.size; ++i) {
    devices_.push_back(FleetDeviceId(i));
    std::string folder = Folder(i);
    if (mkdir(folder.c_str(), 0755) != 0 || mkdir((folder + "/state").c_str(), 0755) != 0)
      throw std::runtime_error("cannot make " + folder + ": " + std::strerror(errno));
    kivtest::WriteFile(folder + "/pynodes.py", NodeScript(devices_.back()), true);
    kivtest::WriteFile(folder + "/count", "0\n");
  }
}

Fleet::~Fleet() {
  for (pid_t& pid : pids_) {
    if (pid <= 0) continue;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = 0;
  }
}

std::string Fleet::Folder(int gateway) const { return root_ + "/" + devices_[gateway]; }

pid_t Fleet::Spawn(int gateway) const {
  const std::string folder = Folder(gateway);
  std::vector<std::string> argv = kivtest::ProgramCommand("src/gatewayd");
  for (const std::string& word : {std::string("-s"), settings_.brokerUri, std::string("-g"),
                                  devices_[gateway], std::string("-i"),
                                  std::to_string(settings_.intervalSeconds)}) {
    argv.push_back(word);
  }
  std::map<std::string, std::string> extra = settings_.environment;
  extra["STATE_DIRECTORY"] = folder + "/state";
  std::vector<std::string> environment = kivtest::EnvironmentWith(extra);
  std::vector<char*> argPointers = kivtest::ExecPointers(argv);
  std::vector<char*> envPointers = kivtest::ExecPointers(environment);
  const std::string log = folder + "/gatewayd.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);  // our broker connections
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argPointers[0], &actions, nullptr, argPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start gatewayd in " + folder + ": " + std::strerror(rc));
  return pid;
}

void Fleet::StartAll() {
  for (int i = 0; i < settings_.size; ++i) pids_.push_back(Spawn(i));
}

void Fleet::StopProducing() { kivtest::WriteFile(root_ + "/stop", ""); }

void Fleet::StopAll(std::chrono::seconds grace) {
  for (pid_t pid : pids_) {
    if (pid > 0) kill(pid, SIGTERM);
  }
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (Ended() < static_cast<int>(pids_.size()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a poll of our children
  }
  for (pid_t& pid : pids_) {
    if (pid <= 0) continue;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = 0;
  }
}

int Fleet::Ended() {
  int ended = 0;
  for (pid_t& pid : pids_) {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) pid = 0;
    ended += pid == 0;
  }
  return ended;
}

long Fleet::Produced(int gateway) const {
  return std::atol(kivtest::ReadFile(Folder(gateway) + "/count").c_str());
}

long Fleet::ProducedByAll() const {
  long produced = 0;
  for (int i = 0; i < settings_.size; ++i) produced += Produced(i);
  return produced;
}

long Fleet::RssAnonKiB() const {
  long total = 0;
  for (pid_t pid : pids_) {
    if (pid > 0) total += StatusField(pid, "RssAnon:");
  }
  return total;
}

long Fleet::LogLines(const std::string& category) const {
  long lines = 0;
  for (int i = 0; i < settings_.size; ++i) {
    lines += static_cast<long>(kivtest::Occurrences(kivtest::ReadFile(Folder(i) + "/gatewayd.log"), category));
  }
  return lines;
}

int Fleet::SavedQueues() const {
  int saved = 0;
  for (int i = 0; i < settings_.size; ++i) {
    saved += access((Folder(i) + "/state/records.journal").c_str(), F_OK) == 0;
  }
  return saved;
}

}  // namespace fleet
