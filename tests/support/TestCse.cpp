#include "TestCse.h"

#include "Gatewayd.h"  // ParseJson

#include <csignal>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace kivtest {

namespace {

namespace fs = std::filesystem;

const char* const kCseRelease = "acme-cse-0.9.1";
const char* const kStorageLibrary = "tinydb-4.5.2";  // the release Debian lacks
// Debian's interpreter: another python3 on PATH may lack Debian's packages.
const char* const kPython = "/usr/bin/python3";
const char* const kPythonPackages =
    "python3-flask python3-cbor2 python3-isodate python3-paho-mqtt python3-requests python3-rich";
// It starts in 1-5 s; a loaded machine with ASan tests beside it needs more.
constexpr std::chrono::seconds kReadyTimeout(30);

bool HasPythonPackages() {
  if (access(kPython, X_OK) != 0) return false;
  Process check({kPython, "-c", "import flask, cbor2, isodate, paho.mqtt.client, requests, rich"});
  return check.Wait(std::chrono::seconds(60)) == 0;
}

}  // namespace

std::pair<std::string, std::optional<std::string>> ThirdPartyFolder(const std::string& release) {
  std::string candidate = EnvironmentVariable("KIV_ACME_DIR");
  std::string named = "$KIV_ACME_DIR (" + candidate + ")";
  if (candidate.empty()) named = candidate = SourceDir() + "/../shared/third_party";
  std::error_code error;
  fs::path dir = fs::canonical(candidate, error);
  if (error || !fs::is_directory(dir / release, error)) return {named, std::nullopt};
  return {named, dir.string()};
}

std::optional<std::string> EmulatedSkip() {
  if (!UnderEmulator()) return std::nullopt;
  return std::string("oneM2M CSE tests run natively only: they check the protocol, which the "
                     "emulated build does not change");
}

std::optional<std::string> TestCse::Folder() {
  return ThirdPartyFolder(std::string(kCseRelease) + "/acme").second;
}

std::optional<std::string> TestCse::Unavailable() {
  if (auto why = EmulatedSkip()) return why;
  if (!Folder()) {
    return "no oneM2M CSE: " + ThirdPartyFolder(kCseRelease).first + " holds no " + kCseRelease +
           "; set KIV_ACME_DIR to a folder that does";
  }
  static const bool packages = HasPythonPackages();
  if (!packages) {
    return std::string("the oneM2M CSE needs ") + kPython + " with " + kPythonPackages +
           " (tools/install-deps.sh installs them)";
  }
  return std::nullopt;
}

TestCse::TestCse(const Options& options) : options_(options), httpPort_(FreeLoopbackPort()) {
  Start();
}

TestCse::~TestCse() { Stop(); }

std::string TestCse::RunDir(int run) const { return dir_.File("run-" + std::to_string(run)); }

void TestCse::WriteConfig(const std::string& dir) const {
  // Only these sections count: the [basic.config] shortcuts of the CSE's
  // default file are interpolated there, not read from ours.
  std::string http = std::to_string(httpPort_);
  std::ostringstream ini;
  ini << "[cse]\ntype=IN\ncseID=/" << cseId_ << "\nresourceID=" << cseId_ << "\nresourceName=" << cseName_
      << "\noriginator=" << admin_ << "\n\n"
      << "[server.http]\nlistenIF=127.0.0.1\nport=" << http << "\naddress=http://127.0.0.1:" << http << "\n\n"
      << "[client.mqtt]\nenable=True\naddress=127.0.0.1\nport=" << options_.mqttPort << "\n";
  if (!options_.mqttUser.empty()) {
    ini << "\n[client.mqtt.security]\nusername=" << options_.mqttUser
        << "\npassword=" << options_.mqttPassword << "\n";
  }
  ini << "\n"
      << "[database]\ninMemory=True\npath=" << dir << "/data\n\n"
      << "[logging]\nenableFileLogging=True\npath=" << dir << "/logs\nlevel=info\n\n"
      << "[cse.registration]\nallowedCSROriginators=*\n\n"
      << "[cse.registrar]\ncheckInterval=" << options_.checkIntervalSeconds << "\n";
  WriteFile(dir + "/acme.ini", ini.str());
}

