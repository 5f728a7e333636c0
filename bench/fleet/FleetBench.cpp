// A fleet of gatewayd processes against one private mosquitto and one CSE:
// how records flow, and how the fleet weathers a CSE restart and a broker
// restart.
//
//   build/default/bench/fleet_bench [--gateways 20] [--interval 5] [--steady 60]
//       [--cse tinyiot|standin] [--answer-delay 0] [--cse-down 20] [--broker-down 5]
//       [--recovery 120] [--drain 60] [--keep]
//
// Phases: start (every gateway registered), steady state, the CSE away for
// --cse-down seconds and back with its storage, the broker away for
// --broker-down seconds, then a drain (the node scripts stop producing and
// the queues empty). Each gateway has its own folder, state folder and
// device id; its node script is a shell script that numbers its records, so
// what the CSE stored tells what was lost or stored twice. The CSE is the
// tinyIoT CSE from ../shared/third_party (the default where it can run; it
// serves about 80 requests/s) or the stand-in registrar, for fleets tinyIoT
// cannot serve and for answers delayed on purpose (--answer-delay S delays
// every answer). Everything on the wire is counted by a separate listener,
// whichever CSE answers.
#include "Fleet.h"
#include "FleetCse.h"
#include "WireWatch.h"

#include "TestSupport.h"
#include "TinyIotCse.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using fleet::Clock;
using kiv::platform::RequestKinds;

constexpr RequestKinds kRegistrationRequests =
    kiv::platform::kRegistrationSteps | kiv::platform::kRegistrationRetrieve;

struct Settings {
  int gateways = 20;
  int interval = 5;
  int steady = 60;
  std::string cse;  // "tinyiot" or "standin"; empty: tinyIoT where it can run
  int answerDelay = 0;
  int cseDown = 20;
  int brokerDown = 5;
  int recovery = 120;
  int drain = 60;
  bool keep = false;
};

std::atomic<bool> interrupted{false};

// Polls condition until it holds, the timeout passes or the run is interrupted.
bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!interrupted) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(250ms);  // a poll of the fleet's progress
  }
  return false;
}

// Waits for a duration unless the run is interrupted.
void Pause(std::chrono::seconds duration) {
  WaitFor([] { return false; }, duration);
}

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

size_t SecondOf(const fleet::WireWatch& watch, Clock::time_point at) {
  return static_cast<size_t>(std::max(0.0, SecondsBetween(watch.began(), at)));
}

// The end of the seconds counted so far: the one under way included.
size_t SecondsSoFar(const fleet::WireWatch& watch) { return SecondOf(watch, Clock::now()) + 1; }

// ---- the report ------------------------------------------------------------------

std::string PerSecondList(const std::vector<size_t>& counts) {
  std::string text;
  for (size_t count : counts) text += (text.empty() ? "" : " ") + std::to_string(count);
  return text;
}

size_t Peak(const std::vector<size_t>& counts) {
  return counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
}

// The latest time of one kind of event among the gateways since the mark,
// and how many had it.
struct Reached {
  int count = 0;
  std::optional<Clock::time_point> last;
  std::vector<double> after;  // seconds after the base, sorted
};
Reached ReachedSince(const fleet::WireWatch& watch, Clock::time_point base,
                     std::optional<Clock::time_point> fleet::WireWatch::Since::*event) {
  Reached reached;
  for (const auto& [device, since] : watch.SinceMark()) {
    const std::optional<Clock::time_point>& at = since.*event;
    if (!at) continue;
    ++reached.count;
    if (!reached.last || *at > *reached.last) reached.last = at;
    reached.after.push_back(SecondsBetween(base, *at));
  }
  std::sort(reached.after.begin(), reached.after.end());
  return reached;
}

double Quantile(const std::vector<double>& sorted, double q) {
  return sorted.empty() ? 0 : sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5)];
}

