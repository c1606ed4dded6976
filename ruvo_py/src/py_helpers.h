// A small binding layer over the CPython C API for the extension module:
// owned references, argument binding for the fast calling convention,
// conversions of Python values with the refusal texts callers match on, the
// borrow flag that guards an object's session, exception helpers, and the
// boundary that turns every C++ exception into the panic exception.
//
// Conventions: a function returning bool (or a null Ref / null PyObject*)
// reports failure with the Python error indicator set; nothing here throws
// except `made`, whose ApiFailure is meant to reach the entry point's fault
// boundary. Every function requires the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ruvo::py {

// ---------------------------------------------------------------------------
// Owned references

// Move-only owner of one strong reference (or of nothing).
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference; `o` may be null.
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Adds a reference to a borrowed object; `o` may be null.
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Exceptions

// Sets `type` with one argument, `message` decoded as UTF-8 (undecodable
// bytes replaced). Chains the context like any raise from C.
void raise(PyObject* type, std::string_view message) noexcept;
inline void raise_runtime(std::string_view message) noexcept {
  raise(PyExc_RuntimeError, message);
}
inline void raise_value(std::string_view message) noexcept { raise(PyExc_ValueError, message); }
inline void raise_type(std::string_view message) noexcept { raise(PyExc_TypeError, message); }

// TypeError "'<qualified type name of value>' object cannot be converted to
// '<target>'".
void raise_downcast(PyObject* value, const char* target) noexcept;

// Called right after one parameter failed to convert: a pending TypeError is
// replaced by TypeError "argument '<name>': <message>" keeping its cause;
// any other class stays as it is. Always returns false.
bool name_argument_error(const char* name) noexcept;
// Passes `ok` through; on failure names the parameter as above.
inline bool named(bool ok, const char* name) noexcept { return ok || name_argument_error(name); }

// ---------------------------------------------------------------------------
// Faults

// The interpreter could not create a result object. Thrown by `made`; the
// fault boundary raises it as the panic exception.
class ApiFailure : public std::exception {
 public:
  const char* what() const noexcept override { return "Python API call failed"; }
};

// Returns `o` when it is not null. Otherwise prints the pending error and
// throws ApiFailure: failing to create a result object is a fault, not an
// error a caller could handle.
inline PyObject* made(PyObject* o) {
  if (o == nullptr) {
    PyErr_Print();
    throw ApiFailure();
  }
  return o;
}

// REQUIRES: called inside a catch block. Raises the caught exception as
// pyo3_runtime.PanicException (message: what() of a std::exception, else
// "panic from Rust code") and returns null. Aborts the process should that
// itself fail.
PyObject* raise_caught_as_panic() noexcept;
// REQUIRES: called inside a catch block. Reports the caught exception as
// unraisable on `obj` (used where raising is impossible, e.g. deallocation);
// the error indicator is left as it was.
void report_caught_as_unraisable(PyObject* obj) noexcept;
// The panic exception class (BaseException subclass, not exposed by any
// module), created on first use; null with an error set on failure.
PyObject* panic_exception_type() noexcept;

// ---------------------------------------------------------------------------
// Conversions from Python. Each converts one value; on failure the error is
// set and false returned. Parameter naming is the caller's job (`named`).

// A str (or subclass) as its UTF-8 text. The view lives as long as the str.
// Non-str: TypeError with target PyString; a lone surrogate: the
// interpreter's UnicodeEncodeError.
bool to_text(PyObject* o, std::string_view* out) noexcept;
// An int (or subclass) directly, anything else through its __index__: the
// interpreter's TypeError for non-integers, OverflowError outside u64.
bool to_u64(PyObject* o, uint64_t* out) noexcept;
// Exact float directly, anything else through the interpreter's float
// conversion (its TypeError on failure).
bool to_f64(PyObject* o, double* out) noexcept;
// True and False (and numpy's boolean scalar); anything else TypeError with
// target PyBool.
bool to_bool(PyObject* o, bool* out) noexcept;
// Null (omitted) or None: nullopt; otherwise as above.
bool to_opt_u64(PyObject* o, std::optional<uint64_t>* out) noexcept;
bool to_opt_text(PyObject* o, std::optional<std::string_view>* out) noexcept;

// A list (or subclass); otherwise TypeError with target PyList.
bool check_list(PyObject* o) noexcept;

