// The NativeStore instance methods: the entry points the method table
// lists, each binding its arguments, checking self, taking the session's
// borrow and running its body inside the fault boundary.
//
// Every entry point is noexcept and returns a new reference, or null with
// the Python error indicator set. Arguments are borrowed for the call only;
// texts read from them are viewed, never kept past the call.
#pragma once

// Python.h (through the helpers) comes before any standard header.
#include "ruvo_py/src/py_helpers.h"

namespace ruvo::native {

// The two calling conventions: fast call with keywords, and no arguments.
using FastMethod = PyObject*(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;
using NoArgsMethod = PyObject*(PyObject* self, PyObject* unused) noexcept;

FastMethod intern_method;
FastMethod intern_batch_method;
FastMethod resolve_batch_method;
FastMethod resolve_method;
FastMethod configure_predicate_method;
FastMethod set_semantics_method;
FastMethod assert_fact_method;
FastMethod assert_facts_bulk_method;
FastMethod retract_fact_method;
FastMethod add_rule_method;
FastMethod add_constraint_method;
FastMethod get_facts_method;
FastMethod get_rules_method;
FastMethod get_constraints_method;
FastMethod materialize_method;
FastMethod get_atom_state_method;
FastMethod query_predicate_method;
FastMethod query_predicate_bulk_method;
FastMethod idb_watermark_method;

NoArgsMethod list_branches_method;
NoArgsMethod current_watermark_method;
NoArgsMethod edb_watermark_method;
NoArgsMethod flush_method;

// Creates the interned parameter names of every method above (once per
// process, before any call). False with an error set on failure.
bool intern_method_parameter_names();

}  // namespace ruvo::native