// After a restart: when the gateways worked again, and what registering cost.
void ReportRecovery(const fleet::WireWatch& watch, int gateways, Clock::time_point back) {
  Reached delivering = ReachedSince(watch, back, &fleet::WireWatch::Since::delivering);
  Reached registered = ReachedSince(watch, back, &fleet::WireWatch::Since::registered);
  printf("  delivering again (a record stored): %d of %d", delivering.count, gateways);
  if (delivering.last) printf(", the last %.1f s after", SecondsBetween(back, *delivering.last));
  printf("\n  registered again: %d gateways", registered.count);
  if (registered.last) printf(", the last %.1f s after", SecondsBetween(back, *registered.last));
  const size_t from = SecondOf(watch, back);
  std::vector<size_t> perSecond = watch.PerSecond(kRegistrationRequests, from, SecondsSoFar(watch));
  printf("\n  registration requests/s after: peak %zu; per second: %s\n", Peak(perSecond),
         PerSecondList(perSecond).c_str());
}

struct Sequence {
  long stored = 0, distinct = 0, duplicated = 0, outOfOrder = 0, foreign = 0;
};

// Reads what the CSE stored of one gateway: each text names its gateway and
// its number.
Sequence ReadSequence(const std::string& device, const std::vector<std::string>& texts) {
  Sequence sequence;
  std::set<long> numbers;
  long previous = 0;
  const std::string prefix = "{\"gw\":\"" + device + "\",\"seq\":";
  for (const std::string& text : texts) {
    ++sequence.stored;
    if (text.compare(0, prefix.size(), prefix) != 0) {
      ++sequence.foreign;
      continue;
    }
    long number = std::atol(text.c_str() + prefix.size());
    if (!numbers.insert(number).second) ++sequence.duplicated;
    if (number < previous) ++sequence.outOfOrder;
    previous = number;
  }
  sequence.distinct = static_cast<long>(numbers.size());
  return sequence;
}

void ReportRecords(const fleet::Fleet& gateways, const fleet::Cse& cse) {
  std::map<std::string, std::vector<std::string>> stored = cse.Stored();
  long produced = 0, lost = 0;
  Sequence all;
  for (int i = 0; i < gateways.size(); ++i) {
    const std::string& device = gateways.DeviceId(i);
    Sequence one = ReadSequence(device, stored[device]);
    stored.erase(device);
    produced += gateways.Produced(i);
    lost += std::max(0L, gateways.Produced(i) - one.distinct);
    all.stored += one.stored;
    all.distinct += one.distinct;
    all.duplicated += one.duplicated;
    all.outOfOrder += one.outOfOrder;
    all.foreign += one.foreign;
  }
  printf("records (what the CSE stored): produced %ld, stored %ld, not stored %ld (lost, or in a "
         "queue saved at the stop), duplicated %ld, out of order %ld, not the gateway's own %ld; "
         "containers of unknown gateways %zu\n",
         produced, all.stored, lost, all.duplicated, all.outOfOrder, all.foreign, stored.size());
}

void ReportWire(const fleet::WireWatch& watch) {
  const kiv::platform::SentRequests& sent = watch.sent();
  printf("wire: requests %zu (", sent.Total(kiv::platform::kAnyRequest));
  for (size_t kind = 0; kind < kiv::platform::kRequestKindCount; ++kind) {
    auto requestKind = static_cast<kiv::platform::RequestKind>(1u << kind);
    printf("%s%s %zu", kind == 0 ? "" : ", ", kiv::platform::KindName(requestKind), sent.Total(requestKind));
  }
  std::vector<size_t> all = watch.PerSecond(kRegistrationRequests, 0, SecondsSoFar(watch));
  printf(")\n  registration requests/s peak %zu; request ids sent more than once %zu; answers later "
         "than %lld s %zu; requests never answered %zu\n  answers:",
         Peak(all), sent.RepeatedRequestIds().size(),
         static_cast<long long>(fleet::WireWatch::kLate.count()), watch.AnswersLaterThan(),
         watch.Unanswered());
  for (const auto& [key, count] : watch.Answers()) printf(" %s %d x%zu;", kiv::platform::KindName(key.first), key.second, count);
  printf("\n");
}

