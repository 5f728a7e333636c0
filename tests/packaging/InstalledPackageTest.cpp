// The packages of build/packages (tools/make-ipk.sh, tools/make-deb.sh)
// installed into a temporary root, and the command their service manager
// would run started from there against a private broker: the procd
// instance's command as the packaged init script gives it, the unit's
// ExecStart. Each must publish a record of the packaged example node script.
#include "Gatewayd.h"
#include "PlatformClient.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A cycle under qemu starts the emulated gatewayd and a Python node script.
constexpr std::chrono::milliseconds kDeadline = 60s;

using kivtest::SourceDir;

// The one package in build/packages whose name ends in suffix.
std::string PackageFile(const std::string& suffix) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(SourceDir() + "/build/packages", error)) {
    std::string name = entry.path().filename();
    if (name.rfind("gatewayd_", 0) == 0 && name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.push_back(entry.path());
    }
  }
  return found.size() == 1 ? found[0] : "";
}

// Debian's name for this machine's architecture (amd64 here).
std::string HostArchitecture() {
  kivtest::Process dpkg({"dpkg", "--print-architecture"});
  dpkg.Wait(30s);
  std::string name = dpkg.Stdout();
  return name.substr(0, name.find('\n'));
}

std::string Join(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
  return line;
}

// Runs a command to its end: empty when it succeeded, else what it said.
std::string RunToEnd(const std::vector<std::string>& command,
                     const kivtest::Process::Options& options = {}) {
  kivtest::Process process(command, options);
  std::optional<int> status = process.Wait(120s);
  if (status == 0) return "";
  return Join(command) + ": status " + (status ? std::to_string(*status) : "none") + "\n" +
         process.Stdout() + process.Stderr();
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Replaces the first `"key": ""` of a settings file with the value.
bool SetEmptySetting(std::string& settings, const std::string& key, const std::string& value) {
  std::string empty = "\"" + key + "\": \"\"";
  size_t at = settings.find(empty);
  if (at == std::string::npos) return false;
  settings.replace(at, empty.size(), "\"" + key + "\": \"" + value + "\"");
  return true;
}

class InstalledPackage : public testing::Test {
protected:
  // An absolute path of the installed system, as it lies under the root.
  std::string InRoot(const std::string& path) const {
    return path.empty() || path[0] != '/' ? path : root.path() + path;
  }

  // The packaged settings, as shipped, pointed at the broker and the device.
  void ConfigureSettings(const std::string& path) {
    std::string settings = kivtest::ReadFile(InRoot(path));
    ASSERT_TRUE(SetEmptySetting(settings, "serverURI", broker.uri())) << settings;
    ASSERT_TRUE(SetEmptySetting(settings, "gatewayId", device)) << settings;
    kivtest::WriteFile(InRoot(path), settings);
  }

  // Runs the service's command until the platform has a record, then stops
  // it as the service manager would: it must end by itself, with status 0.
  // The platform watches through `via` (the fixture's broker unless told),
  // verifying a TLS broker against caFile.
  void ExpectARecordFrom(const std::vector<std::string>& command,
                         const std::map<std::string, std::string>& environment,
                         const kivtest::TestBroker* via = nullptr, const std::string& caFile = "") {
    kiv::platform::Platform::Options settings;
    settings.serverUri = (via ? *via : broker).uri();
    settings.caFile = caFile;
    settings.answerAsRegistrar = true;
    kiv::platform::Platform platform(settings);
    ASSERT_EQ(platform.Connect(kDeadline), 0);
    ASSERT_EQ(platform.Watch(device), 0);
    kivtest::Process::Options options;
    options.env = environment;
    kivtest::Process service(command, options);
    kivtest::WaitUntil([&] { return !platform.Records(device).empty() || !service.Running(); },
                       kDeadline);
    ASSERT_FALSE(platform.Records(device).empty()) << Join(command) << "\n" << service.Stderr();
    const std::string text = platform.Records(device)[0].text;
    EXPECT_EQ(kivtest::ParseJson(text)["nodes"].size(), 4u) << text;
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(kDeadline), 0) << service.Stderr();
  }

  kivtest::TestBroker broker;
  kivtest::TempDir root;
  std::string device = "pkg-gw-" + std::to_string(getpid());
};

