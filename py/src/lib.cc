// The _varnel extension module: the classes Index (one in-memory
// BruteForceIndex) and Collection (one persistent core Collection).
//
// Every method binds its arguments (all required, by position or keyword),
// borrows its object, converts the arguments in parameter order, calls the
// core and builds Python results. A core Error becomes an exception whose text
// is exactly Error::message(): ValueError from the inserts, OSError from
// Collection.open_or_create and Collection.flush. Searches never fail. A
// batch call looks for pending signals every few milliseconds (search_batch
// between pieces of its one pass over the rows) and stops with the exception
// of a handler that raises (KeyboardInterrupt on Ctrl-C); an insert_batch
// keeps what it inserted.
//
// Borrow rule: each object carries a flag. Inserts and flush take it
// exclusively, searches shared, for the whole call, argument conversion
// included; conversion can run Python code (__index__, __float__, a
// sequence's own methods) that calls back into the same object, and such a
// call is refused with RuntimeError instead of changing the object under the
// running one.
//
// The module also builds against PyPy's implementation of the C API, which is
// looser than CPython's: it lets object.__new__ make zeroed instances, lets
// Index.__new__ be called with any type and allows subclassing. So every
// method checks that it got a constructed instance of its own class, and the
// creation slots accept only their exact class.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collection.h"
#include "distance.h"
#include "error.h"
#include "index/brute_force.h"
#include "zeroed_memory.h"
#include "payload.h"
#include "storage/wal.h"

namespace {

using varnel::DistanceMetric;
using varnel::index::BruteForceIndex;
using varnel::index::SearchResult;

// ---------------------------------------------------------------------------
// Helpers

// Owns one strong reference. Adopts what it is given; releases on
// destruction; moves but never copies.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : p_(owned) {}
  PyRef(PyRef&& other) noexcept : p_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = other.release();
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  // A new strong reference to a borrowed object.
  static PyRef share(PyObject* borrowed) {
    Py_INCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Sets an exception of class `type` whose str() is exactly `text`.
void set_error(PyObject* type, std::string_view text) {
  PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return;  // the MemoryError stays pending
  PyErr_SetObject(type, message.get());
}

// The text of a str as UTF-8; false with UnicodeEncodeError pending when the
// text cannot be encoded (lone surrogates).
bool utf8_of(PyObject* str, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

// "'<type name>' object cannot be converted to '<target>'" as a TypeError.
void set_not_convertible(PyObject* obj, std::string_view target) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name) return;
  std::string_view type_name = "?";
  if (PyUnicode_Check(name.get()) && !utf8_of(name.get(), type_name)) return;
  std::string text = "'";
  text.append(type_name).append("' object cannot be converted to '").append(target).append("'");
  set_error(PyExc_TypeError, text);
}

// Replaces a pending exception of class exactly TypeError, raised while
// converting argument `name`, by a TypeError reading "argument '<name>': "
// and the old text, with the old exception's cause. Other classes pass
// unchanged. Returns false, for `return arg_failed(...)`.
bool arg_failed(const char* name) {
  // Anything but an exact TypeError stays pending untouched: on PyPy, a
  // fetched and restored exception keeps its traceback (every frame below
  // it, and the objects they hold, the collection included) alive for good.
  if (PyErr_Occurred() != PyExc_TypeError) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type(type);
  PyRef old_value(value);
  PyRef old_traceback(traceback);
  if (!old_value) {
    PyErr_Restore(old_type.release(), nullptr, old_traceback.release());
    return false;
  }
  PyRef old_text(PyObject_Str(old_value.get()));
  if (!old_text) return false;
  std::string_view old_view;
  if (!utf8_of(old_text.get(), old_view)) return false;

  std::string text = "argument '";
  text.append(name).append("': ").append(old_view);
  set_error(PyExc_TypeError, text);
  PyObject* new_type = nullptr;
  PyObject* new_value = nullptr;
  PyObject* new_traceback = nullptr;
  PyErr_Fetch(&new_type, &new_value, &new_traceback);
  PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
  if (new_value != nullptr && PyExceptionInstance_Check(new_value)) {
    PyObject* cause = PyException_GetCause(old_value.get());  // new reference or null
    if (cause != nullptr) PyException_SetCause(new_value, cause);  // steals it
  }
  PyErr_Restore(new_type, new_value, new_traceback);
  return false;
}

// The same, for returning from a method.
PyObject* arg_error(const char* name) {
  arg_failed(name);
  return nullptr;
}

// Raises `type` with the core error's message and nothing else.
PyObject* raise_core_error(PyObject* type, const varnel::Error& error) {
  set_error(type, error.message());
  return nullptr;
}

// The borrow flag of one object: 0 when free, n > 0 while n shared borrows
// are held, kExclusive while an exclusive borrow is held.
using BorrowFlag = Py_ssize_t;
constexpr BorrowFlag kExclusive = -1;

enum class Borrow { kShared, kExclusive };

// Takes a borrow for its lifetime. When refused, nothing is taken, the
// RuntimeError is set and the guard tests false.
class BorrowGuard {
 public:
  BorrowGuard(BorrowFlag& flag, Borrow kind) : flag_(flag), kind_(kind) {
    if (kind == Borrow::kExclusive) {
      if (flag != 0) {
        set_error(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      flag = kExclusive;
    } else {
      if (flag == kExclusive) {
        set_error(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++flag;
    }
    held_ = true;
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (!held_) return;
    if (kind_ == Borrow::kExclusive) {
      flag_ = 0;
    } else {
      --flag_;
    }
  }
  explicit operator bool() const { return held_; }

 private:
  BorrowFlag& flag_;
  Borrow kind_;
  bool held_ = false;
};

// ---------------------------------------------------------------------------
// Argument binding: every parameter is required and may come by position or
// by keyword. Errors follow the interpreter's wording, naming the call as
// "Class.method()".

struct Signature {
  const char* call;          // e.g. "Index.insert()"
  const char* const* names;  // parameter names, in order
  Py_ssize_t count;
};

// Collects the arguments of one call into `out` (borrowed references, one per
// parameter). Positional arguments come first, then keywords one at a time;
// finish() reports what is missing.
class Binder {
 public:
  Binder(const Signature& sig, PyObject** out) : sig_(sig), out_(out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  }

  bool positional(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > sig_.count) {
      std::string text = sig_.call;
      text += " takes " + std::to_string(sig_.count) + " positional argument" +
              (sig_.count == 1 ? "" : "s") + " but " + std::to_string(nargs) +
              (nargs == 1 ? " was" : " were") + " given";
      set_error(PyExc_TypeError, text);
      return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out_[i] = args[i];
    return true;
  }

  bool keyword(PyObject* name, PyObject* value) {
    std::string_view text;
    if (!PyUnicode_Check(name)) {
      set_error(PyExc_TypeError, std::string(sig_.call) + " keywords must be strings");
      return false;
    }
    if (!utf8_of(name, text)) return false;
    for (Py_ssize_t i = 0; i < sig_.count; ++i) {
      if (text != sig_.names[i]) continue;
      if (out_[i] != nullptr) {
        set_error(PyExc_TypeError, std::string(sig_.call) + " got multiple values for argument '" +
                                       sig_.names[i] + "'");
        return false;
      }
      out_[i] = value;
      return true;
    }
    set_error(PyExc_TypeError, std::string(sig_.call) + " got an unexpected keyword argument '" +
                                   std::string(text) + "'");
    return false;
  }

  bool finish() {
    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < sig_.count; ++i) {
      if (out_[i] == nullptr) missing.push_back(sig_.names[i]);
    }
    if (missing.empty()) return true;
    std::string text = sig_.call;
    text += " missing " + std::to_string(missing.size()) + " required positional argument" +
            (missing.size() == 1 ? "" : "s") + ": ";
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) text += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      text += "'";
      text += missing[i];
      text += "'";
    }
    set_error(PyExc_TypeError, text);
    return false;
  }

 private:
  const Signature& sig_;
  PyObject** out_;
};

// Binds a fast call (positional array, then the values named by `kwnames`).
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
  Binder binder(sig, out);
  if (!binder.positional(args, nargs)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
    }
  }
  return binder.finish();
}

