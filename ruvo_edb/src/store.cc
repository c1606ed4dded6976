#include "ruvo_edb/src/store.h"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "ruvo_core/src/fault.h"

namespace ruvo {

namespace {

constexpr std::string_view kEventsTree = "edb_events";
constexpr std::string_view kMetaTree = "edb_meta";
constexpr std::string_view kCounterKey = "next_event_id";

// Bit masks of the variants a branch reader keeps.
constexpr uint32_t kAssertBit = 1u << 0;
constexpr uint32_t kRuleBit = 1u << 2;
constexpr uint32_t kConstraintBit = 1u << 3;
constexpr uint32_t kRetractBit = 1u << 4;

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// The counter value as a number; anything but 8 bytes is a broken store.
uint64_t counter_value(std::optional<std::string_view> stored) {
  if (!stored) fault("EDB counter \"next_event_id\" is missing");
  std::optional<uint64_t> v = bincode::read_u64_be(*stored);
  if (!v) fault("EDB counter \"next_event_id\" is not 8 bytes long");
  return *v;
}

// The highest id under which the log holds a record. Keys of ids (8 bytes
// big-endian) sort by id, so it is the last key, unless that key is one no
// append writes (a log damaged by other means): then every key is looked at.
kv::Result<std::optional<uint64_t>> highest_event_id(const kv::Tree& events) {
  auto last = events.last_key();
  if (!last) return std::unexpected(std::move(last.error()));
  if (!*last) return std::nullopt;
  if (std::optional<uint64_t> id = bincode::read_u64_be(**last)) return id;
  std::optional<uint64_t> highest;
  auto scanned = events.scan_prefix("", [&](std::string_view key, std::string_view) {
    if (std::optional<uint64_t> id = bincode::read_u64_be(key)) highest = id;  // ascending
    return true;
  });
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  return highest;
}

// Replays the log in ascending key order and hands each record, fully
// validated, to the caller. For the records `keep` selects, `read` decodes
// the body (after the head); all others are only validated. A record is
// decoded before its id is compared with the watermark, and the scan stops
// at the first record beyond it.
template <class Keep, class Read>
EdbResult<void> replay(const kv::Tree& events, std::optional<uint64_t> watermark, Keep keep,
                       Read read) {
  std::optional<bincode::Error> bad;
  auto scanned = events.scan_prefix("", [&](std::string_view, std::string_view value) {
    bincode::Reader r(value);
    auto head = read_event_head(r);
    if (!head) {
      bad = std::move(head.error());
      return false;
    }
    const bool beyond = watermark && head->event_id > *watermark;
    bincode::Result<void> body =
        !beyond && keep(*head) ? read(*head, r) : skip_event_body(head->variant, r);
    if (!body) {
      bad = std::move(body.error());
      return false;
    }
    return !beyond;
  });
  if (!scanned) return std::unexpected(EdbError(std::move(scanned.error())));
  if (bad) return std::unexpected(EdbError(std::move(*bad)));
  return {};
}

}  // namespace

// ---- EdbError ----

std::string EdbError::debug() const {
  return std::visit(
      Overloaded{
          [](const kv::Error& e) { return "Sled(" + e.debug() + ")"; },
          [](const bincode::Error& e) { return "Bincode(" + e.debug() + ")"; },
          [](const UnknownBranch& e) { return "UnknownBranch(" + bincode::debug_str(e.branch) + ")"; },
          [](const EventNotFound& e) { return "EventNotFound(" + std::to_string(e.event_id) + ")"; },
      },
      v);
}

// ---- Opening ----

EdbResult<EdbStore> EdbStore::open_temporary() {
  auto db = kv::Db::open_temporary();
  if (!db) return std::unexpected(EdbError(std::move(db.error())));
  return from_db(std::move(*db));
}

EdbResult<EdbStore> EdbStore::from_db(kv::Db db) {
  auto events = db.open_tree(kEventsTree);
  if (!events) return std::unexpected(EdbError(std::move(events.error())));
  auto meta = db.open_tree(kMetaTree);
  if (!meta) return std::unexpected(EdbError(std::move(meta.error())));
  auto stored = meta->get(kCounterKey);
  if (!stored) return std::unexpected(EdbError(std::move(stored.error())));
  // Appends are blind inserts, so a counter at or below a stored id would
  // hand that id out again and replace an acknowledged event. Such a
  // counter, stored or the seed 1 of a log that has lost its counter, is
  // refused before anything is written. A counter of another length is kept
  // whatever it holds; it faults when used.
  auto highest = highest_event_id(*events);
  if (!highest) return std::unexpected(EdbError(std::move(highest.error())));
  const std::optional<uint64_t> counter =
      *stored ? bincode::read_u64_be(**stored) : std::optional<uint64_t>(1);
  if (*highest && counter && *counter <= **highest) {
    fault(std::string("EDB counter \"next_event_id\" ") +
          (*stored ? "holds " + std::to_string(*counter) : std::string("is missing")) +
          " but the log holds event id " + std::to_string(**highest));
  }
  if (!*stored) {
    auto seeded = meta->insert(kCounterKey, bincode::u64_be(1));
    if (!seeded) return std::unexpected(EdbError(std::move(seeded.error())));
  }
  return EdbStore(std::move(db), std::move(*events), std::move(*meta));
}

EdbResult<void> EdbStore::flush_all() const {
  if (auto r = events_.flush(); !r) return std::unexpected(EdbError(std::move(r.error())));
  if (auto r = meta_.flush(); !r) return std::unexpected(EdbError(std::move(r.error())));
  if (auto r = db_.flush(); !r) return std::unexpected(EdbError(std::move(r.error())));
  return {};
}

// ---- Event ids and appending ----

EdbResult<uint64_t> EdbStore::next_event_id() const {
  auto prev = meta_.fetch_and_update(kCounterKey, [](std::optional<std::string_view> cur) {
    uint64_t next = counter_value(cur);
    // Wrapping around would hand out ids that are already in the log.
    if (next == std::numeric_limits<uint64_t>::max()) fault("EDB event ids are exhausted");
    return bincode::u64_be(next + 1);
  });
  if (!prev) return std::unexpected(EdbError(std::move(prev.error())));
  if (!*prev) fault("EDB counter \"next_event_id\" is missing");
  return counter_value(std::string_view(**prev));
}

EdbResult<uint64_t> EdbStore::append_event(const EdbEvent& event) const {
  const uint64_t id = event_id_of(event);
  std::string record = encode_event(event);
  auto put = events_.insert(event_key(id), record);
  if (!put) return std::unexpected(EdbError(std::move(put.error())));
  return id;
}

EdbResult<uint64_t> EdbStore::assert_fact(std::string_view branch, std::string_view pred_name,
                                          uint64_t pred_arity, std::vector<uint64_t> args,
                                          double b, double d,
                                          std::optional<std::string> source) const {
  auto id = next_event_id();
  if (!id) return std::unexpected(std::move(id.error()));
  return append_event(AssertFactEvent{*id, std::string(branch), std::string(pred_name),
                                      pred_arity, std::move(args), b, d, std::move(source)});
}

EdbResult<uint64_t> EdbStore::add_rule(std::string_view branch, Rule rule) const {
  auto id = next_event_id();
  if (!id) return std::unexpected(std::move(id.error()));
  return append_event(AddRuleEvent{*id, std::string(branch), std::move(rule)});
}

EdbResult<uint64_t> EdbStore::add_constraint(std::string_view branch,
                                             Constraint constraint) const {
  auto id = next_event_id();
  if (!id) return std::unexpected(std::move(id.error()));
  return append_event(AddConstraintEvent{*id, std::string(branch), std::move(constraint)});
}

EdbResult<uint64_t> EdbStore::retract_fact(std::string_view branch,
                                           uint64_t target_event_id) const {
  auto id = next_event_id();
  if (!id) return std::unexpected(std::move(id.error()));
  return append_event(RetractFactEvent{*id, std::string(branch), target_event_id});
}

// ---- Branch views ----

namespace {

// The facts a branch sees: its assertions in ascending event id, less the
// ones it retracted.
class FactsView {
 public:
  explicit FactsView(std::string_view branch) : branch_(branch) {}

