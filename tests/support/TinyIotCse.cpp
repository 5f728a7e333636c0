#include "TinyIotCse.h"

#include "Gatewayd.h"  // ParseJson
#include "TestCse.h"   // ThirdPartyFolder

#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace kivtest {

namespace {

const char* const kTinyRelease = "tinyiot-832205f";
const char* const kTinyPackages = "build-essential libsqlite3-dev libwebsockets-dev libssl-dev sqlite3";
const char* const kTinyBase = "TinyIoT";
constexpr std::chrono::seconds kTinyBuildTimeout(300);  // about 10 s alone, far more beside a build
constexpr std::chrono::seconds kTinyReadyTimeout(30);

bool BuildToolsPresent() {
  for (const char* path : {"/usr/bin/cc", "/usr/bin/make", "/usr/bin/sqlite3", "/usr/include/sqlite3.h",
                           "/usr/include/libwebsockets.h", "/usr/include/openssl/ssl.h"}) {
    if (access(path, R_OK) != 0) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> TinyIotCse::Unavailable() {
  if (auto why = EmulatedSkip()) return why;
  auto folder = ThirdPartyFolder(kTinyRelease);
  if (!folder.second) {
    return "no tinyIoT CSE: " + folder.first + " holds no " + kTinyRelease +
           "; set KIV_ACME_DIR to a folder that does";
  }
  if (!BuildToolsPresent()) {
    return std::string("tinyIoT builds with the Debian packages ") + kTinyPackages +
           " (tools/install-deps.sh installs them)";
  }
  return std::nullopt;
}

TinyIotCse::TinyIotCse(int mqttPort) : httpPort_(FreeLoopbackPort()) {
  if (auto why = Unavailable()) throw std::runtime_error(*why);
  std::string script = *ThirdPartyFolder(kTinyRelease).second + "/" + kTinyRelease + "/build.sh";
  Process build({"/bin/sh", script, dir_.File("server"), std::to_string(mqttPort), "/*"});
  if (build.Wait(kTinyBuildTimeout) != 0) {
    throw std::runtime_error("tinyIoT did not build:\n" + build.Stdout() + build.Stderr());
  }
  Launch();
}

TinyIotCse::~TinyIotCse() { Stop(); }

// Its database in write-ahead-log mode, set before it opens it: then a test
// reading it never blocks the CSE's writes (the CSE sets no busy timeout, so a
// commit that meets a reader's lock fails, and it answers nothing after).
void TinyIotCse::PrepareDatabase() const {
  std::filesystem::create_directories(RunDir());
  if (std::filesystem::exists(RunDir() + "/data.db")) return;
  Process prepare({"/usr/bin/sqlite3", RunDir() + "/data.db", "PRAGMA journal_mode=WAL;"});
  if (prepare.Wait(std::chrono::seconds(30)) != 0) {
    throw std::runtime_error("cannot prepare tinyIoT's database: " + prepare.Stderr());
  }
}

void TinyIotCse::Launch() {
  PrepareDatabase();
  Process::Options options;
  options.workingDir = RunDir();  // its database, data.db, goes there
  process_ = std::make_unique<Process>(
      std::vector<std::string>{dir_.File("server/server"), "-p", std::to_string(httpPort_)}, options);
  // Ready once subscribed to its requests (its HTTP server answers earlier).
  if (!process_->WaitForOutput("MQTT Subscribe Success: Topic /oneM2M/req/+/tinyiot/#", kTinyReadyTimeout,
                               Process::Stream::kErr)) {
    std::string log = Log();
    Stop();
    throw std::runtime_error("tinyIoT was not ready within 30 s:\n" + log);
  }
}

void TinyIotCse::Stop() {
  if (!process_) return;
  process_->Signal(SIGKILL);
  process_->Wait(std::chrono::seconds(10));
  finishedOutput_ += process_->Stdout() + process_->Stderr();
  process_.reset();
}

void TinyIotCse::Start() {
  if (!process_) Launch();
}

void TinyIotCse::StartFresh() {
  Stop();
  ++folder_;
  Launch();
}

std::vector<TinyIotCse::Instance> TinyIotCse::Instances(const std::string& container) const {
  const std::string query =
      "SELECT g.uri, g.rn, c.con FROM general g JOIN cin c ON c.id = g.id WHERE g.uri LIKE '" + std::string(kTinyBase) +
      "/" + container + "/%' ORDER BY g.id";
  // The CSE may hold a write lock for a moment: a busy database is read again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    Process read({"/usr/bin/sqlite3", "-json", "-cmd", ".timeout 2000", RunDir() + "/data.db", query});
    if (read.Wait(std::chrono::seconds(30)) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    std::vector<Instance> instances;
    if (read.Stdout().find('[') == std::string::npos) return instances;  // none stored
    for (const Json::Value& row : ParseJson(read.Stdout())) {
      instances.push_back({row["rn"].asString(), row["con"].asString(), row["uri"].asString()});
    }
    return instances;
  }
  throw std::runtime_error("cannot read tinyIoT's database in " + RunDir());
}

HttpResponse TinyIotCse::Retrieve(const std::string& target) const {
  return OneM2mHttp(httpPort_, {"GET", target, "CAdmin", std::nullopt, std::nullopt});
}

std::string TinyIotCse::Log() const {
  return "=== tinyIoT's output ===\n" + finishedOutput_ +
         (process_ ? process_->Stdout() + process_->Stderr() : std::string());
}

}  // namespace kivtest
