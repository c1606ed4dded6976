// The NativeStore instance methods (see methods.h): their parameter lists,
// their bodies, and the entry points wrapping each body.
//
// A body borrows its arguments for the call; the texts it views in them stay
// valid while the argument lives, which the caller guarantees until the
// entry point returns (intern_batch keeps its own references to the str
// elements of a sequence it walks). The borrow guard holds one reference to
// self for the whole call.

#include "ruvo_py/src/methods.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"
#include "ruvo_engine/src/session.h"
#include "ruvo_py/src/convert.h"
#include "ruvo_py/src/store_object.h"

namespace ruvo::native {
namespace {

using py::Borrow;
using py::named;

// ---------------------------------------------------------------------------
// Parameters of every callable with parameters

py::Params kInternParams{"NativeStore.intern()", {"text"}, 1, 1};
py::Params kInternBatchParams{"NativeStore.intern_batch()", {"texts"}, 1, 1};
py::Params kResolveBatchParams{"NativeStore.resolve_batch()", {"sym_ids"}, 1, 1};
py::Params kResolveParams{"NativeStore.resolve()", {"sym_id"}, 1, 1};
py::Params kConfigurePredicateParams{
    "NativeStore.configure_predicate()", {"name", "aggregation", "evidence_mode"}, 3, 3};
py::Params kSetSemanticsParams{
    "NativeStore.set_semantics()", {"rule_applicability", "constraint_applicability"}, 2, 2};
py::Params kAssertFactParams{
    "NativeStore.assert_fact()",
    {"branch", "pred_name", "pred_arity", "args", "b", "d", "source"}, 7, 6};
py::Params kAssertFactsBulkParams{"NativeStore.assert_facts_bulk()", {"branch", "facts"}, 2, 2};
py::Params kRetractFactParams{
    "NativeStore.retract_fact()", {"branch", "target_event_id"}, 2, 2};
py::Params kAddRuleParams{"NativeStore.add_rule()",
                          {"branch", "rule_id", "head_pred_name", "head_pred_arity", "head_args",
                           "body", "b", "d"},
                          8, 8};
py::Params kAddConstraintParams{
    "NativeStore.add_constraint()", {"branch", "constraint_id", "body", "b", "d"}, 5, 5};
py::Params kGetFactsParams{"NativeStore.get_facts()", {"branch", "watermark"}, 2, 1};
py::Params kGetRulesParams{"NativeStore.get_rules()", {"branch", "watermark"}, 2, 1};
py::Params kGetConstraintsParams{"NativeStore.get_constraints()", {"branch", "watermark"}, 2, 1};
py::Params kMaterializeParams{"NativeStore.materialize()", {"branch", "max_depth"}, 2, 1};
py::Params kGetAtomStateParams{"NativeStore.get_atom_state()", {"pred_name", "args"}, 2, 2};
py::Params kQueryPredicateParams{"NativeStore.query_predicate()", {"pred_name"}, 1, 1};
py::Params kQueryPredicateBulkParams{"NativeStore.query_predicate_bulk()", {"pred_name"}, 1, 1};
py::Params kIdbWatermarkParams{"NativeStore.idb_watermark()", {"branch"}, 1, 1};

py::Params* const kAllParams[] = {
    &kInternParams,
    &kInternBatchParams,
    &kResolveBatchParams,
    &kResolveParams,
    &kConfigurePredicateParams,
    &kSetSemanticsParams,
    &kAssertFactParams,
    &kAssertFactsBulkParams,
    &kRetractFactParams,
    &kAddRuleParams,
    &kAddConstraintParams,
    &kGetFactsParams,
    &kGetRulesParams,
    &kGetConstraintsParams,
    &kMaterializeParams,
    &kGetAtomStateParams,
    &kQueryPredicateParams,
    &kQueryPredicateBulkParams,
    &kIdbWatermarkParams,
};

// ---------------------------------------------------------------------------
// Method bodies. Each receives the bound arguments (null: omitted optional),
// converts them in parameter order, makes its one store or engine call and
// builds the result. A null return means a Python error is set.

using Args = PyObject* const*;

// Symbols and configuration

PyObject* intern_body(EngineSession& s, Args a) {
  std::string_view text;
  if (!named(py::to_text(a[0], &text), "text")) return nullptr;
  auto id = s.intern(text);
  if (!id) return fail(id.error());
  return py::new_u64(*id).release();
}

PyObject* intern_batch_body(EngineSession& s, Args a) {
  // The owners keep every str, and so every view into it, alive until the
  // loop has interned it.
  std::vector<Ref> owners;
  std::vector<std::string_view> texts;
  const bool ok = py::for_each_in_sequence(
      a[0],
      [&](size_t n) {
        owners.reserve(n);
        texts.reserve(n);
      },
      [&](PyObject* item) {
        std::string_view text;
        if (!py::to_text(item, &text)) return false;
        owners.push_back(Ref::borrow(item));
        texts.push_back(text);
        return true;
      });
  if (!named(ok, "texts")) return nullptr;
  Ref ids = py::new_list(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    auto id = s.intern(texts[i]);
    if (!id) return fail(id.error());
    py::list_put(ids.get(), i, py::new_u64(*id));
  }
  return ids.release();
}

// The str of a symbol's text, or None. Stored texts are valid UTF-8; an
// ASCII text is copied straight into a new str, which spares the decoder.
PyObject* text_or_none(std::optional<std::string_view> text) {
  if (!text) return Py_NewRef(Py_None);
  const size_t n = text->size();
  const auto* p = reinterpret_cast<const unsigned char*>(text->data());
  // One character: the decoder hands out the interpreter's shared str.
  if (n != 1 && n <= 64) {
    uint64_t bits = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      bits |= word;
    }
    for (; i < n; ++i) bits |= p[i];
    if ((bits & 0x8080808080808080ull) == 0) {
      PyObject* str = py::made(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
      if (n != 0) std::memcpy(PyUnicode_DATA(str), p, n);
      return str;
    }
  }
  return py::made(PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(n), nullptr));
}

PyObject* resolve_batch_body(EngineSession& s, Args a) {
  std::vector<uint64_t> ids;
  if (!named(py::to_u64_vec(a[0], &ids), "sym_ids")) return nullptr;
  Ref texts = py::new_list(ids.size());
  std::string buffer;
  for (size_t i = 0; i < ids.size(); ++i) {
    auto text = s.idb.symbols.get_text_into(ids[i], buffer);
    if (!text) return fail(text.error());
    py::list_put(texts.get(), i, Ref::steal(text_or_none(*text)));
  }
  return texts.release();
}

PyObject* resolve_body(EngineSession& s, Args a) {
  uint64_t id = 0;
  PyObject* const arg = a[0];
  // A small non-negative int is read directly; everything else takes the
  // general conversion with its refusals.
  if (PyLong_CheckExact(arg) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(arg)) &&
      PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(arg)) >= 0) {
    id = static_cast<uint64_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(arg)));
  } else if (!named(py::to_u64(arg, &id), "sym_id")) {
    return nullptr;
  }
  std::string buffer;
  auto text = s.idb.symbols.get_text_into(id, buffer);
  if (!text) return fail(text.error());
  return text_or_none(*text);
}

