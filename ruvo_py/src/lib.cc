// The extension module ruvo._native: module initialisation, the NativeStore
// type with its 24 methods, and the conversions between Python values and
// the engine's terms, goals, rules, facts and answers.
//
// Every entry point (module init, constructor, methods) is noexcept and
// catches every C++ exception at its top, raising it as the panic
// exception: nothing thrown below (ruvo::Fault, allocation failures) ever
// crosses into the interpreter. Store and engine errors arrive as values and
// become RuntimeError carrying their debug text.

// Python.h (through the helpers) comes before any standard header.
#include "ruvo_py/src/py_helpers.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"
#include "ruvo_engine/src/session.h"

namespace ruvo {
namespace {

using py::Borrow;
using py::named;
using py::Ref;

// ---------------------------------------------------------------------------
// The object

// Python object header, the owned session, the borrow flag and the process
// that opened the session. The memory comes zeroed from the type's
// allocator; the session is constructed in place.
struct StoreObject {
  PyObject_HEAD
  alignas(EngineSession) unsigned char storage[sizeof(EngineSession)];
  uint64_t borrow;
  pid_t owner;

  EngineSession& session() { return *std::launder(reinterpret_cast<EngineSession*>(storage)); }
};

PyTypeObject* g_type = nullptr;  // created once per process, never freed

// ---------------------------------------------------------------------------
// The current process. A forked child inherits every object, and with it
// the parent's open databases: both processes would hand out the same event
// ids into the same files. Objects therefore remember the process that
// opened them and serve no other. The id is cached (refreshed in every
// child by a fork handler) so that the check costs no system call.

pid_t g_pid = 0;

void note_fork_child() { g_pid = getpid(); }

// Once per process, before any object exists.
void track_process() {
  g_pid = getpid();
  pthread_atfork(nullptr, nullptr, &note_fork_child);
}

// True when `store` was opened by this process; otherwise RuntimeError.
bool opened_here(const StoreObject* store) {
  if (store->owner == g_pid) return true;
  py::raise_runtime("NativeStore was opened in process " + std::to_string(store->owner) +
                    " and cannot be used in process " + std::to_string(g_pid) +
                    " (after fork); open a new store in this process");
  return false;
}

// ---------------------------------------------------------------------------
// Interned texts: dict keys and keyword words, created once with the type.

struct Words {
  PyObject* event_id;
  PyObject* pred_name;
  PyObject* pred_arity;
  PyObject* args;
  PyObject* b;
  PyObject* d;
  PyObject* source;
  PyObject* id;
  PyObject* head_pred_name;
  PyObject* head_pred_arity;
  PyObject* head_args;
  PyObject* body;
  PyObject* negated;
  PyObject* builtin_name;
  PyObject* status;
  PyObject* atoms_changed;
  PyObject* iterations;
  PyObject* var;
  PyObject* constant;
  PyObject* integer;
  PyObject* floating;
  PyObject* str;
  PyObject* belnap[4];                  // by BelnapStatus
  PyObject* builtin[kBuiltinOpCount];   // by BuiltinOp
};
Words w{};

bool intern_text(PyObject** slot, std::string_view text) {
  *slot = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (*slot == nullptr) return false;
  PyUnicode_InternInPlace(slot);
  return true;
}

bool make_words() {
  const std::pair<PyObject**, std::string_view> fixed[] = {
      {&w.event_id, "event_id"},
      {&w.pred_name, "pred_name"},
      {&w.pred_arity, "pred_arity"},
      {&w.args, "args"},
      {&w.b, "b"},
      {&w.d, "d"},
      {&w.source, "source"},
      {&w.id, "id"},
      {&w.head_pred_name, "head_pred_name"},
      {&w.head_pred_arity, "head_pred_arity"},
      {&w.head_args, "head_args"},
      {&w.body, "body"},
      {&w.negated, "negated"},
      {&w.builtin_name, "builtin_name"},
      {&w.status, "status"},
      {&w.atoms_changed, "atoms_changed"},
      {&w.iterations, "iterations"},
      {&w.var, "Var"},
      {&w.constant, "Const"},
      {&w.integer, "Int"},
      {&w.floating, "Float"},
      {&w.str, "Str"},
  };
  for (const auto& [slot, text] : fixed) {
    if (!intern_text(slot, text)) return false;
  }
  for (uint8_t s = 0; s < 4; ++s) {
    if (!intern_text(&w.belnap[s], belnap_text(static_cast<BelnapStatus>(s)))) return false;
  }
  for (uint32_t op = 0; op < kBuiltinOpCount; ++op) {
    if (!intern_text(&w.builtin[op], kBuiltinWords[op])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Errors

// Store and engine errors: RuntimeError with the debug text, nothing added.
template <class E>
PyObject* fail(const E& error) {
  py::raise_runtime(error.debug());
  return nullptr;
}

PyObject* fail_value(std::string_view prefix, std::string_view text) {
  std::string message;
  message.reserve(prefix.size() + text.size());
  message.append(prefix).append(text);
  py::raise_value(message);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Keyword tables

std::optional<AggregationMode> aggregation_from_word(std::string_view word) {
  if (word == "maximum" || word == "Maximum") return AggregationMode::Maximum;
  if (word == "noisy_or" || word == "NoisyOr") return AggregationMode::NoisyOr;
  if (word == "capped_sum" || word == "CappedSum") return AggregationMode::CappedSum;
  return std::nullopt;
}

std::optional<EvidenceMode> evidence_from_word(std::string_view word) {
  if (word == "none" || word == "None") return EvidenceMode::None;
  if (word == "per_source" || word == "PerSource") return EvidenceMode::PerSource;
  if (word == "proof_tree" || word == "ProofTree") return EvidenceMode::ProofTree;
  return std::nullopt;
}

std::optional<ApplicabilitySemantics> applicability_from_word(std::string_view word) {
  if (word == "body_truth_only") return ApplicabilitySemantics::BodyTruthOnly;
  if (word == "body_truth_discounted_by_body_falsity") {
    return ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Python values to terms and goals

// Strong reference to d[key], or empty with no error when absent; empty with
// an error when the lookup itself failed (check PyErr_Occurred).
Ref lookup(PyObject* dict, PyObject* key) {
  PyObject* value = nullptr;
  PyDict_GetItemRef(dict, key, &value);
  return Ref::steal(value);
}

bool py_to_term(PyObject* value, Term* out) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data != nullptr) {
      const std::string_view text(data, static_cast<size_t>(size));
      if (size > 0) {
        const Py_UCS4 first = PyUnicode_READ_CHAR(value, 0);
        if (first == '_' || Py_UNICODE_ISUPPER(first)) {
          *out = Term::var(std::string(text));
          return true;
        }
      }
      std::string message = "Term string '";
      message.append(text).append("' looks like an entity \u2014 use intern() first and pass the SymId");
      py::raise_value(message);
      return false;
    }
    PyErr_Clear();  // no UTF-8 form: not a usable str, try the other shapes
  }
  uint64_t id = 0;
  if (py::to_u64(value, &id)) {
    *out = Term::constant(id);
    return true;
  }
  PyErr_Clear();
  if (PyDict_Check(value)) {
    if (Ref var = lookup(value, w.var)) {
      std::string_view name;
      if (!py::to_text(var.get(), &name)) return false;
      *out = Term::var(std::string(name));
      return true;
    }
    if (PyErr_Occurred()) return false;
    if (Ref constant = lookup(value, w.constant)) {
      if (!py::to_u64(constant.get(), &id)) return false;
      *out = Term::constant(id);
      return true;
    }
    if (PyErr_Occurred()) return false;
    py::raise_value("Term dict must have 'Var' or 'Const' key");
    return false;
  }
  py::raise_value("Term must be str, int, or dict");
  return false;
}

bool terms_from_list(PyObject* list, std::vector<Term>* out) {
  out->reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
  return py::for_each_in_list(list, [&](PyObject* item) {
    Term term;
    if (!py_to_term(item, &term)) return false;
    out->push_back(std::move(term));
    return true;
  });
}

bool py_to_goal(PyObject* value, Goal* out) {
  if (!PyDict_Check(value)) {
    py::raise_value("Goal must be a dict");
    return false;
  }
  if (Ref word_obj = lookup(value, w.builtin_name)) {
    std::string_view word;
    if (!py::to_text(word_obj.get(), &word)) return false;
    const std::optional<BuiltinOp> op = builtin_from_word(word);
    if (!op) {
      fail_value("Unknown builtin: ", word);
      return false;
    }
    Ref args = lookup(value, w.args);
    if (!args) {
      if (!PyErr_Occurred()) py::raise_value("Builtin goal missing 'args'");
      return false;
    }
    if (!PyList_Check(args.get())) {
      py::raise_value("Builtin goal 'args' must be a list");
      return false;
    }
    BuiltinGoal goal;
    goal.op = *op;
    if (!terms_from_list(args.get(), &goal.args)) return false;
    *out = std::move(goal);
    return true;
  }
  if (PyErr_Occurred()) return false;

  AtomGoal goal;
  Ref name = lookup(value, w.pred_name);
  if (!name) {
    if (!PyErr_Occurred()) py::raise_value("Goal missing 'pred_name'");
    return false;
  }
  std::string_view name_text;
  if (!py::to_text(name.get(), &name_text)) return false;
  goal.pred_name = std::string(name_text);

  Ref arity = lookup(value, w.pred_arity);
  if (!arity) {
    if (!PyErr_Occurred()) py::raise_value("Goal missing 'pred_arity'");
    return false;
  }
  if (!py::to_u64(arity.get(), &goal.pred_arity)) return false;

  if (Ref negated = lookup(value, w.negated)) {
    if (!py::to_bool(negated.get(), &goal.negated)) return false;
  } else if (PyErr_Occurred()) {
    return false;
  }

  Ref args = lookup(value, w.args);
  if (!args) {
    if (!PyErr_Occurred()) py::raise_value("Goal missing 'args'");
    return false;
  }
  if (!PyList_Check(args.get())) {
    py::raise_value("Goal 'args' must be a list");
    return false;
  }
  if (!terms_from_list(args.get(), &goal.args)) return false;
  *out = std::move(goal);
  return true;
}

bool goals_from_list(PyObject* list, std::vector<Goal>* out) {
  out->reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
  return py::for_each_in_list(list, [&](PyObject* item) {
    Goal goal;
    if (!py_to_goal(item, &goal)) return false;
    out->push_back(std::move(goal));
    return true;
  });
}

// ---------------------------------------------------------------------------
// Engine values to Python. An empty Ref means an error is set.

Ref u64_list(const std::vector<uint64_t>& values) {
  Ref list = py::new_list(values.size());
  for (size_t i = 0; i < values.size(); ++i) py::list_put(list.get(), i, py::new_u64(values[i]));
  return list;
}

Ref term_to_py(const Term& term) {
  Ref dict = py::new_dict();
  bool ok = false;
  switch (term.kind) {
    case Term::Kind::Var:
      ok = py::dict_set(dict.get(), w.var, py::new_str(term.name));
      break;
    case Term::Kind::Const:
      ok = py::dict_set(dict.get(), w.constant, py::new_u64(term.value));
      break;
    case Term::Kind::Int:
      ok = py::dict_set(dict.get(), w.integer, py::new_i64(term.as_int()));
      break;
    case Term::Kind::Float:
      ok = py::dict_set(dict.get(), w.floating, py::new_f64(term.as_float()));
      break;
    case Term::Kind::Str:
      ok = py::dict_set(dict.get(), w.str, py::new_u64(term.value));
      break;
  }
  return ok ? std::move(dict) : Ref();
}

Ref terms_to_py(const std::vector<Term>& terms) {
  Ref list = py::new_list(terms.size());
  for (size_t i = 0; i < terms.size(); ++i) {
    Ref term = term_to_py(terms[i]);
    if (!term) return Ref();
    py::list_put(list.get(), i, std::move(term));
  }
  return list;
}

Ref goal_to_py(const Goal& goal) {
  Ref dict = py::new_dict();
  if (const auto* builtin = std::get_if<BuiltinGoal>(&goal)) {
    Ref args = terms_to_py(builtin->args);
    if (!args) return Ref();
    const bool ok =
        py::dict_set(dict.get(), w.builtin_name,
                     py::share(w.builtin[static_cast<size_t>(builtin->op)])) &&
        py::dict_set(dict.get(), w.args, args);
    return ok ? std::move(dict) : Ref();
  }
  const auto& atom = std::get<AtomGoal>(goal);
  if (!py::dict_set(dict.get(), w.pred_name, py::new_str(atom.pred_name)) ||
      !py::dict_set(dict.get(), w.pred_arity, py::new_u64(atom.pred_arity)) ||
      !py::dict_set(dict.get(), w.negated, py::share(atom.negated ? Py_True : Py_False))) {
    return Ref();
  }
  Ref args = terms_to_py(atom.args);
  if (!args || !py::dict_set(dict.get(), w.args, args)) return Ref();
  return dict;
}

Ref goals_to_py(const std::vector<Goal>& goals) {
  Ref list = py::new_list(goals.size());
  for (size_t i = 0; i < goals.size(); ++i) {
    Ref goal = goal_to_py(goals[i]);
    if (!goal) return Ref();
    py::list_put(list.get(), i, std::move(goal));
  }
  return list;
}

Ref opt_text_to_py(const std::optional<std::string>& text) {
  return text ? py::new_str(*text) : py::share(Py_None);
}

Ref fact_to_py(const GroundFact& fact) {
  Ref dict = py::new_dict();
  PyObject* d = dict.get();
  const bool ok = py::dict_set(d, w.event_id, py::new_u64(fact.event_id)) &&
                  py::dict_set(d, w.pred_name, py::new_str(fact.pred_name)) &&
                  py::dict_set(d, w.pred_arity, py::new_u64(fact.pred_arity)) &&
                  py::dict_set(d, w.args, u64_list(fact.args)) &&
                  py::dict_set(d, w.b, py::new_f64(fact.b)) &&
                  py::dict_set(d, w.d, py::new_f64(fact.d)) &&
                  py::dict_set(d, w.source, opt_text_to_py(fact.source));
  return ok ? std::move(dict) : Ref();
}

Ref rule_to_py(const Rule& rule) {
  Ref dict = py::new_dict();
  PyObject* d = dict.get();
  if (!py::dict_set(d, w.id, py::new_u64(rule.id)) ||
      !py::dict_set(d, w.head_pred_name, py::new_str(rule.head_pred_name)) ||
      !py::dict_set(d, w.head_pred_arity, py::new_u64(rule.head_pred_arity))) {
    return Ref();
  }
  Ref head = terms_to_py(rule.head_args);
  if (!head || !py::dict_set(d, w.head_args, head)) return Ref();
  Ref body = goals_to_py(rule.body);
  if (!body || !py::dict_set(d, w.body, body)) return Ref();
  const bool ok = py::dict_set(d, w.b, py::new_f64(rule.b)) &&
                  py::dict_set(d, w.d, py::new_f64(rule.d));
  return ok ? std::move(dict) : Ref();
}

Ref constraint_to_py(const Constraint& constraint) {
  Ref dict = py::new_dict();
  PyObject* d = dict.get();
  if (!py::dict_set(d, w.id, py::new_u64(constraint.id))) return Ref();
  Ref body = goals_to_py(constraint.body);
  if (!body || !py::dict_set(d, w.body, body)) return Ref();
  const bool ok = py::dict_set(d, w.b, py::new_f64(constraint.b)) &&
                  py::dict_set(d, w.d, py::new_f64(constraint.d));
  return ok ? std::move(dict) : Ref();
}

// A list built from `items` by `convert` (which returns an empty Ref on error).
template <class T, class Convert>
PyObject* list_of(const std::vector<T>& items, Convert convert) {
  py::GcPause pause;
  Ref list = py::new_list(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    Ref item = convert(items[i]);
    if (!item) return nullptr;
    py::list_put(list.get(), i, std::move(item));
  }
  return list.release();
}

Ref status_word(BelnapStatus status) { return py::share(w.belnap[static_cast<size_t>(status)]); }

// ---------------------------------------------------------------------------
// Parameters of every callable with parameters

py::Params kNewParams{"NativeStore.__new__()", {"edb_path", "idb_path"}, 2, 2};
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
    &kNewParams,          &kInternParams,          &kInternBatchParams,
    &kResolveBatchParams, &kResolveParams,         &kConfigurePredicateParams,
    &kSetSemanticsParams, &kAssertFactParams,      &kAssertFactsBulkParams,
    &kRetractFactParams,  &kAddRuleParams,         &kAddConstraintParams,
    &kGetFactsParams,     &kGetRulesParams,        &kGetConstraintsParams,
    &kMaterializeParams,  &kGetAtomStateParams,    &kQueryPredicateParams,
    &kQueryPredicateBulkParams, &kIdbWatermarkParams,
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

// One converted element of assert_facts_bulk. Holding the tuple keeps its
// two texts alive, so they are kept as views.
struct BulkFact {
  Ref tuple;
  std::string_view pred_name;
  uint64_t arity = 0;
  std::vector<uint64_t> args;
  double b = 0.0;
  double d = 0.0;
  std::optional<std::string_view> source;
};

bool to_bulk_fact(PyObject* o, BulkFact* fact) {
  if (!PyTuple_Check(o)) {
    py::raise_downcast(o, "PyTuple");
    return false;
  }
  if (PyTuple_GET_SIZE(o) != 6) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 6, but got tuple of length %zd",
                 PyTuple_GET_SIZE(o));
    return false;
  }
  fact->tuple = Ref::borrow(o);
  return py::to_text(PyTuple_GET_ITEM(o, 0), &fact->pred_name) &&
         py::to_u64(PyTuple_GET_ITEM(o, 1), &fact->arity) &&
         py::to_u64_vec(PyTuple_GET_ITEM(o, 2), &fact->args) &&
         py::to_f64(PyTuple_GET_ITEM(o, 3), &fact->b) &&
         py::to_f64(PyTuple_GET_ITEM(o, 4), &fact->d) &&
         py::to_opt_text(PyTuple_GET_ITEM(o, 5), &fact->source);
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

// Moves the session into a new object of `type`. Null with the allocator's
// error set when allocation fails (the session is then released by the
// caller).
PyObject* wrap_session(PyTypeObject* type, EngineSession& session) {
  PyObject* o = type->tp_alloc(type, 0);
  if (o == nullptr) return nullptr;
  auto* store = reinterpret_cast<StoreObject*>(o);
  try {
    new (store->storage) EngineSession(std::move(session));
  } catch (...) {
    // No session to destroy: free the bare object, bypassing tp_dealloc.
    type->tp_free(o);
    Py_DECREF(type);
    throw;
  }
  store->borrow = 0;
  store->owner = g_pid;
  return o;
}

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    PyObject* bound[py::kMaxParams];
    if (!py::bind_tuple_dict(kNewParams, args, kwargs, bound)) return nullptr;
    std::string_view edb_path, idb_path;
    if (!named(py::to_text(bound[0], &edb_path), "edb_path") ||
        !named(py::to_text(bound[1], &idb_path), "idb_path")) {
      return nullptr;
    }
    // The file system would read a path only up to its first NUL.
    if (edb_path.find('\0') != std::string_view::npos ||
        idb_path.find('\0') != std::string_view::npos) {
      py::raise_value("embedded null byte");
      return nullptr;
    }
    auto session = EngineSession::open(std::string(edb_path), std::string(idb_path));
    if (!session) return fail(session.error());
    return wrap_session(type, *session);
  } catch (...) {
    return py::raise_caught_as_panic();
  }
}

PyObject* new_temporary(PyObject* /*no self*/, PyObject* /*unused*/) noexcept {
  try {
    auto session = EngineSession::open_temporary();
    if (!session) return fail(session.error());
    PyObject* o = wrap_session(g_type, *session);
    if (o != nullptr) return o;
    // Not an error a caller could handle: the panic exception names it.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref repr = Ref::steal(error ? PyObject_Repr(error.get()) : nullptr);
    Py_ssize_t size = 0;
    const char* text = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &size) : nullptr;
    PyErr_Clear();
    std::string message = "called `Result::unwrap()` on an `Err` value: ";
    if (text != nullptr) message.append(text, static_cast<size_t>(size));
    throw std::runtime_error(message);
  } catch (...) {
    return py::raise_caught_as_panic();
  }
}

void store_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* store = reinterpret_cast<StoreObject*>(self);
  try {
    // Releases the IDB, then the EDB, then the two maps. No flush. A forked
    // child leaves the session alone: closing the databases would write to
    // files the parent still uses, so its copy is deliberately leaked.
    if (store->owner == g_pid) store->session().~EngineSession();
  } catch (...) {
    py::report_caught_as_unraisable(nullptr);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Docs: text signature, the "--" marker, then the doc text.

constexpr char kClassDoc[] =
    "NativeStore(edb_path, idb_path)\n--\n\n"
    "The main Python-facing handle for the ruvo-native engine.\n"
    "\n"
    "Wraps EDB + IDB + fixpoint engine in a single object.";

constexpr char kDocNewTemporary[] =
    "new_temporary()\n--\n\n"
    "Create a fully in-memory store (no filesystem I/O).";
constexpr char kDocIntern[] =
    "intern($self, text)\n--\n\n"
    "Intern a symbol string, returning its numeric ID.";
constexpr char kDocInternBatch[] =
    "intern_batch($self, texts)\n--\n\n"
    "Intern a batch of symbol strings at once. Returns list of SymIds.";
constexpr char kDocResolveBatch[] =
    "resolve_batch($self, sym_ids)\n--\n\n"
    "Resolve a batch of symbol IDs back to strings.";
constexpr char kDocResolve[] =
    "resolve($self, sym_id)\n--\n\n"
    "Resolve a symbol ID back to its string.";
constexpr char kDocConfigurePredicate[] =
    "configure_predicate($self, name, aggregation, evidence_mode)\n--\n\n"
    "Configure a predicate's aggregation and evidence mode.";
constexpr char kDocSetSemantics[] =
    "set_semantics($self, rule_applicability, constraint_applicability)\n--\n\n"
    "Set per-evaluation epistemic semantics knobs used by native materialization.";
constexpr char kDocAssertFact[] =
    "assert_fact($self, branch, pred_name, pred_arity, args, b, d, source=None)\n--\n\n"
    "Assert a ground fact in the EDB. Returns the event ID.";
constexpr char kDocAssertFactsBulk[] =
    "assert_facts_bulk($self, branch, facts)\n--\n\n"
    "Assert multiple facts at once. Each fact is a tuple:\n"
    "(pred_name, pred_arity, args, b, d, source_or_none)\n"
    "Returns the number of facts asserted.";
constexpr char kDocRetractFact[] =
    "retract_fact($self, branch, target_event_id)\n--\n\n"
    "Retract a fact by its original event ID. Returns the retraction event ID.";
constexpr char kDocAddRule[] =
    "add_rule($self, branch, rule_id, head_pred_name, head_pred_arity, head_args, body, b, d)\n--\n\n"
    "Add a rule to the EDB. Takes a dict with the rule structure.\n"
    "Returns the event ID.";
constexpr char kDocAddConstraint[] =
    "add_constraint($self, branch, constraint_id, body, b, d)\n--\n\n"
    "Add a constraint to the EDB. Returns the event ID.";
constexpr char kDocGetFacts[] =
    "get_facts($self, branch, watermark=None)\n--\n\n"
    "Get all visible facts for a branch. Returns a list of dicts.";
constexpr char kDocGetRules[] =
    "get_rules($self, branch, watermark=None)\n--\n\n"
    "Return all rules for a branch, as structured Python dicts mirroring\n"
    "the shape accepted by `add_rule`.\n"
    "\n"
    "Each element is::\n"
    "\n"
    "    {\n"
    "        \"id\": u64,\n"
    "        \"head_pred_name\": str,\n"
    "        \"head_pred_arity\": int,\n"
    "        \"head_args\": [term_dict, ...],\n"
    "        \"body\":      [goal_dict, ...],\n"
    "        \"b\": float,\n"
    "        \"d\": float,\n"
    "    }\n"
    "\n"
    "This is the read-side counterpart to `add_rule` and makes the EDB\n"
    "the durable source of truth for rules: callers can recover every\n"
    "rule ever asserted purely from the event log, without relying on\n"
    "any snapshot cache.";
constexpr char kDocGetConstraints[] =
    "get_constraints($self, branch, watermark=None)\n--\n\n"
    "Return all constraints for a branch, as structured Python dicts\n"
    "mirroring the shape accepted by `add_constraint`.\n"
    "\n"
    "Each element is::\n"
    "\n"
    "    {\"id\": u64, \"body\": [goal_dict, ...], \"b\": float, \"d\": float}\n"
    "\n"
    "Same source-of-truth contract as `get_rules`.";
constexpr char kDocListBranches[] =
    "list_branches($self)\n--\n\n"
    "Return the sorted list of branch names discovered in the EDB\n"
    "event log.\n"
    "\n"
    "This makes the EDB authoritative for branch discovery: a branch\n"
    "that was ever written to the EDB can be enumerated here even if\n"
    "every other piece of metadata (snapshots, indexes, caches) is\n"
    "lost. Used by `NativeBranchRepository.list_names()` to recover\n"
    "from missing or corrupt snapshot indexes.";
constexpr char kDocMaterialize[] =
    "materialize($self, branch, max_depth=None)\n--\n\n"
    "Materialize: load EDB facts + rules, evaluate to fixpoint.\n"
    "Returns a dict with evaluation stats.";
constexpr char kDocGetAtomState[] =
    "get_atom_state($self, pred_name, args)\n--\n\n"
    "Get the epistemic state of a specific grounded atom.\n"
    "Returns a dict with 'b', 'd', 'status'.";
constexpr char kDocQueryPredicate[] =
    "query_predicate($self, pred_name)\n--\n\n"
    "Query all atoms of a predicate. Returns list of answer dicts.";
constexpr char kDocQueryPredicateBulk[] =
    "query_predicate_bulk($self, pred_name)\n--\n\n"
    "Query all atoms of a predicate, returning a flat list of tuples:\n"
    "[(args_list, b, d), ...]\n"
    "This avoids per-row dict construction overhead.";
constexpr char kDocCurrentWatermark[] =
    "current_watermark($self)\n--\n\n"
    "Return the current EDB watermark.";
constexpr char kDocEdbWatermark[] =
    "edb_watermark($self)\n--\n\n"
    "Return the EDB watermark (highest event id written). Alias of\n"
    "`current_watermark`, spelled to make the source-of-truth contract\n"
    "explicit at the call site.";
constexpr char kDocIdbWatermark[] =
    "idb_watermark($self, branch)\n--\n\n"
    "Return the IDB materialization watermark for `branch`, or `None`\n"
    "if the IDB has never been materialized for this branch.\n"
    "\n"
    "The IDB watermark is the EDB event id up to which the IDB has\n"
    "been synced. Callers can compare it with `edb_watermark()` to\n"
    "decide whether the IDB is stale.";
constexpr char kDocFlush[] =
    "flush($self)\n--\n\n"
    "Flush all stores to disk.";

// ---------------------------------------------------------------------------
// Method table, in the order of the type's method list.

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"new_temporary", as_cfunction(&new_temporary), METH_STATIC | METH_NOARGS, kDocNewTemporary},
    {"intern", as_cfunction(&fast_entry<kInternParams, Borrow::Exclusive, intern_body>), kFast,
     kDocIntern},
    {"intern_batch",
     as_cfunction(&fast_entry<kInternBatchParams, Borrow::Exclusive, intern_batch_body>), kFast,
     kDocInternBatch},
    {"resolve_batch",
     as_cfunction(&fast_entry<kResolveBatchParams, Borrow::Shared, resolve_batch_body>), kFast,
     kDocResolveBatch},
    {"resolve", as_cfunction(&fast_entry<kResolveParams, Borrow::Shared, resolve_body>), kFast,
     kDocResolve},
    {"configure_predicate",
     as_cfunction(
         &fast_entry<kConfigurePredicateParams, Borrow::Exclusive, configure_predicate_body>),
     kFast, kDocConfigurePredicate},
    {"set_semantics",
     as_cfunction(&fast_entry<kSetSemanticsParams, Borrow::Exclusive, set_semantics_body>), kFast,
     kDocSetSemantics},
    {"assert_fact",
     as_cfunction(&fast_entry<kAssertFactParams, Borrow::Shared, assert_fact_body>), kFast,
     kDocAssertFact},
    {"assert_facts_bulk",
     as_cfunction(&fast_entry<kAssertFactsBulkParams, Borrow::Shared, assert_facts_bulk_body>),
     kFast, kDocAssertFactsBulk},
    {"retract_fact",
     as_cfunction(&fast_entry<kRetractFactParams, Borrow::Shared, retract_fact_body>), kFast,
     kDocRetractFact},
    {"add_rule", as_cfunction(&fast_entry<kAddRuleParams, Borrow::Shared, add_rule_body>), kFast,
     kDocAddRule},
    {"add_constraint",
     as_cfunction(&fast_entry<kAddConstraintParams, Borrow::Shared, add_constraint_body>), kFast,
     kDocAddConstraint},
    {"get_facts", as_cfunction(&fast_entry<kGetFactsParams, Borrow::Shared, get_facts_body>),
     kFast, kDocGetFacts},
    {"get_rules", as_cfunction(&fast_entry<kGetRulesParams, Borrow::Shared, get_rules_body>),
     kFast, kDocGetRules},
    {"get_constraints",
     as_cfunction(&fast_entry<kGetConstraintsParams, Borrow::Shared, get_constraints_body>),
     kFast, kDocGetConstraints},
    {"list_branches", as_cfunction(&no_args_entry<list_branches_body>), METH_NOARGS,
     kDocListBranches},
    {"materialize",
     as_cfunction(&fast_entry<kMaterializeParams, Borrow::Exclusive, materialize_body>), kFast,
     kDocMaterialize},
    {"get_atom_state",
     as_cfunction(&fast_entry<kGetAtomStateParams, Borrow::Shared, get_atom_state_body>), kFast,
     kDocGetAtomState},
    {"query_predicate",
     as_cfunction(&fast_entry<kQueryPredicateParams, Borrow::Shared, query_predicate_body>),
     kFast, kDocQueryPredicate},
    {"query_predicate_bulk",
     as_cfunction(
         &fast_entry<kQueryPredicateBulkParams, Borrow::Shared, query_predicate_bulk_body>),
     kFast, kDocQueryPredicateBulk},
    {"current_watermark", as_cfunction(&no_args_entry<current_watermark_body>), METH_NOARGS,
     kDocCurrentWatermark},
    {"edb_watermark", as_cfunction(&no_args_entry<edb_watermark_body>), METH_NOARGS,
     kDocEdbWatermark},
    {"idb_watermark",
     as_cfunction(&fast_entry<kIdbWatermarkParams, Borrow::Shared, idb_watermark_body>), kFast,
     kDocIdbWatermark},
    {"flush", as_cfunction(&no_args_entry<flush_body>), METH_NOARGS, kDocFlush},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Type and module

// The type object, created on first use (once per process) together with
// the interned texts it relies on. Borrowed; null with an error set.
PyTypeObject* store_type() {
  if (g_type != nullptr) return g_type;
  track_process();
  if (!make_words()) return nullptr;
  for (py::Params* params : kAllParams) {
    if (!py::intern_keys(*params)) return nullptr;
  }
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&store_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&store_dealloc)},
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_methods, kMethods},
      {0, nullptr},
  };
  // The class has no module of its own: "builtins." gives it __module__
  // "builtins" (a bare name would leave __module__ unset, which the
  // interpreter deprecates) while __name__ stays "NativeStore".
  PyType_Spec spec = {"builtins.NativeStore", static_cast<int>(sizeof(StoreObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return g_type;
}

// Adds the type under "NativeStore" and lists it in __all__ (created when
// missing).
bool add_type(PyObject* module, PyTypeObject* type) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    py::raise_downcast(all.get(), "PyList");
    return false;
  }
  Ref name = Ref::steal(PyUnicode_FromString("NativeStore"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",                        // m_name
    "ruvo._native Python module.",    // m_doc
    0,                                // m_size
    nullptr,                          // m_methods
    nullptr,                          // m_slots
    nullptr,                          // m_traverse
    nullptr,                          // m_clear
    nullptr,                          // m_free
};
int64_t g_interpreter_id = -1;  // the first importer's interpreter
PyObject* g_module = nullptr;   // kept for the life of the process

PyObject* init_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (g_interpreter_id < 0) {
    g_interpreter_id = id;
  } else if (g_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "ruvo._native can be imported by one interpreter per process only; "
                    "sub-interpreters are not supported");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyTypeObject* type = store_type();
  if (type == nullptr || !add_type(module.get(), type)) return nullptr;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace ruvo

PyMODINIT_FUNC PyInit__native(void) {
  try {
    return ruvo::init_module();
  } catch (...) {
    return ruvo::py::raise_caught_as_panic();
  }
}