// Iterates a sequence parameter: a str is refused ("Can't extract `str` to
// `Vec`"), an object failing the interpreter's sequence test is refused
// with target Sequence, then every element is handed in iteration order to
// each(PyObject* item) -> bool, which stops the walk by returning false
// with an error set. reserve(size_t) receives the sequence's length first
// (0 when the length cannot be read). The item is kept alive during each().
template <class Reserve, class Each>
bool for_each_in_sequence(PyObject* seq, Reserve&& reserve, Each&& each) {
  if (PyUnicode_Check(seq)) {
    raise_type("Can't extract `str` to `Vec`");
    return false;
  }
  if (PyList_CheckExact(seq)) {
    // The list's own iterator, without the iterator object: the length is
    // read again at every step, since element conversion can run Python code.
    reserve(static_cast<size_t>(PyList_GET_SIZE(seq)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(seq, i));
      if (!each(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(seq)) {
    // A tuple holds its elements for as long as it lives.
    const Py_ssize_t n = PyTuple_GET_SIZE(seq);
    reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!each(PyTuple_GET_ITEM(seq, i))) return false;
    }
    return true;
  }
  if (!PySequence_Check(seq)) {
    raise_downcast(seq, "Sequence");
    return false;
  }
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) PyErr_Clear();  // only a size hint, and not trusted far
  reserve(n < 0 ? 0 : std::min(static_cast<size_t>(n), size_t{1} << 16));
  Ref it = Ref::steal(PyObject_GetIter(seq));
  if (!it) return false;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// A sequence of unsigned integers (see for_each_in_sequence and to_u64).
bool to_u64_vec(PyObject* seq, std::vector<uint64_t>* out);

// Walks a list (REQUIRES: PyList_Check) as the binding layer's list iterator
// does: up to the smaller of the length at the start and the current length.
template <class Each>
bool for_each_in_list(PyObject* list, Each&& each) {
  const Py_ssize_t start_len = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < start_len && i < PyList_GET_SIZE(list); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    if (!each(item.get())) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Conversions to Python. A creation failure is a fault (see `made`).

inline Ref new_u64(uint64_t v) { return Ref::steal(made(PyLong_FromUnsignedLongLong(v))); }
inline Ref new_i64(int64_t v) { return Ref::steal(made(PyLong_FromLongLong(v))); }
inline Ref new_f64(double v) { return Ref::steal(made(PyFloat_FromDouble(v))); }
inline Ref new_str(std::string_view s) {
  return Ref::steal(made(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr)));
}
inline Ref new_list(size_t n) { return Ref::steal(made(PyList_New(static_cast<Py_ssize_t>(n)))); }
inline Ref new_dict() { return Ref::steal(made(PyDict_New())); }
// A new reference to a long-lived object (cached keys and words).
inline Ref share(PyObject* o) noexcept { return Ref::borrow(o); }
// Stores value under key; false with the interpreter's error when refused.
inline bool dict_set(PyObject* dict, PyObject* key, const Ref& value) noexcept {
  return PyDict_SetItem(dict, key, value.get()) == 0;
}
// REQUIRES: `list` fresh from new_list with slot i empty. Steals `value`.
inline void list_put(PyObject* list, size_t i, Ref value) noexcept {
  PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value.release());
}

// Pauses the cycle collector while a result of many fresh containers is
// built. No Python code runs there and no cycle can form, yet every list,
// tuple and dict created would count towards collections that traverse the
// whole heap and find nothing. Restores the previous state on every path.
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// ---------------------------------------------------------------------------
// Argument binding (fast calling convention and tuple/dict)

inline constexpr size_t kMaxParams = 8;

// One callable's parameters. All may be given by position or keyword; the
// first `required` have no default, the rest default to None (null slot).
struct Params {
  const char* call;                    // e.g. "NativeStore.intern()"
  const char* names[kMaxParams];
  size_t count;
  size_t required;
  PyObject* keys[kMaxParams] = {};     // interned names, set by intern_keys
};

// Creates the interned name objects (once per process). False on failure.
bool intern_keys(Params& params) noexcept;

// Binds positional and keyword arguments to out[0..count) (borrowed; null for
// an omitted optional parameter). Failures are TypeErrors naming the call:
// too many positional arguments, an unexpected keyword, an argument given
// twice, missing required arguments (checked in that order).
bool bind_fast(const Params& params, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) noexcept;
bool bind_tuple_dict(const Params& params, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept;

// ---------------------------------------------------------------------------
// Borrow flag: 0 free, all ones exclusive, otherwise the number of shared
// borrows. Tested, never waited for.

inline constexpr uint64_t kExclusive = ~uint64_t{0};

enum class Borrow { Shared, Exclusive };

// Takes the borrow (and one reference to the owner) for its lifetime. On
// refusal the guard is empty and RuntimeError is set: "Already borrowed" for
// an exclusive request meeting any borrow, "Already mutably borrowed" for a
// shared request meeting an exclusive one.
class BorrowGuard {
 public:
  BorrowGuard(PyObject* owner, uint64_t* flag, Borrow kind) noexcept : flag_(flag), kind_(kind) {
    if (kind == Borrow::Exclusive) {
      if (*flag != 0) {
        raise_runtime("Already borrowed");
        return;
      }
      *flag = kExclusive;
    } else {
      if (*flag == kExclusive) {
        raise_runtime("Already mutably borrowed");
        return;
      }
      ++*flag;
    }
    Py_INCREF(owner);
    owner_ = owner;
  }
  ~BorrowGuard() {
    if (owner_ == nullptr) return;
    if (kind_ == Borrow::Exclusive) {
      *flag_ = 0;
    } else {
      --*flag_;
    }
    Py_DECREF(owner_);
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  explicit operator bool() const noexcept { return owner_ != nullptr; }

 private:
  uint64_t* flag_;
  Borrow kind_;
  PyObject* owner_ = nullptr;
};

}  // namespace ruvo::py
