// varnel._engine: the extension module under the `varnel` package. It
// converts and forwards; ordering, ties, durability and errors are the
// core's. The Python layer (py/varnel) normalises arguments first: ids
// arrive as C-contiguous uint64 arrays, vectors and queries as C-contiguous
// float32 matrices of the right width, filters as a tree of tuples.
//
// Threads: every call releases the interpreter lock before it waits on a
// lock of its own or of the core, and takes it back only to build Python
// objects. Each object has one reader-writer lock guarding its core object:
// searches and reads share it, writes and close take it alone.
//
// Errors: a core Error of the I/O kinds (and "in use") becomes
// OSError(errno, message) with the errno the core kept, the others
// ValueError with the message; a bad payload value is a ValueError or
// TypeError naming where in the payload it sits.
#include <dlfcn.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "collection.h"
#include "filter.h"
#include "index/brute_force.h"
#include "payload.h"
#include "thread_pool.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace varnel {
namespace {

using index::BruteForceIndex;
using index::SearchResult;
using index::VectorEntry;

using IdArray = nb::ndarray<const uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Matrix = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// ---- errors

[[noreturn]] void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw nb::python_error();
}

// varnel.CollectionInUseError, an OSError: another process holds the
// collection's writer lock. Made when the module is.
PyObject* g_in_use_error = nullptr;

[[noreturn]] void raise_error(const Error& error) {
  const std::string message = error.message();
  switch (error.kind()) {
    case Error::Kind::kInUse:
      raise(g_in_use_error, message);
    case Error::Kind::kIoError:
    case Error::Kind::kWalCorrupted:
    case Error::Kind::kCollectionError: {
      const int err = error.os_errno();
      PyObject* args = err != 0 ? Py_BuildValue("(is)", err, message.c_str())
                                : Py_BuildValue("(s)", message.c_str());
      if (args == nullptr) throw nb::python_error();
      PyErr_SetObject(PyExc_OSError, args);
      Py_DECREF(args);
      throw nb::python_error();
    }
    case Error::Kind::kNotFound:
      raise(PyExc_KeyError, message);
    case Error::Kind::kConfigMismatch:
      // What the caller asked for, not a fault of the collection: the text
      // alone, as the package has always worded it.
      raise(PyExc_ValueError, error.text());
    default:
      raise(PyExc_ValueError, message);
  }
}

void check(const Status& status) {
  if (!status.ok()) raise_error(status.error());
}

// ---- JSON values from and to Python

// Where a value sits, for error texts: payload['a'][2], or in a filter the
// text the Python layer gave for the operand, e.g. where['a']['$in'][2].
struct Where {
  const Where* parent;     // null at the top
  const std::string* key;  // the top's own text; a member's key
  size_t item;             // otherwise the position in an array
  std::string text() const {
    if (parent == nullptr) return *key;
    std::string out = parent->text();
    if (key != nullptr) {
      out += "['";
      out += *key;
      out += "']";
    } else {
      out += "[" + std::to_string(item) + "]";
    }
    return out;
  }
};

const std::string kPayloadText = "payload";
const std::string kWhereText = "where";

constexpr size_t kMaxValueDepth = json::kMaxDepth;
// And/Or/Not levels of a filter tree; the Python layer refuses deeper
// `where` dicts long before (it counts their own levels).
constexpr size_t kMaxFilterDepth = 512;
const char* const kTooDeep = "filter nested too deeply";

[[noreturn]] void refuse(PyObject* type, const Where& at, const std::string& why) {
  raise(type, at.text() + ": " + why);
}

std::string utf8(PyObject* s, const Where& at) {
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &size);
  if (p == nullptr) {
    PyErr_Clear();
    refuse(PyExc_ValueError, at, "text is not valid UTF-8");
  }
  return std::string(p, static_cast<size_t>(size));
}

// A dict key as UTF-8; one that is not valid is named by its repr.
std::string key_utf8(PyObject* key, const Where& at) {
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(key, &size);
  if (p != nullptr) return std::string(p, static_cast<size_t>(size));
  PyErr_Clear();
  std::string name = "?";
  nb::object repr = nb::steal(PyObject_ASCII(key));
  if (repr.is_valid()) {
    const char* r = PyUnicode_AsUTF8(repr.ptr());
    if (r != nullptr) name = r;
  }
  PyErr_Clear();
  raise(PyExc_ValueError, at.text() + "[" + name + "]: text is not valid UTF-8");
}