PyObject* configure_predicate_body(EngineSession& s, Args a) {
  std::string_view name, aggregation_word, evidence_word;
  if (!named(py::to_text(a[0], &name), "name") ||
      !named(py::to_text(a[1], &aggregation_word), "aggregation") ||
      !named(py::to_text(a[2], &evidence_word), "evidence_mode")) {
    return nullptr;
  }
  const auto aggregation = aggregation_from_word(aggregation_word);
  if (!aggregation) return fail_value("Unknown aggregation mode: ", aggregation_word);
  const auto evidence = evidence_from_word(evidence_word);
  if (!evidence) return fail_value("Unknown evidence mode: ", evidence_word);
  s.configure_predicate(std::string(name), *aggregation, *evidence);
  Py_RETURN_NONE;
}

PyObject* set_semantics_body(EngineSession& s, Args a) {
  std::string_view rule_word, constraint_word;
  if (!named(py::to_text(a[0], &rule_word), "rule_applicability") ||
      !named(py::to_text(a[1], &constraint_word), "constraint_applicability")) {
    return nullptr;
  }
  const auto rule = applicability_from_word(rule_word);
  if (!rule) return fail_value("Unknown rule_applicability semantics: ", rule_word);
  const auto constraint = applicability_from_word(constraint_word);
  if (!constraint) {
    return fail_value("Unknown constraint_applicability semantics: ", constraint_word);
  }
  s.rule_applicability = *rule;
  s.constraint_applicability = *constraint;
  Py_RETURN_NONE;
}