// Binds a classic call (a tuple and an optional dict), as the creation slot
// receives it.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Binder binder(sig, out);
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  std::vector<PyObject*> positional(static_cast<size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) positional[i] = PyTuple_GET_ITEM(args, i);
  if (!binder.positional(positional.data(), nargs)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!binder.keyword(name, value)) return false;
    }
  }
  return binder.finish();
}

// ---------------------------------------------------------------------------
// Scalar conversions. Each returns false with the exception set.

// An int (or int subclass) directly, anything else through __index__; the
// interpreter's OverflowError for negatives and values of 2**64 or more.
bool to_identifier(PyObject* obj, uint64_t& out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// An identifier that must also fit the machine word.
bool to_count(PyObject* obj, size_t& out) {
  uint64_t value = 0;
  if (!to_identifier(obj, value)) return false;
  if constexpr (sizeof(size_t) < sizeof(uint64_t)) {
    if (value > std::numeric_limits<size_t>::max()) {
      set_error(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
  }
  out = static_cast<size_t>(value);
  return true;
}

// Rounds to the nearest 32-bit float, ties to even; magnitudes past the
// float range become infinities. Written out because converting an
// out-of-range double to float is undefined in C++.
inline float narrow(double d) {
  // Halfway between FLT_MAX and 2**128: from here on the rounding gives inf.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (d >= kOverflow) return std::numeric_limits<float>::infinity();
  if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

// An exact float read directly; anything else through PyFloat_AsDouble
// (ints, __float__), whose TypeError passes on.
inline bool to_float(PyObject* obj, float& out) {
  const double d = PyFloat_AsDouble(obj);
  if (!PyFloat_CheckExact(obj) && d == -1.0 && PyErr_Occurred()) return false;
  out = narrow(d);
  return true;
}

// Copies the text of a str; anything else is refused with
// "'<type>' object cannot be converted to 'PyString'".
bool to_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    set_not_convertible(obj, "PyString");
    return false;
  }
  std::string_view view;
  if (!utf8_of(obj, view)) return false;
  out.assign(view);
  return true;
}

bool to_metric(std::string_view name, DistanceMetric& out) {
  if (name == "euclidean") {
    out = DistanceMetric::Euclidean;
  } else if (name == "cosine") {
    out = DistanceMetric::Cosine;
  } else if (name == "dot") {
    out = DistanceMetric::DotProduct;
  } else {
    set_error(PyExc_ValueError, "Invalid metric");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Sequences. The general path takes the items in order, through the
// iterator (a list or tuple is indexed directly, which yields the same items:
// a list's iterator also re-reads the length at every step). Items are held
// by a strong reference while converted, since converting may run code that
// drops them from their container.
//
// Fast path: an object exposing a C-contiguous buffer of float32 or float64
// (vectors) or of 64-bit integers (identifiers) in native byte order is read
// in place, giving the same values as the general path. Anything else, and
// any buffer request that fails, takes the general path.

constexpr size_t kMaxReserve = size_t{1} << 20;  // a lying __len__ reserves no more
constexpr size_t kMaxRowsReserve = size_t{1} << 30;  // floats reserved for a batch's rows

// Refuses a str and anything that is not a sequence, as callers see it.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    set_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    set_not_convertible(obj, "Sequence");
    return false;
  }
  return true;
}

// The sequence's length, only as a hint for reserving; failures are ignored.
size_t size_hint(PyObject* seq) {
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<size_t>(n), kMaxReserve);
}

// Makes room for `more` items on top of what `out` holds, keeping the
// geometric growth that many small appends (rows of a batch) rely on.
template <typename T>
void reserve_more(std::vector<T>& out, size_t more) {
  if (out.capacity() - out.size() >= more) return;
  out.reserve(std::max(out.size() + more, 2 * out.capacity()));
}

// Calls visit(item) for each item in order; stops at the first false.
// `plain(item)` is offered each item first, borrowed; it must run no Python
// code, and returns true when it has consumed the item (exact floats and
// ints take this way without touching their reference counts).
template <typename Plain, typename Visit>
bool for_each_item(PyObject* seq, Plain&& plain, Visit&& visit) {
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      PyObject* borrowed = PyList_GET_ITEM(seq, i);
      if (plain(borrowed)) continue;
      PyRef item = PyRef::share(borrowed);
      if (!visit(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
      PyObject* borrowed = PyTuple_GET_ITEM(seq, i);
      if (plain(borrowed)) continue;
      PyRef item = PyRef::share(borrowed);
      if (!visit(item.get())) return false;
    }
    return true;
  }
  PyRef iter(PyObject_GetIter(seq));
  if (!iter) return false;
  while (true) {
    PyRef item(PyIter_Next(iter.get()));
    if (!item) return !PyErr_Occurred();
    if (!plain(item.get()) && !visit(item.get())) return false;
  }
}

template <typename Visit>
bool for_each_item(PyObject* seq, Visit&& visit) {
  return for_each_item(seq, [](PyObject*) { return false; }, visit);
}

// Holds one buffer of an object; released on destruction.
class BufferView {
 public:
  BufferView() { std::memset(&view_, 0, sizeof view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() { release(); }

  // Asks for the buffer with shape, strides and format. False, with nothing
  // pending, when the object has none or refuses.
  bool acquire(PyObject* obj) {
    release();
    if (!PyObject_CheckBuffer(obj)) return false;
    // Zeroed first: some implementations leave fields unwritten.
    std::memset(&view_, 0, sizeof view_);
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      std::memset(&view_, 0, sizeof view_);
      return false;
    }
    held_ = true;
    return true;
  }

  void release() {
    if (!held_) return;
    PyBuffer_Release(&view_);
    held_ = false;
  }

  const Py_buffer& view() { return view_; }

 private:
  Py_buffer view_;
  bool held_ = false;
};

enum class Element { kOther, kF32, kF64, kI64, kU64 };

// The element type of a buffer by its struct format: one code, optionally
// behind a byte-order mark meaning the native order.
Element element_of(const Py_buffer& view) {
  const char* format = view.format;
  if (format == nullptr) return Element::kOther;  // plain bytes
  bool native_sizes = true;
  switch (*format) {
    case '@':
      ++format;
      break;
    case '=':
      native_sizes = false;
      ++format;
      break;
    case '<':
      if (std::endian::native != std::endian::little) return Element::kOther;
      native_sizes = false;
      ++format;
      break;
    case '>':
    case '!':
      if (std::endian::native != std::endian::big) return Element::kOther;
      native_sizes = false;
      ++format;
      break;
    default:
      break;
  }
  if (format[0] == '\0' || format[1] != '\0') return Element::kOther;
  Element element = Element::kOther;
  switch (format[0]) {
    case 'f':
      element = Element::kF32;
      break;
    case 'd':
      element = Element::kF64;
      break;
    case 'q':
      element = Element::kI64;
      break;
    case 'Q':
      element = Element::kU64;
      break;
    case 'l':
    case 'n':
      if (native_sizes) element = Element::kI64;
      break;
    case 'L':
    case 'N':
      if (native_sizes) element = Element::kU64;
      break;
    default:
      break;
  }
  const Py_ssize_t expected = (element == Element::kF32) ? 4 : 8;
  if (element == Element::kOther || view.itemsize != expected) return Element::kOther;
  return element;
}

// Checks that the buffer holds exactly `ndim` dimensions laid out
// C-contiguously, and gives its extent (cols is 1 for one dimension).
bool c_layout(const Py_buffer& view, int ndim, size_t& rows, size_t& cols) {
  if (view.ndim != ndim || view.shape == nullptr) return false;
  if (view.shape[0] < 0 || (ndim == 2 && view.shape[1] < 0)) return false;
  rows = static_cast<size_t>(view.shape[0]);
  cols = ndim == 2 ? static_cast<size_t>(view.shape[1]) : 1;
  size_t bytes = 0;
  if (__builtin_mul_overflow(rows, cols, &bytes) ||
      __builtin_mul_overflow(bytes, static_cast<size_t>(view.itemsize), &bytes)) {
    return false;
  }
  if (view.len < 0 || bytes != static_cast<size_t>(view.len)) return false;
  if (bytes != 0 && view.buf == nullptr) return false;
  // Checked here: PyPy does not enforce contiguity requests (and declares
  // the view non-const).
  return PyBuffer_IsContiguous(const_cast<Py_buffer*>(&view), 'C') != 0;
}

// Appends `count` floats of a float32 or float64 buffer at `data`.
void append_floats_from(const char* data, Element element, size_t count, std::vector<float>& out) {
  const size_t start = out.size();
  out.resize(start + count);
  if (element == Element::kF32) {
    if (count != 0) std::memcpy(out.data() + start, data, count * sizeof(float));
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    double d;
    std::memcpy(&d, data + i * sizeof(double), sizeof d);
    out[start + i] = narrow(d);
  }
}

#ifdef PYPY_VERSION
// PyPy keeps a list that holds only exact floats unboxed, and its C API
// boxes every item it hands out (about 100 ns each). Such a list is copied
// into an array('d') inside the interpreter instead and read as a buffer:
// the same doubles, in the same order, several times faster, and no user
// code can run since every item is an exact float. The callables are looked
// up once by module initialisation; without them this path is skipped.
// The copy costs a few microseconds of calls; below this length boxing the
// items one by one is quicker.
constexpr Py_ssize_t kMinUnboxedList = 64;

struct UnboxedLists {
  PyObject* strategy = nullptr;    // __pypy__.strategy
  PyObject* array_type = nullptr;  // array.array
  PyObject* typecode = nullptr;    // "d"
};
UnboxedLists g_unboxed;

void init_unboxed_lists() {
  if (g_unboxed.strategy != nullptr) return;  // a second initialisation
  PyRef pypy(PyImport_ImportModule("__pypy__"));
  PyRef array(PyImport_ImportModule("array"));
  if (pypy && array) {
    g_unboxed.strategy = PyObject_GetAttrString(pypy.get(), "strategy");
    g_unboxed.array_type = PyObject_GetAttrString(array.get(), "array");
    g_unboxed.typecode = PyUnicode_FromStringAndSize("d", 1);
  }
  PyErr_Clear();  // any failure only turns the fast path off
}

// Appends the items of an exact list of exact floats; false, with nothing
// pending and `out` unchanged, for any other list.
bool append_unboxed_floats(PyObject* list, std::vector<float>& out) {
  if (!g_unboxed.strategy || !g_unboxed.array_type || !g_unboxed.typecode) return false;
  PyRef strategy(PyObject_CallOneArg(g_unboxed.strategy, list));
  std::string_view name;
  if (!strategy || !PyUnicode_Check(strategy.get()) || !utf8_of(strategy.get(), name) ||
      name != "FloatListStrategy") {
    PyErr_Clear();
    return false;
  }
  PyRef copy(
      PyObject_CallFunctionObjArgs(g_unboxed.array_type, g_unboxed.typecode, list, nullptr));
  BufferView buffer;
  size_t rows = 0;
  size_t cols = 0;
  if (!copy || !buffer.acquire(copy.get()) || element_of(buffer.view()) != Element::kF64 ||
      !c_layout(buffer.view(), 1, rows, cols)) {
    PyErr_Clear();
    return false;
  }
  append_floats_from(static_cast<const char*>(buffer.view().buf), Element::kF64, rows, out);
  return true;
}
#endif

// One float vector (vector, query, or one row of vectors/queries), appended
// to `out`.
bool append_vector(PyObject* seq, std::vector<float>& out) {
  if (!check_sequence(seq)) return false;
  {
    BufferView buffer;
    size_t rows = 0;
    size_t cols = 0;
    if (buffer.acquire(seq)) {
      const Element element = element_of(buffer.view());
      if ((element == Element::kF32 || element == Element::kF64) &&
          c_layout(buffer.view(), 1, rows, cols)) {
        append_floats_from(static_cast<const char*>(buffer.view().buf), element, rows, out);
        return true;
      }
    }
  }
#ifdef PYPY_VERSION
  if (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) >= kMinUnboxedList &&
      append_unboxed_floats(seq, out)) {
    return true;
  }
#endif
#ifndef PYPY_VERSION
  // A list or tuple of exact floats, the common row, in one tight loop: no
  // item runs Python code, so on the first item of another kind the row is
  // simply taken again from the start by the general path below.
  if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
    const bool list = PyList_CheckExact(seq);
    const Py_ssize_t n = list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
    PyObject* const* items = list ? reinterpret_cast<PyListObject*>(seq)->ob_item
                                  : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
    const size_t start = out.size();
    reserve_more(out, static_cast<size_t>(n));
    out.resize(start + static_cast<size_t>(n));
    float* dst = out.data() + start;
    Py_ssize_t i = 0;
    for (; i < n && PyFloat_CheckExact(items[i]); ++i) dst[i] = narrow(PyFloat_AS_DOUBLE(items[i]));
    if (i == n) return true;
    out.resize(start);
  }
#endif
  reserve_more(out, size_hint(seq));
  auto plain = [&out](PyObject* item) {
    if (!PyFloat_CheckExact(item)) return false;
    out.push_back(narrow(PyFloat_AS_DOUBLE(item)));
    return true;
  };
  return for_each_item(seq, plain, [&out](PyObject* item) {
    float f;
    if (!to_float(item, f)) return false;
    out.push_back(f);
    return true;
  });
}