// numpy's bool, which refuses to be an index; told by its type's name so
// that no value needs numpy imported.
bool is_numpy_bool(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

// Whether obj is a numpy floating scalar other than float64 (a float).
bool is_numpy_floating(PyObject* obj) {
  if (std::strncmp(Py_TYPE(obj)->tp_name, "numpy.", 6) != 0) return false;
  nb::object numpy = nb::steal(PyImport_ImportModule("numpy"));
  if (!numpy.is_valid()) throw nb::python_error();
  nb::object floating = nb::steal(PyObject_GetAttrString(numpy.ptr(), "floating"));
  if (!floating.is_valid()) throw nb::python_error();
  const int is = PyObject_IsInstance(obj, floating.ptr());
  if (is < 0) throw nb::python_error();
  return is == 1;
}

json::Value finite_double(double d, const Where& at) {
  if (!std::isfinite(d)) refuse(PyExc_ValueError, at, "float is not finite");
  return json::Value(d);
}

// None, bool, int, float, str, list, tuple and dict, and numpy's scalars
// of those kinds (np.bool_ a bool, its integers ints, its floats the
// double they hold, np.str_ a str).
json::Value to_json(PyObject* obj, const Where& at, size_t depth) {
  if (depth > kMaxValueDepth) refuse(PyExc_ValueError, at, "nested too deeply");
  if (obj == Py_None) return json::Value(nullptr);
  if (PyBool_Check(obj)) return json::Value(obj == Py_True);
  if (PyFloat_Check(obj)) return finite_double(PyFloat_AS_DOUBLE(obj), at);
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) throw nb::python_error();
    return json::Value(truth == 1);
  }
  if (PyLong_Check(obj) || (PyIndex_Check(obj) && !PyUnicode_Check(obj))) {
    nb::object number = nb::steal(PyNumber_Index(obj));
    if (!number.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow == 0) {
      return v >= 0 ? json::Value(static_cast<uint64_t>(v)) : json::Value(static_cast<int64_t>(v));
    }
    if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(number.ptr());
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        return json::Value(static_cast<uint64_t>(u));
      }
      PyErr_Clear();
    }
    refuse(PyExc_ValueError, at, "int does not fit in 64 bits");
  }
  if (PyUnicode_Check(obj)) return json::Value(utf8(obj, at));
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    // A list may change under user code (an item's __index__): its size is
    // read anew for every item, and the item held while it converts.
    nb::object seq = nb::borrow(obj);
    json::Value out = json::Value::array();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
      const Where item{&at, nullptr, static_cast<size_t>(i)};
      nb::object held = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
      out.push_back(to_json(held.ptr(), item, depth + 1));
    }
    return out;
  }
  if (PyDict_Check(obj)) {
    json::Value out = json::Value::object();
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        refuse(PyExc_TypeError, at, std::string("key of type '") + Py_TYPE(key)->tp_name +
                                        "' (keys must be str)");
      }
      const std::string name = key_utf8(key, at);
      const Where member{&at, &name, 0};
      nb::object held = nb::borrow(value);  // the dict may change under user code
      out[name] = to_json(held.ptr(), member, depth + 1);
    }
    return out;
  }
  if (is_numpy_floating(obj)) {
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return finite_double(d, at);
  }
  refuse(PyExc_TypeError, at,
         std::string("values of type '") + Py_TYPE(obj)->tp_name +
             "' are not supported (None, bool, int, float, str, list and dict are)");
}

nb::object from_json(const json::Value& v) {
  switch (v.type()) {
    case json::Value::value_t::null:
      return nb::none();
    case json::Value::value_t::boolean:
      return nb::bool_(v.get<bool>());
    case json::Value::value_t::number_unsigned:
      return nb::steal(PyLong_FromUnsignedLongLong(v.get<uint64_t>()));
    case json::Value::value_t::number_integer:
      return nb::steal(PyLong_FromLongLong(v.get<int64_t>()));
    case json::Value::value_t::number_float:
      return nb::float_(v.get<double>());
    case json::Value::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      return nb::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    }
    case json::Value::value_t::array: {
      nb::list out;
      for (const auto& item : v) out.append(from_json(item));
      return out;
    }
    case json::Value::value_t::object: {
      nb::dict out;
      for (const auto& [key, item] : v.items()) out[nb::str(key.c_str(), key.size())] = from_json(item);
      return out;
    }
    default:
      return nb::none();
  }
}

Payload to_payload(nb::handle obj) {
  Payload payload;
  if (obj.is_none()) return payload;
  if (!PyDict_Check(obj.ptr())) {
    raise(PyExc_TypeError, std::string("payload must be a dict or None, not '") +
                               Py_TYPE(obj.ptr())->tp_name + "'");
  }
  const Where top{nullptr, &kPayloadText, 0};
  json::Value object = to_json(obj.ptr(), top, 0);
  for (auto& [key, value] : object.items()) payload.data.emplace(key, std::move(value));
  // The log entry holds the payload two levels down; the reader's nesting
  // limit counts those too.
  const std::string why = payload.check_writable(1);
  if (!why.empty()) raise(PyExc_ValueError, "payload cannot be stored: " + why);
  return payload;
}