// Writing the event log

std::optional<std::string> owned(const std::optional<std::string_view>& text) {
  return text ? std::optional<std::string>(std::in_place, *text) : std::nullopt;
}

PyObject* assert_fact_body(EngineSession& s, Args a) {
  std::string_view branch, pred_name;
  uint64_t arity = 0;
  std::vector<uint64_t> args;
  double b = 0.0, d = 0.0;
  std::optional<std::string_view> source;
  if (!named(py::to_text(a[0], &branch), "branch") ||
      !named(py::to_text(a[1], &pred_name), "pred_name") ||
      !named(py::to_u64(a[2], &arity), "pred_arity") ||
      !named(py::to_u64_vec(a[3], &args), "args") || !named(py::to_f64(a[4], &b), "b") ||
      !named(py::to_f64(a[5], &d), "d") || !named(py::to_opt_text(a[6], &source), "source")) {
    return nullptr;
  }
  auto id = s.edb.assert_fact(branch, pred_name, arity, std::move(args), b, d, owned(source));
  if (!id) return fail(id.error());
  return py::new_u64(*id).release();
}

PyObject* assert_facts_bulk_body(EngineSession& s, Args a) {
  std::string_view branch;
  if (!named(py::to_text(a[0], &branch), "branch")) return nullptr;
  std::vector<BulkFact> facts;
  const bool ok = py::for_each_in_sequence(
      a[1], [&](size_t n) { facts.reserve(n); },
      [&](PyObject* item) {
        BulkFact fact;
        if (!to_bulk_fact(item, &fact)) return false;
        facts.push_back(std::move(fact));
        return true;
      });
  if (!named(ok, "facts")) return nullptr;
  for (BulkFact& f : facts) {
    auto id = s.edb.assert_fact(branch, f.pred_name, f.arity, std::move(f.args), f.b, f.d,
                                owned(f.source));
    if (!id) return fail(id.error());
  }
  return py::new_u64(facts.size()).release();
}

PyObject* retract_fact_body(EngineSession& s, Args a) {
  std::string_view branch;
  uint64_t target = 0;
  if (!named(py::to_text(a[0], &branch), "branch") ||
      !named(py::to_u64(a[1], &target), "target_event_id")) {
    return nullptr;
  }
  auto id = s.edb.retract_fact(branch, target);
  if (!id) return fail(id.error());
  return py::new_u64(*id).release();
}

PyObject* add_rule_body(EngineSession& s, Args a) {
  std::string_view branch, head_name;
  Rule rule;
  if (!named(py::to_text(a[0], &branch), "branch") ||
      !named(py::to_u64(a[1], &rule.id), "rule_id") ||
      !named(py::to_text(a[2], &head_name), "head_pred_name") ||
      !named(py::to_u64(a[3], &rule.head_pred_arity), "head_pred_arity") ||
      !named(py::check_list(a[4]), "head_args") || !named(py::check_list(a[5]), "body") ||
      !named(py::to_f64(a[6], &rule.b), "b") || !named(py::to_f64(a[7], &rule.d), "d")) {
    return nullptr;
  }
  // Terms and goals are converted in the body: their errors name no parameter.
  if (!terms_from_list(a[4], &rule.head_args) || !goals_from_list(a[5], &rule.body)) {
    return nullptr;
  }
  rule.head_pred_name = std::string(head_name);
  auto id = s.edb.add_rule(branch, std::move(rule));
  if (!id) return fail(id.error());
  return py::new_u64(*id).release();
}