// The quoted words of the stand-ins' line that starts with prefix.
std::vector<std::string> QuotedWords(const std::string& lines, const std::string& prefix) {
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) != 0) continue;
    std::vector<std::string> words;
    std::istringstream parts(line.substr(prefix.size()));
    for (std::string part; std::getline(parts, part, '\'');) {
      std::string word;
      if (std::getline(parts, word, '\'')) words.push_back(word);
    }
    return words;
  }
  return {};
}

// The ipk unpacked over a musl firmware's root (its loader and C libraries
// only, KIV_MIPSEL_FIRMWARE), as opkg installs it, and the init script's
// command run there under qemu-mipsel: over plain MQTT, then once over TLS
// through the firmware's OpenSSL.
TEST_F(InstalledPackage, OpenWrtServiceCommandPublishesFromTheIpkOverAMuslFirmwareUnderQemu) {
  std::string ipk = PackageFile("_mipsel_24kc.ipk");
  ASSERT_FALSE(ipk.empty()) << "no single ipk in build/packages: run sh tools/make-ipk.sh";
  const char* firmware = std::getenv("KIV_MIPSEL_FIRMWARE");
  ASSERT_NE(firmware, nullptr) << "KIV_MIPSEL_FIRMWARE names no firmware root";
  ASSERT_EQ(RunToEnd({"cp", "-a", std::string(firmware) + "/.", root.path()}), "");
  ASSERT_EQ(RunToEnd({"sh", "-c", "ar p \"$0\" data.tar.gz | tar -xzf - -C \"$1\"", ipk,
                      root.path()}),
            "");
  ConfigureSettings("/opt/kiv/gw.cfg");

  // The packaged init script with its packaged UCI file, through procd
  // stand-ins: the instance's command and environment.
  kivtest::Process::Options standIns;
  standIns.env["UCI_CONFIG_DIR"] = InRoot("/etc/config");
  kivtest::Process init({"sh", SourceDir() + "/tests/packaging/procd-standins.sh",
                         InRoot("/etc/init.d/gatewayd")},
                        standIns);
  ASSERT_EQ(init.Wait(30s), 0) << init.Stderr();
  std::vector<std::string> command;
  for (const std::string& word : QuotedWords(init.Stdout(), "procd_set_param 'command'")) {
    // The board runs the program itself; here qemu-mipsel runs it, its
    // loader and libraries taken from the root.
    if (word == "/usr/bin/gatewayd") command.insert(command.end(), {"qemu-mipsel", "-L", root.path()});
    command.push_back(InRoot(word));
  }
  ASSERT_GE(command.size(), 3u) << init.Stdout();
  std::map<std::string, std::string> environment;
  for (const std::string& setting : QuotedWords(init.Stdout(), "procd_set_param 'env'")) {
    size_t equals = setting.find('=');
    environment[setting.substr(0, equals)] = InRoot(setting.substr(equals + 1));
  }
  ExpectARecordFrom(command, environment);
  // The node script kept its state where the service told it to.
  EXPECT_TRUE(std::filesystem::exists(environment["STATE_DIRECTORY"] + "/.pynodes-state.json"));

  kivtest::TempDir certificates;
  kivtest::MakeTestCertificates(certificates.path());
  kivtest::TestBroker tlsBroker({certificates.File("ca.crt"), certificates.File("server.crt"),
                                 certificates.File("server.key")});
  std::string settings = kivtest::ReadFile(InRoot("/opt/kiv/gw.cfg"));
  const size_t plainUri = settings.find(broker.uri());
  ASSERT_NE(plainUri, std::string::npos) << settings;
  kivtest::WriteFile(InRoot("/opt/kiv/gw.cfg"),
                     settings.replace(plainUri, broker.uri().size(), tlsBroker.uri()));
  environment["KIV_TLS_CAFILE"] = certificates.File("ca.crt");
  ExpectARecordFrom(command, environment, &tlsBroker, certificates.File("ca.crt"));
}