nb::dict payload_dict(const Payload& payload) {
  std::vector<const std::pair<const std::string, json::Value>*> members;
  members.reserve(payload.data.size());
  for (const auto& member : payload.data) members.push_back(&member);
  std::sort(members.begin(), members.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  nb::dict out;
  for (const auto* m : members) out[nb::str(m->first.c_str(), m->first.size())] = from_json(m->second);
  return out;
}

// One Payload per id from a list of dict-or-None (or None for all empty).
std::vector<Payload> to_payloads(nb::handle payloads, size_t n) {
  std::vector<Payload> out(n);
  if (payloads.is_none()) return out;
  if (!PyList_Check(payloads.ptr())) raise(PyExc_TypeError, "payloads must be a list or None");
  nb::list items = nb::borrow<nb::list>(payloads);
  if (items.size() != n) {
    raise(PyExc_ValueError, "expected " + std::to_string(n) + " payloads, got " +
                                std::to_string(items.size()));
  }
  for (size_t i = 0; i < n; ++i) out[i] = to_payload(items[i]);
  return out;
}

// ---- filters: a tree of tuples built by the Python layer (py/varnel/_convert.py)
//   ("eq"|"ne"|"gt"|"gte"|"lt"|"lte", field, value, where)
//   ("in", field, [values], where)         values: a list or tuple
//   ("contains", field, text, where)       the field is a string holding text
//   ("contains_element", field, value, where)  an array holding an equal element
//   ("exists", field)
//   ("not", tree)
//   ("and"|"or", [trees])                  any number of operands; ("or", [])
//                                          matches nothing, ("and", []) all
// `where` (optional, a str) names the operand in the user's filter for
// error texts, e.g. "where['a']['$in']". Trees nest at most kMaxFilterDepth
// levels; a wider node costs no depth.

// Item i of a filter node, which must exist.
PyObject* node_item(PyObject* node, Py_ssize_t i) {
  if (i >= PyTuple_GET_SIZE(node)) raise(PyExc_ValueError, "filter node is too short");
  return PyTuple_GET_ITEM(node, i);
}

std::string node_text(PyObject* item, const Where& at) {
  if (!PyUnicode_Check(item)) refuse(PyExc_TypeError, at, "filter node needs a str here");
  return utf8(item, at);
}

FilterCondition to_condition(PyObject* node, size_t depth) {
  if (depth > kMaxFilterDepth) raise(PyExc_ValueError, kTooDeep);
  if (!PyTuple_Check(node) || PyTuple_GET_SIZE(node) < 1) {
    raise(PyExc_TypeError, "filter nodes are tuples");
  }
  const Where top{nullptr, &kWhereText, 0};
  const std::string op = node_text(node_item(node, 0), top);
  using C = FilterCondition;
  if (op == "and" || op == "or") {
    PyObject* list = node_item(node, 1);
    if (!PyList_Check(list) && !PyTuple_Check(list)) {
      raise(PyExc_TypeError, "the operands of a filter's " + op + " are a list");
    }
    nb::object seq = nb::borrow(list);  // read as to_json reads a list
    std::vector<C> operands;
    operands.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.ptr())));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
      nb::object held = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
      operands.push_back(to_condition(held.ptr(), depth + 1));
    }
    return op == "and" ? C::all_of(std::move(operands)) : C::any_of(std::move(operands));
  }
  if (op == "not") return C::not_of(to_condition(node_item(node, 1), depth + 1));
  // A leaf: its operand is named by the text the tree gives, else "where".
  std::string where_text = kWhereText;
  if (PyTuple_GET_SIZE(node) > 3) where_text = node_text(node_item(node, 3), top);
  const Where at{nullptr, &where_text, 0};
  std::string field = node_text(node_item(node, 1), at);
  if (op == "exists") return C::exists(std::move(field));
  PyObject* operand = node_item(node, 2);
  if (op == "contains") return C::contains(std::move(field), node_text(operand, at));
  if (op == "in") {
    if (!PyList_Check(operand) && !PyTuple_Check(operand)) {
      refuse(PyExc_TypeError, at, "takes a list of values");
    }
    nb::object seq = nb::borrow(operand);  // read as to_json reads a list
    std::vector<json::Value> values;
    values.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.ptr())));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
      const Where item{&at, nullptr, static_cast<size_t>(i)};
      nb::object held = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
      values.push_back(to_json(held.ptr(), item, 1));
    }
    return C::in(std::move(field), std::move(values));
  }
  json::Value value = to_json(operand, at, 1);
  if (op == "contains_element") return C::contains_element(std::move(field), std::move(value));
  if (op == "eq") return C::eq(std::move(field), std::move(value));
  if (op == "ne") return C::ne(std::move(field), std::move(value));
  if (op == "gt") return C::gt(std::move(field), std::move(value));
  if (op == "gte") return C::gte(std::move(field), std::move(value));
  if (op == "lt") return C::lt(std::move(field), std::move(value));
  if (op == "lte") return C::lte(std::move(field), std::move(value));
  raise(PyExc_ValueError, "unknown filter operation: " + op);
}

std::optional<Filter> to_filter(nb::handle tree) {
  if (tree.is_none()) return std::nullopt;
  return Filter{to_condition(tree.ptr(), 0)};
}

// Checks without storing or searching: the same conversions, results dropped.
void check_payloads(nb::handle payloads, size_t n) { to_payloads(payloads, n); }
void check_filter(nb::handle tree) { to_filter(tree); }

// ---- results

