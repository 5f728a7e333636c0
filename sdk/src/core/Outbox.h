// The records the gateway produced and the platform's CSE has not yet
// stored, oldest first, within bounds a router's memory can afford.
//
// Each record carries its own delivery state: waiting, or sent (under a
// request id of its own, with its own answer timer), and the request ids it
// went out under before, so that an answer to any of its sends counts, late
// ones included. Records go in order, one in flight at a time (a window);
// every send has a fresh request id. A record leaves through one function
// (Leave), which always reports how: stored (2001, or 4105: a content
// instance of its name exists, stored by an earlier send whose answer was
// lost), refused for good (with the CSE's rsc), dropped (the queue was full)
// or kept at a stop.
//
// Not answered in time, or answered "not now" (4008, 5xxx): the record waits
// again and goes out after a jittered back-off; that alone never restarts
// the registration. Answered 4004: the CSE lost the registration; the
// outbox stops sending and says so (Hooks::registrationLost).
//
// Runs on the SDK's loop: not thread-safe.
#ifndef KIV_SDK_CORE_OUTBOX_H
#define KIV_SDK_CORE_OUTBOX_H

#include "AnswerDeadline.h"
#include "Backoff.h"
#include "IdMap.h"
#include "RecentIds.h"
#include "RecordQueue.h"
#include "RegistrarLink.h"
#include "Timers.h"

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace kiv {

class Outbox {
public:
  using Record = RecordQueue::Entry;
  enum class Exit { kStored, kRefused, kDropped, kKeptAtStop };

  struct Settings {
    RecordQueue::Limits limits;
    // Records in flight at once. One keeps them stored in the order they
    // were produced, whatever is lost on the way: a platform application
    // that reads the latest record must never get an older one.
    size_t window = 1;
    Backoff::Policy resend{std::chrono::seconds(2), std::chrono::minutes(5), 0.0};
  };
  struct Hooks {
    // Every record that leaves, once: rsc is the CSE's for kStored/kRefused.
    Function<void(const Record&, Exit, int rsc)> left;
    Function<void()> registrationLost;
    // A record is held (kept durably from now on: Journal), and a held one
    // left for good. Records stored promptly are never held.
    Function<void(const Record&)> hold;
    Function<void(const std::string& name)> forget;
  };
  // A record not stored this long after it was produced counts as held.
  static constexpr std::chrono::seconds kHoldAfter{5};

  Outbox(Settings settings, Timers& timers, RegistrarLink& link, AnswerDeadline& deadline,
         Backoff::Draw draw, Hooks hooks);
  ~Outbox();

  // A record produced: kept whatever the connection's state.
  void Add(Record record);
  // Records held at the last run (kept durably already), before any new one.
  void Restore(std::vector<Record> records);
  // The registrar takes records now (registered), or not (offline,
  // registering): records sent and not answered wait again.
  void Open();
  void Close();
  // An answer from the registrar: false when it is to none of the outbox's sends.
  bool Answer(const std::string& rqi, int rsc);
  // At a stop: every record is held, and leaves as kept.
  void KeepAll();

  std::vector<Record> Records() const;
  size_t Size() const { return entries_.size(); }
  size_t InFlight() const { return inFlight_; }

private:
  struct Entry {
    Record record;
    std::vector<std::string> rqis;  // every send, the latest last
    bool sent = false;              // the latest send waits for its answer
    Timers::TimePoint sentAt{};
    Timers::TimePoint addedAt{};
    bool held = false;              // kept durably (Hooks::hold)
    std::unique_ptr<Timer> answerTimer;
  };
  using Position = std::list<Entry>::iterator;

  void Push(Record record, bool held);
  void HoldWhatWaits();
  void Pump();
  void Send(Position entry);
  void Unsend(Entry& entry);
  void AnswerMissing(Position entry);
  void HoldBack();
  void Leave(Position entry, Exit exit, int rsc);
  void Stored(Position entry);
  void Refused(Position entry, int rsc);
  void Forget(const std::string& rqi);
  void BeginOutage();
  void EndOutageIfDrained();
  static size_t Cost(const Record& record);

  Settings settings_;
  Timers& timers_;
  RegistrarLink& link_;
  AnswerDeadline& deadline_;
  Backoff resendBackoff_;
  Hooks hooks_;
  std::list<Entry> entries_;
  IdMap<Position> byRqi_;
  // Request ids of records that left: their late answers are known, and dropped.
  RecentIds gone_;
  size_t bytes_ = 0;
  size_t inFlight_ = 0;
  bool open_ = false;
  bool heldBack_ = false;  // after a missing or "not now" answer, until resendTimer_
  Timer resendTimer_;
  Timer holdTimer_;  // the next record to count as held
  bool answerMissingLogged_ = false;

  // What the operator reads: the start of an outage, its end, and losses.
  bool outage_ = false;
  bool draining_ = false;
  size_t delivered_ = 0;
  size_t dropped_ = 0;
  size_t refusedInStretch_ = 0;
};

}  // namespace kiv

#endif