PyObject* add_constraint_body(EngineSession& s, Args a) {
  std::string_view branch;
  Constraint constraint;
  if (!named(py::to_text(a[0], &branch), "branch") ||
      !named(py::to_u64(a[1], &constraint.id), "constraint_id") ||
      !named(py::check_list(a[2]), "body") || !named(py::to_f64(a[3], &constraint.b), "b") ||
      !named(py::to_f64(a[4], &constraint.d), "d")) {
    return nullptr;
  }
  if (!goals_from_list(a[2], &constraint.body)) return nullptr;
  auto id = s.edb.add_constraint(branch, std::move(constraint));
  if (!id) return fail(id.error());
  return py::new_u64(*id).release();
}

// Reading the event log

bool branch_and_watermark(Args a, std::string_view* branch, std::optional<uint64_t>* watermark) {
  return named(py::to_text(a[0], branch), "branch") &&
         named(py::to_opt_u64(a[1], watermark), "watermark");
}

// The three branch readers: convert branch and watermark, read, convert
// every record with `to_py`.
template <class Read, class ToPy>
PyObject* branch_read_body(Args a, Read read, ToPy to_py) {
  std::string_view branch;
  std::optional<uint64_t> watermark;
  if (!branch_and_watermark(a, &branch, &watermark)) return nullptr;
  auto records = read(branch, watermark);
  if (!records) return fail(records.error());
  return list_of(*records, to_py);
}

PyObject* get_facts_body(EngineSession& s, Args a) {
  return branch_read_body(
      a, [&](std::string_view b, std::optional<uint64_t> w) { return s.edb.get_facts(b, w); },
      fact_to_py);
}

PyObject* get_rules_body(EngineSession& s, Args a) {
  return branch_read_body(
      a, [&](std::string_view b, std::optional<uint64_t> w) { return s.edb.get_rules(b, w); },
      rule_to_py);
}

PyObject* get_constraints_body(EngineSession& s, Args a) {
  return branch_read_body(
      a,
      [&](std::string_view b, std::optional<uint64_t> w) { return s.edb.get_constraints(b, w); },
      constraint_to_py);
}

PyObject* list_branches_body(EngineSession& s) {
  auto branches = s.edb.list_branches();
  if (!branches) return fail(branches.error());
  return list_of(*branches, [](const std::string& name) { return py::new_str(name); });
}

PyObject* current_watermark_body(EngineSession& s) {
  auto watermark = s.edb.current_watermark();
  if (!watermark) return fail(watermark.error());
  return py::new_u64(*watermark).release();
}

// Evaluation and queries

// The evaluation's interrupt check: runs the pending signal handlers (the
// thread holds the interpreter lock throughout). True once a handler raised,
// KeyboardInterrupt for Ctrl-C, which is then the pending exception.
bool signal_handler_raised() { return PyErr_CheckSignals() < 0; }

bool interrupted(const EngineError& error) {
  const auto* eval = std::get_if<EvalError>(&error.v);
  return eval != nullptr && eval->interrupted();
}