// The identifiers of `ids`.
bool to_identifiers(PyObject* seq, std::vector<uint64_t>& out) {
  if (!check_sequence(seq)) return false;
  {
    BufferView buffer;
    size_t rows = 0;
    size_t cols = 0;
    if (buffer.acquire(seq)) {
      const Element element = element_of(buffer.view());
      if ((element == Element::kI64 || element == Element::kU64) &&
          c_layout(buffer.view(), 1, rows, cols)) {
        const char* data = static_cast<const char*>(buffer.view().buf);
        out.resize(rows);
        bool negative = false;
        for (size_t i = 0; i < rows && !negative; ++i) {
          std::memcpy(&out[i], data + i * sizeof(uint64_t), sizeof(uint64_t));
          negative = element == Element::kI64 && static_cast<int64_t>(out[i]) < 0;
        }
        // A negative signed value: the general path raises the interpreter's
        // own OverflowError for it.
        if (!negative) return true;
        out.clear();
      }
    }
  }
  out.reserve(size_hint(seq));
  auto plain = [&out](PyObject* item) {
    if (!PyLong_CheckExact(item)) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(item);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();  // left to the general path, which raises the same error
      return false;
    }
    out.push_back(value);
    return true;
  };
  return for_each_item(seq, plain, [&out](PyObject* item) {
    uint64_t id;
    if (!to_identifier(item, id)) return false;
    out.push_back(id);
    return true;
  });
}

