#include "ruvo_edb/src/event_log.h"

#include <type_traits>
#include <utility>

namespace ruvo {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// Variant index (4), event id (8) and branch.
size_t head_size(std::string_view branch) { return bincode::kU32 + bincode::kU64 + bincode::size_str(branch); }

size_t event_size(const EdbEvent& e) {
  return std::visit(
      Overloaded{
          [](const AssertFactEvent& a) {
            size_t n = head_size(a.branch) + bincode::size_str(a.pred_name) + bincode::kU64 +
                       bincode::kU64 + bincode::kU64 * a.args.size() + 2 * bincode::kF64 +
                       bincode::kTag;
            if (a.source) n += bincode::size_str(*a.source);
            return n;
          },
          [](const DeclarePredicateEvent& p) {
            return head_size(p.branch) + bincode::size_str(p.pred_name) + bincode::kU64;
          },
          [](const AddRuleEvent& r) { return head_size(r.branch) + rule_size(r.rule); },
          [](const AddConstraintEvent& c) {
            return head_size(c.branch) + constraint_size(c.constraint);
          },
          [](const RetractFactEvent& r) { return head_size(r.branch) + bincode::kU64; },
      },
      e);
}

void write_event(bincode::Writer& w, const EdbEvent& e) {
  w.u32(static_cast<uint32_t>(e.index()));
  std::visit(Overloaded{
                 [&](const AssertFactEvent& a) {
                   w.u64(a.event_id);
                   w.str(a.branch);
                   w.str(a.pred_name);
                   w.u64(a.pred_arity);
                   w.u64(a.args.size());
                   for (uint64_t x : a.args) w.u64(x);
                   w.f64(a.b);
                   w.f64(a.d);
                   if (a.source) {
                     w.u8(1);
                     w.str(*a.source);
                   } else {
                     w.u8(0);
                   }
                 },
                 [&](const DeclarePredicateEvent& p) {
                   w.u64(p.event_id);
                   w.str(p.branch);
                   w.str(p.pred_name);
                   w.u64(p.pred_arity);
                 },
                 [&](const AddRuleEvent& r) {
                   w.u64(r.event_id);
                   w.str(r.branch);
                   write_rule(w, r.rule);
                 },
                 [&](const AddConstraintEvent& c) {
                   w.u64(c.event_id);
                   w.str(c.branch);
                   write_constraint(w, c.constraint);
                 },
                 [&](const RetractFactEvent& r) {
                   w.u64(r.event_id);
                   w.str(r.branch);
                   w.u64(r.target_event_id);
                 },
             },
             e);
}

// A UTF-8 checked string that is only validated, not kept.
bincode::Result<void> skip_str(bincode::Reader& r) {
  RUVO_TRY(std::string_view s, r.byte_str());
  if (auto e = bincode::check_utf8(s)) return std::unexpected(*e);
  return {};
}

// A list of u64, validated element by element so that a cut list fails
// exactly where the element-wise decode would.
bincode::Result<void> skip_u64_list(bincode::Reader& r) {
  RUVO_TRY(uint64_t n, r.count());
  for (uint64_t i = 0; i < n; ++i) {
    RUVO_TRY([[maybe_unused]] uint64_t x, r.u64());
  }
  return {};
}

bincode::Result<std::vector<uint64_t>> read_u64_list(bincode::Reader& r) {
  RUVO_TRY(uint64_t n, r.count());
  std::vector<uint64_t> out;
  out.reserve(bincode::Reader::cautious(n, sizeof(uint64_t)));
  for (uint64_t i = 0; i < n; ++i) {
    RUVO_TRY(uint64_t x, r.u64());
    out.push_back(x);
  }
  return out;
}

bincode::Result<std::optional<std::string>> read_opt_str(bincode::Reader& r) {
  RUVO_TRY(bool present, r.option_tag());
  if (!present) return std::optional<std::string>();
  RUVO_TRY(std::string s, r.str());
  return std::optional<std::string>(std::move(s));
}

}  // namespace

