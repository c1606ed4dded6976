// Conversions between Python values and the engine's values (see
// convert.h). The word table `w` owns one reference to each of its interned
// str objects for the life of the process; callers borrow them, or take a
// new reference with py::share when storing one into a result.

#include "ruvo_py/src/convert.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ruvo::native {

Words w{};

namespace {

bool intern_text(PyObject** slot, std::string_view text) {
  *slot = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (*slot == nullptr) return false;
  PyUnicode_InternInPlace(slot);
  return true;
}

}  // namespace

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
// Python values to terms, goals and facts

namespace {

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

// Appends every element of `list` as converted by convert(item, T*).
template <class T, class Convert>
bool from_list(PyObject* list, std::vector<T>* out, Convert convert) {
  out->reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
  return py::for_each_in_list(list, [&](PyObject* item) {
    T value;
    if (!convert(item, &value)) return false;
    out->push_back(std::move(value));
    return true;
  });
}

}  // namespace

bool terms_from_list(PyObject* list, std::vector<Term>* out) {
  return from_list(list, out, py_to_term);
}

namespace {

// Strong reference to d[key]; empty with an error when the lookup failed or
// the key is absent (ValueError `missing`).
Ref required(PyObject* dict, PyObject* key, const char* missing) {
  Ref value = lookup(dict, key);
  if (!value && !PyErr_Occurred()) py::raise_value(missing);
  return value;
}

// Converts the goal dict's required 'args' list, refused with ValueError
// `missing` when absent and `not_list` when not a list.
bool goal_args(PyObject* goal, const char* missing, const char* not_list,
               std::vector<Term>* out) {
  Ref args = required(goal, w.args, missing);
  if (!args) return false;
  if (!PyList_Check(args.get())) {
    py::raise_value(not_list);
    return false;
  }
  return terms_from_list(args.get(), out);
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
    BuiltinGoal goal;
    goal.op = *op;
    if (!goal_args(value, "Builtin goal missing 'args'", "Builtin goal 'args' must be a list",
                   &goal.args)) {
      return false;
    }
    *out = std::move(goal);
    return true;
  }
  if (PyErr_Occurred()) return false;

  AtomGoal goal;
  Ref name = required(value, w.pred_name, "Goal missing 'pred_name'");
  if (!name) return false;
  std::string_view name_text;
  if (!py::to_text(name.get(), &name_text)) return false;
  goal.pred_name = std::string(name_text);

  Ref arity = required(value, w.pred_arity, "Goal missing 'pred_arity'");
  if (!arity) return false;
  if (!py::to_u64(arity.get(), &goal.pred_arity)) return false;

  if (Ref negated = lookup(value, w.negated)) {
    if (!py::to_bool(negated.get(), &goal.negated)) return false;
  } else if (PyErr_Occurred()) {
    return false;
  }

  if (!goal_args(value, "Goal missing 'args'", "Goal 'args' must be a list", &goal.args)) {
    return false;
  }
  *out = std::move(goal);
  return true;
}

}  // namespace

bool goals_from_list(PyObject* list, std::vector<Goal>* out) {
  return from_list(list, out, py_to_goal);
}

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

// ---------------------------------------------------------------------------
// Engine values to Python. An empty Ref means an error is set.

Ref u64_list(const std::vector<uint64_t>& values) {
  Ref list = py::new_list(values.size());
  for (size_t i = 0; i < values.size(); ++i) py::list_put(list.get(), i, py::new_u64(values[i]));
  return list;
}

namespace {

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

Ref goal_to_py(const Goal& goal) {
  Ref dict = py::new_dict();
  if (const auto* builtin = std::get_if<BuiltinGoal>(&goal)) {
    Ref args = list_to_py(builtin->args, term_to_py);
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
  Ref args = list_to_py(atom.args, term_to_py);
  if (!args || !py::dict_set(dict.get(), w.args, args)) return Ref();
  return dict;
}

Ref opt_text_to_py(const std::optional<std::string>& text) {
  return text ? py::new_str(*text) : py::share(Py_None);
}

}  // namespace

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
  Ref head = list_to_py(rule.head_args, term_to_py);
  if (!head || !py::dict_set(d, w.head_args, head)) return Ref();
  Ref body = list_to_py(rule.body, goal_to_py);
  if (!body || !py::dict_set(d, w.body, body)) return Ref();
  const bool ok = py::dict_set(d, w.b, py::new_f64(rule.b)) &&
                  py::dict_set(d, w.d, py::new_f64(rule.d));
  return ok ? std::move(dict) : Ref();
}

Ref constraint_to_py(const Constraint& constraint) {
  Ref dict = py::new_dict();
  PyObject* d = dict.get();
  if (!py::dict_set(d, w.id, py::new_u64(constraint.id))) return Ref();
  Ref body = list_to_py(constraint.body, goal_to_py);
  if (!body || !py::dict_set(d, w.body, body)) return Ref();
  const bool ok = py::dict_set(d, w.b, py::new_f64(constraint.b)) &&
                  py::dict_set(d, w.d, py::new_f64(constraint.d));
  return ok ? std::move(dict) : Ref();
}

}  // namespace ruvo::native
