#include "Outbox.h"

#include "Format.h"
#include "Protocol.h"
#include "kiv/Proxy.h"  // LogCategory

#include <optional>

namespace kiv {
namespace {

constexpr size_t kEntryOverhead = 128;  // the list node, the strings, the timer
constexpr size_t kRqisPerRecord = 8;    // sends whose late answers still count
constexpr size_t kGoneRemembered = 256;

// "record" or "records", after a count.
const char* RecordWord(size_t count) { return count == 1 ? "record" : "records"; }

// A content instance of that name exists: this record, stored by an earlier
// send whose answer was lost.
bool IsStored(int rsc) { return rsc == protocol::kRscCreated || rsc == protocol::kRscConflict; }

// The registrar could not take the record now; it may later.
bool IsTransient(int rsc) { return rsc == protocol::kRscRequestTimeout || rsc >= 5000; }

}  // namespace

Outbox::Outbox(Settings settings, Timers& timers, RegistrarLink& link, AnswerDeadline& deadline,
               Backoff::Draw draw, Hooks hooks)
    : settings_(settings),
      timers_(timers),
      link_(link),
      deadline_(deadline),
      resendBackoff_(settings.resend, std::move(draw)),
      hooks_(std::move(hooks)),
      gone_(kGoneRemembered),
      resendTimer_([this] {
        heldBack_ = false;
        Pump();
      }),
      holdTimer_([this] { HoldWhatWaits(); }) {}

Outbox::~Outbox() = default;

size_t Outbox::Cost(const Record& record) {
  return record.id.size() + record.name.size() + record.text.size() + kEntryOverhead;
}

void Outbox::Add(Record record) { Push(std::move(record), false); }

void Outbox::Restore(std::vector<Record> records) {
  for (Record& record : records) Push(std::move(record), true);
}

void Outbox::Push(Record record, bool held) {
  size_t cost = Cost(record);
  bool dropping = false;
  while (!entries_.empty() && (entries_.size() >= settings_.limits.records ||
                               bytes_ + cost > settings_.limits.bytes)) {
    if (!dropping && dropped_ == 0) {
      link_.Log(kLogError, Format("the record queue is full (%zu %s or %zu bytes at most): the "
                                  "oldest records give way to new ones",
                                  settings_.limits.records, RecordWord(settings_.limits.records),
                                  settings_.limits.bytes));
    }
    dropping = true;
    ++dropped_;
    Leave(entries_.begin(), Exit::kDropped, 0);
  }
  bytes_ += cost;
  entries_.push_back(Entry{std::move(record), {}, false, {}, timers_.Now(), held, nullptr});
  if (!open_ || heldBack_) BeginOutage();
  HoldWhatWaits();
  Pump();
}

// Records wait to be kept durably only while they may still be stored
// promptly: not when the registrar is away or not answering, and not past
// kHoldAfter. A healthy platform so costs no write at all.
void Outbox::HoldWhatWaits() {
  bool delivering = open_ && !heldBack_;
  Timers::TimePoint now = timers_.Now();
  std::optional<Timers::TimePoint> next;
  for (Entry& entry : entries_) {
    if (entry.held) continue;
    Timers::TimePoint due = entry.addedAt + kHoldAfter;
    if (!delivering || now >= due) {
      entry.held = true;
      if (hooks_.hold) hooks_.hold(entry.record);
    } else if (!next || due < *next) {
      next = due;
    }
  }
  if (next) {
    timers_.Arm(holdTimer_, *next - now);
  } else {
    timers_.Cancel(holdTimer_);
  }
}

void Outbox::Open() {
  open_ = true;
  Pump();
}

void Outbox::Close() {
  open_ = false;
  for (Entry& entry : entries_) Unsend(entry);
  if (!entries_.empty()) BeginOutage();
  HoldWhatWaits();
}

void Outbox::Pump() {
  if (!open_ || heldBack_) return;
  for (Position entry = entries_.begin(); entry != entries_.end() && inFlight_ < settings_.window;
       ++entry) {
    if (!entry->sent) Send(entry);
  }
}

void Outbox::Send(Position entry) {
  std::string rqi = link_.NewRequestId();
  if (entry->rqis.size() >= kRqisPerRecord) {
    Forget(entry->rqis.front());
    entry->rqis.erase(entry->rqis.begin());
  }
  entry->rqis.push_back(rqi);
  byRqi_[rqi] = entry;
  entry->sent = true;
  entry->sentAt = timers_.Now();
  if (!entry->answerTimer) entry->answerTimer = std::make_unique<Timer>([this, entry] { AnswerMissing(entry); });
  timers_.Arm(*entry->answerTimer, deadline_.Current());
  ++inFlight_;
  link_.SendRecord(rqi, entry->record.name, entry->record.text);
}

// Waits again; the request ids it went out under stay known.
void Outbox::Unsend(Entry& entry) {
  if (!entry.sent) return;
  entry.sent = false;
  --inFlight_;
  if (entry.answerTimer) timers_.Cancel(*entry.answerTimer);
}

void Outbox::AnswerMissing(Position entry) {
  Unsend(*entry);
  if (!answerMissingLogged_) {
    answerMissingLogged_ = true;
    link_.Log(kLogWarning, "the platform's CSE did not answer a record in time; records wait and "
                           "are sent again, less and less often while it does not answer");
  }
  HoldBack();
}

void Outbox::HoldBack() {
  heldBack_ = true;
  BeginOutage();
  HoldWhatWaits();
  if (!resendTimer_.Armed()) timers_.Arm(resendTimer_, resendBackoff_.Next());
}

bool Outbox::Answer(const std::string& rqi, int rsc) {
  auto found = byRqi_.find(rqi);
  if (found == byRqi_.end()) return gone_.Contains(rqi);
  Position entry = found->second;
  bool latest = entry->sent && entry->rqis.back() == rqi;
  if (latest) deadline_.Measured(timers_.Now() - entry->sentAt);
  if (IsStored(rsc)) {
    Stored(entry);
  } else if (!latest) {
    // A late "no" to an earlier send says nothing about the send under way.
  } else if (rsc == protocol::kRscNotFound) {
    Close();
    if (hooks_.registrationLost) hooks_.registrationLost();
  } else if (IsTransient(rsc)) {
    Unsend(*entry);
    HoldBack();
  } else {
    Refused(entry, rsc);
  }
  return true;
}

void Outbox::Stored(Position entry) {
  answerMissingLogged_ = false;
  resendBackoff_.Reset();
  if (heldBack_) {
    heldBack_ = false;
    timers_.Cancel(resendTimer_);
  }
  if (refusedInStretch_ > 1) {
    link_.Log(kLogError, Format("%zu %s more refused by the platform's CSE and dropped",
                                refusedInStretch_ - 1, RecordWord(refusedInStretch_ - 1)));
  }
  refusedInStretch_ = 0;
  if (outage_) {
    outage_ = false;
    if (!draining_) delivered_ = 0;
    draining_ = true;
  }
  if (draining_) ++delivered_;
  Leave(entry, Exit::kStored, protocol::kRscCreated);
  EndOutageIfDrained();
  Pump();
}

void Outbox::Refused(Position entry, int rsc) {
  if (refusedInStretch_++ == 0) {
    link_.Log(kLogError, Format("record %s refused by the platform's CSE (%d): dropped; further "
                                "refusals are counted until a record is stored",
                                entry->record.name.c_str(), rsc));
  }
  Leave(entry, Exit::kRefused, rsc);
  Pump();
}

void Outbox::EndOutageIfDrained() {
  if (!draining_ || !entries_.empty()) return;
  if (dropped_ == 0) {
    link_.Log(kLogWarning, Format("delivered %zu %s held during the outage", delivered_,
                                  RecordWord(delivered_)));
  } else {
    link_.Log(kLogError, Format("delivered %zu %s held during the outage; %zu older ones were "
                                "dropped (the queue was full)",
                                delivered_, RecordWord(delivered_), dropped_));
  }
  draining_ = false;
  dropped_ = 0;
}

void Outbox::BeginOutage() {
  if (outage_ || entries_.empty()) return;
  outage_ = true;
  link_.Log(kLogWarning,
            Format("%zu %s waiting for the platform", entries_.size(), RecordWord(entries_.size())));
}

// The one way out: whatever the reason, the record is reported.
void Outbox::Leave(Position entry, Exit exit, int rsc) {
  Unsend(*entry);
  for (const std::string& rqi : entry->rqis) {
    byRqi_.erase(rqi);
    gone_.Add(rqi);
  }
  bytes_ -= Cost(entry->record);
  if (entry->held && exit != Exit::kKeptAtStop && hooks_.forget) hooks_.forget(entry->record.name);
  Record record = std::move(entry->record);
  entries_.erase(entry);
  if (hooks_.left) hooks_.left(record, exit, rsc);
}

void Outbox::Forget(const std::string& rqi) { byRqi_.erase(rqi); }

void Outbox::KeepAll() {
  open_ = false;
  HoldWhatWaits();
  while (!entries_.empty()) Leave(entries_.begin(), Exit::kKeptAtStop, 0);
}

std::vector<Outbox::Record> Outbox::Records() const {
  std::vector<Record> records;
  records.reserve(entries_.size());
  for (const Entry& entry : entries_) records.push_back(entry.record);
  return records;
}

}  // namespace kiv