// ---- the phases ------------------------------------------------------------------

void StartPhase(fleet::Fleet& gateways, fleet::WireWatch& watch) {
  const Clock::time_point began = Clock::now();
  gateways.StartAll();
  auto all = [&] {
    return ReachedSince(watch, began, &fleet::WireWatch::Since::registered).count == gateways.size();
  };
  bool done = WaitFor(all, std::chrono::seconds(60 + gateways.size() / 10));
  Reached registered = ReachedSince(watch, began, &fleet::WireWatch::Since::registered);
  int twice = 0;
  for (const auto& [device, since] : watch.SinceMark()) twice += since.registrationCreates > 1;
  std::vector<size_t> perSecond =
      watch.PerSecond(kRegistrationRequests, SecondOf(watch, began), SecondsSoFar(watch));
  printf("start: %d of %d registered", registered.count, gateways.size());
  if (done && registered.last) printf(", all after %.1f s", SecondsBetween(began, *registered.last));
  printf("; registration requests/s peak %zu; %d gateways sent more than one registration create\n",
         Peak(perSecond), twice);
}

void SteadyPhase(const Settings& s, const fleet::Fleet& gateways, const fleet::WireWatch& watch) {
  // From the next whole second on: the start's requests stay out of it.
  std::this_thread::sleep_until(watch.began() + std::chrono::seconds(SecondsSoFar(watch)));
  const long produced = gateways.ProducedByAll();
  const size_t stored = watch.StoredTotal();
  const size_t from = SecondOf(watch, Clock::now());
  Pause(std::chrono::seconds(s.steady));
  const double seconds = static_cast<double>(s.steady);
  std::vector<size_t> records = watch.PerSecond(kiv::platform::kRecordCreate, from, from + s.steady);
  std::vector<size_t> registration = watch.PerSecond(kRegistrationRequests, from, from + s.steady);
  size_t sends = 0, registrations = 0;
  for (size_t count : records) sends += count;
  for (size_t count : registration) registrations += count;
  long rss = gateways.RssAnonKiB();
  printf("steady %d s: produced %.1f/s, stored %.1f/s, record sends %.1f/s, registration requests "
         "%.1f/s (peak %zu); gatewayd RssAnon %.1f MiB in all, %.0f KiB each\n",
         s.steady, static_cast<double>(gateways.ProducedByAll() - produced) / seconds,
         static_cast<double>(watch.StoredTotal() - stored) / seconds, static_cast<double>(sends) / seconds,
         static_cast<double>(registrations) / seconds, Peak(registration), static_cast<double>(rss) / 1024,
         static_cast<double>(rss) / std::max(1, gateways.size()));
}

// Waits until every gateway delivers again and registration has been quiet
// for 10 s.
void WaitForRecovery(const Settings& s, const fleet::Fleet& gateways, const fleet::WireWatch& watch,
                     Clock::time_point back) {
  WaitFor(
      [&] {
        if (ReachedSince(watch, back, &fleet::WireWatch::Since::delivering).count < gateways.size())
          return false;
        size_t now = SecondsSoFar(watch);
        std::vector<size_t> recent = watch.PerSecond(kRegistrationRequests, now > 10 ? now - 10 : 0, now);
        return Peak(recent) == 0;
      },
      std::chrono::seconds(s.recovery));
}

void CseRestartPhase(const Settings& s, const fleet::Fleet& gateways, fleet::WireWatch& watch,
                     fleet::Cse& cse) {
  cse.Stop();
  Pause(std::chrono::seconds(s.cseDown));
  cse.Start();
  const Clock::time_point back = Clock::now();
  watch.Mark();
  WaitForRecovery(s, gateways, watch, back);
  printf("CSE restart (%d s away, back with its storage):\n", s.cseDown);
  ReportRecovery(watch, gateways.size(), back);
}