// An array that owns a heap block of `count` values of T.
template <typename T>
nb::ndarray<nb::numpy, T> owned_array(std::unique_ptr<T[]> data, std::initializer_list<size_t> shape) {
  T* raw = data.release();
  nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T>(raw, shape.size(), shape.begin(), owner);
}

template <typename T>
nb::ndarray<nb::numpy, T> owned_array(std::unique_ptr<T[]> data, const std::vector<size_t>& shape) {
  T* raw = data.release();
  nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T>(raw, shape.size(), shape.data(), owner);
}

nb::object ids_array(const std::vector<uint64_t>& ids) {
  std::unique_ptr<uint64_t[]> data(new uint64_t[std::max<size_t>(ids.size(), 1)]);
  std::copy(ids.begin(), ids.end(), data.get());
  return nb::cast(owned_array(std::move(data), {ids.size()}));
}

// A numpy array that takes over `values` (no copy), shaped `shape`.
template <typename T>
nb::object adopted_array(std::vector<T> values, std::initializer_list<size_t> shape) {
  auto* held = new std::vector<T>(std::move(values));
  nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  return nb::cast(nb::ndarray<nb::numpy, T>(held->data(), shape.size(), shape.begin(), owner));
}

nb::list payload_dicts(const std::vector<Payload>& payloads) {
  nb::list out;
  for (const Payload& p : payloads) out.append(payload_dict(p));
  return out;
}

// What scan and export give: (ids, vectors (n, dim) or None, payload dicts
// or None, (payload text as uint8, end of each row's text) or None).
nb::tuple rows_tuple(index::Rows rows, const index::RowRequest& request, size_t dim) {
  const size_t n = rows.ids.size();
  nb::object vectors = nb::none();
  if (request.vectors) vectors = nb::cast(owned_array(std::move(rows.vectors), {n, dim}));
  nb::object payloads = nb::none();
  if (request.payloads) payloads = payload_dicts(rows.payloads);
  nb::object text = nb::none();
  if (request.payload_text) {
    std::vector<uint8_t> bytes(rows.text.begin(), rows.text.end());
    const size_t size = bytes.size();
    text = nb::make_tuple(adopted_array(std::move(bytes), {size}),
                          adopted_array(std::move(rows.text_ends), {n}));
  }
  return nb::make_tuple(adopted_array(std::move(rows.ids), {n}), vectors, payloads, text);
}

// An update's vectors, when given, hold one row per id.
void check_rows_given(const std::optional<Matrix>& vectors, size_t n) {
  if (vectors.has_value() && vectors->shape(0) != n) {
    raise(PyExc_ValueError, std::to_string(n) + " ids but " + std::to_string(vectors->shape(0)) + " vectors");
  }
}

index::RowRequest row_request(size_t offset, std::optional<size_t> limit, bool vectors,
                              bool payloads, bool text) {
  index::RowRequest request;
  request.offset = offset;
  request.limit = limit.value_or(SIZE_MAX);
  request.vectors = vectors;
  request.payloads = payloads;
  request.payload_text = text;
  return request;
}

// (ids, distances, payloads or None) for `lists` of equal length; a single
// query (`one`) gives 1-D arrays and a flat payload list.
nb::tuple hits_tuple(const std::vector<std::vector<SearchResult>>& lists, bool one, bool payloads) {
  const size_t nq = lists.size();
  size_t m = 0;
  for (const auto& list : lists) m = std::max(m, list.size());
  const size_t cells = std::max<size_t>(nq * m, 1);
  std::unique_ptr<uint64_t[]> ids(new uint64_t[cells]());
  std::unique_ptr<float[]> distances(new float[cells]);
  std::fill(distances.get(), distances.get() + cells, std::nanf(""));
  for (size_t q = 0; q < nq; ++q) {
    for (size_t j = 0; j < lists[q].size(); ++j) {
      ids[q * m + j] = lists[q][j].id;
      distances[q * m + j] = lists[q][j].distance;
    }
  }
  nb::object payload_lists = nb::none();
  if (payloads) {
    nb::list outer;
    for (const auto& list : lists) {
      nb::list inner;
      for (const auto& hit : list) {
        inner.append(hit.payload.has_value() ? payload_dict(*hit.payload) : nb::dict());
      }
      if (one) {
        payload_lists = std::move(inner);
        break;
      }
      outer.append(std::move(inner));
    }
    if (!one) payload_lists = std::move(outer);
  }
  std::vector<size_t> shape = one ? std::vector<size_t>{m} : std::vector<size_t>{nq, m};
  return nb::make_tuple(owned_array(std::move(ids), shape), owned_array(std::move(distances), shape),
                        payload_lists);
}

nb::object entry_tuple(const std::optional<VectorEntry>& entry) {
  if (!entry.has_value()) return nb::none();
  const size_t n = entry->vector.size();
  std::unique_ptr<float[]> data(new float[std::max<size_t>(n, 1)]);
  std::copy(entry->vector.begin(), entry->vector.end(), data.get());
  return nb::make_tuple(owned_array(std::move(data), {n}), payload_dict(entry->payload));
}