PyObject* materialize_body(EngineSession& s, Args a) {
  std::string_view branch;
  std::optional<uint64_t> max_depth;
  if (!named(py::to_text(a[0], &branch), "branch") ||
      !named(py::to_opt_u64(a[1], &max_depth), "max_depth")) {
    return nullptr;
  }
  s.eval_control.interrupt_check = &signal_handler_raised;
  auto stats = s.materialize_with_options(branch, max_depth);
  if (!stats) {
    // Stopped by a signal handler: its exception is the caller's answer.
    if (interrupted(stats.error()) && PyErr_Occurred()) return nullptr;
    return fail(stats.error());
  }
  Ref dict = py::new_dict();
  if (!py::dict_set(dict.get(), w.atoms_changed, py::new_u64(stats->atoms_changed)) ||
      !py::dict_set(dict.get(), w.iterations, py::new_u64(stats->iterations))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* get_atom_state_body(EngineSession& s, Args a) {
  std::string_view pred_name;
  std::vector<uint64_t> args;
  if (!named(py::to_text(a[0], &pred_name), "pred_name") ||
      !named(py::to_u64_vec(a[1], &args), "args")) {
    return nullptr;
  }
  auto state = s.get_atom_state(pred_name, args);
  if (!state) return fail(state.error());
  Ref dict = py::new_dict();
  if (!py::dict_set(dict.get(), w.b, py::new_f64(state->b)) ||
      !py::dict_set(dict.get(), w.d, py::new_f64(state->d)) ||
      !py::dict_set(dict.get(), w.status, status_word(classify(state->b, state->d)))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* query_predicate_body(EngineSession& s, Args a) {
  std::string_view pred_name;
  if (!named(py::to_text(a[0], &pred_name), "pred_name")) return nullptr;
  auto answers = s.query_all(pred_name);
  if (!answers) return fail(answers.error());
  return list_of(*answers, [](const PredicateAnswer& answer) {
    Ref dict = py::new_dict();
    PyObject* d = dict.get();
    const bool ok = py::dict_set(d, w.args, u64_list(answer.args)) &&
                    py::dict_set(d, w.b, py::new_f64(answer.b)) &&
                    py::dict_set(d, w.d, py::new_f64(answer.d)) &&
                    py::dict_set(d, w.status, status_word(answer.status));
    return ok ? std::move(dict) : Ref();
  });
}

PyObject* query_predicate_bulk_body(EngineSession& s, Args a) {
  std::string_view pred_name;
  if (!named(py::to_text(a[0], &pred_name), "pred_name")) return nullptr;
  auto answers = s.query_all(pred_name);
  if (!answers) return fail(answers.error());
  py::GcPause pause;
  Ref rows = py::new_list(answers->size());
  for (size_t i = 0; i < answers->size(); ++i) {
    const PredicateAnswer& answer = (*answers)[i];
    Ref row = Ref::steal(py::made(PyTuple_New(3)));
    PyTuple_SET_ITEM(row.get(), 0, u64_list(answer.args).release());
    PyTuple_SET_ITEM(row.get(), 1, py::new_f64(answer.b).release());
    PyTuple_SET_ITEM(row.get(), 2, py::new_f64(answer.d).release());
    py::list_put(rows.get(), i, std::move(row));
  }
  return rows.release();
}

PyObject* edb_watermark_body(EngineSession& s) {
  auto watermark = s.edb_watermark();
  if (!watermark) return fail(watermark.error());
  return py::new_u64(*watermark).release();
}

PyObject* idb_watermark_body(EngineSession& s, Args a) {
  std::string_view branch;
  if (!named(py::to_text(a[0], &branch), "branch")) return nullptr;
  auto watermark = s.idb_watermark(branch);
  if (!watermark) return fail(watermark.error());
  if (!*watermark) Py_RETURN_NONE;
  return py::new_u64(**watermark).release();
}

PyObject* flush_body(EngineSession& s) {
  auto flushed = s.flush_all();
  if (!flushed) return fail(flushed.error());
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Entry points: binding, the self check, the borrow, the body, and the fault
// boundary. The borrow (and the extra reference to self) is released on
// every way out, a C++ exception included.

StoreObject* as_store(PyObject* self) {
  if (self != nullptr && PyObject_TypeCheck(self, g_type)) return reinterpret_cast<StoreObject*>(self);
  py::raise_downcast(self != nullptr ? self : Py_None, "NativeStore");
  return nullptr;
}

using FastBody = PyObject* (*)(EngineSession&, Args);
using NoArgsBody = PyObject* (*)(EngineSession&);

template <py::Params& P, Borrow B, FastBody Body>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  try {
    // All parameters given by position: the arguments are already bound.
    PyObject* bound[py::kMaxParams];
    PyObject* const* a = args;
    if (kwnames != nullptr || static_cast<size_t>(nargs) != P.count) {
      if (!py::bind_fast(P, args, nargs, kwnames, bound)) return nullptr;
      a = bound;
    }
    StoreObject* store = as_store(self);
    if (store == nullptr || !opened_here(store)) return nullptr;
    py::BorrowGuard guard(self, &store->borrow, B);
    if (!guard) return nullptr;
    return Body(store->session(), a);
  } catch (...) {
    return py::raise_caught_as_panic();
  }
}

template <NoArgsBody Body>
PyObject* no_args_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  try {
    StoreObject* store = as_store(self);
    if (store == nullptr || !opened_here(store)) return nullptr;
    py::BorrowGuard guard(self, &store->borrow, Borrow::Shared);
    if (!guard) return nullptr;
    return Body(store->session());
  } catch (...) {
    return py::raise_caught_as_panic();
  }
}

}  // namespace

// The entry points the method table lists.

PyObject* intern_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kInternParams, Borrow::Exclusive, intern_body>(self, a, n, kw);
}

PyObject* intern_batch_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kInternBatchParams, Borrow::Exclusive, intern_batch_body>(self, a, n, kw);
}