void BrokerRestartPhase(const Settings& s, const fleet::Fleet& gateways, fleet::WireWatch& watch,
                        kivtest::TestBroker& broker, fleet::Cse& cse) {
  broker.Stop();
  Pause(std::chrono::seconds(s.brokerDown));
  broker.Start();
  const Clock::time_point back = Clock::now();
  watch.Mark();
  cse.BrokerRestarted();
  const double cseBack = SecondsBetween(back, Clock::now());
  WaitForRecovery(s, gateways, watch, back);
  Reached online = ReachedSince(watch, back, &fleet::WireWatch::Since::online);
  printf("broker restart (%d s away; %s back %.2f s after the broker):\n", s.brokerDown,
         cse.Name().c_str(), cseBack);
  int beforeUs = 0;
  for (const auto& [device, since] : watch.SinceMark()) beforeUs += since.onlineBeforeUs;
  printf("  online again: %d of %d; after the broker was back: first %.1f s, median %.1f s, "
         "90 %% %.1f s, last %.1f s",
         online.count, gateways.size(), Quantile(online.after, 0), Quantile(online.after, 0.5),
         Quantile(online.after, 0.9), Quantile(online.after, 1));
  if (beforeUs > 0) printf(" (%d came before the watch was back: counted from its return)", beforeUs);
  printf("\n");
  ReportRecovery(watch, gateways.size(), back);
}

// Until the records stop: the wire shows every record produced stored, or
// no record went out for 30 s (what the watch missed while the broker was
// away does not hold the drain up; the CSE's storage is what is reported).
void DrainPhase(const Settings& s, fleet::Fleet& gateways, const fleet::WireWatch& watch) {
  gateways.StopProducing();
  Pause(std::chrono::seconds(s.interval + 1));  // a cycle under way ends
  const long produced = gateways.ProducedByAll();
  const char* outcome = "the drain time passed with records still going out";
  WaitFor(
      [&] {
        if (static_cast<long>(watch.StoredTotal()) >= produced) {
          outcome = "every record produced was answered as stored";
          return true;
        }
        size_t now = SecondsSoFar(watch);
        if (now > 30 && Peak(watch.PerSecond(kiv::platform::kRecordCreate, now - 30, now)) == 0) {
          outcome = "no record went out for 30 s";
          return true;
        }
        return false;
      },
      std::chrono::seconds(s.drain));
  printf("drain: %s\n", outcome);
  gateways.StopAll(20s);
}

// ---- the command line ------------------------------------------------------------

bool ReadFlag(int& i, int argc, char** argv, const char* name, int* value) {
  if (std::strcmp(argv[i], name) != 0 || i + 1 >= argc) return false;
  *value = std::atoi(argv[++i]);
  return true;
}

std::optional<Settings> ParseCommandLine(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cse") == 0 && i + 1 < argc) {
      s.cse = argv[++i];
    } else if (std::strcmp(argv[i], "--keep") == 0) {
      s.keep = true;
    } else if (!ReadFlag(i, argc, argv, "--gateways", &s.gateways) &&
               !ReadFlag(i, argc, argv, "--interval", &s.interval) &&
               !ReadFlag(i, argc, argv, "--steady", &s.steady) &&
               !ReadFlag(i, argc, argv, "--answer-delay", &s.answerDelay) &&
               !ReadFlag(i, argc, argv, "--cse-down", &s.cseDown) &&
               !ReadFlag(i, argc, argv, "--broker-down", &s.brokerDown) &&
               !ReadFlag(i, argc, argv, "--recovery", &s.recovery) &&
               !ReadFlag(i, argc, argv, "--drain", &s.drain)) {
      return std::nullopt;
    }
  }
  bool bounded = s.gateways >= 1 && s.gateways <= 5000 && s.interval >= 1 && s.steady >= 1 &&
                 s.answerDelay >= 0 && s.cseDown >= 0 && s.brokerDown >= 0 && s.recovery >= 1 &&
                 s.drain >= 0;
  if (!bounded || (s.cse != "" && s.cse != "tinyiot" && s.cse != "standin")) return std::nullopt;
  if (s.answerDelay > 0 && s.cse == "tinyiot") return std::nullopt;  // only the stand-in delays
  return s;
}