  bool keep(const EventHead& h) const {
    return ((kAssertBit | kRetractBit) >> h.variant & 1) && h.branch == branch_;
  }
  bincode::Result<void> read(const EventHead& h, bincode::Reader& r) {
    if (h.variant == 4) {
      RUVO_TRY(uint64_t target, r.u64());
      retracted_.push_back(target);
      return {};
    }
    GroundFact f;
    f.event_id = h.event_id;
    RUVO_TRY(f.pred_name, r.str());
    RUVO_TRY(f.pred_arity, r.u64());
    RUVO_TRY(uint64_t n, r.count());
    f.args.reserve(bincode::Reader::cautious(n, sizeof(uint64_t)));
    for (uint64_t i = 0; i < n; ++i) {
      RUVO_TRY(uint64_t x, r.u64());
      f.args.push_back(x);
    }
    RUVO_TRY(f.b, r.f64());
    RUVO_TRY(f.d, r.f64());
    RUVO_TRY(bool has_source, r.option_tag());
    if (has_source) {
      RUVO_TRY(f.source, r.str());
    }
    if (!facts_.empty() && facts_.back().event_id >= f.event_id) ascending_ = false;
    facts_.push_back(std::move(f));
    return {};
  }

  std::vector<GroundFact> finish() && {
    // Keys ascend with the ids the log hands out, so the facts arrive
    // sorted. A record stored under a key other than its own id breaks
    // that: sort, and let the later of two assertions with one id replace
    // the earlier.
    if (!ascending_) {
      std::stable_sort(facts_.begin(), facts_.end(), [](const GroundFact& a, const GroundFact& b) {
        return a.event_id < b.event_id;
      });
      std::vector<GroundFact> unique;
      unique.reserve(facts_.size());
      for (size_t i = 0; i < facts_.size(); ++i) {
        if (i + 1 < facts_.size() && facts_[i + 1].event_id == facts_[i].event_id) continue;
        unique.push_back(std::move(facts_[i]));
      }
      facts_ = std::move(unique);
    }
    if (!retracted_.empty()) {
      std::sort(retracted_.begin(), retracted_.end());
      std::erase_if(facts_, [&](const GroundFact& f) {
        return std::binary_search(retracted_.begin(), retracted_.end(), f.event_id);
      });
    }
    return std::move(facts_);
  }