// The vectors of `vectors` or `queries`: rows of floats, either copied or,
// for a float32 matrix, read in place from the held buffer.
class FloatRows {
 public:
  FloatRows() = default;
  FloatRows(const FloatRows&) = delete;
  FloatRows& operator=(const FloatRows&) = delete;

  size_t size() const { return count_; }
  const float* row(size_t i) const {
    return in_place_ != nullptr ? in_place_ + i * cols_ : owned_.data() + starts_[i];
  }
  size_t row_len(size_t i) const {
    return in_place_ != nullptr ? cols_ : starts_[i + 1] - starts_[i];
  }
  // True when every row has the same length `cols`, the rows then lying back
  // to back from row(0) on.
  bool uniform(size_t& cols) const {
    if (in_place_ != nullptr) {
      cols = cols_;
      return true;
    }
    cols = count_ == 0 ? 0 : row_len(0);
    for (size_t i = 1; i < count_; ++i) {
      if (row_len(i) != cols) return false;
    }
    return true;
  }

  bool convert(PyObject* seq) {
    if (!check_sequence(seq)) return false;
    if (buffer_.acquire(seq)) {
      const Element element = element_of(buffer_.view());
      size_t rows = 0;
      size_t cols = 0;
      if ((element == Element::kF32 || element == Element::kF64) &&
          c_layout(buffer_.view(), 2, rows, cols)) {
        const char* data = static_cast<const char*>(buffer_.view().buf);
        count_ = rows;
        cols_ = cols;
        if (element == Element::kF32 &&
            reinterpret_cast<uintptr_t>(data) % alignof(float) == 0 && rows * cols != 0) {
          in_place_ = reinterpret_cast<const float*>(data);
          return true;
        }
        append_floats_from(data, element, rows * cols, owned_);
        buffer_.release();
        starts_.resize(rows + 1);
        for (size_t r = 0; r <= rows; ++r) starts_[r] = r * cols;
        return true;
      }
      buffer_.release();
    }
    const size_t hint = size_hint(seq);
    starts_.reserve(hint + 1);
    starts_.push_back(0);
    // An exact list or tuple tells its true length: once the first row is in,
    // room for that many rows of its length is taken at once, so the copy
    // never moves while it grows (capped: the rows may turn out shorter).
    const bool exact = PyList_CheckExact(seq) || PyTuple_CheckExact(seq);
    const bool ok = for_each_item(seq, [this, exact, hint](PyObject* item) {
      if (!append_vector(item, owned_)) return false;
      if (exact && starts_.size() == 1) {
        size_t floats = 0;
        if (!__builtin_mul_overflow(hint, owned_.size(), &floats) && floats > owned_.size() &&
            floats <= kMaxRowsReserve) {
          reserve_more(owned_, floats - owned_.size());
          varnel::advise_huge_pages(owned_.data(), owned_.capacity() * sizeof(float));
        }
      }
      starts_.push_back(owned_.size());
      return true;
    });
    count_ = starts_.size() - 1;
    return ok;
  }