PyObject* resolve_batch_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kResolveBatchParams, Borrow::Shared, resolve_batch_body>(self, a, n, kw);
}

PyObject* resolve_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kResolveParams, Borrow::Shared, resolve_body>(self, a, n, kw);
}

PyObject* configure_predicate_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kConfigurePredicateParams, Borrow::Exclusive, configure_predicate_body>(
      self, a, n, kw);
}

PyObject* set_semantics_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kSetSemanticsParams, Borrow::Exclusive, set_semantics_body>(self, a, n, kw);
}

PyObject* assert_fact_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kAssertFactParams, Borrow::Shared, assert_fact_body>(self, a, n, kw);
}

PyObject* assert_facts_bulk_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kAssertFactsBulkParams, Borrow::Shared, assert_facts_bulk_body>(self, a, n, kw);
}

PyObject* retract_fact_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kRetractFactParams, Borrow::Shared, retract_fact_body>(self, a, n, kw);
}

PyObject* add_rule_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kAddRuleParams, Borrow::Shared, add_rule_body>(self, a, n, kw);
}

PyObject* add_constraint_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kAddConstraintParams, Borrow::Shared, add_constraint_body>(self, a, n, kw);
}

PyObject* get_facts_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kGetFactsParams, Borrow::Shared, get_facts_body>(self, a, n, kw);
}

PyObject* get_rules_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kGetRulesParams, Borrow::Shared, get_rules_body>(self, a, n, kw);
}

PyObject* get_constraints_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kGetConstraintsParams, Borrow::Shared, get_constraints_body>(self, a, n, kw);
}

PyObject* materialize_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kMaterializeParams, Borrow::Exclusive, materialize_body>(self, a, n, kw);
}

PyObject* get_atom_state_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kGetAtomStateParams, Borrow::Shared, get_atom_state_body>(self, a, n, kw);
}

PyObject* query_predicate_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kQueryPredicateParams, Borrow::Shared, query_predicate_body>(self, a, n, kw);
}

PyObject* query_predicate_bulk_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kQueryPredicateBulkParams, Borrow::Shared, query_predicate_bulk_body>(
      self, a, n, kw);
}

PyObject* idb_watermark_method(PyObject* self, Args a, Py_ssize_t n, PyObject* kw) noexcept {
  return fast_entry<kIdbWatermarkParams, Borrow::Shared, idb_watermark_body>(self, a, n, kw);
}

PyObject* list_branches_method(PyObject* self, PyObject* unused) noexcept {
  return no_args_entry<list_branches_body>(self, unused);
}

PyObject* current_watermark_method(PyObject* self, PyObject* unused) noexcept {
  return no_args_entry<current_watermark_body>(self, unused);
}

PyObject* edb_watermark_method(PyObject* self, PyObject* unused) noexcept {
  return no_args_entry<edb_watermark_body>(self, unused);
}

PyObject* flush_method(PyObject* self, PyObject* unused) noexcept {
  return no_args_entry<flush_body>(self, unused);
}

bool intern_method_parameter_names() {
  for (py::Params* params : kAllParams) {
    if (!py::intern_keys(*params)) return false;
  }
  return true;
}

}  // namespace ruvo::native