TEST_F(InstalledPackage, DebianUnitCommandPublishesFromAnInstalledDebThatRemovesCleanly) {
  if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg --root needs root";
  std::string deb = PackageFile("_" + HostArchitecture() + ".deb");
  ASSERT_FALSE(deb.empty()) << "no single native deb in build/packages: run sh tools/make-deb.sh";
  std::filesystem::create_directories(InRoot("/var/lib/dpkg/info"));
  std::filesystem::create_directories(InRoot("/var/lib/dpkg/updates"));
  kivtest::WriteFile(InRoot("/var/lib/dpkg/status"), "");
  // Without the libraries' packages in the root (--force-depends); the
  // maintainer scripts run here, told the root by $DPKG_ROOT.
  std::vector<std::string> dpkg = {"dpkg", "--root=" + root.path(),
                                   "--log=" + InRoot("/dpkg.log"), "--force-depends",
                                   "--force-script-chrootless"};
  auto Dpkg = [&](std::vector<std::string> action) {
    action.insert(action.begin(), dpkg.begin(), dpkg.end());
    return RunToEnd(action);
  };
  ASSERT_EQ(Dpkg({"--install", deb}), "");

  // The postinst made the service's user, gave it the settings and
  // enabled the unit.
  struct stat settings {};
  ASSERT_EQ(stat(InRoot("/etc/kiv/gw.cfg").c_str(), &settings), 0);
  EXPECT_EQ(settings.st_mode & 07777, 0640u);
  EXPECT_NE(kivtest::ReadFile(InRoot("/etc/group"))
                .find("gatewayd:x:" + std::to_string(settings.st_gid) + ":"),
            std::string::npos);
  const std::string enabled = "/etc/systemd/system/multi-user.target.wants/gatewayd.service";
  EXPECT_TRUE(std::filesystem::is_symlink(InRoot(enabled)));

  ConfigureSettings("/etc/kiv/gw.cfg");
  std::vector<std::string> command;
  std::istringstream unit(kivtest::ReadFile(InRoot("/lib/systemd/system/gatewayd.service")));
  for (std::string line; std::getline(unit, line);) {
    if (line.rfind("ExecStart=", 0) != 0) continue;
    for (const std::string& word : Words(line.substr(10))) command.push_back(InRoot(word));
  }
  ASSERT_GE(command.size(), 3u);
  // StateDirectory=gatewayd: what systemd would create and announce.
  ExpectARecordFrom(command, {{"STATE_DIRECTORY", InRoot("/var/lib/gatewayd")}});

  // Installed again (as an upgrade would): the edited settings stay.
  ASSERT_EQ(Dpkg({"--install", deb}), "");
  EXPECT_NE(kivtest::ReadFile(InRoot("/etc/kiv/gw.cfg")).find(broker.uri()), std::string::npos);

  // Removed: the programs and the enablement go, the settings stay;
  // purged: the settings go too.
  ASSERT_EQ(Dpkg({"--remove", "gatewayd"}), "");
  EXPECT_FALSE(std::filesystem::exists(InRoot("/usr/bin/gatewayd")));
  EXPECT_FALSE(std::filesystem::is_symlink(InRoot(enabled)));
  EXPECT_TRUE(std::filesystem::exists(InRoot("/etc/kiv/gw.cfg")));
  ASSERT_EQ(Dpkg({"--purge", "gatewayd"}), "");
  EXPECT_FALSE(std::filesystem::exists(InRoot("/etc/kiv")));
  EXPECT_FALSE(std::filesystem::exists(InRoot("/var/lib/gatewayd")));
}

}  // namespace