DistanceMetric parse_metric(const std::string& name) {
  std::optional<DistanceMetric> metric = metric_from_python_name(name);
  if (!metric.has_value()) {
    raise(PyExc_ValueError, "unknown metric: '" + name + "' (expected 'euclidean', 'cosine' or 'dot')");
  }
  return *metric;
}

std::string metric_text(DistanceMetric metric) { return std::string(metric_python_name(metric)); }

// ---- the two classes

// The in-memory index: one BruteForceIndex behind a reader-writer lock
// (searches share it, writes take it alone) and the search pool.
class IndexObject {
 public:
  IndexObject(size_t dim, const std::string& metric, size_t threads, bool prune)
      : index_(parse_metric(metric), dim), pool_(threads) {
    if (dim == 0) raise(PyExc_ValueError, "dimension must be at least 1");
    index_.set_pruning(prune);
  }

  bool prune() {
    nb::gil_scoped_release released;
    std::shared_lock guard(lock_);
    return index_.pruning();
  }
  void set_prune(bool on) {
    nb::gil_scoped_release released;
    std::unique_lock guard(lock_);
    index_.set_pruning(on);
  }
  // (blocks read by a kernel, rows among them that could enter a result,
  // blocks whose codes were read), since the index was made.
  nb::tuple scan_counts() {
    index::ScanCounts c = index_.scan_counts();
    return nb::make_tuple(c.blocks_exact, c.rows_exact, c.blocks_bounded);
  }

  size_t dim() const { return index_.dimension(); }
  std::string metric() const { return metric_text(index_.metric()); }
  size_t threads() const { return pool_.threads(); }

  void upsert(IdArray ids, Matrix vectors, nb::handle payloads) {
    const size_t n = ids.shape(0);
    std::vector<Payload> items = to_payloads(payloads, n);
    Status status;
    {
      nb::gil_scoped_release released;
      std::unique_lock guard(lock_);
      for (size_t i = 0; i < n && status.ok(); ++i) {
        const uint64_t id = ids.data()[i];
        const float* row = vectors.data() + i * vectors.shape(1);
        if (vectors.shape(1) != index_.dimension()) {
          status = Error::dimension_mismatch(index_.dimension(), vectors.shape(1));
          break;
        }
        if (index_.contains(id)) index_.remove(id);
        status = index_.insert(id, row, vectors.shape(1), std::move(items[i]));
      }
    }
    check(status);
  }

  size_t remove(IdArray ids) {
    size_t removed = 0;
    nb::gil_scoped_release released;
    std::unique_lock guard(lock_);
    for (size_t i = 0; i < ids.shape(0); ++i) removed += index_.remove(ids.data()[i]).has_value();
    return removed;
  }

  nb::object get(uint64_t id) {
    std::optional<VectorEntry> entry;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      entry = index_.get(id);
    }
    return entry_tuple(entry);
  }

  bool contains(uint64_t id) {
    nb::gil_scoped_release released;
    std::shared_lock guard(lock_);
    return index_.contains(id);
  }

  size_t len() {
    nb::gil_scoped_release released;
    std::shared_lock guard(lock_);
    return index_.len();
  }

  nb::object ids() {
    std::vector<uint64_t> out;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      out = index_.ids();
    }
    return ids_array(out);
  }

  nb::tuple search(Matrix queries, size_t k, nb::handle where, bool one, bool payloads) {
    std::optional<Filter> filter = to_filter(where);
    std::vector<std::vector<SearchResult>> lists;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      const Filter* f = filter.has_value() ? &*filter : nullptr;
      if (one) {
        lists.push_back(index_.search(queries.data(), queries.shape(1), k, f, &pool_));
      } else {
        lists = index_.search_batch(queries.data(), queries.shape(0), queries.shape(1), k, f, &pool_);
      }
    }
    return hits_tuple(lists, one, payloads);
  }

  size_t count(nb::handle where) {
    std::optional<Filter> filter = to_filter(where);
    nb::gil_scoped_release released;
    std::shared_lock guard(lock_);
    return index_.count(filter.has_value() ? &*filter : nullptr);
  }

  nb::tuple rows(nb::handle where, size_t offset, std::optional<size_t> limit, bool vectors,
                 bool payloads, bool text) {
    std::optional<Filter> filter = to_filter(where);
    const index::RowRequest request = row_request(offset, limit, vectors, payloads, text);
    index::Rows got;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      got = index_.rows(filter.has_value() ? &*filter : nullptr, request, &pool_);
    }
    return rows_tuple(std::move(got), request, index_.dimension());
  }

  size_t remove_where(nb::handle where) {
    std::optional<Filter> filter = to_filter(where);
    nb::gil_scoped_release released;
    std::unique_lock guard(lock_);
    std::vector<uint64_t> chosen = index_.matching_ids(filter.has_value() ? &*filter : nullptr);
    for (uint64_t id : chosen) index_.remove(id);
    return chosen.size();
  }

  // What Collection::update_batch does, in memory: the stored ids of `ids`
  // get row i of `vectors` (None keeps them) and payloads[i] merged into
  // their payload (None keeps them). The number of distinct ids updated.
  size_t update(IdArray ids, std::optional<Matrix> vectors, nb::handle payloads) {
    const size_t n = ids.shape(0);
    std::vector<Payload> patches = to_payloads(payloads, n);
    const bool merge = !payloads.is_none();
    check_rows_given(vectors, n);
    if (vectors.has_value() && vectors->shape(1) != index_.dimension()) {
      check(Error::dimension_mismatch(index_.dimension(), vectors->shape(1)));
    }
    nb::gil_scoped_release released;
    std::unique_lock guard(lock_);
    std::vector<uint64_t> done;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t id = ids.data()[i];
      std::optional<VectorEntry> entry = index_.remove(id);
      if (!entry.has_value()) continue;
      if (vectors.has_value()) {
        const float* row = vectors->data() + i * index_.dimension();
        entry->vector.assign(row, row + index_.dimension());
      }
      if (merge) entry->payload.merge(patches[i]);
      (void)index_.insert(id, std::move(entry->vector), std::move(entry->payload));
      done.push_back(id);
    }
    std::sort(done.begin(), done.end());
    return static_cast<size_t>(std::unique(done.begin(), done.end()) - done.begin());
  }

 private:
  std::shared_mutex lock_;  // guards index_
  BruteForceIndex index_;
  ThreadPool pool_;
};