  // Copies rows read in place and lets the buffer go, before Python code may
  // run again (it could resize or free the exporter's memory).
  void detach() {
    if (in_place_ == nullptr) return;
    owned_.assign(in_place_, in_place_ + count_ * cols_);
    starts_.resize(count_ + 1);
    for (size_t r = 0; r <= count_; ++r) starts_[r] = r * cols_;
    in_place_ = nullptr;
    buffer_.release();
  }

 private:
  BufferView buffer_;
  const float* in_place_ = nullptr;  // set while rows are read from buffer_
  size_t count_ = 0;
  size_t cols_ = 0;
  std::vector<float> owned_;
  std::vector<size_t> starts_;  // row i spans owned_[starts_[i], starts_[i + 1])
};

// ---------------------------------------------------------------------------
// Results

// A list of (id, distance) tuples, the distance widened exactly.
PyObject* hits_to_list(const std::vector<SearchResult>& hits) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyRef tuple(PyTuple_New(2));
    if (!tuple) return nullptr;
    PyObject* id = PyLong_FromUnsignedLongLong(hits[i].id);
    if (id == nullptr || PyTuple_SetItem(tuple.get(), 0, id) != 0) return nullptr;
    PyObject* distance = PyFloat_FromDouble(static_cast<double>(hits[i].distance));
    if (distance == nullptr || PyTuple_SetItem(tuple.get(), 1, distance) != 0) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
  }
  return list.release();
}

// One list of hit lists, in query order.
PyObject* batch_to_list(const std::vector<std::vector<SearchResult>>& all) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(all.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < all.size(); ++i) {
    PyObject* hits = hits_to_list(all[i]);
    if (hits == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), hits);
  }
  return list.release();
}

// ---------------------------------------------------------------------------
// Signals during long batch calls

#ifdef PYPY_VERSION
// PyPy runs signal handlers when Python bytecode runs, not in an extension's
// PyErr_CheckSignals: calling this function (lambda: None) runs any pending
// handler, and its exception comes back from the call. Made once at module
// init, kept for the life of the process.
PyObject* g_signal_gate = nullptr;

bool init_signal_gate() {
  if (g_signal_gate != nullptr) return true;
  PyRef globals(PyDict_New());
  if (!globals) return false;
  if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0) return false;
  g_signal_gate = PyRun_String("lambda: None", Py_eval_input, globals.get(), globals.get());
  return g_signal_gate != nullptr;
}
#endif

// Runs the handlers of pending signals; true when one raised (the exception
// is set).
bool signal_handler_raised() {
#ifdef PYPY_VERSION
  PyObject* r = PyObject_CallObject(g_signal_gate, nullptr);
  if (r == nullptr) return true;
  Py_DECREF(r);
#endif
  return PyErr_CheckSignals() != 0;
}

// Lets a batch call answer Ctrl-C: told the size of each piece of work done
// (in floats touched), it looks at the clock every kPollWork floats and runs
// the pending signals' handlers when kPollInterval has passed since the last
// look, i.e. every few milliseconds whatever the cost of one piece.
class SignalPoll {
 public:
  // True when a handler raised; the call then stops with its exception.
  bool interrupted(size_t work) {
    work_ += work + kPieceWork;
    if (work_ < kPollWork) return false;
    work_ = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kPollInterval) return false;
    last_ = now;
    return signal_handler_raised();
  }

 private:
  static constexpr size_t kPieceWork = 64;     // a piece's own cost, beyond its floats
  static constexpr size_t kPollWork = 1 << 14;  // work between two looks at the clock
  static constexpr std::chrono::milliseconds kPollInterval{2};
  size_t work_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// ---------------------------------------------------------------------------
// Converting the arguments shared by both classes. Each converts in parameter
// order and names the failing argument.

bool convert_insert(PyObject* const* a, uint64_t& id, std::vector<float>& vector) {
  if (!to_identifier(a[0], id)) return arg_failed("id");
  if (!append_vector(a[1], vector)) return arg_failed("vector");
  return true;
}

bool convert_search(PyObject* const* a, std::vector<float>& query, size_t& k) {
  if (!append_vector(a[0], query)) return arg_failed("query");
  if (!to_count(a[1], k)) return arg_failed("k");
  return true;
}

bool convert_insert_batch(PyObject* const* a, std::vector<uint64_t>& ids, FloatRows& vectors) {
  if (!to_identifiers(a[0], ids)) return arg_failed("ids");
  if (!vectors.convert(a[1])) return arg_failed("vectors");
  if (ids.size() != vectors.size()) {
    set_error(PyExc_ValueError, "ids and vectors must have the same length");
    return false;
  }
  return true;
}

bool convert_search_batch(PyObject* const* a, FloatRows& queries, size_t& k) {
  if (!queries.convert(a[0])) return arg_failed("queries");
  queries.detach();  // converting k may run Python code
  if (!to_count(a[1], k)) return arg_failed("k");
  return true;
}

const char* const kInsertParams[] = {"id", "vector"};
const char* const kSearchParams[] = {"query", "k"};
const char* const kInsertBatchParams[] = {"ids", "vectors"};
const char* const kSearchBatchParams[] = {"queries", "k"};

// Methods are defined with the fast signature; PyPy declares the argument
// array without const, so the pointer goes through a plain function type.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_cfunction(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(method));
}
constexpr int kFastFlags = METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------------------
// The methods both classes share, over the core object `Target` (the index or
// the collection): arguments converted in parameter order, then the core
// call, whose error becomes ValueError.

// A collection inherited by a forked child refuses every call there, with
// OSError as its opening would.
template <typename Target>
bool usable(Target& target) {
  if constexpr (requires { target.usable(); }) {
    varnel::Status status = target.usable();
    if (!status.ok()) {
      raise_core_error(PyExc_OSError, status.error());
      return false;
    }
  }
  return true;
}

template <typename Target>
PyObject* insert_into(Target& target, PyObject* const* a) {
  if (!usable(target)) return nullptr;
  uint64_t id = 0;
  std::vector<float> vector;
  if (!convert_insert(a, id, vector)) return nullptr;
  varnel::Status status = target.insert(id, vector.data(), vector.size(), varnel::Payload{});
  if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
  Py_RETURN_NONE;
}

template <typename Target>
PyObject* search_in(Target& target, PyObject* const* a) {
  if (!usable(target)) return nullptr;
  std::vector<float> query;
  size_t k = 0;
  if (!convert_search(a, query, k)) return nullptr;
  return hits_to_list(target.search(query.data(), query.size(), k));
}

