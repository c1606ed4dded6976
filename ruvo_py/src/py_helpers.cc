#include "ruvo_py/src/py_helpers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ruvo::py {

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

constexpr const char kPanicDoc[] =
    "Raised when the native engine meets a broken internal invariant, such\n"
    "as corrupt stored data.\n\n"
    "It derives from BaseException, like SystemExit, so that handlers for\n"
    "Exception do not swallow it.";

bool long_to_u64(PyObject* o, uint64_t* out) noexcept {
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// numpy's boolean scalar: a type named "bool_" or "bool" in module "numpy".
bool is_numpy_bool(PyTypeObject* type) noexcept {
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// ---- Binding errors ----

bool too_many_positional(const Params& p, Py_ssize_t given) noexcept {
  const char* was = given == 1 ? "was" : "were";
  if (p.required != p.count) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 p.call, p.required, p.count, given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", p.call,
                 p.count, given, was);
  }
  return false;
}

// Stores one keyword argument into its slot.
bool place_keyword(const Params& p, PyObject* name, PyObject* value, PyObject** out) noexcept {
  size_t slot = p.count;
  for (size_t i = 0; i < p.count; ++i) {
    if (name == p.keys[i]) {
      slot = i;
      break;
    }
  }
  if (slot == p.count && PyUnicode_Check(name)) {
    for (size_t i = 0; i < p.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, p.names[i]) == 0) {
        slot = i;
        break;
      }
    }
  }
  if (slot == p.count) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.call, name);
    return false;
  }
  if (out[slot] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", p.call,
                 p.names[slot]);
    return false;
  }
  out[slot] = value;
  return true;
}

bool check_missing(const Params& p, PyObject** out) noexcept {
  const char* missing[kMaxParams];
  size_t n = 0;
  for (size_t i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) missing[n++] = p.names[i];
  }
  if (n == 0) return true;
  std::string msg = p.call;
  msg += " missing ";
  msg += std::to_string(n);
  msg += n == 1 ? " required positional argument: " : " required positional arguments: ";
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) msg += ',';
      msg += i == n - 1 ? " and " : " ";
    }
    msg += '\'';
    msg += missing[i];
    msg += '\'';
  }
  raise_type(msg);
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Exceptions

void raise(PyObject* type, std::string_view message) noexcept {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // the decoder's MemoryError stays set
  PyErr_SetObject(type, text.get());
}

void raise_downcast(PyObject* value, const char* target) noexcept {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!name) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'", target);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

bool name_argument_error(const char* name) noexcept {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return false;
  if (!Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(raised);
    return false;
  }
  Ref original = Ref::steal(raised);
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) {
    PyErr_Clear();
    text = Ref::steal(PyUnicode_FromString("<unprintable TypeError object>"));
    if (!text) return false;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  PyErr_SetObject(PyExc_TypeError, message.get());
  PyObject* renamed = PyErr_GetRaisedException();
  // SetCause steals the (new) reference GetCause hands out; null clears it.
  PyException_SetCause(renamed, PyException_GetCause(original.get()));
  PyErr_SetRaisedException(renamed);
  return false;
}

// ---------------------------------------------------------------------------
// Faults

PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_caught_as_panic() noexcept {
  const char* message = "panic from Rust code";
  try {
    throw;
  } catch (const std::exception& e) {
    if (e.what() != nullptr && e.what()[0] != '\0') message = e.what();
  } catch (...) {
  }
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  raise(type, message);
  return nullptr;
}

void report_caught_as_unraisable(PyObject* obj) noexcept {
  PyObject* saved = PyErr_GetRaisedException();
  raise_caught_as_panic();
  PyErr_WriteUnraisable(obj);
  PyErr_SetRaisedException(saved);
}

// ---------------------------------------------------------------------------
// Conversions from Python

bool to_text(PyObject* o, std::string_view* out) noexcept {
  if (!PyUnicode_Check(o)) {
    raise_downcast(o, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool to_u64(PyObject* o, uint64_t* out) noexcept {
  if (PyLong_Check(o)) return long_to_u64(o, out);
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) return false;
  return long_to_u64(index.get(), out);
}

bool to_f64(PyObject* o, double* out) noexcept {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_bool(PyObject* o, bool* out) noexcept {
  if (o == Py_True || o == Py_False) {
    *out = o == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(o);
  if (is_numpy_bool(type)) {
    if (type->tp_as_number != nullptr && type->tp_as_number->nb_bool != nullptr) {
      const int truth = type->tp_as_number->nb_bool(o);
      if (truth < 0) return false;
      *out = truth != 0;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return false;
  }
  raise_downcast(o, "PyBool");
  return false;
}

bool to_opt_u64(PyObject* o, std::optional<uint64_t>* out) noexcept {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  uint64_t v = 0;
  if (!to_u64(o, &v)) return false;
  *out = v;
  return true;
}

bool to_opt_text(PyObject* o, std::optional<std::string_view>* out) noexcept {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  std::string_view v;
  if (!to_text(o, &v)) return false;
  *out = v;
  return true;
}

bool to_u64_vec(PyObject* seq, std::vector<uint64_t>* out) {
  return for_each_in_sequence(
      seq, [&](size_t n) { out->reserve(n); },
      [&](PyObject* item) {
        uint64_t v = 0;
        if (!to_u64(item, &v)) return false;
        out->push_back(v);
        return true;
      });
}

bool check_list(PyObject* o) noexcept {
  if (PyList_Check(o)) return true;
  raise_downcast(o, "PyList");
  return false;
}

// ---------------------------------------------------------------------------
// Argument binding

bool intern_keys(Params& params) noexcept {
  for (size_t i = 0; i < params.count; ++i) {
    if (params.keys[i] != nullptr) continue;
    params.keys[i] = PyUnicode_InternFromString(params.names[i]);
    if (params.keys[i] == nullptr) return false;
  }
  return true;
}

bool bind_fast(const Params& params, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) noexcept {
  std::fill(out, out + params.count, nullptr);
  if (static_cast<size_t>(nargs) > params.count) return too_many_positional(params, nargs);
  std::copy(args, args + nargs, out);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  if (static_cast<size_t>(nargs) >= params.required) return true;
  return check_missing(params, out);
}

bool bind_tuple_dict(const Params& params, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept {
  std::fill(out, out + params.count, nullptr);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<size_t>(nargs) > params.count) return too_many_positional(params, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(params, name, value, out)) return false;
    }
  }
  return check_missing(params, out);
}

}  // namespace ruvo::py