class CollectionObject {
 private:
  // Runs f on the core collection with the interpreter lock released. The
  // core locks its own members; lock_ only keeps close() from dropping the
  // core object under a call. A closed collection, or one inherited by a
  // forked child, raises.
  template <typename F>
  auto with_core(F&& f) {
    using R = decltype(f(std::declval<varnel::Collection&>()));
    std::optional<R> out;
    Status usable;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      if (core_ != nullptr) {
        usable = core_->usable();
        if (usable.ok()) out.emplace(f(*core_));
      }
    }
    if (!usable.ok()) raise_error(usable.error());
    if (!out.has_value()) raise(PyExc_ValueError, "collection is closed");
    return std::move(*out);
  }

 public:
  // dim and metric: what the caller asks for, None for whatever is stored;
  // the core checks them against meta.json under the writer lock.
  CollectionObject(const std::string& path, std::optional<size_t> dim,
                   std::optional<std::string> metric, size_t threads, bool exclusive)
      : pool_(threads) {
    OpenRequest request;
    request.exclusive = exclusive;
    request.dimension = dim;
    if (metric.has_value()) request.metric = parse_metric(*metric);
    Result<std::shared_ptr<varnel::Collection>> opened = Error::empty_vector();
    {
      nb::gil_scoped_release released;
      opened = varnel::Collection::open(path, request, &pool_);
    }
    if (!opened.ok()) raise_error(opened.error());
    core_ = std::move(opened.value());
  }

  size_t dim() { return with_core([](varnel::Collection& c) { return c.dimension(); }); }
  std::string metric() {
    return metric_text(with_core([](varnel::Collection& c) { return c.config().metric; }));
  }
  size_t threads() const { return pool_.threads(); }
  bool closed() {
    std::shared_lock guard(lock_);
    return core_ == nullptr;
  }

  void upsert(IdArray ids, Matrix vectors, nb::handle payloads) {
    const size_t n = ids.shape(0);
    std::vector<Payload> items = to_payloads(payloads, n);
    const size_t dim = vectors.shape(1);
    check(with_core([&](varnel::Collection& c) -> Status {
      return c.upsert_batch(
          ids.data(), n,
          [&](size_t i) { return std::span<const float>(vectors.data() + i * dim, dim); },
          items.data());
    }));
  }

  size_t remove(IdArray ids) {
    size_t removed = 0;
    check(with_core([&](varnel::Collection& c) -> Status {
      Result<size_t> held = c.remove_batch(ids.data(), ids.shape(0));
      if (!held.ok()) return std::move(held.error());
      removed = held.value();
      return {};
    }));
    return removed;
  }

  nb::object get(uint64_t id) {
    return entry_tuple(with_core([&](varnel::Collection& c) { return c.get(id); }));
  }
  bool contains(uint64_t id) {
    return with_core([&](varnel::Collection& c) { return c.contains(id); });
  }
  size_t len() {
    return with_core([](varnel::Collection& c) { return c.len(); });
  }
  nb::object ids() { return ids_array(with_core([](varnel::Collection& c) { return c.ids(); })); }

  nb::tuple search(Matrix queries, size_t k, nb::handle where, bool one, bool payloads) {
    std::optional<Filter> filter = to_filter(where);
    const Filter* f = filter.has_value() ? &*filter : nullptr;
    auto lists = with_core([&](varnel::Collection& c) {
      std::vector<std::vector<SearchResult>> out;
      if (one) {
        out.push_back(c.search(queries.data(), queries.shape(1), k, f, &pool_));
      } else {
        out = c.search_batch(queries.data(), queries.shape(0), queries.shape(1), k, f, &pool_);
      }
      return out;
    });
    return hits_tuple(lists, one, payloads);
  }

  size_t count(nb::handle where) {
    std::optional<Filter> filter = to_filter(where);
    const Filter* f = filter.has_value() ? &*filter : nullptr;
    return with_core([&](varnel::Collection& c) { return c.count(f); });
  }

  nb::tuple rows(nb::handle where, size_t offset, std::optional<size_t> limit, bool vectors,
                 bool payloads, bool text) {
    std::optional<Filter> filter = to_filter(where);
    const Filter* f = filter.has_value() ? &*filter : nullptr;
    const index::RowRequest request = row_request(offset, limit, vectors, payloads, text);
    size_t dim = 0;
    index::Rows got = with_core([&](varnel::Collection& c) {
      dim = c.dimension();
      return c.rows(f, request, &pool_);
    });
    return rows_tuple(std::move(got), request, dim);
  }

  size_t remove_where(nb::handle where) {
    std::optional<Filter> filter = to_filter(where);
    const Filter* f = filter.has_value() ? &*filter : nullptr;
    size_t removed = 0;
    check(with_core([&](varnel::Collection& c) -> Status {
      Result<size_t> held = c.remove_matching(f);
      if (!held.ok()) return std::move(held.error());
      removed = held.value();
      return {};
    }));
    return removed;
  }

  size_t update(IdArray ids, std::optional<Matrix> vectors, nb::handle payloads) {
    const size_t n = ids.shape(0);
    std::vector<Payload> patches = to_payloads(payloads, n);
    const Payload* p = payloads.is_none() ? nullptr : patches.data();
    check_rows_given(vectors, n);
    size_t updated = 0;
    check(with_core([&](varnel::Collection& c) -> Status {
      Result<size_t> held = c.update_batch(ids.data(), n, vectors.has_value() ? vectors->data() : nullptr,
                                           vectors.has_value() ? vectors->shape(1) : 0, p);
      if (!held.ok()) return std::move(held.error());
      updated = held.value();
      return {};
    }));
    return updated;
  }

  // Drops this handle's core collection without a flush (what was written
  // stays in the log); only for the sole handle, about to be removed.
  void discard() {
    nb::gil_scoped_release released;
    std::unique_lock guard(lock_);
    core_.reset();
  }

  void flush() {
    check(with_core([](varnel::Collection& c) { return c.flush(); }));
  }
  void compact() {
    check(with_core([](varnel::Collection& c) { return c.compact(); }));
  }

  // Flushes, then drops the core collection (its files are closed). A
  // second close does nothing. When the flush fails the collection stays
  // open, so nothing acknowledged is silently left unsynced.
  void close() {
    Status status;
    {
      nb::gil_scoped_release released;
      std::unique_lock guard(lock_);
      if (core_ == nullptr) return;
      status = core_->flush();
      if (status.ok()) core_.reset();
    }
    check(status);
  }

 private:
  std::shared_mutex lock_;  // guards core_ (its presence; the core locks its own members)
  std::shared_ptr<varnel::Collection> core_;
  ThreadPool pool_;
};

