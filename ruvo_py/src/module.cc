// The extension module ruvo._native: module initialisation, the NativeStore
// type (constructors, deallocation, docs, method table) and the guard that
// keeps an object to the process that opened it.
//
// Every entry point (module init, constructors, methods) is noexcept and
// catches every C++ exception at its top, raising it as the panic
// exception: nothing thrown below (ruvo::Fault, allocation failures) ever
// crosses into the interpreter. Store and engine errors arrive as values and
// become RuntimeError carrying their debug text.
//
// The type object and the module object are created once per process and
// kept (one reference each) for its whole life.

// Python.h (through the helpers) comes before any standard header.
#include "ruvo_py/src/py_helpers.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "ruvo_engine/src/session.h"
#include "ruvo_py/src/convert.h"
#include "ruvo_py/src/methods.h"
#include "ruvo_py/src/store_object.h"

namespace ruvo::native {

PyTypeObject* g_type = nullptr;

// ---------------------------------------------------------------------------
// The current process. A forked child inherits every object, and with it
// the parent's open databases: both processes would hand out the same event
// ids into the same files. Objects therefore remember the process that
// opened them and serve no other. The id is cached (refreshed in every
// child by a fork handler) so that the check costs no system call.

pid_t g_pid = 0;

namespace {

void note_fork_child() { g_pid = getpid(); }

// Once per process, before any object exists.
void track_process() {
  g_pid = getpid();
  pthread_atfork(nullptr, nullptr, &note_fork_child);
}

}  // namespace

bool refuse_other_process(const StoreObject* store) {
  py::raise_runtime("NativeStore was opened in process " + std::to_string(store->owner) +
                    " and cannot be used in process " + std::to_string(g_pid) +
                    " (after fork); open a new store in this process");
  return false;
}

namespace {

using py::named;

// ---------------------------------------------------------------------------
// Constructors and deallocation

py::Params kNewParams{"NativeStore.__new__()", {"edb_path", "idb_path"}, 2, 2};

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
    {"intern", as_cfunction(&intern_method), kFast, kDocIntern},
    {"intern_batch", as_cfunction(&intern_batch_method), kFast, kDocInternBatch},
    {"resolve_batch", as_cfunction(&resolve_batch_method), kFast, kDocResolveBatch},
    {"resolve", as_cfunction(&resolve_method), kFast, kDocResolve},
    {"configure_predicate", as_cfunction(&configure_predicate_method), kFast,
     kDocConfigurePredicate},
    {"set_semantics", as_cfunction(&set_semantics_method), kFast, kDocSetSemantics},
    {"assert_fact", as_cfunction(&assert_fact_method), kFast, kDocAssertFact},
    {"assert_facts_bulk", as_cfunction(&assert_facts_bulk_method), kFast, kDocAssertFactsBulk},
    {"retract_fact", as_cfunction(&retract_fact_method), kFast, kDocRetractFact},
    {"add_rule", as_cfunction(&add_rule_method), kFast, kDocAddRule},
    {"add_constraint", as_cfunction(&add_constraint_method), kFast, kDocAddConstraint},
    {"get_facts", as_cfunction(&get_facts_method), kFast, kDocGetFacts},
    {"get_rules", as_cfunction(&get_rules_method), kFast, kDocGetRules},
    {"get_constraints", as_cfunction(&get_constraints_method), kFast, kDocGetConstraints},
    {"list_branches", as_cfunction(&list_branches_method), METH_NOARGS, kDocListBranches},
    {"materialize", as_cfunction(&materialize_method), kFast, kDocMaterialize},
    {"get_atom_state", as_cfunction(&get_atom_state_method), kFast, kDocGetAtomState},
    {"query_predicate", as_cfunction(&query_predicate_method), kFast, kDocQueryPredicate},
    {"query_predicate_bulk", as_cfunction(&query_predicate_bulk_method), kFast,
     kDocQueryPredicateBulk},
    {"current_watermark", as_cfunction(&current_watermark_method), METH_NOARGS,
     kDocCurrentWatermark},
    {"edb_watermark", as_cfunction(&edb_watermark_method), METH_NOARGS, kDocEdbWatermark},
    {"idb_watermark", as_cfunction(&idb_watermark_method), kFast, kDocIdbWatermark},
    {"flush", as_cfunction(&flush_method), METH_NOARGS, kDocFlush},
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
  if (!py::intern_keys(kNewParams) || !intern_method_parameter_names()) return nullptr;
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
}  // namespace ruvo::native

PyMODINIT_FUNC PyInit__native(void) {
  try {
    return ruvo::native::init_module();
  } catch (...) {
    return ruvo::py::raise_caught_as_panic();
  }
}