// A batch call stops between pieces when a signal handler raises (Ctrl-C):
// an insert_batch then keeps the pairs inserted before it, as when a pair
// fails, and raises the handler's exception.
template <typename Target>
PyObject* insert_batch_into(Target& target, PyObject* const* a) {
  std::vector<uint64_t> ids;
  FloatRows vectors;
  if (!convert_insert_batch(a, ids, vectors)) return nullptr;
  // No Python code runs from here on but signal handlers, and a buffer that
  // is exported cannot be resized under the rows: they may be read in place.
  // (A handler calling back into this object is refused by the borrow.)
  if constexpr (requires { target.reserve(size_t{}); }) {
    // Room for the whole batch, but only when its rows fit: a batch of
    // short rows must not reserve room for full-length ones.
    size_t cols = 0;
    if (vectors.uniform(cols) && cols == target.dimension()) {
      target.reserve(target.len() + ids.size());
    }
  }
  SignalPoll poll;
  if constexpr (requires { target.insert_batch(nullptr, 0, varnel::RowSource{}, nullptr); }) {
    // The collection logs, settles and applies the rows itself; the pairs
    // before a refused one (or before Ctrl-C) are kept.
    if (!usable(target)) return nullptr;
    bool interrupted = false;
    varnel::Status status = target.insert_batch(
        ids.data(), ids.size(),
        [&](size_t i) { return std::span<const float>(vectors.row(i), vectors.row_len(i)); }, nullptr,
        [&](size_t work) { return interrupted = poll.interrupted(work); });
    if (interrupted) return nullptr;
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    Py_RETURN_NONE;
  } else {
    for (size_t i = 0; i < ids.size(); ++i) {
      varnel::Status status =
          target.insert(ids[i], vectors.row(i), vectors.row_len(i), varnel::Payload{});
      if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
      if (poll.interrupted(vectors.row_len(i))) return nullptr;
    }
    Py_RETURN_NONE;
  }
}

template <typename Target>
PyObject* search_batch_in(Target& target, PyObject* const* a) {
  if (!usable(target)) return nullptr;
  FloatRows queries;
  size_t k = 0;
  if (!convert_search_batch(a, queries, k)) return nullptr;
  SignalPoll poll;
  const size_t rows = target.len();
  std::vector<std::vector<SearchResult>> all(queries.size());
  size_t dim = 0;
  if (queries.size() > 1 && queries.uniform(dim)) {
    // One pass over the stored rows serves every query; the scan reports
    // its progress, and pending signals are seen every few milliseconds.
    varnel::index::SearchStop stop([&poll](size_t work) { return poll.interrupted(work); });
    all = target.search_batch(queries.row(0), queries.size(), dim, k, nullptr, nullptr, &stop);
    if (stop.stopped()) return nullptr;
  } else {
    for (size_t i = 0; i < queries.size(); ++i) {
      all[i] = target.search(queries.row(i), queries.row_len(i), k);
      if (poll.interrupted(rows * queries.row_len(i))) return nullptr;
    }
  }
  return batch_to_list(all);
}

// A method of `Obj`: `self` checked by `self_of`, the arguments bound by
// `sig`, the borrow taken for the whole call (conversions included), then
// `body` run on the core object.
template <typename Obj, Obj* (*self_of)(PyObject*), const Signature& sig, Borrow mode, auto body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Obj* obj = self_of(self);
  if (obj == nullptr) return nullptr;
  PyObject* a[2] = {nullptr, nullptr};
  if (!bind_fast(sig, args, nargs, kwnames, a)) return nullptr;
  BorrowGuard borrow(obj->borrow, mode);
  if (!borrow) return nullptr;
  return body(obj->target(), a);
}

// The two types, created once by module initialisation and kept for the
// life of the process: methods compare their instances against them.
PyTypeObject* g_index_type = nullptr;
PyTypeObject* g_collection_type = nullptr;

// Checks that `self` is an instance of `type` (methods can be called
// unbound with anything on PyPy). False with TypeError otherwise.
bool is_instance(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (self != nullptr && type != nullptr && PyObject_TypeCheck(self, type)) return true;
  set_error(PyExc_TypeError, std::string("method requires a '") + class_name + "' object");
  return false;
}

// For an instance whose core object was never built (PyPy's
// object.__new__ makes such zeroed instances).
void set_not_constructed(const char* class_name) {
  set_error(PyExc_TypeError,
            std::string("this '") + class_name + "' object was not created by its constructor");
}