void TestCse::Start() {
  if (process_) return;
  auto folder = Folder();
  if (!folder) throw std::runtime_error(*Unavailable());
  std::string dir = RunDir(runs_ + 1);
  fs::create_directories(dir);
  WriteConfig(dir);
  Process::Options options;
  options.workingDir = dir;  // the CSE writes into its working directory
  options.env = {{"PYTHONDONTWRITEBYTECODE", "1"},  // its folder may be read-only
                 {"PYTHONPATH", *folder + "/" + kCseRelease + ":" + *folder + "/" + kStorageLibrary}};
  ++runs_;
  auto started = std::chrono::steady_clock::now();
  process_ = std::make_unique<Process>(
      std::vector<std::string>{kPython, "-m", "acme", "--config", dir + "/acme.ini", "--headless",
                               "--import-directory", *folder + "/" + kCseRelease + "/init"},
      options);
  bool ready = WaitUntil([&] { return Ready() || !process_->Running(); }, kReadyTimeout) &&
               process_->Running();
  if (!ready) {
    std::string what = process_->Running()
                           ? "was not ready within " + std::to_string(kReadyTimeout.count()) + " s"
                           : "exited at start";
    Stop();
    throw std::runtime_error("the oneM2M CSE (HTTP port " + std::to_string(httpPort_) + ") " + what +
                             ":\n" + Log());
  }
  startDuration_ =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
}

void TestCse::Stop() {
  if (!process_) return;
  process_->Signal(SIGKILL);
  process_->Wait(std::chrono::seconds(10));
  finishedStderr_.push_back(process_->Stderr());
  process_.reset();
}

void TestCse::Restart() {
  Stop();
  Start();
}

HttpResponse TestCse::Request(const OneM2mHttpRequest& request, std::chrono::milliseconds timeout) const {
  return OneM2mHttp(httpPort_, request, timeout);
}

HttpResponse TestCse::Retrieve(const std::string& target) const {
  return Request({"GET", target, admin_, std::nullopt, std::nullopt});
}

std::vector<std::string> TestCse::Contents(const std::string& container) const {
  HttpResponse response = Retrieve(container + "?rcn=4");
  std::vector<std::string> texts;
  if (response.Header("X-M2M-RSC").value_or("") != "2000") return texts;
  const Json::Value document = ParseJson(response.body);
  for (const Json::Value& instance : document["m2m:cnt"]["m2m:cin"]) {
    texts.push_back(instance["con"].asString());
  }
  return texts;
}

bool TestCse::AnswersWithCseBase() const {
  try {
    HttpResponse response = Retrieve("/" + cseName_);
    return response.status == 200 && response.body.find("\"m2m:cb\"") != std::string::npos;
  } catch (const std::runtime_error&) {
    return false;  // not listening yet
  }
}

// The CSE logs that it started once its MQTT client subscribed to its
// request topics; its HTTP server answers earlier than that.
bool TestCse::Ready() const {
  std::string log = ReadFile(RunDir(runs_) + "/logs/cse-IN.log");
  return log.find("*CSE started") != std::string::npos && AnswersWithCseBase();
}

std::string TestCse::Log() const {
  std::string text;
  for (int run = 1; run <= runs_; ++run) {
    size_t index = static_cast<size_t>(run - 1);
    std::string stderrText = index < finishedStderr_.size() ? finishedStderr_[index]
                             : process_                     ? process_->Stderr()
                                                            : "";
    text += "=== oneM2M CSE, start " + std::to_string(run) + ": log ===\n" +
            ReadFile(RunDir(run) + "/logs/cse-IN.log") + "=== its standard error ===\n" + stderrText;
  }
  return text;
}

}  // namespace kivtest