uint64_t event_id_of(const EdbEvent& e) {
  return std::visit([](const auto& v) { return v.event_id; }, e);
}

const std::string& branch_of(const EdbEvent& e) {
  return std::visit([](const auto& v) -> const std::string& { return v.branch; }, e);
}

std::string encode_event(const EdbEvent& e) {
  return bincode::encode_with([&] { return event_size(e); },
                              [&](bincode::Writer& w) { write_event(w, e); });
}

bincode::Result<EventHead> read_event_head(bincode::Reader& r) {
  EventHead h;
  RUVO_TRY(h.variant, r.variant(kEdbEventVariants));
  RUVO_TRY(h.event_id, r.u64());
  RUVO_TRY(h.branch, r.byte_str());
  if (auto e = bincode::check_utf8(h.branch)) return std::unexpected(*e);
  return h;
}

bincode::Result<void> skip_event_body(uint32_t variant, bincode::Reader& r) {
  switch (variant) {
    case 0: {  // AssertFact
      if (auto s = skip_str(r); !s) return s;  // pred_name
      RUVO_TRY([[maybe_unused]] uint64_t arity, r.u64());
      if (auto s = skip_u64_list(r); !s) return s;  // args
      RUVO_TRY([[maybe_unused]] double b, r.f64());
      RUVO_TRY([[maybe_unused]] double d, r.f64());
      RUVO_TRY(bool present, r.option_tag());
      if (present) return skip_str(r);  // source
      return {};
    }
    case 1: {  // DeclarePredicate
      if (auto s = skip_str(r); !s) return s;
      RUVO_TRY([[maybe_unused]] uint64_t arity, r.u64());
      return {};
    }
    case 2: {  // AddRule: the nested record is validated by decoding it.
      RUVO_TRY([[maybe_unused]] Rule rule, read_rule(r));
      return {};
    }
    case 3: {  // AddConstraint
      RUVO_TRY([[maybe_unused]] Constraint c, read_constraint(r));
      return {};
    }
    default: {  // RetractFact
      RUVO_TRY([[maybe_unused]] uint64_t target, r.u64());
      return {};
    }
  }
}

bincode::Result<EdbEvent> read_event_body(const EventHead& head, bincode::Reader& r) {
  switch (head.variant) {
    case 0: {
      AssertFactEvent a;
      a.event_id = head.event_id;
      a.branch = std::string(head.branch);
      RUVO_TRY(a.pred_name, r.str());
      RUVO_TRY(a.pred_arity, r.u64());
      RUVO_TRY(a.args, read_u64_list(r));
      RUVO_TRY(a.b, r.f64());
      RUVO_TRY(a.d, r.f64());
      RUVO_TRY(a.source, read_opt_str(r));
      return EdbEvent(std::move(a));
    }
    case 1: {
      DeclarePredicateEvent p;
      p.event_id = head.event_id;
      p.branch = std::string(head.branch);
      RUVO_TRY(p.pred_name, r.str());
      RUVO_TRY(p.pred_arity, r.u64());
      return EdbEvent(std::move(p));
    }
    case 2: {
      AddRuleEvent e;
      e.event_id = head.event_id;
      e.branch = std::string(head.branch);
      RUVO_TRY(e.rule, read_rule(r));
      return EdbEvent(std::move(e));
    }
    case 3: {
      AddConstraintEvent e;
      e.event_id = head.event_id;
      e.branch = std::string(head.branch);
      RUVO_TRY(e.constraint, read_constraint(r));
      return EdbEvent(std::move(e));
    }
    default: {
      RetractFactEvent e;
      e.event_id = head.event_id;
      e.branch = std::string(head.branch);
      RUVO_TRY(e.target_event_id, r.u64());
      return EdbEvent(std::move(e));
    }
  }
}

bincode::Result<EdbEvent> decode_event(std::string_view bytes) {
  bincode::Reader r(bytes);
  RUVO_TRY(EventHead head, read_event_head(r));
  return read_event_body(head, r);
}

}  // namespace ruvo
