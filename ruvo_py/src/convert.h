// Conversions between Python values and the engine's values: terms, goals,
// rules, constraints, facts and answers, the keyword words of the
// configuration calls, the interned dict keys and status words, and the
// mapping of store and engine errors to Python exceptions.
//
// Conventions: a function returning bool (or a null PyObject*, or an empty
// Ref) reports failure with the Python error indicator set. Results are new
// references owned by the caller. Arguments are borrowed for the call only;
// converted engine values own their texts, except where a view is noted.
// Every function requires the interpreter lock.
#pragma once

// Python.h (through the helpers) comes before any standard header.
#include "ruvo_py/src/py_helpers.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"
#include "ruvo_engine/src/session.h"

namespace ruvo::native {

using py::Ref;

// ---------------------------------------------------------------------------
// Interned texts: dict keys and keyword words, created once with the type
// and kept for the life of the process (borrowed from here everywhere).

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
extern Words w;

// Creates every entry of `w`. False with an error set on failure.
bool make_words();

// ---------------------------------------------------------------------------
// Errors

// Store and engine errors: RuntimeError with the debug text, nothing added.
template <class E>
PyObject* fail(const E& error) {
  py::raise_runtime(error.debug());
  return nullptr;
}

// ValueError "<prefix><text>"; returns null.
PyObject* fail_value(std::string_view prefix, std::string_view text);

// ---------------------------------------------------------------------------
// Keyword tables: the words the configuration calls accept, or nullopt.

std::optional<AggregationMode> aggregation_from_word(std::string_view word);
std::optional<EvidenceMode> evidence_from_word(std::string_view word);
std::optional<ApplicabilitySemantics> applicability_from_word(std::string_view word);

// ---------------------------------------------------------------------------
// Python values to engine values

// REQUIRES: PyList_Check(list). Appends the converted elements, walking the
// list as for_each_in_list does. Refusals are ValueErrors naming the shape.
bool terms_from_list(PyObject* list, std::vector<Term>* out);
bool goals_from_list(PyObject* list, std::vector<Goal>* out);

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

// Converts one (pred_name, pred_arity, args, b, d, source_or_none) tuple.
bool to_bulk_fact(PyObject* o, BulkFact* fact);

// ---------------------------------------------------------------------------
// Engine values to Python. An empty Ref means an error is set; a failure to
// create an object is a fault (see py::made).

Ref u64_list(const std::vector<uint64_t>& values);
Ref fact_to_py(const GroundFact& fact);
Ref rule_to_py(const Rule& rule);
Ref constraint_to_py(const Constraint& constraint);

// A list built from `items` by `convert` (which returns an empty Ref on
// error); empty on error.
template <class T, class Convert>
Ref list_to_py(const std::vector<T>& items, Convert convert) {
  Ref list = py::new_list(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    Ref item = convert(items[i]);
    if (!item) return Ref();
    py::list_put(list.get(), i, std::move(item));
  }
  return list;
}

// The same as a method's result: built with the cycle collector paused, the
// list handed to the caller (null on error).
template <class T, class Convert>
PyObject* list_of(const std::vector<T>& items, Convert convert) {
  py::GcPause pause;
  return list_to_py(items, convert).release();
}

inline Ref status_word(BelnapStatus status) { return py::share(w.belnap[static_cast<size_t>(status)]); }

}  // namespace ruvo::native