// Refuses any type but `expected` in a creation slot, with CPython's texts.
bool check_new_type(PyTypeObject* type, PyTypeObject* expected, const char* name) {
  if (type == expected) return true;
  if (expected != nullptr && PyType_IsSubtype(type, expected)) {
    set_error(PyExc_TypeError, std::string("type '") + name + "' is not an acceptable base type");
    return false;
  }
  PyRef given(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (!given) return false;
  std::string_view given_name = "?";
  if (PyUnicode_Check(given.get()) && !utf8_of(given.get(), given_name)) return false;
  std::string text = std::string(name) + ".__new__(";
  text.append(given_name).append("): ").append(given_name).append(" is not a subtype of ");
  set_error(PyExc_TypeError, text + name);
  return false;
}

// The type names carry no module prefix, and CPython warns while creating
// such a type unless its dictionary already has a __module__. A placeholder
// member of that name satisfies the check; add_class replaces it with the
// module's name before anyone can read it. (Were it read, it would give the
// harmless integer at `offset`.)
PyMemberDef module_placeholder(Py_ssize_t offset) {
  return {const_cast<char*>("__module__"), T_PYSSIZET, offset, READONLY, nullptr};
}

// ---------------------------------------------------------------------------
// Index

constexpr const char kIndexDoc[] =
    "Index(metric, dimension)\n--\n\n"
    "In-memory brute-force vector index.\n\n"
    "This index stores all vectors in memory and performs exhaustive search\n"
    "for exact nearest neighbors.";

constexpr const char kIndexInsertDoc[] =
    "insert($self, id, vector)\n--\n\n"
    "Insert a vector into the index.\n\n"
    "Args:\n"
    "    id (int): Unique identifier for the vector.\n"
    "    vector (list[float]): The vector data.";

constexpr const char kIndexSearchDoc[] =
    "search($self, query, k)\n--\n\n"
    "Search for nearest neighbors.\n\n"
    "Args:\n"
    "    query (list[float]): The query vector.\n"
    "    k (int): Number of neighbors to return.\n\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

constexpr const char kInsertBatchDoc[] =
    "insert_batch($self, ids, vectors)\n--\n\n"
    "Insert multiple vectors at once.\n\n"
    "Args:\n"
    "    ids (list[int]): List of unique identifiers.\n"
    "    vectors (list[list[float]]): List of vectors.";

constexpr const char kSearchBatchDoc[] =
    "search_batch($self, queries, k)\n--\n\n"
    "Search for nearest neighbors for multiple queries.\n\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query.";

struct IndexObject {
  PyObject_HEAD
  BorrowFlag borrow;  // see BorrowGuard
  bool constructed;   // index_storage holds a live index (false in a zeroed instance)
  alignas(BruteForceIndex) unsigned char index_storage[sizeof(BruteForceIndex)];

  BruteForceIndex& index() {
    return *std::launder(reinterpret_cast<BruteForceIndex*>(index_storage));
  }
  BruteForceIndex& target() { return index(); }
};

// The Index behind `self`, or null with TypeError set.
IndexObject* index_self(PyObject* self) {
  if (!is_instance(self, g_index_type, "Index")) return nullptr;
  auto* obj = reinterpret_cast<IndexObject*>(self);
  if (!obj->constructed) {
    set_not_constructed("Index");
    return nullptr;
  }
  return obj;
}

const char* const kIndexNewParams[] = {"metric", "dimension"};
const Signature kIndexNewSig = {"Index.__new__()", kIndexNewParams, 2};
const Signature kIndexInsertSig = {"Index.insert()", kInsertParams, 2};
const Signature kIndexSearchSig = {"Index.search()", kSearchParams, 2};
const Signature kIndexInsertBatchSig = {"Index.insert_batch()", kInsertBatchParams, 2};
const Signature kIndexSearchBatchSig = {"Index.search_batch()", kSearchBatchParams, 2};

template <const Signature& sig, Borrow mode, auto body>
constexpr FastMethod index_method = method<IndexObject, index_self, sig, mode, body>;

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!check_new_type(type, g_index_type, "Index")) return nullptr;
  PyObject* a[2];
  if (!bind_tuple(kIndexNewSig, args, kwargs, a)) return nullptr;
  std::string metric_name;
  size_t dimension = 0;
  DistanceMetric metric;
  if (!to_text(a[0], metric_name)) return arg_error("metric");
  if (!to_count(a[1], dimension)) return arg_error("dimension");
  if (!to_metric(metric_name, metric)) return nullptr;

  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* obj = reinterpret_cast<IndexObject*>(self);
  new (obj->index_storage) BruteForceIndex(metric, dimension);
  obj->borrow = 0;
  obj->constructed = true;
  return self;
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<IndexObject*>(self);
  if (obj->constructed) {
    obj->index().~BruteForceIndex();
    obj->constructed = false;
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyMethodDef kIndexMethods[] = {
    {"insert",
     as_cfunction(
         index_method<kIndexInsertSig, Borrow::kExclusive, insert_into<BruteForceIndex>>),
     kFastFlags, kIndexInsertDoc},
    {"search",
     as_cfunction(index_method<kIndexSearchSig, Borrow::kShared, search_in<BruteForceIndex>>),
     kFastFlags, kIndexSearchDoc},
    {"insert_batch",
     as_cfunction(index_method<kIndexInsertBatchSig, Borrow::kExclusive,
                               insert_batch_into<BruteForceIndex>>),
     kFastFlags, kInsertBatchDoc},
    {"search_batch",
     as_cfunction(
         index_method<kIndexSearchBatchSig, Borrow::kShared, search_batch_in<BruteForceIndex>>),
     kFastFlags, kSearchBatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kIndexMembers[] = {
    module_placeholder(offsetof(IndexObject, borrow)),
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kIndexSlots[] = {
    {Py_tp_doc, const_cast<char*>(kIndexDoc)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, kIndexMethods},
    {Py_tp_members, kIndexMembers},
    {0, nullptr},
};

PyType_Spec kIndexSpec = {"Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, kIndexSlots};

// ---------------------------------------------------------------------------
// Collection

constexpr const char kCollectionDoc[] =
    "Persistent vector collection backed by disk storage.\n\n"
    "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
    "for durability. Supports crash recovery.";

constexpr const char kOpenOrCreateDoc[] =
    "open_or_create(path, dimension, metric)\n--\n\n"
    "Open an existing collection or create a new one.\n\n"
    "Args:\n"
    "    path (str): File system path for the collection.\n"
    "    dimension (int): Dimension of the vectors (must match existing).\n"
    "    metric (str): Distance metric (\"cosine\", \"euclidean\", \"dot\").";

constexpr const char kCollectionInsertDoc[] =
    "insert($self, id, vector)\n--\n\n"
    "Insert a vector into the collection.\n\n"
    "Args:\n"
    "    id (int): Unique identifier.\n"
    "    vector (list[float]): Vector data.";

constexpr const char kCollectionSearchDoc[] =
    "search($self, query, k)\n--\n\n"
    "Search for nearest neighbors.\n\n"
    "Args:\n"
    "    query (list[float]): Query vector.\n"
    "    k (int): Number of results.\n\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

constexpr const char kFlushDoc[] =
    "flush($self)\n--\n\n"
    "Flush all pending writes to disk (checkpoint).\n\n"
    "This ensures all data is durable and truncates the WAL.";

using CollectionPtr = std::shared_ptr<varnel::Collection>;

struct CollectionObject {
  PyObject_HEAD
  BorrowFlag borrow;  // see BorrowGuard
  bool constructed;   // collection_storage holds a live pointer (false in a zeroed instance)
  alignas(CollectionPtr) unsigned char collection_storage[sizeof(CollectionPtr)];

  varnel::Collection& collection() {
    return **std::launder(reinterpret_cast<CollectionPtr*>(collection_storage));
  }
  varnel::Collection& target() { return collection(); }
};

// The Collection behind `self`, or null with TypeError set.
CollectionObject* collection_self(PyObject* self) {
  if (!is_instance(self, g_collection_type, "Collection")) return nullptr;
  auto* obj = reinterpret_cast<CollectionObject*>(self);
  if (!obj->constructed) {
    set_not_constructed("Collection");
    return nullptr;
  }
  return obj;
}

const char* const kOpenParams[] = {"path", "dimension", "metric"};
const Signature kOpenSig = {"Collection.open_or_create()", kOpenParams, 3};
const Signature kCollectionInsertSig = {"Collection.insert()", kInsertParams, 2};
const Signature kCollectionSearchSig = {"Collection.search()", kSearchParams, 2};
const Signature kFlushSig = {"Collection.flush()", nullptr, 0};
const Signature kCollectionInsertBatchSig = {"Collection.insert_batch()", kInsertBatchParams, 2};
const Signature kCollectionSearchBatchSig = {"Collection.search_batch()", kSearchBatchParams, 2};

template <const Signature& sig, Borrow mode, auto body>
constexpr FastMethod collection_method = method<CollectionObject, collection_self, sig, mode, body>;

PyObject* collection_new(PyTypeObject*, PyObject*, PyObject*) {
  set_error(PyExc_TypeError, "No constructor defined for Collection");
  return nullptr;
}

void collection_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<CollectionObject*>(self);
  if (obj->constructed) {
    // Dropping the core collection writes its buffers out without syncing.
    std::launder(reinterpret_cast<CollectionPtr*>(obj->collection_storage))->~CollectionPtr();
    obj->constructed = false;
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// A static method: `self` is null when called on the class, the instance
// when called on one; it is never used.
PyObject* collection_open_or_create(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* a[3];
  if (!bind_fast(kOpenSig, args, nargs, kwnames, a)) return nullptr;
  std::string path;
  size_t dimension = 0;
  std::string metric_name;
  DistanceMetric metric;
  if (!to_text(a[0], path)) return arg_error("path");
  if (!to_count(a[1], dimension)) return arg_error("dimension");
  if (!to_text(a[2], metric_name)) return arg_error("metric");
  if (!to_metric(metric_name, metric)) return nullptr;  // before anything touches the disk
  if (g_collection_type == nullptr) {
    set_error(PyExc_TypeError, "the Collection type is not ready");
    return nullptr;
  }

  varnel::CollectionConfig config;
  config.dimension = dimension;
  config.metric = metric;
  config.wal_sync = varnel::storage::SyncPolicy::kBatch;
  varnel::Result<CollectionPtr> opened = varnel::Collection::open_or_create(path, config);
  if (!opened.ok()) return raise_core_error(PyExc_OSError, opened.error());

  PyObject* self = PyType_GenericAlloc(g_collection_type, 0);
  if (self == nullptr) return nullptr;  // the opened collection is dropped
  auto* obj = reinterpret_cast<CollectionObject*>(self);
  new (obj->collection_storage) CollectionPtr(std::move(opened.value()));
  obj->borrow = 0;
  obj->constructed = true;
  return self;
}

PyObject* flush_collection(varnel::Collection& collection, PyObject* const*) {
  if (!usable(collection)) return nullptr;
  varnel::Status status = collection.flush();
  if (!status.ok()) return raise_core_error(PyExc_OSError, status.error());
  Py_RETURN_NONE;
}

PyMethodDef kCollectionMethods[] = {
    {"open_or_create", as_cfunction(collection_open_or_create), kFastFlags | METH_STATIC,
     kOpenOrCreateDoc},
    {"insert",
     as_cfunction(collection_method<kCollectionInsertSig, Borrow::kExclusive,
                                    insert_into<varnel::Collection>>),
     kFastFlags, kCollectionInsertDoc},
    {"search",
     as_cfunction(collection_method<kCollectionSearchSig, Borrow::kShared,
                                    search_in<varnel::Collection>>),
     kFastFlags, kCollectionSearchDoc},
    {"flush", as_cfunction(collection_method<kFlushSig, Borrow::kExclusive, flush_collection>),
     kFastFlags, kFlushDoc},
    {"insert_batch",
     as_cfunction(collection_method<kCollectionInsertBatchSig, Borrow::kExclusive,
                                    insert_batch_into<varnel::Collection>>),
     kFastFlags, kInsertBatchDoc},
    {"search_batch",
     as_cfunction(collection_method<kCollectionSearchBatchSig, Borrow::kShared,
                                    search_batch_in<varnel::Collection>>),
     kFastFlags, kSearchBatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kCollectionMembers[] = {
    module_placeholder(offsetof(CollectionObject, borrow)),
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kCollectionSlots[] = {
    {Py_tp_doc, const_cast<char*>(kCollectionDoc)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_methods, kCollectionMethods},
    {Py_tp_members, kCollectionMembers},
    {0, nullptr},
};

PyType_Spec kCollectionSpec = {"Collection", sizeof(CollectionObject), 0, Py_TPFLAGS_DEFAULT,
                               kCollectionSlots};

// ---------------------------------------------------------------------------
// Module

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_varnel", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Stores the class under its name, records the module as its home and
// appends the name to __all__.
bool add_class(PyObject* module, PyObject* all, PyObject* type, const char* name) {
  PyRef module_name(PyUnicode_FromStringAndSize("_varnel", 7));
  if (!module_name) return false;
  if (PyObject_SetAttrString(type, "__module__", module_name.get()) != 0) return false;
  if (PyObject_SetAttrString(module, name, type) != 0) return false;
  PyRef text(PyUnicode_FromStringAndSize(name, static_cast<Py_ssize_t>(std::strlen(name))));
  if (!text) return false;
  return PyList_Append(all, text.get()) == 0;
}

}  // namespace

// The collection opener of this module's copy of the core, for the varnel
// package's module to open through, so that every handle of a process on one
// directory shares one collection whichever module made it. Found with
// dlsym; not part of the Python surface.
extern "C" __attribute__((visibility("default"))) varnel::Collection::Opener
varnel_collection_opener() {
  return varnel::Collection::local_opener();
}

PyMODINIT_FUNC PyInit__varnel(void) {
  PyRef module(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  // An empty docstring; PyPy drops an empty m_doc and would show the module
  // type's own.
  PyRef doc(PyUnicode_FromStringAndSize("", 0));
  if (!doc) return nullptr;
  if (PyObject_SetAttrString(module.get(), "__doc__", doc.get()) != 0) return nullptr;
  PyRef all(PyList_New(0));
  if (!all) return nullptr;
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return nullptr;

#ifdef PYPY_VERSION
  init_unboxed_lists();
  if (!init_signal_gate()) return nullptr;
#endif
  PyRef index_type(PyType_FromSpec(&kIndexSpec));
  if (!index_type) return nullptr;
  if (!add_class(module.get(), all.get(), index_type.get(), "Index")) return nullptr;
  PyRef collection_type(PyType_FromSpec(&kCollectionSpec));
  if (!collection_type) return nullptr;
  if (!add_class(module.get(), all.get(), collection_type.get(), "Collection")) return nullptr;

  // Kept for the life of the process (see g_index_type).
  Py_XDECREF(g_index_type);
  Py_XDECREF(g_collection_type);
  g_index_type = reinterpret_cast<PyTypeObject*>(index_type.release());
  g_collection_type = reinterpret_cast<PyTypeObject*>(collection_type.release());
  return module.release();
}
