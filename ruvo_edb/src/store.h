// EdbStore: the append-only event log (trees "edb_events", "edb_meta").
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/kv.h"
#include "ruvo_core/src/rule.h"
#include "ruvo_edb/src/event_log.h"

namespace ruvo {

// Error of every event-log operation. debug() is the text users see:
// Sled(...), Bincode(...), UnknownBranch("..."), EventNotFound(5).
struct EdbError {
  struct UnknownBranch { std::string branch; };
  struct EventNotFound { uint64_t event_id; };
  std::variant<kv::Error, bincode::Error, UnknownBranch, EventNotFound> v;

  EdbError(kv::Error e) : v(std::move(e)) {}
  EdbError(bincode::Error e) : v(std::move(e)) {}
  EdbError(UnknownBranch e) : v(std::move(e)) {}
  EdbError(EventNotFound e) : v(e) {}
  std::string debug() const;
};

template <class T>
using EdbResult = std::expected<T, EdbError>;

// One visible assertion of a branch.
struct GroundFact {
  uint64_t event_id = 0;
  std::string pred_name;
  uint64_t pred_arity = 0;
  std::vector<uint64_t> args;
  double b = 0.0;
  double d = 0.0;
  std::optional<std::string> source;
};

// Everything a branch's materialisation reads from the log.
struct BranchProgram {
  std::vector<GroundFact> facts;
  std::vector<Rule> rules;
  std::vector<Constraint> constraints;
};

class EdbStore {
 public:
  static EdbResult<EdbStore> open_temporary();
  // Takes over an open database; creates the two trees and seeds the
  // counter with 1 when it is absent. A counter (or seed) that is not above
  // every event id the log holds is a fault, and nothing is written.
  static EdbResult<EdbStore> from_db(kv::Db db);

  // Flushes "edb_events", "edb_meta", then the database; stops at the
  // first failure.
  EdbResult<void> flush_all() const;

  // Hands out the next event id. A missing or malformed counter is a fault.
  EdbResult<uint64_t> next_event_id() const;
  // Stores the event under its own id and returns that id.
  EdbResult<uint64_t> append_event(const EdbEvent& event) const;

  EdbResult<uint64_t> assert_fact(std::string_view branch, std::string_view pred_name,
                                  uint64_t pred_arity, std::vector<uint64_t> args, double b,
                                  double d, std::optional<std::string> source) const;
  EdbResult<uint64_t> add_rule(std::string_view branch, Rule rule) const;
  EdbResult<uint64_t> add_constraint(std::string_view branch, Constraint constraint) const;
  EdbResult<uint64_t> retract_fact(std::string_view branch, uint64_t target_event_id) const;

  // Visible facts of the branch, in ascending event id.
  EdbResult<std::vector<GroundFact>> get_facts(std::string_view branch,
                                               std::optional<uint64_t> watermark) const;
  // Rules / constraints of the branch, in ascending event id.
  EdbResult<std::vector<Rule>> get_rules(std::string_view branch,
                                         std::optional<uint64_t> watermark) const;
  EdbResult<std::vector<Constraint>> get_constraints(std::string_view branch,
                                                     std::optional<uint64_t> watermark) const;
  // get_facts, get_rules and get_constraints of the whole log in one pass,
  // failing as the first of them would.
  EdbResult<BranchProgram> get_program(std::string_view branch) const;
  // Every branch named by any event, ascending byte order, each once.
  EdbResult<std::vector<std::string>> list_branches() const;
  // The highest event id handed out (counter - 1; 0 on a new log).
  EdbResult<uint64_t> current_watermark() const;

  // The underlying trees, for tests and tools.
  const kv::Tree& events_tree() const { return events_; }
  const kv::Tree& meta_tree() const { return meta_; }

 private:
  EdbStore(kv::Db db, kv::Tree events, kv::Tree meta)
      : db_(std::move(db)), events_(std::move(events)), meta_(std::move(meta)) {}
  kv::Db db_;
  kv::Tree events_;
  kv::Tree meta_;
};

}  // namespace ruvo