// Positions of the merged top-k of several hit lists of one query: a list
// of (part, position) pairs by the index's order of results.
nb::tuple merge(nb::list id_parts, nb::list distance_parts, size_t k) {
  using Ids = nb::ndarray<const uint64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
  using Distances = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
  const size_t parts = id_parts.size();
  std::vector<Ids> ids;
  std::vector<Distances> distances;
  size_t nq = 0;
  for (size_t p = 0; p < parts; ++p) {
    ids.push_back(nb::cast<Ids>(id_parts[p]));
    distances.push_back(nb::cast<Distances>(distance_parts[p]));
    if (p == 0) nq = ids[0].shape(0);
    if (ids[p].shape(0) != nq || distances[p].shape(0) != nq || ids[p].shape(1) != distances[p].shape(1)) {
      raise(PyExc_ValueError, "hit lists of different shapes");
    }
  }
  size_t total = 0;
  for (size_t p = 0; p < parts; ++p) total += ids[p].shape(1);
  const size_t m = std::min(k, total);
  std::unique_ptr<int64_t[]> part_of(new int64_t[std::max<size_t>(nq * m, 1)]);
  std::unique_ptr<int64_t[]> pos_of(new int64_t[std::max<size_t>(nq * m, 1)]);
  {
    nb::gil_scoped_release released;
    std::vector<std::pair<size_t, size_t>> cells;
    for (size_t q = 0; q < nq; ++q) {
      cells.clear();
      for (size_t p = 0; p < parts; ++p) {
        for (size_t j = 0; j < ids[p].shape(1); ++j) cells.emplace_back(p, j);
      }
      std::partial_sort(cells.begin(), cells.begin() + static_cast<ptrdiff_t>(m), cells.end(),
                        [&](const auto& a, const auto& b) {
                          return index::ranks_before(distances[a.first](q, a.second), ids[a.first](q, a.second),
                                                     distances[b.first](q, b.second), ids[b.first](q, b.second));
                        });
      for (size_t j = 0; j < m; ++j) {
        part_of[q * m + j] = static_cast<int64_t>(cells[j].first);
        pos_of[q * m + j] = static_cast<int64_t>(cells[j].second);
      }
    }
  }
  return nb::make_tuple(owned_array(std::move(part_of), {nq, m}), owned_array(std::move(pos_of), {nq, m}));
}

}  // namespace
}  // namespace varnel