std::unique_ptr<fleet::Cse> MakeCse(Settings& s, const kivtest::TestBroker& broker) {
  if (s.cse.empty() && s.answerDelay == 0) {
    std::optional<std::string> why = kivtest::TinyIotCse::Unavailable();
    s.cse = why ? "standin" : "tinyiot";
    if (why) printf("tinyIoT cannot run here (%s): the stand-in registrar answers\n", why->c_str());
  }
  if (s.cse == "tinyiot") return std::make_unique<fleet::TinyIot>(broker.port());
  return std::make_unique<fleet::StandIn>(broker.uri(), std::chrono::seconds(s.answerDelay));
}

void Interrupted(int) { interrupted = true; }

int Run(Settings s) {
  kivtest::TestBroker broker;
  broker.ServeAFleet();
  std::unique_ptr<fleet::Cse> cse = MakeCse(s, broker);
  fleet::WireWatch watch(broker.uri(), cse->RegistrarId());
  kivtest::TempDir root;
  fleet::Fleet::Settings fleetSettings;
  fleetSettings.size = s.gateways;
  fleetSettings.intervalSeconds = s.interval;
  fleetSettings.brokerUri = broker.uri();
  fleetSettings.environment = cse->GatewayEnvironment();
  fleet::Fleet gateways(root.path(), fleetSettings);
  printf("fleet: %d gatewayd, a record every %d s each, on mosquitto %s; CSE: %s%s\n", s.gateways,
         s.interval, broker.uri().c_str(), cse->Name().c_str(),
         s.answerDelay > 0 ? (", every answer " + std::to_string(s.answerDelay) + " s late").c_str() : "");
  fflush(stdout);
  StartPhase(gateways, watch);
  if (!interrupted) SteadyPhase(s, gateways, watch);
  if (!interrupted && s.cseDown > 0) CseRestartPhase(s, gateways, watch, *cse);
  if (!interrupted && s.brokerDown > 0) BrokerRestartPhase(s, gateways, watch, broker, *cse);
  if (!interrupted) DrainPhase(s, gateways, watch);
  gateways.StopAll(20s);
  ReportRecords(gateways, *cse);
  ReportWire(watch);
  printf("gatewayd logs: %ld [ERROR] lines, %ld [WARN] lines; %d left records for their next start\n",
         gateways.LogLines("[ERROR]"), gateways.LogLines("[WARN]"), gateways.SavedQueues());
  if (s.keep) {
    std::string kept = root.path() + ".kept";
    if (rename(root.path().c_str(), kept.c_str()) == 0) printf("folders kept in %s\n", kept.c_str());
  }
  return interrupted ? 130 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Settings> settings = ParseCommandLine(argc, argv);
  if (!settings) {
    fprintf(stderr, "usage: fleet_bench [--gateways N (1-5000)] [--interval S] [--steady S] "
                    "[--cse tinyiot|standin] [--answer-delay S] [--cse-down S] [--broker-down S] "
                    "[--recovery S] [--drain S] [--keep]\n");
    return 1;
  }
  setenv("KIV_BUILD_DIR", KIV_DEFAULT_BUILD_DIR, 0);  // where gatewayd is
  signal(SIGINT, Interrupted);
  signal(SIGTERM, Interrupted);
  try {
    return Run(*settings);
  } catch (const std::exception& error) {
    fprintf(stderr, "fleet_bench: %s\n", error.what());
    return 2;
  }
}
