// The event record of the append-only log.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/rule.h"

namespace ruvo {

struct AssertFactEvent {            // variant 0
  uint64_t event_id = 0;
  std::string branch;
  std::string pred_name;
  uint64_t pred_arity = 0;
  std::vector<uint64_t> args;
  double b = 0.0;
  double d = 0.0;
  std::optional<std::string> source;
};
struct DeclarePredicateEvent {      // variant 1: decoded, never written
  uint64_t event_id = 0;
  std::string branch;
  std::string pred_name;
  uint64_t pred_arity = 0;
};
struct AddRuleEvent {               // variant 2
  uint64_t event_id = 0;
  std::string branch;
  Rule rule;
};
struct AddConstraintEvent {         // variant 3
  uint64_t event_id = 0;
  std::string branch;
  Constraint constraint;
};
struct RetractFactEvent {           // variant 4
  uint64_t event_id = 0;
  std::string branch;
  uint64_t target_event_id = 0;
};

using EdbEvent = std::variant<AssertFactEvent, DeclarePredicateEvent, AddRuleEvent,
                              AddConstraintEvent, RetractFactEvent>;

uint64_t event_id_of(const EdbEvent& e);
const std::string& branch_of(const EdbEvent& e);

// The record bytes of an event (exact length, one allocation).
std::string encode_event(const EdbEvent& e);
// Decodes a record; bytes after a complete record are ignored.
bincode::Result<EdbEvent> decode_event(std::string_view bytes);

// ---- Streaming decode for the log readers ----
// A reader of the whole log must validate every record it reaches, but only
// needs the bodies of the events it keeps. These pieces let it read the
// common head, then either decode the body or merely validate it. Errors are
// exactly those of decode_event, at the same field.

inline constexpr uint32_t kEdbEventVariants = 5;

// The fields every variant starts with. `branch` points into the record.
struct EventHead {
  uint32_t variant = 0;
  uint64_t event_id = 0;
  std::string_view branch;
};
// Reads the variant index, event id and branch (UTF-8 checked).
bincode::Result<EventHead> read_event_head(bincode::Reader& r);
// Validates the rest of a record of `variant` without keeping anything.
// REQUIRES: variant < kEdbEventVariants.
bincode::Result<void> skip_event_body(uint32_t variant, bincode::Reader& r);
// Reads the rest of a record into a full event.
// REQUIRES: head.variant < kEdbEventVariants.
bincode::Result<EdbEvent> read_event_body(const EventHead& head, bincode::Reader& r);

// The 8-byte big-endian key of an event id.
inline std::string event_key(uint64_t event_id) { return bincode::u64_be(event_id); }

}  // namespace ruvo