// Opens collections through the low-level module's copy of the core when
// it is installed, so both modules of a process share one collection per
// directory (see Collection::use_opener). Without it, this copy opens alone.
void share_opener_with_low_level_module() {
  PyObject* low = PyImport_ImportModule("_varnel");
  if (low == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* file = PyObject_GetAttrString(low, "__file__");
  Py_DECREF(low);
  if (file == nullptr) {
    PyErr_Clear();
    return;
  }
  const char* path = PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
  if (path == nullptr) PyErr_Clear();
  void* handle = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_NOLOAD) : nullptr;
  Py_DECREF(file);
  if (handle == nullptr) return;
  using Get = varnel::Collection::Opener (*)();
  auto get = reinterpret_cast<Get>(dlsym(handle, "varnel_collection_opener"));
  if (get != nullptr) varnel::Collection::use_opener(get());
  // The handle stays open: the module is never unloaded.
}

NB_MODULE(_engine, m) {
  using varnel::CollectionObject;
  using varnel::IndexObject;
  share_opener_with_low_level_module();
  varnel::g_in_use_error = PyErr_NewExceptionWithDoc(
      "varnel.CollectionInUseError",
      "The collection is open in another process, which holds its writer lock.", PyExc_OSError,
      nullptr);
  if (varnel::g_in_use_error == nullptr) throw nb::python_error();
  m.attr("CollectionInUseError") = nb::handle(varnel::g_in_use_error);
  m.doc() = "The compiled half of the varnel package; use the classes of `varnel` instead.";

  nb::class_<IndexObject>(m, "Index")
      .def(nb::init<size_t, const std::string&, size_t, bool>(), "dim"_a, "metric"_a, "threads"_a,
           "prune"_a)
      .def_prop_rw("prune", &IndexObject::prune, &IndexObject::set_prune)
      .def("scan_counts", &IndexObject::scan_counts)
      .def_prop_ro("dim", &IndexObject::dim)
      .def_prop_ro("metric", &IndexObject::metric)
      .def_prop_ro("threads", &IndexObject::threads)
      .def("upsert", &IndexObject::upsert, "ids"_a, "vectors"_a, "payloads"_a.none())
      .def("delete", &IndexObject::remove, "ids"_a)
      .def("get", &IndexObject::get, "id"_a)
      .def("contains", &IndexObject::contains, "id"_a)
      .def("__len__", &IndexObject::len)
      .def("ids", &IndexObject::ids)
      .def("search", &IndexObject::search, "queries"_a, "k"_a, "where"_a.none(), "one"_a, "payloads"_a)
      .def("count", &IndexObject::count, "where"_a.none())
      .def("rows", &IndexObject::rows, "where"_a.none(), "offset"_a, "limit"_a.none(), "vectors"_a,
           "payloads"_a, "text"_a)
      .def("delete_where", &IndexObject::remove_where, "where"_a.none())
      .def("update", &IndexObject::update, "ids"_a, "vectors"_a.none(), "payloads"_a.none());

  nb::class_<CollectionObject>(m, "Collection")
      .def(nb::init<const std::string&, std::optional<size_t>, std::optional<std::string>, size_t, bool>(),
           "path"_a, "dim"_a.none(), "metric"_a.none(), "threads"_a, "exclusive"_a = false)
      .def_prop_ro("dim", &CollectionObject::dim)
      .def_prop_ro("metric", &CollectionObject::metric)
      .def_prop_ro("threads", &CollectionObject::threads)
      .def_prop_ro("closed", &CollectionObject::closed)
      .def("upsert", &CollectionObject::upsert, "ids"_a, "vectors"_a, "payloads"_a.none())
      .def("delete", &CollectionObject::remove, "ids"_a)
      .def("get", &CollectionObject::get, "id"_a)
      .def("contains", &CollectionObject::contains, "id"_a)
      .def("__len__", &CollectionObject::len)
      .def("ids", &CollectionObject::ids)
      .def("search", &CollectionObject::search, "queries"_a, "k"_a, "where"_a.none(), "one"_a, "payloads"_a)
      .def("count", &CollectionObject::count, "where"_a.none())
      .def("rows", &CollectionObject::rows, "where"_a.none(), "offset"_a, "limit"_a.none(), "vectors"_a,
           "payloads"_a, "text"_a)
      .def("delete_where", &CollectionObject::remove_where, "where"_a.none())
      .def("update", &CollectionObject::update, "ids"_a, "vectors"_a.none(), "payloads"_a.none())
      .def("discard", &CollectionObject::discard)
      .def("flush", &CollectionObject::flush)
      .def("compact", &CollectionObject::compact)
      .def("close", &CollectionObject::close);

  m.def("merge", &varnel::merge, "ids"_a, "distances"_a, "k"_a);
  m.def("check_payloads", &varnel::check_payloads, "payloads"_a.none(), "n"_a);
  m.def("check_filter", &varnel::check_filter, "tree"_a.none());
}