 private:
  std::string_view branch_;
  std::vector<GroundFact> facts_;
  std::vector<uint64_t> retracted_;
  bool ascending_ = true;
};

bool keeps(uint32_t bit, const EventHead& h, std::string_view branch) {
  return (bit >> h.variant & 1) && h.branch == branch;
}

}  // namespace

EdbResult<std::vector<GroundFact>> EdbStore::get_facts(std::string_view branch,
                                                       std::optional<uint64_t> watermark) const {
  FactsView facts(branch);
  auto keep = [&](const EventHead& h) { return facts.keep(h); };
  auto read = [&](const EventHead& h, bincode::Reader& r) { return facts.read(h, r); };
  if (auto s = replay(events_, watermark, keep, read); !s) return std::unexpected(s.error());
  return std::move(facts).finish();
}

EdbResult<std::vector<Rule>> EdbStore::get_rules(std::string_view branch,
                                                 std::optional<uint64_t> watermark) const {
  std::vector<Rule> rules;
  auto keep = [&](const EventHead& h) { return keeps(kRuleBit, h, branch); };
  auto read = [&](const EventHead&, bincode::Reader& r) -> bincode::Result<void> {
    RUVO_TRY(Rule rule, read_rule(r));
    rules.push_back(std::move(rule));
    return {};
  };
  if (auto s = replay(events_, watermark, keep, read); !s) return std::unexpected(s.error());
  return rules;
}

EdbResult<std::vector<Constraint>> EdbStore::get_constraints(
    std::string_view branch, std::optional<uint64_t> watermark) const {
  std::vector<Constraint> constraints;
  auto keep = [&](const EventHead& h) { return keeps(kConstraintBit, h, branch); };
  auto read = [&](const EventHead&, bincode::Reader& r) -> bincode::Result<void> {
    RUVO_TRY(Constraint c, read_constraint(r));
    constraints.push_back(std::move(c));
    return {};
  };
  if (auto s = replay(events_, watermark, keep, read); !s) return std::unexpected(s.error());
  return constraints;
}

EdbResult<BranchProgram> EdbStore::get_program(std::string_view branch) const {
  // Reading a record's body and skipping it validate the same fields in the
  // same order, so each of the three views would stop at the same record
  // with the same error as this one pass does.
  BranchProgram out;
  FactsView facts(branch);
  auto keep = [&](const EventHead& h) {
    return facts.keep(h) || keeps(kRuleBit | kConstraintBit, h, branch);
  };
  auto read = [&](const EventHead& h, bincode::Reader& r) -> bincode::Result<void> {
    if (facts.keep(h)) return facts.read(h, r);
    if (h.variant == 2) {
      RUVO_TRY(Rule rule, read_rule(r));
      out.rules.push_back(std::move(rule));
      return {};
    }
    RUVO_TRY(Constraint c, read_constraint(r));
    out.constraints.push_back(std::move(c));
    return {};
  };
  if (auto s = replay(events_, std::nullopt, keep, read); !s) return std::unexpected(s.error());
  out.facts = std::move(facts).finish();
  return out;
}

EdbResult<std::vector<std::string>> EdbStore::list_branches() const {
  std::set<std::string, std::less<>> branches;
  // Runs of one branch are common; skip the set lookup for them. Points into
  // the set, whose nodes never move.
  std::string_view last;
  bool have_last = false;
  auto keep = [&](const EventHead& h) {
    if (!have_last || h.branch != last) {
      auto it = branches.find(h.branch);
      if (it == branches.end()) it = branches.emplace(h.branch).first;
      last = *it;
      have_last = true;
    }
    return false;  // bodies are only validated
  };
  auto read = [](const EventHead&, bincode::Reader&) -> bincode::Result<void> { return {}; };
  if (auto s = replay(events_, std::nullopt, keep, read); !s) return std::unexpected(s.error());
  return std::vector<std::string>(branches.begin(), branches.end());
}

EdbResult<uint64_t> EdbStore::current_watermark() const {
  auto stored = meta_.get(kCounterKey);
  if (!stored) return std::unexpected(EdbError(std::move(stored.error())));
  const uint64_t next =
      counter_value(*stored ? std::optional<std::string_view>(**stored) : std::nullopt);
  return next == 0 ? 0 : next - 1;
}

}  // namespace ruvo
